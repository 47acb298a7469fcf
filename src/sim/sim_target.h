// A simulated MSP430F1xx-class chip with its ROM bootstrap loader, at the far end of a serial line.
//
// The model sees the host's DTR and RTS lines (DTR set holds RST/NMI low; RTS drives TEST, with
// the sense chosen by the board wiring), every byte the host sends with the format it was sent in,
// and answers with bytes that take their real time on the wire. It starts its loader only when the
// reset line is released in the middle of the TEST entry pulses; otherwise its CPU runs the
// firmware in its flash from the reset vector (mcu/mcu.h), with the host's line wired to a USART.
//
// Times are nanoseconds on whatever clock the caller uses; the model never reads a clock itself.
//
// The model's work lies in three files: sim_target.cpp (power, modes, scheduled work, memory),
// target_line.cpp (how the lines, formats and bytes travel between host and chip) and the loader
// model of the chip's family (loader_model.h; classic_loader.cpp for the F1xx's loader), which
// decides what the loader does with the bytes it hears; the firmware runs on the microcontroller
// in mcu/. Its fixed data is in chip.h, its settings in sim_config.h, its faults in
// faults.h and its trace in trace.h.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/line_format.h"
#include "platform/simulated/far_end.h"
#include "sim/chip.h"
#include "sim/faults.h"
#include "sim/loader_model.h"
#include "sim/loader_protocol.h"
#include "sim/newer_loader.h"
#include "sim/mcu/mcu.h"
#include "sim/sim_config.h"
#include "sim/trace.h"
#include "sim/uart.h"

namespace sim {

class SimTarget final : public platform::FarEnd, private mcu::McuHooks, private LoaderLine {
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
    bool locked() const { return loader_->locked(); }
    bool replacementLoaderRunning() const { return loader_->replacementRunning(); }
    bool inReset() const { return rstLow_; }
    const platform::LineFormat& format() const { return format_; }  // the model's UART format
    unsigned commandCount(int kind) const;  // well-formed frames (or acknowledged syncs) so far
    unsigned loaderStarts() const { return loaderStarts_; }
    unsigned applicationStarts() const { return appStarts_; }
    // The loader of a chip of the newer family (its memory included), or nullptr on a classic chip.
    NewerLoader* newerLoader() { return newer_; }
    const NewerLoader* newerLoader() const { return newer_; }
    // The chip's CPU and peripherals, as the firmware left them.
    mcu::Mcu& mcu() { return *mcu_; }

    // Memory as stored (no read faults). poke writes any address, ROM included, as a programmer
    // of the chip's masks would; it is for setting up test situations.
    std::uint8_t peek(std::uint16_t address) const { return memory_[address]; }
    std::vector<std::uint8_t> peek(std::uint16_t address, std::size_t count) const;
    void poke(std::uint16_t address, const std::vector<std::uint8_t>& bytes);
    const Memory& memory() const { return memory_; }

    // Trace (empty unless the configuration keeps it).
    const std::vector<TraceEntry>& trace() const { return trace_.entries(); }
    void clearTrace() { trace_.clear(); }
    std::vector<std::uint8_t> hostBytes() const { return trace_.hostBytes(); }
    std::vector<std::uint8_t> modelBytes() const { return trace_.modelBytes(); }
    static std::string formatEntry(const TraceEntry& entry) { return Trace::format(entry); }
    std::string dump() const { return trace_.dump(); }

private:
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
    enum ActionKind {
        kStartApp,
        kSwitchBaud,
        kRestartRom,
        kStartReplacement,
        kLeaveLoader,
        kLoaderTimer  // and above: the loader model's timers, kLoaderTimer + its own number
    };

    void powerOnIfNeeded(std::uint64_t t);
    void runTo(std::uint64_t t);
    void startNextByte();
    void runAction(const Action& a);
    void schedule(std::uint64_t at, int what, std::uint64_t arg = 0);
    void cancelActivity();
    void setMode(std::uint64_t t, Mode mode, const char* why);
    void setFormat(std::uint64_t t, const platform::LineFormat& f);
    void releaseReset(std::uint64_t t);
    void startApplication(std::uint64_t t);
    void startApplicationAt(std::uint64_t t, std::uint16_t pc);
    void runFirmware(std::uint64_t t);
    void flushTxTo(std::uint64_t t);  // bytes that start on the wire by t go out

    // McuHooks
    void transmit(std::uint64_t startPs, std::uint8_t byte,
                  const platform::LineFormat& format) override;
    void formatChanged(std::uint64_t ps, const platform::LineFormat& format) override;
    void traceEvent(std::uint64_t ps, const std::string& text) override;
    void enterLoader(std::uint64_t t, bool replacement, std::uint64_t readyAt);

    void receive(std::uint64_t t, std::uint8_t byte);

    // LoaderLine
    std::uint64_t send(std::uint64_t t, const std::vector<std::uint8_t>& bytes) override;
    void note(std::uint64_t t, const std::string& text) override { trace_.note(t, text); }
    std::uint64_t now() const override { return nowNs_; }
    void setTimer(std::uint64_t at, int what, std::uint64_t arg) override {
        schedule(at, kLoaderTimer + what, arg);
    }
    void changeBaud(std::uint64_t at, std::uint32_t baud) override {
        schedule(at, kSwitchBaud, baud);
    }
    void restartLoader(std::uint64_t at) override { schedule(at, kRestartRom); }
    void startLoaderInRam(std::uint64_t at) override { schedule(at, kStartReplacement); }
    void leaveLoader(std::uint64_t at, std::uint32_t address) override {
        schedule(at, kLeaveLoader, address);
    }

    void record(TraceEntry entry) { trace_.record(std::move(entry)); }

    SimConfig config_;
    Memory memory_{};

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
    int risingEdges_ = 0;   // rising TEST edges since RST went low

    // Loader.
    std::unique_ptr<LoaderModel> loader_;
    NewerLoader* newer_ = nullptr;  // loader_, when it is the newer family's
    std::uint64_t readyAtNs_ = 0;

    // Counters.
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

    Trace trace_;
    std::unique_ptr<mcu::Mcu> mcu_;
};

}  // namespace sim
