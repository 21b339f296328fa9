#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

bool ParseNumber(const char* text, uint64_t max, uint64_t* out) {
    if (!text || !*text || *text == '-') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text, &end, 0);  // accepts 0x... for error codes
    if (errno || *end || v > max) return false;
    *out = v;
    return true;
}

int AddFault(const std::string& spec, ServerOptions* o, std::string* error) {
    if (spec == "ssl-stall") {
        o->ssl_stall = true;
        return 0;
    }
    if (spec == "corrupt-delta") {
        o->corrupt_delta = true;
        return 0;
    }
    if (spec == "relay-stall") {
        o->relay.fault_stall = true;
        return 0;
    }
    if (spec.rfind("relay-status=", 0) == 0 || spec.rfind("relay-no-header=", 0) == 0) {
        uint64_t code = 0;
        if (!ParseNumber(spec.c_str() + spec.find('=') + 1, 999, &code) || code < 100) {
            *error = "bad --fault '" + spec + "'";
            return -1;
        }
        if (spec.rfind("relay-status=", 0) == 0)
            o->relay.fault_status = (int)code;
        else
            o->relay.fault_no_header = (int)code;
        return 0;
    }
    size_t eq = spec.find('=');
    if (eq == std::string::npos || eq == 0) {
        *error = "bad --fault '" + spec + "'";
        return -1;
    }
    std::string key = spec.substr(0, eq);
    uint64_t v = 0;
    if (key == "cut-after" && spec.compare(eq + 1, 7, "random:") == 0) {
        // random:MIN-MAX, both at least 1 so that every attempt gets some bytes through.
        const std::string range = spec.substr(eq + 8);
        const size_t dash = range.find('-');
        uint64_t lo = 0, hi = 0;
        if (dash == std::string::npos || !ParseNumber(range.substr(0, dash).c_str(), UINT64_MAX, &lo) ||
            !ParseNumber(range.c_str() + dash + 1, UINT64_MAX, &hi) || lo == 0 || lo > hi) {
            *error = "bad --fault '" + spec + "' (cut-after=random:MIN-MAX, 1 <= MIN <= MAX)";
            return -1;
        }
        o->cut_after = 0;
        o->cut_min = lo;
        o->cut_max = hi;
        return 0;
    }
    if (key == "cut-after") {
        if (!ParseNumber(spec.c_str() + eq + 1, UINT64_MAX, &v) || v == 0) {
            *error = "bad --fault '" + spec + "'";
            return -1;
        }
        o->cut_after = v;
        o->cut_min = o->cut_max = 0;
        return 0;
    }
    std::string code = spec.substr(eq + 1);
    uint64_t times = 0;
    size_t star = code.find('*');
    if (star != std::string::npos) {
        if (!ParseNumber(code.c_str() + star + 1, UINT64_MAX, &times) || times == 0) {
            *error = "bad count in --fault '" + spec + "'";
            return -1;
        }
        code.resize(star);
    }
    if (!ParseNumber(code.c_str(), 0xFFFFFFFFu, &v) || v == 0) {
        *error = "bad error code in --fault '" + spec + "'";
        return -1;
    }
    o->fail_action[key] = (uint32_t)v;
    o->fail_times[key] = times;
    return 0;
}

}  // namespace

