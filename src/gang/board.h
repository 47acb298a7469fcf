// One board of a gang: its port, its image, the run bsl430 makes on it (tried again on failure as
// often as asked) and what the live view and the record show of it.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace gang {

enum class Step { Waiting, Entry, Erase, Password, Identify, Loader, Speed, Write, Verify, Done };
enum class Outcome { Running, Ok, Failed, Stopped };

const char* stepName(Step step);
const char* outcomeName(Outcome outcome);

// What is known of a board at one moment.
struct BoardStatus {
    std::string port;
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
                              // "timeout", or why the board could not be started
    std::string imageSha256;
    std::size_t bytes = 0;
};

struct BoardPlan {
    std::string port;
    std::vector<std::uint16_t> image;  // MemoryImage cells, the serial number merged in
    bool haveSerial = false;
    std::uint32_t serial = 0;
    int retries = 0;
    bool verify = false;
    double timeLimit = 0;  // seconds for the board's whole life, every attempt; 0: none
};

class Board {
public:
    explicit Board(BoardPlan plan);

    // The board's whole life, on its own thread: runs until OK, out of tries or stopped, then
    // calls `ended` once with the final status.
    void run(const std::function<void(const BoardStatus&)>& ended);

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
    bool loaderPhase_ = false;
    bool firmwarePhase_ = false;
    std::size_t written_ = 0;
    std::size_t verified_ = 0;
};

// How a port name is opened: "COMn" as "\\.\COMn", the form every port number takes; any other
// name as it is.
std::string openName(const std::string& port);

}  // namespace gang
