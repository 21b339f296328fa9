// IPCSender: a loopback TCP client that carries single values to the UI (the start-up
// port announcement).
#pragma once

#include "wire/channel.h"
#include "wire/object.h"

class IPCSender {
public:
    IPCSender() : c(81920) {}
    virtual ~IPCSender() { c.Close(); }

    // Connects to 127.0.0.1:port; 0 or -1.
    int connect(int port);
    // One value each way with a fresh stream; 0 or -1.
    int send(const PObject& value);
    int recv(PObject& value);
    void close() { c.Close(); }

    IPCSender(const IPCSender&) = delete;
    IPCSender& operator=(const IPCSender&) = delete;

private:
    Channel c;
};
