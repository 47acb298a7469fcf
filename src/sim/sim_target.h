// A simulated MSP430F1xx-class chip with its ROM bootstrap loader, at the far end of a serial line.
//
// The model sees the host's DTR and RTS lines (DTR set holds RST/NMI low; RTS drives TEST, with
// the sense chosen by the board wiring), every byte the host sends with the format it was sent in,
// and answers with bytes that take their real time on the wire. It starts its loader only when the
// reset line is released in the middle of the TEST entry pulses; otherwise it runs the firmware in
// its flash (a small application that prints a line and echoes what it receives) or stays silent.
//
// Times are nanoseconds on whatever clock the caller uses; the model never reads a clock itself.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/far_end.h"
#include "platform/line_format.h"

namespace sim {

constexpr std::uint64_t kNsPerUs = 1000;
constexpr std::uint64_t kNsPerMs = 1000000;

// Protocol bytes and command codes of the bootstrap loader.
constexpr std::uint8_t kSync = 0x80;
constexpr std::uint8_t kAck = 0x90;
constexpr std::uint8_t kNack = 0xA0;
constexpr std::uint8_t kCmdRxPassword = 0x10;
constexpr std::uint8_t kCmdRxDataBlock = 0x12;
constexpr std::uint8_t kCmdTxDataBlock = 0x14;
constexpr std::uint8_t kCmdMassErase = 0x18;
constexpr std::uint8_t kCmdLoadPc = 0x1A;
constexpr std::uint8_t kCmdChangeBaud = 0x20;

// What an answer fault or a count refers to: a command code (0..255), every synchronisation byte
// the loader acknowledges, or every well-formed frame whatever its command.
constexpr int kKindSync = 0x100;
constexpr int kKindAnyCommand = 0x101;

// Memory map.
constexpr std::uint32_t kRamStart = 0x0200, kRamEnd = 0x0A00;            // end exclusive
constexpr std::uint32_t kRomStart = 0x0C00, kRomEnd = 0x1000;
constexpr std::uint32_t kInfoFlashStart = 0x1000, kInfoFlashEnd = 0x1100;
constexpr std::uint32_t kMainFlashStart = 0x1100, kMainFlashEnd = 0x10000;
constexpr std::uint16_t kIdentification = 0x0FF0;  // 12 bytes: chip type, ..., loader version
constexpr std::uint16_t kVectorTable = 0xFFE0;
constexpr std::uint16_t kResetVector = 0xFFFE;
constexpr std::uint16_t kLoaderWarmStart = 0x0C22;
constexpr std::uint16_t kLoaderColdStart = 0x0C00;

enum class FaultType {
    Nack,            // answer 0xA0 instead (the command is not carried out)
    Stray,           // answer `value` instead (the command is not carried out)
    Mute,            // no answer at all (the command is not carried out)
    LengthMismatch,  // a data reply whose two length bytes differ (instead of an acknowledge too)
    Stall,           // only the 0x80 that begins a data reply, then nothing
    MuteAfter,       // answer normally, then the loader falls silent until the next reset
    Prefix,          // send `bytes` in front of the normal answer
    CorruptRead,     // TX data block reads the byte at `address` XORed with `value`
    GarbleRx,        // the Nth byte the host sends arrives XORed with `value`
    DropRx,          // the Nth byte the host sends is lost
    GarbleTx,        // the Nth byte the model sends leaves XORed with `value`
    DropTx,          // the Nth byte the model sends is lost
};

struct Fault {
    FaultType type = FaultType::Nack;
    int kind = kKindAnyCommand;  // answer faults: command code, kKindSync or kKindAnyCommand
    unsigned nth = 1;            // 1-based count of the kind (or of bytes for the byte faults)
    bool andLater = false;       // applies to the Nth and every later one, not only the Nth
    std::uint16_t address = 0;
    std::uint8_t value = 0x01;
    std::vector<std::uint8_t> bytes;
};

struct SimConfig {
    std::uint16_t chipType = 0xF149;
    std::uint8_t versionMajor = 0x01;  // loader version as shown, e.g. 0x01 0x61 is "01.61"
    std::uint8_t versionMinor = 0x61;
    std::uint8_t replacementMajor = 0x01;  // what a started replacement loader reports
    std::uint8_t replacementMinor = 0x50;
    // Board wiring of TEST: normally RTS set is the TEST pulse state and RTS clear its rest;
    // inverted boards (those the tool's test-mode option serves) have it the other way round.
    bool invertTest = false;
    // The firmware's own serial format.
    platform::LineFormat appFormat{115200, 8, 0, 0};
    std::string appGreeting = "MSP430 application running\r\n";
    // false: the chip comes with an older firmware and calibration data in its flash (so erasing is
    // observable, and a normal reset runs that firmware); true: the flash is erased.
    bool blankFlash = false;
    // Timing.
    std::uint64_t loaderReadyNs = 2 * kNsPerMs;   // from release of reset to a listening loader
    std::uint64_t appStartNs = 1 * kNsPerMs;      // from release of reset to the greeting
    std::uint64_t entryRestNs = 200 * kNsPerMs;   // TEST rest needed before the entry pulses
    // Reception. A loader waits for the next byte of a frame; only a gap longer than
    // frameTimeoutNs between two of its bytes abandons it. The default is far beyond anything the
    // host's own timing leaves (it writes a frame byte after byte, 10 ms after the acknowledge), so
    // a slow or loaded host is never cut off; a short value models a strict loader.
    std::uint64_t frameTimeoutNs = 1000 * kNsPerMs;
    // Silence that ends the skipping of a malformed frame; the loader then answers 0xA0.
    std::uint64_t discardPauseNs = 50 * kNsPerMs;
    // A 0x80 that comes long after the acknowledge (more than frameTimeoutNs) is still the header
    // of a frame, and the rest is waited for like any other. With lateSyncNs set, a loader that hears nothing more for that
    // long after such a lone 0x80 takes it as a new synchronisation and acknowledges it (so a host
    // that missed an acknowledge and synchronises again gets one); 0: never.
    std::uint64_t lateSyncNs = 0;
    std::uint64_t syncAnswerNs = 0;               // from a synchronisation byte to its answer
    std::uint64_t frameAnswerNs = 0;              // from a frame's last byte to its answer
    std::uint64_t massEraseNs = 0;                // added for Mass erase
    std::uint64_t writeNsPerByte = 0;             // added per byte of RX data block
    // Start in the loader, listening, as if the entry sequence had just been played (used where
    // the host's control lines cannot reach the model).
    bool startInLoader = false;
    // Whole-chip faults.
    bool silent = false;           // the loader starts but never sends anything
    bool ignoreEntry = false;      // the entry sequence never starts the loader
    bool fakeBaudChange = false;   // Change baud rate is acknowledged but the speed stays
    std::vector<Fault> faults;
    // Human-readable trace written here as it happens ("" for none).
    std::string tracePath;
    // Keep every trace entry in memory for trace(), hostBytes(), modelBytes() and dump(). A long
    // run makes an entry for every byte and event, all held until the model goes; without this
    // those four see nothing, while the trace file above is written all the same.
    bool keepTrace = true;
};

struct TraceEntry {
    enum class Kind {
        Lines,        // the host changed DTR/RTS: dtr, rts
        HostFormat,   // the host's line format changed: format
        ModelFormat,  // the model's own line format changed: format
        HostByte,     // a byte from the host: byte as sent, received = as the model decoded it
        ModelByte,    // a byte from the model: byte as sent, received = as the host decoded it
        Event,        // what the model did: text
    };
    std::uint64_t timeNs = 0;  // bytes: when the stop bit ends at the receiver
    Kind kind = Kind::Event;
    bool dtr = false;
    bool rts = false;
    platform::LineFormat format{};
    std::uint8_t byte = 0;
    std::optional<std::uint8_t> received;  // nullopt: lost (framing or parity error, or dropped)
    std::string text;                      // events, and why a host byte was ignored
};

// Decodes one character sent in format `tx` by a receiver set to `rx`: with equal formats it is the
// byte itself; otherwise the receiver samples the sender's waveform (start bit, data bits LSB
// first, parity bit, stop bits, then idle line) at the middle of each of its own bit times, from the
// falling edge of the start bit. A start bit that is not low, a stop bit that is not high (framing
// error) or a wrong parity bit loses the character. Every character is decoded on its own.
std::optional<std::uint8_t> decodeCharacter(std::uint8_t byte, const platform::LineFormat& tx,
                                            const platform::LineFormat& rx);

// The loader's frame checksum: the low byte is the complement of the XOR of the bytes at even
// positions, the high byte that of the bytes at odd positions (an odd count, as in a reply to a read
// of an odd number of bytes, leaves its last byte in the low half).
std::uint16_t frameChecksum(const std::uint8_t* bytes, std::size_t count);

class SimTarget final : public platform::FarEnd {
public:
    enum class Mode { Halted, Loader, Application, Silent };

