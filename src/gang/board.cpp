#include "gang/board.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "bsl/bsl_commands.h"
#include "control/board_run.h"
#include "control/error_messages.h"
#include "gang/board_check.h"
#include "gang/board_errors.h"
#include "gang/sha256.h"
#include "gang/stop_request.h"
#include "image/image_download.h"
#include "image/memory_image.h"
#include "platform/kernel32.h"
#include "platform/open_failure.h"
#include "platform/run_output.h"

namespace gang {
namespace {

constexpr int kRetryPauseMs = 500;

// Follows a run through its text and its loader commands.
class BoardOutput final : public platform::RunOutput {
public:
    explicit BoardOutput(Board& board) : board_(board) {}
    void text(const char* bytes, std::size_t length) override {
        for (std::size_t i = 0; i < length; ++i) {
            const char c = bytes[i];
            if (c == '\n' || c == '\r') {
                if (!line_.empty()) board_.seeLine(line_);
                line_.clear();
            } else if (line_.size() < 200) {
                line_.push_back(c);
            }
        }
    }
    void command(std::uint8_t code, std::uint16_t address, std::uint16_t length) override {
        board_.seeCommand(code, address, length);
    }
    // A newer loader's reason for a failed step would break into the live view; the board's
    // record names the step by its error number.
    void reason(const std::string&) override {}

private:
    Board& board_;
    std::string line_;
};

std::string utcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &now);
#else
    gmtime_r(&now, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

const char* stepName(Step step) {
    switch (step) {
        case Step::Waiting: return "waiting";
        case Step::Entry: return "entry";
        case Step::Erase: return "erase";
        case Step::Password: return "password";
        case Step::Identify: return "identify";
        case Step::Loader: return "loader";
        case Step::Speed: return "speed";
        case Step::Write: return "write";
        case Step::Verify: return "verify";
        case Step::Done: return "done";
    }
    return "";
}

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Running: return "running";
        case Outcome::Ok: return "ok";
        case Outcome::Failed: return "failed";
        case Outcome::Stopped: return "stopped";
        case Outcome::Match: return "match";
        case Outcome::Differs: return "differs";
        case Outcome::Locked: return "locked";
        case Outcome::Refused: return "refused";
    }
    return "";
}

std::string openName(const std::string& port) {
    if (port.size() > 3 && (port[0] == 'C' || port[0] == 'c') &&
        (port[1] == 'O' || port[1] == 'o') && (port[2] == 'M' || port[2] == 'm') &&
        port.find_first_not_of("0123456789", 3) == std::string::npos)
        return "\\\\.\\" + port;
    return port;
}

Board::Board(BoardPlan plan) : plan_(std::move(plan)), status_(plan_.identity) {
    status_.port = plan_.port;
    status_.haveSerial = plan_.haveSerial;
    status_.serial = plan_.serial;
    std::vector<std::uint8_t> flash(plan_.image.size());
    for (std::size_t a = 0; a < flash.size(); ++a) {
        const std::uint16_t cell = plan_.image[a];
        flash[a] = cell == kEmptyCell ? 0xFF : static_cast<std::uint8_t>(cell);
        if (cell != kEmptyCell) ++status_.bytes;
    }
    status_.imageSha256 = sha256Hex(flash.data(), flash.size());
}

BoardStatus Board::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

void Board::percentages() {
    const std::size_t total = status_.bytes == 0 ? 1 : status_.bytes;
    if (written_ > 0)
        status_.writePercent = static_cast<int>(std::min<std::size_t>(100, written_ * 100 / total));
    if (verified_ > 0)
        status_.verifyPercent =
            static_cast<int>(std::min<std::size_t>(100, verified_ * 100 / total));
}

void Board::seeCommand(std::uint8_t code, std::uint16_t address, std::uint16_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (loaderPhase_ && !firmwarePhase_) {
        status_.step = Step::Loader;
        return;
    }
    switch (code) {
        case kBslMassErase: status_.step = Step::Erase; break;
        case kBslRxPassword: status_.step = Step::Password; break;
        case kBslChangeBaudRate: status_.step = Step::Speed; break;
        case kBslRxDataBlock:
            if (firmwarePhase_) {
                status_.step = Step::Write;
                written_ += length;
            }
            break;
        case kBslTxDataBlock:
            if (plan_.check && address != kIdentificationAddress) {
                status_.step = Step::Verify;
                verified_ += length;
            } else if (!firmwarePhase_ && address == kIdentificationAddress) {
                status_.step = Step::Identify;
            } else if (firmwarePhase_) {
                status_.step = Step::Verify;
                status_.writePercent = 100;
                verified_ += length;
            }
            break;
        default: break;
    }
    percentages();
}

void Board::seeLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (startsWith(line, "#CHIP type: ")) {
        status_.chip = line.substr(12);
    } else if (startsWith(line, "#BSL ver: ")) {
        std::string version = line.substr(10);
        if (version.size() > 1 && version[0] == '0' && version[1] != '.') version.erase(0, 1);
        status_.bslVersion = version;
    } else if (startsWith(line, "#dalsi mazani procesoru")) {
        loaderPhase_ = true;
        status_.step = Step::Loader;
    } else if (startsWith(line, "#Fast speed")) {
        status_.step = Step::Speed;
    } else if (startsWith(line, "#programovani noveho SW")) {
        firmwarePhase_ = true;
        status_.step = Step::Write;
    } else if (startsWith(line, "#konec programovani")) {
        status_.step = Step::Done;
        status_.writePercent = 100;
        if (plan_.verify) status_.verifyPercent = 100;
    }
}

