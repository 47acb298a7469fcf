#include "gang/live_view.h"

#include <algorithm>

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
        case Outcome::Differs: {
            char text[32];
            std::snprintf(text, sizeof text, "differs 0x%04X", static_cast<unsigned>(s.differsAt));
            return text;
        }
        case Outcome::Match:
        case Outcome::Locked:
        case Outcome::Refused: return outcomeName(s.outcome);
    }
    return "";
}

bool checked(Outcome outcome) {
    return outcome == Outcome::Match || outcome == Outcome::Differs ||
           outcome == Outcome::Locked || outcome == Outcome::Refused;
}

}  // namespace

std::vector<std::string> portLabels(const std::vector<std::string>& ports) {
    constexpr std::size_t kWidth = 24;
    std::vector<std::string> labels(ports);
    bool fit = true;
    for (const std::string& p : ports) fit = fit && p.size() <= kWidth;
    if (fit || ports.size() < 2) return labels;
    std::size_t front = ports[0].size(), back = ports[0].size();
    for (const std::string& p : ports) {
        std::size_t n = 0;
        while (n < front && n < p.size() && p[n] == ports[0][n]) ++n;
        front = n;
        n = 0;
        while (n < back && n < p.size() &&
               p[p.size() - 1 - n] == ports[0][ports[0].size() - 1 - n])
            ++n;
        back = n;
    }
    // The shared front ends after a separator, the shared back starts at one.
    while (front > 0 && ports[0][front - 1] != '/' && ports[0][front - 1] != '-') --front;
    for (std::string& label : labels) {
        std::size_t end = label.size() - std::min(back, label.size() - front);
        while (end < label.size() && std::string(":-.").find(label[end]) == std::string::npos)
            ++end;
        std::string part = label.substr(front, end - front);
        if (part.empty()) part = label;
        if (part.size() > kWidth) part = "~" + part.substr(part.size() - (kWidth - 1));
        label = part;
    }
    return labels;
}

std::string LiveTable::compact(const std::vector<BoardStatus>& boards, std::size_t rows,
                               std::size_t& lines) const {
    // A cell a board, its slot and its step or result, as narrow as it must be for the grid to
    // fit the rows; what does not fit even then is counted on the last line.
    const std::size_t width = static_cast<std::size_t>(columns_ > 1 ? columns_ - 1 : 79);
    rows = std::max<std::size_t>(rows, 1);
    const std::size_t needed = (boards.size() + rows - 1) / rows;
    const std::size_t cell = std::clamp<std::size_t>(width / std::max<std::size_t>(needed, 1), 8, 16);
    const std::size_t perLine = std::max<std::size_t>(1, width / cell);
    std::size_t shown = boards.size();
    if ((shown + perLine - 1) / perLine > rows) shown = (rows - 1) * perLine;
    std::string text;
    lines = 0;
    for (std::size_t i = 0; i < shown; i += perLine) {
        text += "\r\x1b[2K";
        for (std::size_t k = i; k < std::min(shown, i + perLine); ++k) {
            const BoardStatus& s = boards[k];
            std::string state;
            if (s.outcome == Outcome::Running) {
                state = stepName(s.step);
                if (s.step == Step::Write && s.writePercent >= 0) {
                    state += ' ';
                    state += percent(s.writePercent);
                }
            } else if (s.outcome == Outcome::Failed) {
                state = "failed";
                if (s.error != 0) state += ' ' + std::to_string(s.error);
            } else {
                state = resultText(s);
            }
            std::string text3 = std::to_string(s.slot) + " " + state;
            text3.resize(cell - 1, ' ');
            text += text3 + " ";
        }
        text += "\n";
        ++lines;
    }
    if (shown < boards.size()) {
        const std::string more = "... and " + std::to_string(boards.size() - shown) +
                                 " more boards (a taller terminal shows them)";
        text += "\r\x1b[2K" + more.substr(0, width) + "\n";
        ++lines;
    }
    return text;
}

void LiveTable::draw(const std::vector<BoardStatus>& boards,
                     const std::vector<std::string>& warnings) {
    std::string text;
    if (drawnLines_ > 0) text += "\x1b[" + std::to_string(drawnLines_) + "A";
    // A line longer than the terminal is wide would take two rows and spoil the redraw.
    const std::size_t width = columns_ > 1 ? static_cast<std::size_t>(columns_ - 1) : 255;
    auto addLine = [&](const std::string& line) {
        text += "\r\x1b[2K";
        text += line.substr(0, width);
        text += "\n";
    };
    std::size_t lines = 0;
    const std::size_t rowsForTable =
        rows_ > 0 ? static_cast<std::size_t>(rows_) - std::min<std::size_t>(rows_, warnings.size() + 2)
                  : boards.size() + 1;
    char line[256];
    if (boards.size() + 1 > rowsForTable) {
        text += compact(boards, rowsForTable, lines);
    } else {
        std::snprintf(line, sizeof line, "%4s %-24s %-9s %6s %6s %-5s %-5s %10s %8s  %s", "SLOT",
                      "PORT", "STEP", "WRITE", "VERIFY", "CHIP", "BSL", "SERIAL", "TIME", "RESULT");
        addLine(line);
        for (const BoardStatus& s : boards) {
            std::snprintf(line, sizeof line,
                          "%4d %-24.24s %-9s %6s %6s %-5.5s %-5.5s %10s %8s  %.60s", s.slot,
                          (s.label.empty() ? s.port : s.label).c_str(), stepName(s.step),
                          percent(s.writePercent).c_str(), percent(s.verifyPercent).c_str(),
                          s.chip.c_str(), s.bslVersion.c_str(),
                          s.haveSerial ? std::to_string(s.serial).c_str() : "-",
                          secondsText(s.seconds).c_str(), resultText(s).c_str());
            addLine(line);
        }
        lines = boards.size() + 1;
    }
    for (const std::string& warning : warnings) addLine(warning);
    drawnLines_ = lines + warnings.size();
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
    if (checked(s.outcome) && !s.description.empty()) line += "  " + s.description;
    return line + "\n";
}

std::string summary(const std::vector<BoardStatus>& boards, std::size_t lostRecords,
                    bool checking) {
    auto count = [&](Outcome outcome) {
        return std::to_string(std::count_if(boards.begin(), boards.end(),
                                            [&](const BoardStatus& s) { return s.outcome == outcome; }));
    };
    std::string text =
        std::to_string(boards.size()) + (boards.size() == 1 ? " board: " : " boards: ");
    if (checking)
        text += count(Outcome::Match) + " match, " + count(Outcome::Differs) + " differ, " +
                count(Outcome::Locked) + " locked, " + count(Outcome::Refused) + " refused, ";
    else
        text += count(Outcome::Ok) + " OK, ";
    text += count(Outcome::Failed) + " failed";
    if (count(Outcome::Stopped) != "0") text += ", " + count(Outcome::Stopped) + " stopped";
    text += "\n";
    for (const BoardStatus& s : boards) {
        if (s.outcome == Outcome::Failed) text += "  " + s.port + ": " + failure(s) + "\n";
        if (s.outcome == Outcome::Stopped) text += "  " + s.port + ": stopped\n";
        if (checked(s.outcome) && s.outcome != Outcome::Match)
            text += "  " + s.port + ": " + outcomeName(s.outcome) + ": " + s.description + "\n";
    }
    if (lostRecords > 0)
        text += std::to_string(lostRecords) +
                (lostRecords == 1 ? " record" : " records") + " could not be written\n";
    return text;
}

}  // namespace gang