    explicit SimTarget(SimConfig config = {});
    ~SimTarget() override;

    // FarEnd
    void hostLines(std::uint64_t t, bool dtr, bool rts) override;
    void hostFormat(std::uint64_t t, const platform::LineFormat& format) override;
    void hostByte(std::uint64_t t, std::uint8_t byte, const platform::LineFormat& format) override;
    void advanceTo(std::uint64_t t) override;
    std::optional<std::uint64_t> nextEventTime() override;

    // Puts the chip straight into a listening ROM loader at time t (9600 Bd, even parity, locked),
    // as a played entry sequence would; used where the host's lines cannot reach the model.
    void startLoader(std::uint64_t t);

    // Configuration and faults; faults may be added at any time.
    const SimConfig& config() const { return config_; }
    void addFault(const Fault& fault) { config_.faults.push_back(fault); }
    void setSilent(bool on) { config_.silent = on; }
    void setIgnoreEntry(bool on) { config_.ignoreEntry = on; }
    void setFakeBaudChange(bool on) { config_.fakeBaudChange = on; }

    // State.
    Mode mode() const { return mode_; }
    bool locked() const { return locked_; }
    bool replacementLoaderRunning() const { return replacementRunning_; }
    bool inReset() const { return rstLow_; }
    const platform::LineFormat& format() const { return format_; }  // the model's UART format
    unsigned commandCount(int kind) const;  // well-formed frames (or acknowledged syncs) so far
    unsigned loaderStarts() const { return loaderStarts_; }
    unsigned applicationStarts() const { return appStarts_; }

