// Received bytes as the terminal driver marks them when parity is checked (PARMRK): a byte that
// came with a parity or framing error arrives as 0xFF 0x00 X, a break as 0xFF 0x00 0x00, and a
// received 0xFF as 0xFF 0xFF. The marks are taken off again so that every byte is passed on as it
// was received, the error ignored, as a Windows port without an error character does.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

class ParityMarks {
public:
    // Takes the marks off `count` bytes as read from the driver and writes the bytes as received
    // to `out` (room for `count` + 1 needed); returns how many. A mark cut off at the end of `in`
    // is kept and completed by the next call.
    std::size_t unmark(const std::uint8_t* in, std::size_t count, std::uint8_t* out);

    // Forgets a mark begun but not completed (the input was purged).
    void reset() { state_ = State::Plain; }

private:
    enum class State { Plain, AfterFF, AfterFF00 };
    State state_ = State::Plain;
};

}  // namespace platform
