// The Telnet byte stream a network serial port speaks (RFC 854 with the Com Port Control Option of
// RFC 2217), shared by the rfc2217:// device and the simulated target's network server:
// - encoders that append to a byte vector: data with 0xFF doubled, an option negotiation, and a
//   COM-PORT-OPTION subnegotiation with its value escaped;
// - a receive-side Decoder fed raw bytes in any split, yielding data bytes and whole commands;
// - an OptionPolicy that answers the peer's negotiation only when it changes an option's state,
//   so two sides never answer each other's answers forever (in the spirit of RFC 1143).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform::telnet {

// Telnet commands (the byte after IAC).
constexpr std::uint8_t kSe = 240;  // end of subnegotiation
constexpr std::uint8_t kNop = 241;
constexpr std::uint8_t kGa = 249;  // go ahead
constexpr std::uint8_t kSb = 250;  // start of subnegotiation
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kIac = 255;  // interpret as command; doubled, a data byte 0xFF

// Options.
constexpr std::uint8_t kOptBinary = 0;
constexpr std::uint8_t kOptSuppressGoAhead = 3;
constexpr std::uint8_t kOptComPort = 44;

// COM-PORT-OPTION commands as the client sends them; the server's answers are these plus
// kServerOffset.
namespace cpo {
constexpr std::uint8_t kSignature = 0;
constexpr std::uint8_t kSetBaudRate = 1;
constexpr std::uint8_t kSetDataSize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopSize = 4;
constexpr std::uint8_t kSetControl = 5;
constexpr std::uint8_t kNotifyLineState = 6;
constexpr std::uint8_t kNotifyModemState = 7;
constexpr std::uint8_t kFlowControlSuspend = 8;
constexpr std::uint8_t kFlowControlResume = 9;
constexpr std::uint8_t kSetLineStateMask = 10;
constexpr std::uint8_t kSetModemStateMask = 11;
constexpr std::uint8_t kPurgeData = 12;
constexpr std::uint8_t kServerOffset = 100;

// SET-PARITY values (0 asks for the current one).
constexpr std::uint8_t kParityNone = 1;
constexpr std::uint8_t kParityOdd = 2;
constexpr std::uint8_t kParityEven = 3;
constexpr std::uint8_t kParityMark = 4;
constexpr std::uint8_t kParitySpace = 5;

// SET-STOPSIZE values.
constexpr std::uint8_t kStopOne = 1;
constexpr std::uint8_t kStopTwo = 2;
constexpr std::uint8_t kStopOneAndHalf = 3;

// SET-CONTROL values this system uses.
constexpr std::uint8_t kControlNoFlowControl = 1;  // outbound (and both, by most servers)
constexpr std::uint8_t kControlBreakOn = 5;
constexpr std::uint8_t kControlBreakOff = 6;
constexpr std::uint8_t kControlDtrOn = 8;
constexpr std::uint8_t kControlDtrOff = 9;
constexpr std::uint8_t kControlRtsOn = 11;
constexpr std::uint8_t kControlRtsOff = 12;
constexpr std::uint8_t kControlNoInboundFlowControl = 14;

// PURGE-DATA values.
constexpr std::uint8_t kPurgeReceive = 1;   // the access server's receive buffer
constexpr std::uint8_t kPurgeTransmit = 2;  // its transmit buffer
constexpr std::uint8_t kPurgeBoth = 3;

// NOTIFY-MODEMSTATE bits.
constexpr std::uint8_t kModemCd = 0x80;
constexpr std::uint8_t kModemRi = 0x40;
constexpr std::uint8_t kModemDsr = 0x20;
constexpr std::uint8_t kModemCts = 0x10;
}  // namespace cpo

// Appends `count` data bytes, each 0xFF doubled.
void appendData(std::vector<std::uint8_t>& out, const std::uint8_t* data, std::size_t count);
// Appends IAC `verb` `option` (verb one of kWill, kWont, kDo, kDont).
void appendNegotiation(std::vector<std::uint8_t>& out, std::uint8_t verb, std::uint8_t option);
// Appends IAC SB COM-PORT-OPTION `command` value IAC SE, with 0xFF in the value doubled.
void appendComPort(std::vector<std::uint8_t>& out, std::uint8_t command, const std::uint8_t* value,
                   std::size_t count);
