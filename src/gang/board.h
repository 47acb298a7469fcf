// One board of a gang: its port, its image, the run bsl430 makes on it (tried again on failure as
// often as asked) and what the live view and the record show of it.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace gang {

struct CheckReport;

enum class Step { Waiting, Entry, Erase, Password, Identify, Loader, Speed, Write, Verify, Done };
// A programming run ends Ok, Failed or Stopped; a check (--check) Match, Differs, Locked, Refused,
// Failed or Stopped.
enum class Outcome { Running, Ok, Failed, Stopped, Match, Differs, Locked, Refused };

const char* stepName(Step step);
const char* outcomeName(Outcome outcome);

// What is known of a board at one moment.
struct BoardStatus {
    std::string port;
    int slot = 0;       // 1..N in the order the ports were named (command line, then ports files)
    std::string label;  // the part of the port's name that tells it from the others' (the table)
    Step step = Step::Waiting;
    int writePercent = -1;  // -1: not begun
    int verifyPercent = -1;
    std::string chip;
    std::string bslVersion;
    bool haveSerial = false;
    std::uint32_t serial = 0;
    std::string started;  // UTC, ISO 8601
    double seconds = 0;
    int attempts = 0;
    Outcome outcome = Outcome::Running;
    int error = 0;            // the run's error number; 0 with a failure: the port did not open
    std::string message;      // bsl430's Czech message for `error` (or its text for the port)
    std::string description;  // in English: what the error means, why the port did not open,
                              // "timeout", or why the board could not be started; for a check,
                              // why it differs, is locked or was refused
    bool haveDiffersAt = false;  // a check's first address where board and firmware differ
    std::uint32_t differsAt = 0;
    std::string imageSha256;
    std::size_t bytes = 0;
    // Who wrote what, the same for every board of a gang: the firmware file as given and its
    // image without the serial number (boards group by it), the station and the line's tags.
    std::string firmwarePath;
    std::string firmwareSha256;
    std::string station;
    std::vector<std::pair<std::string, std::string>> tags;
};

struct BoardPlan {
    BoardStatus identity;  // the fields every record of the gang shares
    std::string port;
    std::vector<std::uint16_t> image;  // MemoryImage cells, the serial number merged in
    bool haveSerial = false;
    std::uint32_t serial = 0;
    int retries = 0;
    bool verify = false;
    double timeLimit = 0;  // seconds for the board's whole life, every attempt; 0: none
    // A check reads the board instead (nothing is written); the number is read at serialAt when
    // readSerial.
    bool check = false;
    bool readSerial = false;
    std::uint32_t serialAt = 0;
};

class Board {
public:
    explicit Board(BoardPlan plan);

    // The board's whole life, on its own thread: calls `starting` (the board about to get its
    // first byte, still Running) once, runs until OK, out of tries or stopped, then calls `ended`
    // once with the final status. A board stopped before it starts ends without `starting`.
    void run(const std::function<void(const BoardStatus&)>& starting,
             const std::function<void(const BoardStatus&)>& ended);

    // Ends a board whose run could not even be started (no thread for it): failed, with the
    // reason, and `ended` called as run() would.
    void notStarted(const std::string& reason,
                    const std::function<void(const BoardStatus&)>& ended);

    BoardStatus status() const;

    // Called by the board's run output as the run goes.
    void seeCommand(std::uint8_t code, std::uint16_t address, std::uint16_t length);
    void seeLine(const std::string& line);

private:
    void percentages();

    BoardPlan plan_;
    mutable std::mutex mutex_;
    BoardStatus status_;
    void takeReport(const CheckReport& report, Outcome& outcome);

    bool loaderPhase_ = false;
    bool firmwarePhase_ = false;
    std::size_t written_ = 0;
    std::size_t verified_ = 0;
};

// How a port name is opened: "COMn" as "\\.\COMn", the form every port number takes; any other
// name as it is.
std::string openName(const std::string& port);

}  // namespace gang
