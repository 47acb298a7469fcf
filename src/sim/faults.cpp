#include "sim/faults.h"

#include "sim/setting_values.h"
#include "sim/sim_config.h"

namespace sim {
namespace {

// The names a setting gives the kinds of answer.
const struct {
    const char* name;
    int kind;
} kKindNames[] = {
    {"sync", kKindSync},
    {"any", kKindAnyCommand},
    {"password", kCmdRxPassword},
    {"rx-password", kCmdRxPassword},
    {"write", kCmdRxDataBlock},
    {"rx-data", kCmdRxDataBlock},
    {"read", kCmdTxDataBlock},
    {"tx-data", kCmdTxDataBlock},
    {"erase", kCmdMassErase},
    {"mass-erase", kCmdMassErase},
    {"load-pc", kCmdLoadPc},
    {"baud", kCmdChangeBaud},
    {"change-baud", kCmdChangeBaud},
    {"version", kCmdTxVersion},
};

// Faults on an answer: type:kind:N, then a byte for stray (optional, default 55) or the bytes for
// prefix.
const struct {
    const char* name;
    FaultType type;
} kAnswerFaultNames[] = {
    {"nack", FaultType::Nack},     {"stray", FaultType::Stray},
    {"mute", FaultType::Mute},     {"length", FaultType::LengthMismatch},
    {"stall", FaultType::Stall},   {"mute-after", FaultType::MuteAfter},
    {"prefix", FaultType::Prefix}, {"message", FaultType::Message},
    {"crc", FaultType::BadCrc},
};

// Faults on the Nth byte of one direction: type:N, then a byte for the garbling ones.
const struct {
    const char* name;
    FaultType type;
} kByteFaultNames[] = {
    {"garble-rx", FaultType::GarbleRx},
    {"drop-rx", FaultType::DropRx},
    {"garble-tx", FaultType::GarbleTx},
    {"drop-tx", FaultType::DropTx},
};

bool parseKind(const std::string& text, int& kind, bool& byName) {
    for (const auto& n : kKindNames) {
        if (text == n.name) {
            kind = n.kind;
            byName = true;
            return true;
        }
    }
    unsigned long long code = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
        parseUnsigned(text, 16, 0xFF, code)) {
        kind = static_cast<int>(code);
        return true;
    }
    return false;
}

}  // namespace

bool isAnswerFault(FaultType t) {
    switch (t) {
        case FaultType::Nack:
        case FaultType::Stray:
        case FaultType::Mute:
        case FaultType::LengthMismatch:
        case FaultType::Stall:
        case FaultType::MuteAfter:
        case FaultType::Prefix:
        case FaultType::Message:
        case FaultType::BadCrc: return true;
        default: return false;
    }
}

const Fault* findAnswerFault(const std::vector<Fault>& faults, int kind, unsigned count) {
    for (const Fault& f : faults) {
        if (isAnswerFault(f.type) && f.kind == kind && f.hits(count)) return &f;
    }
    return nullptr;
}

ByteOnLine byteOnLine(const std::vector<Fault>& faults, FaultType drop, FaultType garble,
                      unsigned count, std::uint8_t byte) {
    ByteOnLine result;
    result.byte = byte;
    for (const Fault& f : faults) {
        if (!f.hits(count)) continue;
        if (f.type == drop) result.lost = true;
        if (f.type == garble) result.byte = static_cast<std::uint8_t>(result.byte ^ f.value);
    }
    return result;
}

std::uint8_t corruptRead(const std::vector<Fault>& faults, std::uint16_t address,
                         std::uint8_t value) {
    for (const Fault& f : faults) {
        if (f.type == FaultType::CorruptRead && f.address == address)
            value = static_cast<std::uint8_t>(value ^ f.value);
    }
    return value;
}

bool parseFault(const std::string& text, SimConfig& config) {
    if (text == "silent") return config.silent = true;
    if (text == "ignore-entry") return config.ignoreEntry = true;
    if (text == "fake-baud") return config.fakeBaudChange = true;

    std::vector<std::string> p = splitSetting(text, ':');
    Fault f;
    const std::string& type = p[0];
    for (const auto& a : kAnswerFaultNames) {
        if (type != a.name) continue;
        f.type = a.type;
        const bool extra = f.type == FaultType::Stray || f.type == FaultType::Prefix ||
                           f.type == FaultType::Message;
        if (p.size() < 3 || p.size() > (extra ? 4u : 3u)) return false;
        if (!parseKind(p[1], f.kind, f.kindByName) || !parseCount(p[2], f.nth, f.andLater))
            return false;
        if (f.type == FaultType::Stray || f.type == FaultType::Message) {
            f.value = f.type == FaultType::Stray ? 0x55 : 0x03;
            if (p.size() == 4 && !parseByte(p[3], f.value)) return false;
        }
        if (f.type == FaultType::Prefix && (p.size() != 4 || !parseHexBytes(p[3], f.bytes)))
            return false;
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
    for (const auto& b : kByteFaultNames) {
        if (type != b.name) continue;
        f.type = b.type;
        const bool garble = f.type == FaultType::GarbleRx || f.type == FaultType::GarbleTx;
        if (p.size() < 2 || p.size() > (garble ? 3u : 2u) || !parseCount(p[1], f.nth, f.andLater))
            return false;
        if (p.size() == 3 && (!parseByte(p[2], f.value) || f.value == 0)) return false;
        config.faults.push_back(f);
        return true;
    }
    return false;
}

}  // namespace sim
