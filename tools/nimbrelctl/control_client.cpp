#include "control_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/error_codes.h"
#include "wire/channel.h"
#include "wire/stream.h"

namespace nimbrelctl {
namespace {
// A request may legitimately take a while (a pause waits for busy workers).
constexpr unsigned kReplyTimeoutSeconds = 300;
}  // namespace

int ConnectLoopback(int port, std::string& error) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + strerror(errno);
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // A blocking connect on loopback answers at once, and reports refusal clearly.
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = "cannot reach the daemon at 127.0.0.1:" + std::to_string(port) + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

int SendControl(int port, const PObject& request, PObject* reply, std::string& error) {
    int fd = ConnectLoopback(port, error);
    if (fd < 0) return -1;
    Channel channel(81920);
    if (channel.Open(fd, true) != 0) {
        close(fd);
        error = "cannot set up the connection to port " + std::to_string(port);
        return -1;
    }
    channel.SetTimeout(kReplyTimeoutSeconds);
    PStream stream;
    if (stream.Send(channel, request) != StreamResult::kOk) {
        error = "failed to send the request to port " + std::to_string(port) + " (connection lost)";
        return -1;
    }
    if (reply == nullptr) {
        // No answer comes (the daemon answers "stop" by closing), but the connection
        // stays open until the daemon closes it: the daemon only serves a client whose
        // end is still open, since a closed one's user cannot be known.
        uint8_t byte = 0;
        int r;
        while ((r = channel.ReadByte(&byte)) == 0) {
        }
        if (r == ERR_TIMEOUT) {
            error = "the daemon at port " + std::to_string(port) + " did not take the request in time";
            return -1;
        }
        return 0;
    }
    // No folder for binaries: a reply never carries file contents, and one that
    // tries is refused rather than written anywhere.
    PObject answer;
    if (stream.Recv(channel, answer) != StreamResult::kOk) {
        error = "no reply from port " + std::to_string(port) + " (connection closed or timed out)";
        return -1;
    }
    reply->swap(answer);
    return 0;
}

}  // namespace nimbrelctl
