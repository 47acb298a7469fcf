#include "run_model.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "fuzz_support.h"

namespace runmodel {

using fuzzsupport::fail;

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
        ex.answer = answer;
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

namespace {

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

}  // namespace

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

void checkTime(std::uint64_t elapsedNs, const std::vector<Exchange>& list, int reads, int writes) {
    constexpr std::uint64_t ms = 1000000;
    std::uint64_t frames = 0;
    for (const Exchange& x : list) frames += x.result != 1 ? 1 : 0;
    const std::uint64_t budgetNs = static_cast<std::uint64_t>(reads) * 102 * ms +
                                   frames * (900 + 10) * ms +
                                   static_cast<std::uint64_t>(writes) * 12 * ms / 10 + 2000 * ms;
    if (elapsedNs > budgetNs)
        fail("time", std::to_string(elapsedNs / ms) + " ms against a budget of " +
                         std::to_string(budgetNs / ms) + " ms");
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

}  // namespace runmodel
