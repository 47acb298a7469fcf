#include "gang/gang.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/programming_sequence.h"
#include "gang/board.h"
#include "gang/board_record.h"
#include "gang/durable_file.h"
#include "gang/gang_options.h"
#include "gang/live_view.h"
#include "gang/serial_numbers.h"
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
    std::vector<std::uint32_t> serials;
    if (numbered) {
        for (std::uint32_t a = options.serialAt; a < options.serialAt + 4; ++a)
            if (firmware[a] != kEmptyCell) {
                char where[64];
                std::snprintf(where, sizeof where, "0x%04X",
                              static_cast<unsigned>(options.serialAt));
                return refuse("the firmware has data at " + std::string(where) +
                              ", where the serial number goes");
            }
    }
    if (!options.resultsFile.empty() && !appendLocked(options.resultsFile, "", "", error))
        return refuse("results file: " + error);
    if (numbered && !takeSerialNumbers(options, options.ports.size(), serials, error))
        return refuse(error);

    std::vector<std::unique_ptr<Board>> boards;
    for (std::size_t i = 0; i < options.ports.size(); ++i) {
        BoardPlan plan;
        plan.port = options.ports[i];
        plan.image = firmware;
        plan.retries = options.retries;
        plan.verify = options.verify;
        if (numbered) {
            plan.haveSerial = true;
            plan.serial = serials[i];
            for (int k = 0; k < 4; ++k)
                plan.image[options.serialAt + static_cast<std::uint32_t>(k)] =
                    static_cast<std::uint16_t>((plan.serial >> (8 * k)) & 0xFF);
        }
        boards.push_back(std::make_unique<Board>(std::move(plan)));
    }

    installStopSignals();
    installStoppableCalls();

    const bool live = !options.quiet && outputIsTerminal();
    std::mutex outputMutex;  // standard output and the results file, one board at a time
    bool recordLost = false;
    auto ended = [&](const BoardStatus& status) {
        std::lock_guard<std::mutex> lock(outputMutex);
        if (!options.resultsFile.empty()) {
            const bool csv = isCsvPath(options.resultsFile);
            std::string why;
            if (!appendLocked(options.resultsFile, csv ? csvHeader() : "",
                              csv ? csvRecord(status) : jsonRecord(status), why)) {
                std::fprintf(stderr, "bsl430-gang: %s\n", why.c_str());
                recordLost = true;
            }
        }
        if (!live) {
            std::fputs(endLine(status).c_str(), stdout);
            std::fflush(stdout);
        }
    };

    std::vector<std::thread> threads;
    for (auto& board : boards) threads.emplace_back([&ended, b = board.get()] { b->run(ended); });

    LiveTable table(stdout);
    auto snapshot = [&] {
        std::vector<BoardStatus> all;
        for (auto& board : boards) all.push_back(board->status());
        return all;
    };
    const auto begin = std::chrono::steady_clock::now();
    for (;;) {
        bool running = false;
        std::vector<BoardStatus> all = snapshot();
        for (BoardStatus& s : all) {
            if (s.outcome == Outcome::Running) {
                running = true;
                s.seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            }
        }
        if (live) {
            std::lock_guard<std::mutex> lock(outputMutex);
            table.draw(all);
        }
        if (!running) break;
        std::this_thread::sleep_for(kRedrawPeriod);
    }
    for (std::thread& t : threads) t.join();

    const std::vector<BoardStatus> all = snapshot();
    std::fputs(summary(all).c_str(), stdout);
    std::fflush(stdout);
    for (const BoardStatus& s : all)
        if (s.outcome != Outcome::Ok) return 1;
    return recordLost ? 1 : 0;
}

}  // namespace gang
