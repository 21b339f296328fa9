#include "daemon/ipc_sender.h"

#include "wire/stream.h"

int IPCSender::connect(int port) { return c.Open("127.0.0.1", port) == 0 ? 0 : -1; }

int IPCSender::send(const PObject& value) {
    PStream stream;
    return stream.Send(c, value) == StreamResult::kOk ? 0 : -1;
}

int IPCSender::recv(PObject& value) {
    PStream stream;
    return stream.Recv(c, value) == StreamResult::kOk ? 0 : -1;
}
