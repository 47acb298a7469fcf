#include "platform/tty/parity_marks.h"

namespace platform {

std::size_t ParityMarks::unmark(const std::uint8_t* in, std::size_t count, std::uint8_t* out) {
    std::size_t produced = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = in[i];
        switch (state_) {
            case State::Plain:
                if (byte == 0xFF)
                    state_ = State::AfterFF;
                else
                    out[produced++] = byte;
                break;
            case State::AfterFF:
                if (byte == 0x00) {
                    state_ = State::AfterFF00;
                } else {
                    // 0xFF 0xFF is a received 0xFF. Anything else after 0xFF is no mark the driver
                    // makes; both bytes are passed on rather than lost.
                    out[produced++] = 0xFF;
                    if (byte != 0xFF) out[produced++] = byte;
                    state_ = State::Plain;
                }
                break;
            case State::AfterFF00:
                out[produced++] = byte;  // the byte that came with the error (0x00 for a break)
                state_ = State::Plain;
                break;
        }
    }
    return produced;
}

}  // namespace platform
