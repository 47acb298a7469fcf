// A whole programming run (runMain with "--device") against a target whose every answer comes
// from the fuzzer, on a virtual clock.
//
// Input: the first byte picks options (bit 0 "-v on", bit 1 "--slow", bit 2 "--TEST", bit 3 the
// replacement loader "-b" with a loader file); the rest feeds the far end. For every byte the host
// sends, the next input byte says how many (its low 7 bits) of the following input bytes go back
// as the answer, back to back; with its top bit set, one more byte first delays the answer by that
// many times 5 ms (up to 1.3 s, past every time-out of the host). When the input is used up the
// far end falls silent.
//
// The run is checked against a model of the conversation built from the call log (every byte
// written, every single-byte read with its value or its time-out):
// - every frame follows an acknowledged synchronisation, carries a correct checksum and is the
//   frame the run's order calls for at that point (erase, password, identification, the loader
//   upgrade for version 1.10, the speed change, the blocks of the image, their read-back);
// - the first failing exchange ends the run, and the reported outcome is exactly the error
//   number that failure stands for; "Test OK" only when every exchange of the run succeeded and
//   every block read back matched;
// - the run's virtual time stays within the waits it was allowed (reads, writes, pauses), the
//   reset line is released and the port closed at the end.
//
// With BSL430_FUZZ_MAKE_SEEDS=<dir> in the environment the program writes its seed inputs into
// <dir> instead (answers recorded from the simulated target, one per option set) and exits. With
// BSL430_FUZZ_SHOW set it tells the outcome, exchange count and virtual time of every input.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bsl/frame_exchange.h"
#include "control/main_driver.h"
#include "fuzz_support.h"
#include "kit/call_log.h"
#include "kit/scripted_peer.h"
#include "kit/test_port.h"
#include "options/program_options.h"
#include "platform/clock.h"
#include "platform/device.h"
#include "sim/sim_target.h"

