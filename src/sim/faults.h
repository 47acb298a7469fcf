// The faults the simulated chip can be given, how a setting names them, and which one applies to
// a given answer, byte or read.
//
// A fault setting (the value of fault= in the device settings) is one of
//   silent | ignore-entry | fake-baud
//       whole-chip faults: the loader never sends anything, the entry sequence never starts it,
//       Change baud rate is acknowledged but the speed stays
//   nack:K:N | mute:K:N | length:K:N | stall:K:N | mute-after:K:N | stray:K:N[:XX] | prefix:K:N:HEX
//   | message:K:N[:XX] | crc:K:N
//       the answer to the Nth K (N+ for the Nth and all later ones); K is sync, any, password,
//       write, read, erase, load-pc, baud or a command code 0xNN of the chip's loader family
//       (the names stand for the family's own command; sync only for the classic loader).
//       message and crc are for the newer loader family only: the core reply 3B XX (default 03)
//       instead of carrying the command out, and a reply packet with a wrong checksum
//   corrupt:ADDR[:XX]        reads of ADDR come back XORed with XX (default 01)
//   garble-rx:N[:XX] | drop-rx:N | garble-tx:N[:XX] | drop-tx:N
//       the Nth byte the host sends (rx) or the model sends (tx)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/loader_protocol.h"

namespace sim {

struct SimConfig;

enum class FaultType {
    Nack,            // answer 0xA0 instead (the command is not carried out)
    Stray,           // answer `value` instead (the command is not carried out)
    Mute,            // no answer at all (the command is not carried out)
    LengthMismatch,  // a data reply whose two length bytes differ (instead of an acknowledge too)
    Stall,           // only the 0x80 that begins a data reply, then nothing
    MuteAfter,       // answer normally, then the loader falls silent until the next reset
    Prefix,          // send `bytes` in front of the normal answer
    Message,         // newer family: the core reply 3B `value` instead (the command is not done)
    BadCrc,          // newer family: the reply packet's checksum is wrong
    CorruptRead,     // TX data block reads the byte at `address` XORed with `value`
    GarbleRx,        // the Nth byte the host sends arrives XORed with `value`
    DropRx,          // the Nth byte the host sends is lost
    GarbleTx,        // the Nth byte the model sends leaves XORed with `value`
    DropTx,          // the Nth byte the model sends is lost
};

struct Fault {
    FaultType type = FaultType::Nack;
    int kind = kKindAnyCommand;  // answer faults: command code, kKindSync or kKindAnyCommand
    bool kindByName = false;     // kind came from a name (classic code; other families translate)
    unsigned nth = 1;            // 1-based count of the kind (or of bytes for the byte faults)
    bool andLater = false;       // applies to the Nth and every later one, not only the Nth
    std::uint16_t address = 0;
    std::uint8_t value = 0x01;
    std::vector<std::uint8_t> bytes;

    // Whether it applies to the `count`th of what it counts.
    bool hits(unsigned count) const { return count == nth || (andLater && count > nth); }
};

// Whether the fault takes the place of (or precedes, or follows) an answer of the loader.
bool isAnswerFault(FaultType type);

// The answer fault for the `count`th of `kind`, or nullptr.
const Fault* findAnswerFault(const std::vector<Fault>& faults, int kind, unsigned count);

// What the line does to the `count`th byte in one direction: lost with the `drop` fault, XORed with
// the value of each `garble` fault.
struct ByteOnLine {
    bool lost = false;
    std::uint8_t byte = 0;
};
ByteOnLine byteOnLine(const std::vector<Fault>& faults, FaultType drop, FaultType garble,
                      unsigned count, std::uint8_t byte);

// A byte read from `address` as the corrupt-read faults return it.
std::uint8_t corruptRead(const std::vector<Fault>& faults, std::uint16_t address,
                         std::uint8_t value);

// Reads one fault setting (see above) into `config`: a whole-chip fault sets its flag, any other
// is added to config.faults. False for a setting that names no fault.
bool parseFault(const std::string& text, SimConfig& config);

}  // namespace sim