void appendComPort(std::vector<std::uint8_t>& out, std::uint8_t command, std::uint8_t value);
// The 4-byte big-endian value of SET-BAUDRATE, and back (false unless exactly 4 bytes).
std::array<std::uint8_t, 4> baudRateValue(std::uint32_t baud);
bool readBaudRate(const std::uint8_t* value, std::size_t count, std::uint32_t& baud);

// A command the peer sent: a negotiation (verb kWill/kWont/kDo/kDont and the option), a
// subnegotiation (verb kSb, the option and its value with IAC IAC undone), or another Telnet
// command (verb kNop..kGa, kSe outside a subnegotiation; no option).
struct Command {
    // Longest subnegotiation value kept; the bytes of a longer one are dropped and it is marked
    // `truncated`, so a peer that never ends one cannot grow memory.
    static constexpr std::size_t kMaxValue = 64;

    std::uint8_t verb = 0;
    std::uint8_t option = 0;
    std::array<std::uint8_t, kMaxValue> value{};
    std::size_t size = 0;
    bool truncated = false;
};

class Decoder {
public:
    enum class Event { None, Data, Command };

    // Takes one received byte. Data: data() is a data byte. Command: command() is complete.
    Event push(std::uint8_t byte);
    std::uint8_t data() const { return data_; }
    const Command& command() const { return command_; }

    // Takes `count` bytes, appending the data bytes to `data` and calling onCommand for each
    // command in stream order (a callable taking const Command&).
    template <typename OnCommand>
    void feed(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& data,
              OnCommand&& onCommand) {
        for (std::size_t i = 0; i < count; ++i) {
            Event e = push(bytes[i]);
            if (e == Event::Data)
                data.push_back(data_);
            else if (e == Event::Command)
                onCommand(static_cast<const Command&>(command_));
        }
    }

    // Back to plain data (a new connection).
    void reset() { state_ = State::Data; }

private:
    enum class State { Data, Iac, Option, Sub, SubIac };
    Event afterIac(std::uint8_t byte);

    State state_ = State::Data;
    bool subHasOption_ = false;
    std::uint8_t data_ = 0;
    Command command_;
};

// Which options one side lets be enabled, and the state of every option on both sides. "Local" is
// this side's option (the peer sends DO/DONT, we answer WILL/WONT), "remote" the peer's (WILL/WONT
// answered by DO/DONT).
class OptionPolicy {
public:
    OptionPolicy(std::vector<std::uint8_t> localAccepted, std::vector<std::uint8_t> remoteAccepted);

    // Asks to enable our option (WILL) or the peer's (DO), once: appends the request unless the
    // option is already on or asked for.
    void requestLocal(std::vector<std::uint8_t>& out, std::uint8_t option);
    void requestRemote(std::vector<std::uint8_t>& out, std::uint8_t option);

    // Takes a negotiation the peer sent and appends the answer it needs, if any: a request that
    // changes nothing, or answers ours, gets none.
    void receive(std::vector<std::uint8_t>& out, std::uint8_t verb, std::uint8_t option);

    bool localEnabled(std::uint8_t option) const { return local_[option] == Q::Yes; }
    bool remoteEnabled(std::uint8_t option) const { return remote_[option] == Q::Yes; }

private:
    enum class Q : std::uint8_t { No, Yes, WantYes, WantNo };
    static void take(std::vector<std::uint8_t>& out, Q& state, bool enable, bool accepted,
                     std::uint8_t yes, std::uint8_t no, std::uint8_t option);

    std::array<bool, 256> localAccepted_{};
    std::array<bool, 256> remoteAccepted_{};
    std::array<Q, 256> local_{};
    std::array<Q, 256> remote_{};
};

}  // namespace platform::telnet
