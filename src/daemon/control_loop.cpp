#include "daemon/control_loop.h"

#include <unistd.h>

#include <atomic>

#include "foundation/logger.h"
#include "wire/channel.h"
#include "wire/stream.h"

namespace {
const char* const kLog = "client_debug";
}

int ServeOneControlRequest(IPCListener& listener, ControlApp& app) {
    Channel channel(81920);
    PStream stream;  // no folder for binaries: a control request never writes files
    PObject request;
    PObject reply;

    if (!listener.isReady()) return 0;
    SOCKET sock = listener.accept();
    if (sock == INVALID_SOCKET) return 0;
    // Any local user can reach a loopback port; only our own user may control us. The
    // owner is known only while the client keeps its end open (our clients wait for
    // the reply, or for the close after "stop"); one that has closed already cannot be
    // told from another user's, so its request is not run.
    uid_t peer_uid = static_cast<uid_t>(-1);
    if (SockLocalPeerUid(sock, peer_uid) != 0) {
        NLOG_AT(L_WARNING, kLog, "test.cpp",
                "refusing a control connection of an unknown user: the client closed it "
                "before it was served\n");
        CloseSocket(sock);
        return 0;
    }
    if (peer_uid != geteuid()) {
        NLOG_AT(L_WARNING, kLog, "test.cpp", "refusing a control connection of user %u\n",
                static_cast<unsigned>(peer_uid));
        CloseSocket(sock);
        return 0;
    }
    if (channel.Open(sock, true) != 0) {
        CloseSocket(sock);
        return 0;
    }
    // Requests are served one at a time: a client that trickles bytes must not hold
    // the port, so the whole request has a time limit, not only each wait.
    channel.SetDeadline(kControlRequestSeconds);
    stream.SetRecvLimit(PStream::kSmallRecvBytes);
    if (stream.Recv(channel, request) != StreamResult::kOk) {
        NLOG_AT(L_ERR, kLog, "test.cpp", "Failed to recieve message from channel.\n");
        return 0;
    }
    NLOG_AT(L_DEBUG, kLog, "test.cpp", "recieve msg >>> %s\n", request.toString().c_str_utf8());
    // A request thread that is gone leaves the reply empty; the client gets that.
    (void)app.send_message(request, reply);
    const PObject& received = request;  // read-only access: looking must not add the key
    if (received["action"].asString() == "stop") return 1;
    NLOG_AT(L_DEBUG, kLog, "test.cpp", "send rsp <<< %s\n", reply.toString().c_str_utf8());
    channel.SetDeadline(kControlRequestSeconds);  // the same for taking the reply
    if (stream.Send(channel, reply) != StreamResult::kOk)
        NLOG_AT(L_ERR, kLog, "test.cpp", "Failed to send message from channel.\n");
    return 0;
}

namespace {
std::atomic<bool> g_stop_requested{false};
}

void RequestStop() { g_stop_requested.store(true); }

void RunControlLoop(IPCListener& listener, ControlApp& app) {
    while (ServeOneControlRequest(listener, app) == 0) {
        if (!g_stop_requested.load()) continue;
        NLOG_AT(L_INFO, kLog, "test.cpp", "stopping on a signal\n");
        PObject stop, none;
        stop["action"] = "stop";
        (void)app.send_message(stop, none);  // a thread already gone needs no stop
        break;
    }
}