const char* ServerUsage() {
    return "usage: nimbrel-refserver [--port N] [--build B] [--alive S] [--keepalive K] [--token T | --token-file F]\n"
           "                         [--resume-ttl S]\n"
           "                         [--fault SPEC]... [--fault-seed S] ROOT\n"
           "  --fault ACTION=CODE   answer every ACTION request with that error code\n"
           "  --fault ACTION=CODE*N answer only the first N ACTION requests with it\n"
           "  --fault ssl-stall     accept the SSL request but never answer the handshake\n"
           "  --fault cut-after=N   close a connection after N bytes of one binary\n"
           "  --fault cut-after=random:MIN-MAX\n"
           "                        draw N from MIN..MAX for each connection and close it once\n"
           "                        its binaries carried N bytes\n"
           "  --fault-seed S        the seed of random faults (default: picked and logged)\n"
           "  --fault corrupt-delta change one byte of every delta resume_download sends\n"
           "       nimbrel-refserver --relay --relay-key MULT:INC --relay-iv HEX16 [--port N]\n"
           "                         [--fault relay-status=N|relay-no-header=N|relay-stall] ROOT\n"
           "  --relay               serve as the tunnel relay (targets on 127.x only)\n"
           "  --relay-key MULT:INC  the token key constants (decimal or 0x-hex)\n"
           "  --relay-iv HEX16      the token's initialisation vector, 16 hex digits\n"
           "  --fault relay-status=N     answer 101 with \"x-target-status: N\"\n"
           "  --fault relay-no-header=N  answer status N without X-Target-Status\n"
           "  --fault relay-stall        never answer the relay handshake\n"
           "       nimbrel-refserver --help   show this help\n"
           "  --resume-ttl S        unfinished transfers are forgotten after S seconds (3600)\n"
           "ROOT holds index.sqlite, blobs/, resume/, tmp/ and tls/ (a self-signed certificate\n"
           "made at the first start and kept); the first output line is\n"
           "\"listening on 127.0.0.1:PORT\".\n";
}

int ParseServerOptions(int argc, char** argv, ServerOptions* o, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char** out) -> bool {
            if (i + 1 >= argc) {
                *error = "missing value after " + a;
                return false;
            }
            *out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        uint64_t n = 0;
        if (a == "--port") {
            if (!value(&v) || !ParseNumber(v, 65535, &n)) {
                if (error->empty()) *error = "bad --port";
                return -1;
            }
            o->port = (int)n;
        } else if (a == "--build") {
            if (!value(&v) || !ParseNumber(v, UINT64_MAX, &n)) {
                if (error->empty()) *error = "bad --build";
                return -1;
            }
            o->build = n;
        } else if (a == "--alive") {
            if (!value(&v) || !ParseNumber(v, 0xFFFFFFFFu, &n)) {
                if (error->empty()) *error = "bad --alive";
                return -1;
            }
            o->alive = n;
        } else if (a == "--resume-ttl") {
            if (!value(&v) || !ParseNumber(v, 30 * 86400, &n) || n == 0) {
                if (error->empty()) *error = "bad --resume-ttl";
                return -1;
            }
            o->resume_ttl = n;
        } else if (a == "--keepalive") {
            if (!value(&v) || !ParseNumber(v, 1000000, &n)) {
                if (error->empty()) *error = "bad --keepalive";
                return -1;
            }
            o->keepalive = (unsigned)n;
        } else if (a == "--token") {
            if (!value(&v)) return -1;
            o->has_token = true;
            o->token = v;
        } else if (a == "--token-file") {
            // The token from a private file: a command line is readable by every user.
            if (!value(&v)) return -1;
            std::ifstream in(v);
            if (!std::getline(in, o->token) || o->token.empty()) {
                *error = std::string("cannot read a token from ") + v;
                return -1;
            }
            o->has_token = true;
        } else if (a == "--relay") {
            o->relay.enabled = true;
        } else if (a == "--relay-key") {
            if (!value(&v)) return -1;
            const char* colon = strchr(v, ':');
            if (!colon) {
                *error = "bad --relay-key (MULT:INC)";
                return -1;
            }
            o->relay.key_multiplier.assign(v, colon - v);
            o->relay.key_increment = colon + 1;
        } else if (a == "--relay-iv") {
            if (!value(&v)) return -1;
            o->relay.iv = v;
        } else if (a == "--fault-seed") {
            if (!value(&v) || !ParseNumber(v, UINT64_MAX, &n)) {
                if (error->empty()) *error = "bad --fault-seed";
                return -1;
            }
            o->has_fault_seed = true;
            o->fault_seed = n;
        } else if (a == "--fault") {
            if (!value(&v) || AddFault(v, o, error)) return -1;
        } else if (a.size() > 1 && a[0] == '-') {
            *error = "unknown option " + a;
            return -1;
        } else if (o->root.empty()) {
            o->root = a;
        } else {
            *error = "more than one ROOT";
            return -1;
        }
    }
    if (o->root.empty()) {
        *error = "ROOT is missing";
        return -1;
    }
    if (o->relay.enabled) {
        *error = CheckRelayOptions(o->relay);
        if (!error->empty()) return -1;
    }
    return 0;
}