namespace {

using fuzzsupport::fail;

constexpr const char* kPortName = "fuzz-port";
constexpr std::uint64_t kNsPerMs = platform::kNsPerMs;
// A run that gets this far in virtual time is taken to be endless.
constexpr std::uint64_t kEndlessNs = 4ull * 3600 * 1000 * kNsPerMs;

enum OptionBits : std::uint8_t { kVerify = 1, kSlow = 2, kTestMode = 4, kLoaderFile = 8 };

struct Block {
    std::uint16_t address;
    std::vector<std::uint8_t> bytes;
};

// The images the run sends, as the blocks they form (even start, even length).
const std::vector<Block> kFirmwareBlocks = {{0xF000, {0x31, 0x40, 0x00, 0x0A, 0xB2, 0x40}},
                                            {0xFFFE, {0x00, 0xF0}}};
const std::vector<Block> kLoaderBlocks = {{0x0220, {0x22, 0x02, 0x3F, 0x40, 0x00, 0x00}}};
constexpr std::uint16_t kLoaderEntry = 0x0222;

std::string firmwarePath() { return fuzzsupport::scratchDirectory() + "/fw.hex"; }
std::string loaderPath() { return fuzzsupport::scratchDirectory() + "/loader.hex"; }

void writeImages() {
    std::string firmware, loader;
    for (const Block& b : kFirmwareBlocks) firmware += fuzzsupport::hexRecord(b.address, b.bytes);
    firmware += ":00000001FF\r\n";
    for (const Block& b : kLoaderBlocks) loader += fuzzsupport::hexRecord(b.address, b.bytes);
    loader += ":00000001FF\r\n";
    fuzzsupport::writeFile(firmwarePath(), firmware.data(), firmware.size());
    fuzzsupport::writeFile(loaderPath(), loader.data(), loader.size());
}

// ---- The far end
// ---------------------------------------------------------------------------------

class FuzzedLoader final : public platform::ScriptedPeer {
public:
    FuzzedLoader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {
        onByte = [this](ScriptedPeer& peer, std::uint64_t t, std::uint8_t) {
            if (pos_ >= size_) return;
            const std::uint8_t control = data_[pos_++];
            std::size_t count = control & 0x7F;
            std::uint64_t delayNs = 0;
            if ((control & 0x80) != 0 && pos_ < size_) delayNs = data_[pos_++] * 5 * kNsPerMs;
            std::vector<std::uint8_t> answer;
            while (count-- > 0 && pos_ < size_) answer.push_back(data_[pos_++]);
            if (!answer.empty()) peer.sendAt(t + delayNs, answer);
        };
    }
    void advanceTo(std::uint64_t t) override {
        if (t > kEndlessNs) fail("endless run", "virtual time beyond four hours");
        ScriptedPeer::advanceTo(t);
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// ---- The conversation as the call log shows it
// ----------------------------------------------------

struct Event {
    bool write;
    int value;  // the byte; for a read -1 when it timed out
};

std::vector<Event> conversation(const platform::CallLog& log) {
    std::vector<Event> events;
    bool inRead = false;
    for (const platform::RecordedCall& call : log.calls) {
        if (call.name == "WriteFile") {
            inRead = false;
            if (call.args.size() >= 2 && call.args[1] == 1)
                events.push_back(
                    {true, static_cast<int>(std::strtoul(call.text.c_str(), nullptr, 16))});
        } else if (call.name == "GetCommTimeouts") {
            // Every single-byte read starts by fetching the port's time-outs.
            events.push_back({false, -1});
            inRead = true;
        } else if (call.name == "ReadFile" && inRead && call.args.size() >= 3 &&
                   call.args[1] == 1) {
            if (events.back().value < 0) events.back().value = static_cast<int>(call.args[2]);
        }
    }
    return events;
}

struct Exchange {
    int result = 0;  // 0 done, 1 no synchronisation, 2 wrong answer, 3 lengths differ, -1 cut off
    std::uint8_t command = 0;
    std::uint16_t address = 0;
    std::uint16_t lengthField = 0;
    std::vector<std::uint8_t> data;
    bool dataReply = false;
    int replyLength = 0;
    std::vector<std::uint8_t> reply;  // data bytes then checksum, time-outs as 0xFF
};

// Splits the conversation into exchanges; any byte out of place is a fault of the host.
std::vector<Exchange> exchanges(const std::vector<Event>& events, int& reads, int& writes) {
    std::vector<Exchange> list;
    reads = writes = 0;
    for (const Event& e : events) (e.write ? writes : reads)++;
    std::size_t i = 0;
    auto read = [&](int& value) {
        if (i >= events.size()) return false;
        if (events[i].write) fail("protocol", "a byte written where the host had to read");
        value = events[i++].value;
        return true;
    };
    auto write = [&](std::uint8_t& value) {
        if (i >= events.size()) return false;
        if (!events[i].write) fail("protocol", "a read where the host had to write");
        value = static_cast<std::uint8_t>(events[i++].value);
        return true;
    };
    while (i < events.size()) {
        Exchange x;
        x.result = -1;
        list.push_back(x);
        Exchange& ex = list.back();
        bool synced = false;
        for (int attempt = 1; attempt <= 3 && !synced; ++attempt) {
            std::uint8_t sync = 0;
            int answer = 0;
            if (!write(sync)) return list;
            if (sync != 0x80) fail("protocol", "an exchange that does not start with 0x80");
            if (!read(answer)) return list;
            if (answer == 0x90) synced = true;
        }
        if (!synced) {
            ex.result = 1;
            continue;
        }
        std::uint8_t header[8];
        for (std::uint8_t& b : header)
            if (!write(b)) return list;
        if (header[0] != 0x80 || header[2] != header[3] || header[2] < 4)
            fail("protocol", "malformed frame header");
        ex.command = header[1];
        ex.address = static_cast<std::uint16_t>(header[4] | header[5] << 8);
        ex.lengthField = static_cast<std::uint16_t>(header[6] | header[7] << 8);
        const int dataLength = header[2] - 4;
        if (dataLength % 2 != 0) fail("protocol", "odd data length");
        std::uint16_t sum = 0xFFFF;
        for (int k = 0; k < 8; k += 2)
            sum ^= static_cast<std::uint16_t>(header[k] | header[k + 1] << 8);
        for (int k = 0; k < dataLength; ++k) {
            std::uint8_t b = 0;
            if (!write(b)) return list;
            ex.data.push_back(b);
        }
        for (int k = 0; k < dataLength; k += 2)
            sum ^= static_cast<std::uint16_t>(ex.data[k] | ex.data[k + 1] << 8);
        std::uint8_t low = 0, high = 0;
        if (!write(low) || !write(high)) return list;
        if ((low | high << 8) != sum) fail("protocol", "wrong frame checksum");

        int answer = 0;
        if (!read(answer)) return list;
        if (answer == 0x90) {
            ex.result = 0;
            continue;
        }
        if (answer != 0x80) {
            ex.result = 2;
            continue;
        }
        ex.dataReply = true;
        int ignored = 0, l1 = 0, l2 = 0;
        if (!read(ignored) || !read(l1) || !read(l2)) return list;
        l1 = l1 < 0 ? 0xFF : l1;
        l2 = l2 < 0 ? 0xFF : l2;
        if (l1 != l2) {
            ex.result = 3;
            continue;
        }
        ex.replyLength = l1;
        for (int k = 0; k < l1 + 2; ++k) {
            int b = 0;
            if (!read(b)) return list;
            ex.reply.push_back(static_cast<std::uint8_t>(b < 0 ? 0xFF : b));
        }
        ex.result = 0;
    }
    return list;
}

// ---- The run's order, and the outcome the exchanges call for
// ---------------------------------------

struct Expect {
    std::uint8_t command;
    std::uint16_t address;
    std::uint16_t lengthField;
    std::vector<std::uint8_t> data;  // the frame's data (RX commands)
};

// Walks the exchanges along the run's order. Where the replies leave the run's course open (a
// version or a read-back that the reply did not carry completely, so that the buffer's earlier
// contents decide), one bit of `choices` picks the branch: 0 the check passes, 1 it fails.
class Walker {
public:
    Walker(const std::vector<Exchange>& list, unsigned choices) : list_(list), choices_(choices) {}

    // The next exchange's result when it is the expected frame; nullopt when it is another frame
    // or there is none (this branch does not fit the run).
    std::optional<int> step(const Expect& e) {
        if (at_ >= list_.size()) return std::nullopt;
        const Exchange& x = list_[at_++];
        if (x.result == -1) fail("protocol", "the run ended inside an exchange");
        if (x.result == 1) return 1;  // no frame was sent
        if (x.command != e.command || x.address != e.address || x.lengthField != e.lengthField ||
            x.data != e.data)
            return std::nullopt;
        return x.result;
    }
    bool choose() { return (choices_ >> used_++) & 1u; }
    const Exchange& last() const { return list_[at_ - 1]; }
    bool more() const { return at_ < list_.size(); }
    unsigned choicesUsed() const { return used_; }

private:
    const std::vector<Exchange>& list_;
    unsigned choices_;
    unsigned used_ = 0;
    std::size_t at_ = 0;
};

const std::vector<std::uint8_t> kPassword(32, 0xFF);

// Sends the blocks and reads them back: 0, or the download's own failure (2 send, 3 read-back,
// 4 comparison); nullopt when the exchanges do not fit.
std::optional<int> download(Walker& w, const std::vector<Block>& blocks, bool verify) {
    for (const Block& b : blocks) {
        auto r = w.step({0x12, b.address, static_cast<std::uint16_t>(b.bytes.size()), b.bytes});
        if (!r) return std::nullopt;
        if (*r != 0) return 2;
    }
    if (!verify) return 0;
    for (const Block& b : blocks) {
        auto r = w.step({0x14, b.address, static_cast<std::uint16_t>(b.bytes.size()), {}});
        if (!r) return std::nullopt;
        if (*r != 0) return 3;
        const Exchange& x = w.last();
        // An acknowledge instead of data, or fewer data bytes than the block has, leaves bytes of
        // the buffer's earlier contents in the comparison: either course is the run's to take.
        if (!x.dataReply || x.replyLength < static_cast<int>(b.bytes.size())) {
            if (w.choose()) return 4;
            continue;
        }
        if (!std::equal(b.bytes.begin(), b.bytes.end(), x.reply.begin())) return 4;
    }
    return 0;
}

std::optional<int> expectedOutcome(Walker& w, std::uint8_t options) {
    auto bsl = [&](const Expect& e, int offset) -> std::optional<int> {
        auto r = w.step(e);
        if (!r) return std::nullopt;
        return *r == 0 ? 0 : *r + offset;
    };
#define STEP(expr)                    \
    do {                              \
        auto r_ = (expr);             \
        if (!r_) return std::nullopt; \
        if (*r_ != 0) return *r_;     \
    } while (0)

    STEP(bsl({0x18, 0xFF00, 0xA506, {}}, 0));
    STEP(bsl({0x10, 0xFFE0, 0x20, kPassword}, 3));
    STEP(bsl({0x14, 0x0FF0, 12, {}}, 6));

    // Version 1.10 is upgraded. A reply that did not carry both version bytes leaves the choice to
    // the buffer's earlier contents.
    const Exchange& id = w.last();
    const bool upgrade = id.dataReply && id.reply.size() >= 12
                             ? id.reply[10] == 0x01 && id.reply[11] == 0x10
                             : w.choose();
    if (upgrade) {
        for (int k = 0; k < 20; ++k) STEP(bsl({0x18, 0xFF00, 0xA506, {}}, 0));
        STEP(bsl({0x1A, 0x0C22, 0, {}}, 9));
        STEP(bsl({0x10, 0xFFE0, 0x20, kPassword}, 12));
        if (!(options & kLoaderFile)) return 35;  // the default loader file does not exist
        auto r = download(w, kLoaderBlocks, options & kVerify);
        if (!r) return std::nullopt;
        if (*r) return *r + 34;
        auto started = w.step({0x1A, kLoaderEntry, 0, {}});
        if (!started) return std::nullopt;
        if (*started) return 39;
    }
    if (!(options & kSlow))
        STEP(bsl({0x20, static_cast<std::uint16_t>(options & kTestMode ? 0x8C80 : 0x87E0), 2, {}},
                 24));
    auto r = download(w, kFirmwareBlocks, options & kVerify);
    if (!r) return std::nullopt;
    if (*r) return *r + 39;
    return 0;
#undef STEP
}

// Every outcome that fits the exchanges, over all the open choices.
std::vector<int> expectedOutcomes(const std::vector<Exchange>& list, std::uint8_t options) {
    std::vector<int> outcomes;
    for (unsigned choices = 0, limit = 1; choices < limit; ++choices) {
        Walker w(list, choices);
        std::optional<int> outcome = expectedOutcome(w, options);
        limit = std::max(limit, 1u << w.choicesUsed());
        // A branch fits only when it accounts for every exchange the run made.
        if (outcome && !w.more() &&
            std::find(outcomes.begin(), outcomes.end(), *outcome) == outcomes.end())
            outcomes.push_back(*outcome);
    }
    return outcomes;
}

// The run's reported outcome: 0 for "Test OK", the number of the error box, -1 for neither.
int reportedOutcome(const std::string& output) {
    const bool ok = output.find("\nTest OK\n\n") != std::string::npos;
    const std::string box = "\n****************\n* Chyba c. ";
    std::size_t at = output.find(box);
    if (ok && at != std::string::npos) fail("report", "both Test OK and an error box");
    if (ok) return 0;
    if (at == std::string::npos) return -1;
    return std::atoi(output.c_str() + at + box.size());
}

struct RunResult {
    std::string output;
    std::vector<Exchange> list;
    int reads = 0, writes = 0;
    std::uint64_t elapsedNs = 0;
    bool resetReleased = false;
    bool portClosed = false;
};

std::vector<std::string> commandLine(std::uint8_t options) {
    // The classic loader's run: without an answer to its synchronisation the run would go on to
    // ask the newer loader, whose packets this model does not follow.
    std::vector<std::string> words = {"bsl430", "--device", kPortName, "--family", "classic",
                                      "-v",     options & kVerify ? "on" : "off"};
    if (options & kSlow) words.push_back("--slow");
    if (options & kTestMode) words.push_back("--TEST");
    if (options & kLoaderFile) {
        words.push_back("-b");
        words.push_back(loaderPath());
    }
    words.push_back(firmwarePath());
    return words;
}

fuzzsupport::StdoutCapture& output() {
    static auto* capture = new fuzzsupport::StdoutCapture;
    return *capture;
}

RunResult run(std::uint8_t options, std::shared_ptr<platform::FarEnd> farEnd,
              const std::vector<platform::ScriptedPeer::HostLines>* lines) {
    platform::VirtualClock clock(0xFFFFF000u);  // the tick counter wraps during the run
    platform::CallLog log;
    platform::Clock* previousClock = platform::setProcessClock(&clock);
    platform::CallLog* previousLog = platform::setCallLog(&log);
    const int opener = platform::serveTestPort(kPortName, farEnd);

    std::vector<std::string> words = commandLine(options);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    resetSettings();
    std::memset(ReplyBuffer, 0, sizeof ReplyBuffer);
    output().clear();
    const int exitCode = runMain(static_cast<int>(words.size()), argv.data());
    RunResult result;
    result.output = output().capture();
    if (exitCode != 0) fail("exit code", std::to_string(exitCode));
    result.elapsedNs = clock.nowNs();

    // The port is free again only when the run closed it.
    k32::HANDLE again = k32::CreateFileA(kPortName, k32::GENERIC_READ | k32::GENERIC_WRITE, 0,
                                         nullptr, k32::OPEN_EXISTING, 0, nullptr);
    result.portClosed = again != k32::INVALID_HANDLE_VALUE;
    if (result.portClosed) k32::CloseHandle(again);
    if (lines) result.resetReleased = !lines->empty() && !lines->back().dtr;

    platform::removeDeviceOpener(opener);
    platform::setCallLog(previousLog);
    platform::setProcessClock(previousClock);
    result.list = exchanges(conversation(log), result.reads, result.writes);
    return result;
}

// ---- Seeds: the simulated target's answers, recorded per host byte
// ---------------------------------

class Recorder final : public platform::FarEnd, private platform::HostLink {
public:
    explicit Recorder(sim::SimConfig config) : target_(std::make_shared<sim::SimTarget>(config)) {
        target_->attach(this);
    }
    std::vector<std::vector<std::uint8_t>> answers;
    std::vector<platform::ScriptedPeer::HostLines> lines;

    void hostLines(std::uint64_t t, bool dtr, bool rts) override {
        lines.push_back({t, dtr, rts});
        target_->hostLines(t, dtr, rts);
    }
    void hostFormat(std::uint64_t t, const platform::LineFormat& format) override {
        target_->hostFormat(t, format);
    }
    void hostByte(std::uint64_t t, std::uint8_t byte, const platform::LineFormat& format) override {
        answers.emplace_back();
        target_->hostByte(t, byte, format);
    }
    void advanceTo(std::uint64_t t) override { target_->advanceTo(t); }
    std::optional<std::uint64_t> nextEventTime() override { return target_->nextEventTime(); }

private:
    void deliver(std::uint64_t arrivalNs, std::uint8_t byte) override {
        if (!answers.empty()) answers.back().push_back(byte);
        if (link_) link_->deliver(arrivalNs, byte);
    }
    platform::LineFormat hostFormat() const override {
        return link_ ? link_->hostFormat() : platform::LineFormat{};
    }
    std::shared_ptr<sim::SimTarget> target_;
};

void checkRun(std::uint8_t options, const RunResult& r);

void makeSeeds(const std::string& directory) {
    int made = 0;
    for (int version = 0; version < 2; ++version) {
        for (int options = 0; options < 16; ++options) {
            // The upgrade needs the loader file; without it only one seed shows the missing file.
            if (version == 1 && !(options & kLoaderFile) && options != 0) continue;
            // Without the upgrade the loader file is never read.
            if (version == 0 && (options & kLoaderFile)) continue;
            sim::SimConfig config;
            if (version == 1) {
                config.versionMajor = 0x01;
                config.versionMinor = 0x10;
            }
            config.invertTest = (options & kTestMode) != 0;
            auto recorder = std::make_shared<Recorder>(config);
            RunResult r = run(static_cast<std::uint8_t>(options), recorder, &recorder->lines);
            std::vector<std::uint8_t> seed = {static_cast<std::uint8_t>(options)};
            for (const auto& answer : recorder->answers) {
                if (answer.size() > 127) fail("seed", "answer longer than 127 bytes");
                seed.push_back(static_cast<std::uint8_t>(answer.size()));
                seed.insert(seed.end(), answer.begin(), answer.end());
            }
            checkRun(static_cast<std::uint8_t>(options), r);
            char name[64];
            std::snprintf(name, sizeof name, "/%s-v%d-o%X", version ? "upgrade" : "plain",
                          options & kVerify, options);
            fuzzsupport::writeFile(directory + name, seed.data(), seed.size());
            std::fprintf(stderr, "%s: outcome %d, %zu exchanges\n", name + 1,
                         reportedOutcome(r.output), r.list.size());
            ++made;
        }
    }
    std::fprintf(stderr, "%d seeds written to %s\n", made, directory.c_str());
}

// ---- The checks
// ------------------------------------------------------------------------------------

void checkRun(std::uint8_t options, const RunResult& r) {
    const int reported = reportedOutcome(r.output);
    if (reported < 0) fail("report", "neither Test OK nor an error box:\n" + r.output);
    const std::vector<int> expected = expectedOutcomes(r.list, options);
    if (std::find(expected.begin(), expected.end(), reported) == expected.end()) {
        std::string allowed;
        for (int e : expected) allowed += " " + std::to_string(e);
        fail("outcome", "reported " + std::to_string(reported) + ", the exchanges call for" +
                            (allowed.empty() ? std::string(" no run of this order") : allowed) +
                            "\n" + r.output);
    }

    // Every wait the run may make: each single-byte read its time-out (100 ms plus a tick of
    // rounding, and a second for the first answer to a frame), each byte written its time on the
    // wire at 9600 Bd (or faster), each frame its 10 ms pause, the entry sequence and the final
    // reset hold.
    std::uint64_t frames = 0;
    for (const Exchange& x : r.list) frames += x.result != 1 ? 1 : 0;
    const std::uint64_t budgetNs =
        static_cast<std::uint64_t>(r.reads) * 102 * kNsPerMs + frames * (900 + 10) * kNsPerMs +
        static_cast<std::uint64_t>(r.writes) * 12 * kNsPerMs / 10 + 2000 * kNsPerMs;
    if (r.elapsedNs > budgetNs)
        fail("time", std::to_string(r.elapsedNs / kNsPerMs) + " ms against a budget of " +
                         std::to_string(budgetNs / kNsPerMs) + " ms");
    if (!r.portClosed) fail("port", "left open");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    writeImages();
    output();
    if (const char* directory = std::getenv("BSL430_FUZZ_MAKE_SEEDS")) {
        makeSeeds(directory);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t options = data[0] & 0x0F;
    auto loader = std::make_shared<FuzzedLoader>(data + 1, size - 1);
    RunResult r = run(options, loader, &loader->lineChanges);
    checkRun(options, r);
    if (!r.resetReleased) fail("reset", "the target is left in reset");
    static const bool show = std::getenv("BSL430_FUZZ_SHOW") != nullptr;
    if (show)
        std::fprintf(stderr, "outcome %d, %zu exchanges, %llu ms\n", reportedOutcome(r.output),
                     r.list.size(), static_cast<unsigned long long>(r.elapsedNs / kNsPerMs));
    return 0;
}
