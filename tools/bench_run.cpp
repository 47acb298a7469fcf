// The bench: the firmware goes into the board's flash as a loader would leave it, the chip starts
// from its reset vector, and the board runs on virtual time, as fast as the host allows or at a
// chosen multiple of real time. What the firmware sends on its UART goes to standard output as it
// comes; the chip's notes go to standard error with their time and the code that made them.
#include "bench_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <thread>

#include "bench_options.h"
#include "elf_symbols.h"
#include "image/image_file.h"
#include "image/memory_image.h"
#include "platform/run_output.h"
#include "sim/chip.h"
#include "sim/mcu/mcu.h"
#include "vcd_writer.h"

namespace simbench {
namespace {

// A slice of virtual time between looks at the expectation, the untimed sends and the pace.
constexpr std::uint64_t kSlicePs = 10 * 1000000000ull;  // 10 ms
// The expectation is looked for in this much of the latest output (a match must lie within it), so
// that a long run's output costs neither time nor memory.
constexpr std::size_t kExpectWindow = 4096;
// An untimed send waits until the firmware's output has paused this many character times.
constexpr std::uint64_t kQuietCharacters = 10;

// The image loader's messages go to standard error: standard output is the UART's.
class StderrOutput final : public platform::RunOutput {
public:
    void text(const char* bytes, std::size_t length) override {
        std::fwrite(bytes, 1, length, stderr);
    }
};

std::string timeText(std::uint64_t ps) {
    char text[40];
    std::snprintf(text, sizeof text, "%llu.%06llu s",
                  static_cast<unsigned long long>(ps / kPsPerSecond),
                  static_cast<unsigned long long>(ps % kPsPerSecond / 1000000));
    return text;
}

class Bench final : public sim::mcu::McuHooks {
public:
    Bench(const BenchOptions& options, const sim::ChipModel& chip, sim::Memory& memory)
        : options_(options),
          mcu_(memory, chip, this, sim::mcu::McuOptions{options.usart, options.xt2Hz}) {}

    ElfSymbols symbols;
    VcdWriter vcd;
    int run();

private:
    void transmit(std::uint64_t startPs, std::uint8_t byte,
                  const platform::LineFormat& format) override;
    void formatChanged(std::uint64_t, const platform::LineFormat&) override {}
    void traceEvent(std::uint64_t ps, const std::string& text) override;
    void pinsChanged(std::uint64_t ps, int port, std::uint8_t levels) override {
        vcd.port(ps, port, levels);
    }
    bool listening();
    void startSend(const std::string& bytes, std::uint64_t ps);
    void deliverUntil(std::uint64_t ps);
    void pace(std::uint64_t ps);