    // Memory as stored (no read faults). poke writes any address, ROM included, as a programmer
    // of the chip's masks would; it is for setting up test situations.
    std::uint8_t peek(std::uint16_t address) const { return memory_[address]; }
    std::vector<std::uint8_t> peek(std::uint16_t address, std::size_t count) const;
    void poke(std::uint16_t address, const std::vector<std::uint8_t>& bytes);
    const std::array<std::uint8_t, 0x10000>& memory() const { return memory_; }

    // Trace (empty unless the configuration keeps it).
    const std::vector<TraceEntry>& trace() const { return trace_; }
    void clearTrace() { trace_.clear(); }
    std::vector<std::uint8_t> hostBytes() const;   // as the host sent them
    std::vector<std::uint8_t> modelBytes() const;  // as the model sent them
    static std::string formatEntry(const TraceEntry& entry);
    std::string dump() const;

private:
    enum class RxState { Idle, Frame, Discard };
    struct TxByte {
        std::uint64_t startNs;
        std::uint8_t byte;
        platform::LineFormat format;
        bool lost;
    };
    struct Action {
        std::uint64_t atNs;
        unsigned serial;
        int what;
        std::uint64_t arg;
    };
    enum ActionKind { kStartApp, kSwitchBaud, kRestartRom, kStartReplacement, kLeaveLoader, kDiscardEnd, kLateSync };

    void powerOnIfNeeded(std::uint64_t t);
    void runTo(std::uint64_t t);
    void runAction(const Action& a);
    void schedule(std::uint64_t at, int what, std::uint64_t arg = 0);
    void cancelActivity();
    void setMode(std::uint64_t t, Mode mode, const char* why);
    void setFormat(std::uint64_t t, const platform::LineFormat& f);
    void releaseReset(std::uint64_t t);
    void startApplication(std::uint64_t t);
    void enterLoader(std::uint64_t t, bool replacement, std::uint64_t readyAt);

    void receive(std::uint64_t t, std::uint8_t byte);
    void loaderByte(std::uint64_t t, std::uint8_t byte);
    void acceptSync(std::uint64_t t);
    void frameComplete(std::uint64_t t);
    void execute(std::uint64_t t);
    bool applyAnswerFault(std::uint64_t t, const Fault& fault, std::uint8_t command);
    // Queues bytes back to back from time t on; returns when the last one's stop bit ends.
    std::uint64_t send(std::uint64_t t, const std::vector<std::uint8_t>& bytes);
    std::uint64_t sendDataReply(std::uint64_t t, std::uint8_t l1, std::uint8_t l2,
                                const std::vector<std::uint8_t>& data);
    const Fault* answerFault(int kind, unsigned count) const;

    bool readAllowed(std::uint32_t address, std::size_t count) const;
    std::uint8_t readMemory(std::uint16_t address) const;
    void writeMemory(std::uint16_t address, std::uint8_t byte);
    void massErase();
    bool ramWritten(std::uint16_t address) const;

    void record(TraceEntry entry);
    void note(std::uint64_t t, const std::string& text);

    SimConfig config_;
    std::array<std::uint8_t, 0x10000> memory_{};
    std::vector<bool> ramWritten_;

    bool powered_ = false;
    std::uint64_t nowNs_ = 0;
    Mode mode_ = Mode::Halted;
    platform::LineFormat format_{9600, 8, 2, 0};

    // Lines and entry detection.
    bool dtr_ = false;
    bool rts_ = false;
    bool rstLow_ = false;
    bool testPulse_ = false;
    std::uint64_t testRestSince_ = 0;
    int entryPulses_ = -1;  // pulses since a long enough TEST rest with RST low; -1: none valid

    // Loader.
    bool locked_ = true;
    bool replacementRunning_ = false;
    bool muted_ = false;
    std::uint64_t readyAtNs_ = 0;
    RxState rxState_ = RxState::Idle;
    std::vector<std::uint8_t> frame_;
    std::uint64_t lastRxNs_ = 0;

    // Counters.
    std::array<unsigned, 0x102> counts_{};
    unsigned hostByteCount_ = 0;
    unsigned modelByteCount_ = 0;
    unsigned loaderStarts_ = 0;
    unsigned appStarts_ = 0;

    // Output and pending work.
    std::vector<TxByte> tx_;
    std::size_t txNext_ = 0;
    std::uint64_t txFreeNs_ = 0;
    std::vector<Action> actions_;
    unsigned actionSerial_ = 0;

    std::vector<TraceEntry> trace_;
    std::FILE* traceFile_ = nullptr;
};

}  // namespace sim
