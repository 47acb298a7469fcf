#include "gang/live_view.h"

namespace gang {
namespace {

std::string percent(int value) { return value < 0 ? "-" : std::to_string(value) + "%"; }

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string failure(const BoardStatus& s) {
    if (s.error == 0 && s.message.empty()) return s.description;
    if (s.error == 0) return s.message + " (" + s.description + ")";
    return "error " + std::to_string(s.error) + ": " + s.message + " (" + s.description + ")";
}

std::string resultText(const BoardStatus& s) {
    switch (s.outcome) {
        case Outcome::Running: return "";
        case Outcome::Ok: return "OK";
        case Outcome::Stopped: return "stopped";
        case Outcome::Failed:
            // Why a board without an error number failed (its port, the time limit) in full.
            return s.error != 0 ? "failed " + std::to_string(s.error) : s.description;
    }
    return "";
}

}  // namespace

void LiveTable::draw(const std::vector<BoardStatus>& boards,
                     const std::vector<std::string>& warnings) {
    std::string text;
    if (drawnLines_ > 0) text += "\x1b[" + std::to_string(drawnLines_) + "A";
    char line[256];
    std::snprintf(line, sizeof line, "%-24s %-9s %6s %6s %-5s %-5s %10s %8s  %s", "PORT", "STEP",
                  "WRITE", "VERIFY", "CHIP", "BSL", "SERIAL", "TIME", "RESULT");
    text += "\r\x1b[2K";
    text += line;
    text += "\n";
    for (const BoardStatus& s : boards) {
        std::snprintf(line, sizeof line, "%-24.24s %-9s %6s %6s %-5.5s %-5.5s %10s %8s  %s",
                      s.port.c_str(), stepName(s.step), percent(s.writePercent).c_str(),
                      percent(s.verifyPercent).c_str(), s.chip.c_str(), s.bslVersion.c_str(),
                      s.haveSerial ? std::to_string(s.serial).c_str() : "-",
                      secondsText(s.seconds).c_str(), resultText(s).c_str());
        text += "\r\x1b[2K";
        text += line;
        text += "\n";
    }
    for (const std::string& warning : warnings) {
        text += "\r\x1b[2K";
        text += warning;
        text += "\n";
    }
    drawnLines_ = boards.size() + 1 + warnings.size();
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
}

std::string endLine(const BoardStatus& s) {
    std::string line = s.port + "  " + outcomeName(s.outcome);
    if (!s.chip.empty()) line += "  " + s.chip + " " + s.bslVersion;
    if (s.haveSerial) line += "  serial " + std::to_string(s.serial);
    line += "  " + secondsText(s.seconds);
    if (s.attempts > 1) line += "  " + std::to_string(s.attempts) + " attempts";
    if (s.outcome == Outcome::Failed) line += "  " + failure(s);
    return line + "\n";
}

std::string summary(const std::vector<BoardStatus>& boards, std::size_t lostRecords) {
    std::size_t ok = 0, failed = 0, stopped = 0;
    for (const BoardStatus& s : boards) {
        if (s.outcome == Outcome::Ok) ++ok;
        if (s.outcome == Outcome::Failed) ++failed;
        if (s.outcome == Outcome::Stopped) ++stopped;
    }
    std::string text = std::to_string(boards.size()) +
                       (boards.size() == 1 ? " board: " : " boards: ") + std::to_string(ok) +
                       " OK, " + std::to_string(failed) + " failed";
    if (stopped > 0) text += ", " + std::to_string(stopped) + " stopped";
    text += "\n";
    for (const BoardStatus& s : boards) {
        if (s.outcome == Outcome::Failed) text += "  " + s.port + ": " + failure(s) + "\n";
        if (s.outcome == Outcome::Stopped) text += "  " + s.port + ": stopped\n";
    }
    if (lostRecords > 0)
        text += std::to_string(lostRecords) +
                (lostRecords == 1 ? " record" : " records") + " could not be written\n";
    return text;
}

}  // namespace gang