    const BenchOptions& options_;
    sim::mcu::Mcu mcu_;
    std::string output_;
    bool matched_ = false;
    std::uint64_t quietFromPs_ = 0;  // the firmware's last character ends here
    std::deque<std::pair<std::uint64_t, std::uint8_t>> incoming_;  // ends of host characters
    std::uint64_t lineFreePs_ = 0;                                 // the host's line is free
    std::chrono::steady_clock::time_point wallStart_ = std::chrono::steady_clock::now();
};

void Bench::transmit(std::uint64_t startPs, std::uint8_t byte, const platform::LineFormat& format) {
    std::fputc(byte, stdout);
    std::fflush(stdout);
    vcd.character(startPs, VcdWriter::kTxd, byte, format);
    quietFromPs_ = std::max(quietFromPs_, startPs + format.characterNs() * 1000);
    if (!options_.expect || matched_) return;
    output_ += static_cast<char>(byte);
    if (output_.size() > kExpectWindow) output_.erase(0, output_.size() - kExpectWindow);
    matched_ = std::regex_search(output_, *options_.expect);
}

void Bench::traceEvent(std::uint64_t ps, const std::string& text) {
    const bool pinLine = text.size() > 3 && text[0] == 'P' && text[2] == '.';
    if (pinLine && !options_.trace) return;
    const std::uint16_t pc = mcu_.cpu().r[0];
    const std::string where = symbols.describe(pc);
    std::fprintf(stderr, "[%s] %s (pc %04X%s%s)\n", timeText(ps).c_str(), text.c_str(), pc,
                 where.empty() ? "" : " ", where.c_str());
}

// The firmware listens once its USART's receiver is on and has its pins.
bool Bench::listening() {
    const int u = options_.usart;
    const std::uint8_t me = mcu_.sfr(u ? sim::mcu::kMe2 : sim::mcu::kMe1);
    return (me & (u ? 0x10 : 0x40)) && mcu_.usartPinsSelected(u);
}

void Bench::startSend(const std::string& bytes, std::uint64_t ps) {
    const platform::LineFormat format = mcu_.hostFormat();
    const std::uint64_t charPs = format.characterNs() * 1000;
    std::uint64_t start = std::max(ps, lineFreePs_);
    for (unsigned char byte : bytes) {
        vcd.character(start, VcdWriter::kRxd, byte, format);
        incoming_.emplace_back(start + charPs, byte);
        start += charPs;
    }
    lineFreePs_ = start;
}

void Bench::deliverUntil(std::uint64_t ps) {
    while (!incoming_.empty() && incoming_.front().first <= ps) {
        mcu_.runUntil(incoming_.front().first);
        mcu_.hostCharacter(incoming_.front().second);
        incoming_.pop_front();
    }
}

void Bench::pace(std::uint64_t ps) {
    if (options_.speed <= 0) return;
    const auto due = wallStart_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(ps / 1e12 / options_.speed));
    std::this_thread::sleep_until(due);
}

int Bench::run() {
    std::vector<PinLevel> pins = options_.pins;
    std::stable_sort(pins.begin(), pins.end(),
                     [](const PinLevel& a, const PinLevel& b) { return a.ps < b.ps; });
    std::vector<AnalogLevel> analog = options_.analog;
    std::stable_sort(analog.begin(), analog.end(),
                     [](const AnalogLevel& a, const AnalogLevel& b) { return a.ps < b.ps; });
    std::deque<Send> untimed;
    std::vector<Send> timed;
    for (const Send& s : options_.sends) {
        if (s.ps)
            timed.push_back(s);
        else
            untimed.push_back(s);
    }
    std::stable_sort(timed.begin(), timed.end(),
                     [](const Send& a, const Send& b) { return *a.ps < *b.ps; });

    // Pins and analog levels driven from the start are there before the firmware's first
    // instruction.
    std::size_t nextPin = 0, nextAnalog = 0, nextSend = 0;
    mcu_.powerOn(0);
    for (int port = 1; port <= 6; ++port) vcd.port(0, port, mcu_.ports().levels(port));
    for (; nextPin < pins.size() && pins[nextPin].ps == 0; ++nextPin)
        mcu_.driveInput(pins[nextPin].port, pins[nextPin].bit, pins[nextPin].high);
    for (; nextAnalog < analog.size() && analog[nextAnalog].ps == 0; ++nextAnalog)
        mcu_.setAnalogInput(analog[nextAnalog].channel, analog[nextAnalog].input);

    // Without anything to look at between stimuli the board runs from one stimulus to the next.
    const bool look = options_.expect || !untimed.empty() || options_.speed > 0;
    std::uint64_t now = 0;
    while (!matched_ && now < options_.limitPs) {
        std::uint64_t until = look ? std::min(options_.limitPs, now + kSlicePs) : options_.limitPs;
        if (nextPin < pins.size()) until = std::min(until, pins[nextPin].ps);
        if (nextAnalog < analog.size()) until = std::min(until, analog[nextAnalog].ps);
        if (nextSend < timed.size()) until = std::min(until, *timed[nextSend].ps);
        until = std::max(until, now);
        deliverUntil(until);
        mcu_.runUntil(until);
        now = std::max(until, mcu_.nowPs());
        for (; nextPin < pins.size() && pins[nextPin].ps <= now; ++nextPin)
            mcu_.driveInput(pins[nextPin].port, pins[nextPin].bit, pins[nextPin].high);
        for (; nextAnalog < analog.size() && analog[nextAnalog].ps <= now; ++nextAnalog)
            mcu_.setAnalogInput(analog[nextAnalog].channel, analog[nextAnalog].input);
        for (; nextSend < timed.size() && *timed[nextSend].ps <= now; ++nextSend)
            startSend(timed[nextSend].bytes, *timed[nextSend].ps);
        if (!untimed.empty() && incoming_.empty() && listening()) {
            const std::uint64_t quiet =
                quietFromPs_ + kQuietCharacters * mcu_.hostFormat().characterNs() * 1000;
            if (now >= quiet) {
                startSend(untimed.front().bytes, now);
                untimed.pop_front();
            }
        }
        vcd.flushUntil(now);
        pace(now);
    }
    if (!vcd.close(now)) {
        std::fprintf(stderr, "bsl430-sim run: writing %s failed\n", options_.vcdPath.c_str());
        return 2;
    }
    if (!options_.expect) return 0;
    if (matched_) return 0;
    std::fprintf(stderr, "bsl430-sim run: no output matched the expectation within %s\n",
                 timeText(options_.limitPs).c_str());
    return 1;
}

}  // namespace

int runBench(int argc, char** argv) {
    static const char kUsage[] =
        "usage: bsl430-sim run FIRMWARE [--for TIME] [--send TEXT[@TIME]] [--expect REGEX]\n"
        "         [--pin Pn.b=0|1[@TIME]] [--adc CH=LEVEL[@TIME]] [--script FILE]\n"
        "         [--vcd FILE] [--speed N] [--xt2 HZ]\n"
        "         [--chip NAME] [--uart usart0|usart1] [--trace]\n";
    if (argc == 1 && (std::string(argv[0]) == "--help" || std::string(argv[0]) == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    BenchOptions options;
    std::string error;
    if (!parseBenchOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "bsl430-sim run: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    StderrOutput loaderMessages;
    platform::RunOutput* before = platform::setRunOutput(&loaderMessages);
    const int loaded = loadImageFile(options.firmware.c_str(), 0);
    platform::setRunOutput(before);
    if (loaded != 0) {
        std::fprintf(stderr, "bsl430-sim run: cannot load the firmware %s\n",
                     options.firmware.c_str());
        return 2;
    }
    const sim::ChipModel& chip = *sim::chipModelNamed(options.chip);
    static sim::Memory memory;  // 64 KiB: not on the stack
    sim::loadPowerOnContents(memory, chip.id, 1, 61, true, 115200, "");
    for (int a = 0; a < kMemoryImageCells; ++a)
        if (MemoryImage[a] != kEmptyCell)
            memory[static_cast<std::size_t>(a)] = static_cast<std::uint8_t>(MemoryImage[a]);

    Bench bench(options, chip, memory);
    if (detectImageFormat(options.firmware.c_str()) == kElfFormat)
        bench.symbols.load(options.firmware);
    if (!options.vcdPath.empty() && !bench.vcd.open(options.vcdPath)) {
        std::fprintf(stderr, "bsl430-sim run: cannot write %s\n", options.vcdPath.c_str());
        return 2;
    }
    return bench.run();
}

}  // namespace simbench
