#include "platform/open_failure.h"

#include <utility>

namespace platform {
namespace {

// One per thread: runs in parallel threads (tests, a gang of ports) each keep their own.
std::string& lastReason() {
    thread_local std::string reason;
    return reason;
}

}  // namespace

const std::string& lastOpenFailure() { return lastReason(); }

void setOpenFailure(std::string reason) { lastReason() = std::move(reason); }

void clearOpenFailure() { lastReason().clear(); }

std::string connectFailureText(const std::string& host, const std::string& port,
                               ConnectFailure kind, const std::string& systemText) {
    std::string text = host + ":" + port + ": ";
    switch (kind) {
        case ConnectFailure::Unresolved: text += "the name " + host + " does not resolve"; break;
        case ConnectFailure::Refused:
            text += "connection refused: nothing listens on port " + port +
                    " there (is the port server running, and is the port number right?)";
            return text;
        case ConnectFailure::NoAnswer:
            text += "no answer (a firewall, or a host that is down?)";
            return text;
        case ConnectFailure::Other: text += "cannot connect"; break;
    }
    if (!systemText.empty()) text += " (" + systemText + ")";
    return text;
}

}  // namespace platform
