#include "gang/gang.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "control/programming_sequence.h"
#include "gang/board.h"
#include "gang/board_record.h"
#include "gang/durable_file.h"
#include "gang/gang_options.h"
#include "gang/live_view.h"
#include "gang/serial_numbers.h"
#include "gang/sha256.h"
#include "gang/station.h"
#include "gang/stop_request.h"
#include "image/image_file.h"
#include "image/memory_image.h"
#include "options/program_options.h"
#include "platform/run_output.h"

namespace gang {
namespace {

constexpr auto kRedrawPeriod = std::chrono::milliseconds(100);  // at most 10 redraws a second

// Keeps what the firmware's loading printed, for the reason on standard error.
class CapturedText final : public platform::RunOutput {
public:
    void text(const char* bytes, std::size_t length) override { text_.append(bytes, length); }
    std::string lines() const {
        std::string out;
        for (char c : text_)
            if (c != '\r') out += c;
        return out;
    }

private:
    std::string text_;
};

int refuse(const std::string& reason) {
    std::fprintf(stderr, "bsl430-gang: %s\n", reason.c_str());
    return 2;
}

// Loads and checks the firmware once, before any port is opened.
bool loadFirmware(const std::string& path, std::vector<std::uint16_t>& cells, std::string& error) {
    CapturedText captured;
    platform::RunOutput* previous = platform::setRunOutput(&captured);
    const int result = loadImageFile(path.c_str(), 0);
    platform::setRunOutput(previous);
    if (result != 0) {
        error = "firmware " + path + " cannot be used: " + captured.lines();
        while (!error.empty() && error.back() == '\n') error.pop_back();
        return false;
    }
    cells.assign(MemoryImage, MemoryImage + kMemoryImageCells);
    for (std::uint16_t cell : cells)
        if (cell != kEmptyCell) return true;
    error = "firmware " + path + " holds no data";
    return false;
}

// The settings every board's run reads: set here, before any run starts, and only read after. The
// texts they point to live as long as the process. What already holds the wanted value is not
// written again, so that a second gang in the same process with the same options (the tests run
// two) never writes what the first one's runs are reading.
void applySettings(const GangOptions& options, const char* self) {
    static std::mutex mutex;
    static std::string firmwarePath, loaderPath, selfPath;
    std::lock_guard<std::mutex> lock(mutex);
    if (firmwarePath != options.firmware) firmwarePath = options.firmware;
    if (loaderPath != options.loader) loaderPath = options.loader;
    if (selfPath != self) selfPath = self;
    Settings wanted;
    wanted.verifyMode = options.verify ? 1 : 0;
    wanted.fastSpeed = options.slow ? 0 : 1;
    wanted.testMode = options.invertedTest ? 1 : 0;
    wanted.loaderFamily = options.family;
    if (!loaderPath.empty()) wanted.bslFileName = loaderPath.c_str();
    wanted.firmwareFileName = firmwarePath.c_str();
    if (settings.verifyMode != wanted.verifyMode || settings.fastSpeed != wanted.fastSpeed ||
        settings.testMode != wanted.testMode || settings.loaderFamily != wanted.loaderFamily ||
        settings.bslFileName != wanted.bslFileName ||
        settings.firmwareFileName != wanted.firmwareFileName || settings.deviceName != nullptr)
        settings = wanted;
    if (programPath != selfPath.c_str()) programPath = selfPath.c_str();
}

}  // namespace

int gangMain(int argc, char** argv) {
    GangOptions options;
    std::string error;
    if (!parseGangOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "bsl430-gang: %s\n%s", error.c_str(), gangUsage());
        return 2;
    }
    if (options.help) {
        std::fputs(gangUsage(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("bsl430-gang %s\n", BSL430_VERSION);
        return 0;
    }

    applySettings(options, argc > 0 && argv != nullptr && argv[0] != nullptr ? argv[0] : "");

    std::vector<std::uint16_t> firmware;
    if (!loadFirmware(options.firmware, firmware, error)) return refuse(error);

    const bool numbered = options.haveFirstSerial || !options.serialFile.empty();
    bool serialPlaceFree = true;
    for (std::uint32_t a = options.serialAt; a < options.serialAt + 4; ++a)
        serialPlaceFree = serialPlaceFree && firmware[a] == kEmptyCell;
    char serialAt[16];
    std::snprintf(serialAt, sizeof serialAt, "0x%04X", static_cast<unsigned>(options.serialAt));
    if (numbered && !serialPlaceFree)
        return refuse("the firmware has data at " + std::string(serialAt) +
                      ", where the serial number goes");
    // A check reads the number where the firmware has no data; a number among the vectors would
    // be part of the password, which the check could not know.
    const bool readSerial = options.check && serialPlaceFree;
    if (readSerial && options.serialAt + 4 > 0xFFE0)
        return refuse("--check cannot read a serial number at " + std::string(serialAt) +
                      ": it would lie among the vectors, the loader's password");
    if (!options.resultsFile.empty() && !appendLocked(options.resultsFile, "", "", error))
        return refuse("results file: " + error);
    // What every record of this gang says of where it comes from.
    BoardStatus identity;
    identity.firmwarePath = options.firmware;
    {
        std::vector<std::uint8_t> flash(firmware.size());
        for (std::size_t a = 0; a < flash.size(); ++a)
            flash[a] = firmware[a] == kEmptyCell ? 0xFF : static_cast<std::uint8_t>(firmware[a]);
        identity.firmwareSha256 = sha256Hex(flash.data(), flash.size());
    }
    identity.station = options.station.empty() ? hostName() : options.station;
    identity.tags = options.tags;
    const std::vector<std::string> labels = portLabels(options.ports);

    installStopSignals();
    installStoppableCalls();

    const bool live = !options.quiet && outputIsTerminal();
    std::mutex outputMutex;  // standard output and the results file, one board at a time
    std::size_t recordsLost = 0;
    std::vector<std::string> warnings;  // shown below the live table, where no redraw wipes them
    // Appends a board's record; a record that cannot be written is a warning and is counted.
    auto record = [&](const BoardStatus& status) {
        if (options.resultsFile.empty()) return;
        const bool csv = isCsvPath(options.resultsFile);
        std::string why;
        if (appendLocked(options.resultsFile, csv ? csvHeader() : "",
                         csv ? csvRecord(status) : jsonRecord(status), why))
            return;
        const std::string warning = "bsl430-gang: " + status.port + ": " + why;
        if (live)
            warnings.push_back(warning);
        else
            std::fprintf(stderr, "%s\n", warning.c_str());
        ++recordsLost;
    };
    // The pending record is on the disk before the board's first byte: a crash or a power cut
    // after it leaves every number given out in a record.
    auto starting = [&](const BoardStatus& status) {
        if (options.check) return;  // a check gives out no number
        std::lock_guard<std::mutex> lock(outputMutex);
        record(status);
    };
    auto ended = [&](const BoardStatus& status) {
        std::lock_guard<std::mutex> lock(outputMutex);
        record(status);
        if (!live) {
            std::fputs(endLine(status).c_str(), stdout);
            std::fflush(stdout);
        }
    };

    // One round programs the slots named in `slots` (indices into the ports); the boards' last
    // statuses come back.
    int rounds = 0;
    // Without a serial file, each round's numbers go on from the last round's.
    std::uint64_t nextFirst = options.firstSerial;
    auto round = [&](const std::vector<std::size_t>& slots, std::vector<BoardStatus>& all) {
        std::vector<std::uint32_t> serials;
        std::string note;
        if (numbered && options.serialFile.empty()) {
            if (nextFirst > 0xFFFFFFFFull) {
                error = "the serial numbers would pass 4294967295";
                return false;
            }
            options.firstSerial = static_cast<std::uint32_t>(nextFirst);
        }
        if (numbered && !takeSerialNumbers(options, slots.size(), serials, error, note))
            return false;
        nextFirst += slots.size();
        if (!note.empty() && rounds == 0) std::fprintf(stderr, "bsl430-gang: %s\n", note.c_str());
        std::vector<std::unique_ptr<Board>> boards;
        for (std::size_t n = 0; n < slots.size(); ++n) {
            const std::size_t i = slots[n];
            BoardPlan plan;
            plan.identity = identity;
            plan.identity.slot = static_cast<int>(i) + 1;
            plan.identity.label = labels[i];
            plan.port = options.ports[i];
            plan.image = firmware;
            plan.retries = options.retries;
            plan.verify = options.verify;
            plan.timeLimit = options.boardTimeout;
            plan.check = options.check;
            plan.readSerial = readSerial;
            plan.serialAt = options.serialAt;
            if (numbered) {
                plan.haveSerial = true;
                plan.serial = serials[n];
                for (int k = 0; k < 4; ++k)
                    plan.image[options.serialAt + static_cast<std::uint32_t>(k)] =
                        static_cast<std::uint16_t>((plan.serial >> (8 * k)) & 0xFF);
            }
            boards.push_back(std::make_unique<Board>(std::move(plan)));
        }

        std::vector<std::thread> threads;
        for (auto& board : boards) {
            // Out of threads (a process limit, no memory): this board fails with the reason and
            // the others go on.
            try {
                threads.emplace_back(
                    [&starting, &ended, b = board.get()] { b->run(starting, ended); });
            } catch (const std::system_error& e) {
                board->notStarted(std::string("cannot start the board's thread: ") + e.what(),
                                  ended);
            }
        }

        LiveTable table(stdout);
        auto snapshot = [&] {
            std::vector<BoardStatus> now;
            for (auto& board : boards) now.push_back(board->status());
            return now;
        };
        const auto begin = std::chrono::steady_clock::now();
        for (;;) {
            bool running = false;
            std::vector<BoardStatus> now = snapshot();
            for (BoardStatus& s : now) {
                if (s.outcome == Outcome::Running) {
                    running = true;
                    s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                              begin)
                                    .count();
                }
            }
            if (live) {
                int rows = 0, columns = 0;
                if (terminalSize(rows, columns)) table.setSize(rows, columns);
                std::lock_guard<std::mutex> lock(outputMutex);
                table.draw(now, warnings);
            }
            if (!running) break;
            std::this_thread::sleep_for(kRedrawPeriod);
        }
        for (std::thread& t : threads) t.join();
        all = snapshot();
        return true;
    };

    // The slots' last outcomes over every round, and every board of every round.
    const Outcome good = options.check ? Outcome::Match : Outcome::Ok;
    const char* const verb = options.check ? "check" : "program";
    std::vector<Outcome> last(options.ports.size(), good);
    std::vector<BoardStatus> everyBoard;
    std::vector<std::size_t> slots;
    for (std::size_t i = 0; i < options.ports.size(); ++i) slots.push_back(i);
    for (;;) {
        std::vector<BoardStatus> all;
        if (!round(slots, all)) {
            if (rounds == 0) return refuse(error);
            std::fprintf(stderr, "bsl430-gang: %s\n", error.c_str());
            break;
        }
        ++rounds;
        std::vector<std::size_t> failed;
        for (const BoardStatus& s : all) {
            last[static_cast<std::size_t>(s.slot - 1)] = s.outcome;
            if (s.outcome != good) failed.push_back(static_cast<std::size_t>(s.slot - 1));
        }
        everyBoard.insert(everyBoard.end(), all.begin(), all.end());
        const std::string prefix = options.repeat ? "round " + std::to_string(rounds) + ": " : "";
        std::fputs((prefix + summary(all, recordsLost, options.check)).c_str(), stdout);
        std::fflush(stdout);
        if (!options.repeat || stopRequested()) break;
        if (options.onlyFailed && !failed.empty()) {
            slots = failed;
            std::printf("Enter: %s the %zu failed slot%s again, q: end\n", verb, failed.size(),
                        failed.size() == 1 ? "" : "s");
        } else {
            slots.clear();
            for (std::size_t i = 0; i < options.ports.size(); ++i) slots.push_back(i);
            std::printf("Enter: %s the next panel, q: end\n", verb);
        }
        std::fflush(stdout);
        if (!operatorWantsMore()) break;
    }
    if (options.repeat) {
        std::fputs(("all " + std::to_string(rounds) + (rounds == 1 ? " round: " : " rounds: ") +
                    summary(everyBoard, recordsLost, options.check))
                       .c_str(),
                   stdout);
        std::fflush(stdout);
    }
    for (Outcome outcome : last)
        if (outcome != good) return 1;
    return recordsLost > 0 ? 1 : 0;
}

}  // namespace gang
