// Test helper: one exchange as the UI makes it with a control port - connect to
// 127.0.0.1:port, send one value, read one value back.
#pragma once

#include "wire/channel.h"
#include "wire/stream.h"

// 0, the stream's result code, or -100 when the connection failed.
inline int Exchange(int port, const PObject& request, PObject& reply) {
    Channel ch(81920);
    if (ch.Open("127.0.0.1", port) != 0) return -100;
    ch.SetTimeout(30);
    PStream s;
    const StreamResult r = s.Send(ch, request);
    if (r != StreamResult::kOk) return LogCode(r);
    return LogCode(s.Recv(ch, reply));
}