// What a check found: the outcome, and the chip, the number and the reason for the record.
void Board::takeReport(const CheckReport& report, Outcome& outcome) {
    static const Outcome kOutcomes[] = {Outcome::Match, Outcome::Differs, Outcome::Locked,
                                        Outcome::Refused};
    outcome = kOutcomes[static_cast<int>(report.verdict)];
    std::lock_guard<std::mutex> lock(mutex_);
    if (report.identityKnown) {
        char chip[8];
        std::snprintf(chip, sizeof chip, "%04X", report.identity.chipType);
        status_.chip = chip;
        status_.bslVersion = versionText(report.identity);
    }
    status_.haveSerial = report.haveSerial;
    status_.serial = report.serial;
    status_.description = report.reason;
    status_.haveDiffersAt = report.verdict == CheckVerdict::Differs;
    status_.differsAt = report.differsAt;
    if (outcome == Outcome::Match) status_.verifyPercent = 100;
    status_.step = Step::Done;
}

void Board::notStarted(const std::string& reason,
                       const std::function<void(const BoardStatus&)>& ended) {
    std::unique_lock<std::mutex> lock(mutex_);
    status_.started = utcNow();
    status_.outcome = Outcome::Failed;
    status_.step = Step::Waiting;
    status_.description = reason;
    const BoardStatus last = status_;
    lock.unlock();
    ended(last);
}

void Board::run(const std::function<void(const BoardStatus&)>& starting,
                const std::function<void(const BoardStatus&)>& ended) {
    const auto begin = std::chrono::steady_clock::now();
    setThreadTimeLimit(plan_.timeLimit);
    BoardStatus first;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_.started = utcNow();
        first = status_;
    }
    if (!stopRequested()) starting(first);
    BoardOutput output(*this);
    Outcome outcome = Outcome::Failed;
    int error = 0;
    bool timedOut = false;
    std::string openFailure;
    for (int attempt = 1; attempt <= 1 + plan_.retries; ++attempt) {
        // A retry waits a moment first: a network server or an adapter's driver may still be
        // letting go of the connection the last attempt closed.
        for (int waited = 0; attempt > 1 && waited < kRetryPauseMs && !runMustEnd();
             waited += 50)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (stopRequested()) {
            outcome = Outcome::Stopped;
            break;
        }
        if (threadTimeLimitPassed()) {
            // A port that would not open says why rather than that time ran out.
            timedOut = outcome != Outcome::Failed || error != 0 || openFailure.empty();
            break;
        }
        openFailure.clear();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            status_.attempts = attempt;
            status_.step = Step::Entry;
            status_.writePercent = status_.verifyPercent = -1;
            loaderPhase_ = firmwarePhase_ = false;
            written_ = verified_ = 0;
        }
        const std::string name = openName(plan_.port);
        k32::HANDLE port = k32::CreateFileA(name.c_str(), k32::GENERIC_READ | k32::GENERIC_WRITE, 0,
                                            nullptr, k32::OPEN_EXISTING, 0, nullptr);
        if (port == k32::INVALID_HANDLE_VALUE) {
            error = 0;
            openFailure = platform::lastOpenFailure();
            if (openFailure.empty()) openFailure = "the port cannot be opened";
            outcome = stopRequested() ? Outcome::Stopped : Outcome::Failed;
            if (outcome == Outcome::Stopped) break;
            continue;
        }
        platform::RunOutput* previous = platform::setRunOutput(&output);
        CheckReport report;
        if (plan_.check) {
            error = checkBoardOn(port, {plan_.image.data(), plan_.readSerial, plan_.serialAt},
                                 report);
        } else {
            setPreparedFirmware(plan_.image.data());
            error = programBoardOn(port);
            setPreparedFirmware(nullptr);
        }
        releaseBoard();
        platform::setRunOutput(previous);
        if (error == 0) {
            outcome = Outcome::Ok;
            if (plan_.check) takeReport(report, outcome);
            break;
        }
        if (stopRequested()) {
            outcome = Outcome::Stopped;
            break;
        }
        outcome = Outcome::Failed;
        if (threadTimeLimitPassed()) {
            timedOut = true;
            break;
        }
    }
    setThreadTimeLimit(0);
    std::unique_lock<std::mutex> lock(mutex_);
    status_.outcome = outcome;
    status_.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (outcome == Outcome::Failed && timedOut) {
        // Whatever the run was doing when the limit came is not the board's fault to report.
        status_.error = 0;
        status_.description = "timeout";
    } else if (outcome == Outcome::Failed) {
        status_.error = error;
        if (error != 0) {
            status_.message = errorMessage(error);
            status_.description = errorDescription(error);
        } else {
            status_.message = "Error opening " + plan_.port + " port!";
            status_.description = openFailure;
        }
    }
    const BoardStatus last = status_;
    lock.unlock();
    ended(last);
}

}  // namespace gang
