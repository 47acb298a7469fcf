#include "sim/sim_device.h"

#include <cctype>
#include <cstdlib>
#include <vector>

#include "platform/device.h"
#include "platform/test_port.h"
#include "sim/sim_target.h"

namespace sim {
namespace {

std::shared_ptr<SimTarget>& lastTarget() {
    static std::shared_ptr<SimTarget> target;
    return target;
}

bool& keepTraceDefault() {
    static bool keep = true;
    return keep;
}

std::function<void(SimTarget&)>& targetHook() {
    static std::function<void(SimTarget&)> hook;
    return hook;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string::size_type begin = 0;
    for (;;) {
        std::string::size_type end = text.find(separator, begin);
        parts.push_back(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
        if (end == std::string::npos) return parts;
        begin = end + 1;
    }
}

bool parseUnsigned(const std::string& text, int base, unsigned long long limit, unsigned long long& value) {
    std::string digits = text;
    if (base == 16 && digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty() || digits.size() > 12) return false;
    for (char c : digits) {
        if (base == 16 ? !std::isxdigit(static_cast<unsigned char>(c)) : !std::isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    value = std::strtoull(digits.c_str(), nullptr, base);
    return value <= limit;
}

// A duration: a decimal number with the unit ns, us, ms or s (ms when none is given).
bool parseDuration(const std::string& text, std::uint64_t& ns) {
    std::string::size_type unitAt = 0;
    while (unitAt < text.size() && std::isdigit(static_cast<unsigned char>(text[unitAt]))) ++unitAt;
    std::string unit = text.substr(unitAt);
    std::uint64_t scale = 0;
    if (unit.empty() || unit == "ms") scale = kNsPerMs;
    else if (unit == "us") scale = kNsPerUs;
    else if (unit == "ns") scale = 1;
    else if (unit == "s") scale = 1000 * kNsPerMs;
    else return false;
    unsigned long long value = 0;
    if (!parseUnsigned(text.substr(0, unitAt), 10, 3600ull * 1000 * kNsPerMs / scale, value)) return false;
    ns = value * scale;
    return true;
}

// A loader version as it is shown: "1.10" is the bytes 01 10, "2.02" the bytes 02 02.
bool parseVersion(const std::string& text, std::uint8_t& major, std::uint8_t& minor) {
    std::vector<std::string> parts = split(text, '.');
    unsigned long long a = 0, b = 0;
    if (parts.size() != 2 || parts[0].size() > 2 || parts[1].size() > 2) return false;
    if (!parseUnsigned(parts[0], 16, 0xFF, a) || !parseUnsigned(parts[1], 16, 0xFF, b)) return false;
    major = static_cast<std::uint8_t>(a);
    minor = static_cast<std::uint8_t>(b);
    return true;
}

bool parseKind(const std::string& text, int& kind) {
    static const struct {
        const char* name;
        int kind;
    } names[] = {{"sync", kKindSync},          {"any", kKindAnyCommand},        {"password", kCmdRxPassword},
                 {"rx-password", kCmdRxPassword}, {"write", kCmdRxDataBlock},  {"rx-data", kCmdRxDataBlock},
                 {"read", kCmdTxDataBlock},    {"tx-data", kCmdTxDataBlock},    {"erase", kCmdMassErase},
                 {"mass-erase", kCmdMassErase}, {"load-pc", kCmdLoadPc},        {"baud", kCmdChangeBaud},
                 {"change-baud", kCmdChangeBaud}};
    for (const auto& n : names) {
        if (text == n.name) {
            kind = n.kind;
            return true;
        }
    }
    unsigned long long code = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && parseUnsigned(text, 16, 0xFF, code)) {
        kind = static_cast<int>(code);
        return true;
    }
    return false;
}

// "N" or "N+" (the Nth and every later one); N counts from 1.
bool parseCount(const std::string& text, unsigned& nth, bool& andLater) {
    std::string digits = text;
    andLater = !digits.empty() && digits.back() == '+';
    if (andLater) digits.pop_back();
    unsigned long long n = 0;
    if (!parseUnsigned(digits, 10, 1000000000ull, n) || n == 0) return false;
    nth = static_cast<unsigned>(n);
    return true;
}

bool parseHexBytes(const std::string& text, std::vector<std::uint8_t>& bytes) {
    if (text.empty() || text.size() % 2 != 0 || text.size() > 512) return false;
    for (std::string::size_type i = 0; i < text.size(); i += 2) {
        unsigned long long b = 0;
        if (!parseUnsigned(text.substr(i, 2), 16, 0xFF, b)) return false;
        bytes.push_back(static_cast<std::uint8_t>(b));
    }
    return true;
}

bool parseByte(const std::string& text, std::uint8_t& byte) {
    unsigned long long b = 0;
    if (text.size() > 4 || !parseUnsigned(text, 16, 0xFF, b)) return false;
    byte = static_cast<std::uint8_t>(b);
    return true;
}

bool parseFault(const std::string& text, SimConfig& config) {
    if (text == "silent") return config.silent = true;
    if (text == "ignore-entry") return config.ignoreEntry = true;
    if (text == "fake-baud") return config.fakeBaudChange = true;

    std::vector<std::string> p = split(text, ':');
    Fault f;
    const std::string& type = p[0];
    static const struct {
        const char* name;
        FaultType type;
    } answerTypes[] = {{"nack", FaultType::Nack},        {"stray", FaultType::Stray},
                       {"mute", FaultType::Mute},        {"length", FaultType::LengthMismatch},
                       {"stall", FaultType::Stall},      {"mute-after", FaultType::MuteAfter},
                       {"prefix", FaultType::Prefix}};
    for (const auto& a : answerTypes) {
        if (type != a.name) continue;
        f.type = a.type;
        // type:kind:N, then a byte for stray (optional, default 55) or the bytes for prefix.
        const bool extra = f.type == FaultType::Stray || f.type == FaultType::Prefix;
        if (p.size() < 3 || p.size() > (extra ? 4u : 3u)) return false;
        if (!parseKind(p[1], f.kind) || !parseCount(p[2], f.nth, f.andLater)) return false;
        if (f.type == FaultType::Stray) {
            f.value = 0x55;
            if (p.size() == 4 && !parseByte(p[3], f.value)) return false;
        }
        if (f.type == FaultType::Prefix && (p.size() != 4 || !parseHexBytes(p[3], f.bytes))) return false;
        config.faults.push_back(f);
        return true;
    }
    if (type == "corrupt") {
        unsigned long long address = 0;
        if (p.size() < 2 || p.size() > 3 || !parseUnsigned(p[1], 16, 0xFFFF, address)) return false;
        f.type = FaultType::CorruptRead;
        f.address = static_cast<std::uint16_t>(address);
        if (p.size() == 3 && (!parseByte(p[2], f.value) || f.value == 0)) return false;
        config.faults.push_back(f);
        return true;
    }
    static const struct {
        const char* name;
        FaultType type;
    } byteTypes[] = {{"garble-rx", FaultType::GarbleRx},
                     {"drop-rx", FaultType::DropRx},
                     {"garble-tx", FaultType::GarbleTx},
                     {"drop-tx", FaultType::DropTx}};
    for (const auto& b : byteTypes) {
        if (type != b.name) continue;
        f.type = b.type;
        const bool garble = f.type == FaultType::GarbleRx || f.type == FaultType::GarbleTx;
        if (p.size() < 2 || p.size() > (garble ? 3u : 2u) || !parseCount(p[1], f.nth, f.andLater)) return false;
        if (p.size() == 3 && (!parseByte(p[2], f.value) || f.value == 0)) return false;
        config.faults.push_back(f);
        return true;
    }
    return false;
}

}  // namespace

// Settings, comma-separated:
//   version=M.m              ROM loader version as shown (hex digits; default 1.61; 1.10 takes
//                            the tool's replacement-loader path)
//   replacement-version=M.m  what a replacement loader started in RAM reports (default 1.50)
//   chip=XXXX                chip type in hex (default F149)
//   invert-test              TEST wired with the inverted sense (boards for the test-mode option)
//   app-baud=N               the firmware's speed, 8N1 (default 115200)
//   blank                    the chip comes erased (default: an older firmware is in its flash)
//   loader                   start in the loader, as if the entry sequence had been played
//   ready=T entry-rest=T frame-timeout=T late-sync=T discard-pause=T sync-delay=T answer-delay=T
//   erase-time=T write-time=T
//                            timings (T: a number with ns, us, ms or s; ms when none); write-time is
//                            per byte written; frame-timeout is the gap that abandons a frame (1 s),
//                            late-sync the silence after a lone 0x80 that came after such a gap that
//                            makes it a synchronisation (0, the default: never), discard-pause the
//                            silence that ends a malformed frame (50 ms); frame-timeout=50ms,
//                            late-sync=20ms is a strict loader
//   trace=PATH               write a readable trace of lines, formats and bytes to PATH
//   fault=F                  a fault, any number of times:
//     silent | ignore-entry | fake-baud
//     nack:K:N | mute:K:N | length:K:N | stall:K:N | mute-after:K:N | stray:K:N[:XX] | prefix:K:N:HEX
//         the answer to the Nth K (N+ for the Nth and all later ones); K is sync, any, password,
//         write, read, erase, load-pc, baud or a command code 0xNN
//     corrupt:ADDR[:XX]        reads of ADDR come back XORed with XX (default 01)
//     garble-rx:N[:XX] | drop-rx:N | garble-tx:N[:XX] | drop-tx:N
//         the Nth byte the host sends (rx) or the model sends (tx)
bool parseSimSettings(const std::string& text, SimConfig& config, std::string& error) {
    if (text.empty()) return true;
    for (const std::string& item : split(text, ',')) {
        std::string::size_type eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const bool hasValue = eq != std::string::npos;
        const std::string value = hasValue ? item.substr(eq + 1) : std::string();
        bool ok = false;
        if (!hasValue) {
            if (key == "invert-test") ok = config.invertTest = true;
            else if (key == "blank") ok = config.blankFlash = true;
            else if (key == "loader") ok = config.startInLoader = true;
            else if (key == "silent") ok = config.silent = true;
            else if (key == "ignore-entry") ok = config.ignoreEntry = true;
            else if (key == "fake-baud") ok = config.fakeBaudChange = true;
        } else if (key == "version") {
            ok = parseVersion(value, config.versionMajor, config.versionMinor);
        } else if (key == "replacement-version") {
            ok = parseVersion(value, config.replacementMajor, config.replacementMinor);
        } else if (key == "chip") {
            unsigned long long chip = 0;
            ok = value.size() <= 6 && parseUnsigned(value, 16, 0xFFFF, chip);
            config.chipType = static_cast<std::uint16_t>(chip);
        } else if (key == "app-baud") {
            unsigned long long baud = 0;
            ok = parseUnsigned(value, 10, 4000000, baud) && baud >= 50;
            config.appFormat.baud = static_cast<std::uint32_t>(baud);
        } else if (key == "ready") {
            ok = parseDuration(value, config.loaderReadyNs);
        } else if (key == "entry-rest") {
            ok = parseDuration(value, config.entryRestNs);
        } else if (key == "frame-timeout") {
            ok = parseDuration(value, config.frameTimeoutNs);
        } else if (key == "late-sync") {
            ok = parseDuration(value, config.lateSyncNs);
        } else if (key == "discard-pause") {
            ok = parseDuration(value, config.discardPauseNs);
        } else if (key == "sync-delay") {
            ok = parseDuration(value, config.syncAnswerNs);
        } else if (key == "answer-delay") {
            ok = parseDuration(value, config.frameAnswerNs);
        } else if (key == "erase-time") {
            ok = parseDuration(value, config.massEraseNs);
        } else if (key == "write-time") {
            ok = parseDuration(value, config.writeNsPerByte);
        } else if (key == "trace") {
            ok = !value.empty();
            config.tracePath = value;
        } else if (key == "fault") {
            ok = parseFault(value, config);
        }
        if (!ok) {
            error = "bad sim setting '" + item + "'";
            return false;
        }
    }
    return true;
}

std::shared_ptr<SimTarget> lastSimTarget() { return lastTarget(); }

void setSimTargetHook(std::function<void(SimTarget&)> hook) { targetHook() = std::move(hook); }

void setKeepSimTrace(bool keep) { keepTraceDefault() = keep; }

void registerSimDevice() {
    static bool registered = false;
    if (registered) return;
    registered = true;
    platform::addDeviceOpener(
        [](const std::string& name, k32::DWORD, bool& failed) -> std::unique_ptr<platform::Device> {
            std::string settings;
            if (name == "sim") {
                settings.clear();
            } else if (name.compare(0, 4, "sim:") == 0) {
                settings = name.substr(4);
            } else {
                return nullptr;
            }
            SimConfig config;
            config.keepTrace = keepTraceDefault();
            std::string error;
            if (!parseSimSettings(settings, config, error)) {
                failed = true;
                return nullptr;
            }
            auto target = std::make_shared<SimTarget>(std::move(config));
            if (targetHook()) targetHook()(*target);
            lastTarget() = target;
            return std::make_unique<platform::TestPort>(target);
        });
}

}  // namespace sim
