// Text command/reply exchange: send a command, watch the incoming bytes for the expected text.
#include "serial/modem_exchange.h"

#include <cstdio>
#include <cstring>

#include "bsl/frame_exchange.h"
#include "platform/run_output.h"
#include "serial/serial_port.h"

using namespace k32;

namespace {

// Bytes of a reply kept in ReplyBuffer (later bytes still count for the match).
constexpr int kCaptureLimit = 78;

}  // namespace

int awaitReply(std::uint32_t timeout, const char* expected) {
    if (expected == nullptr) expected = "";
    COMMTIMEOUTS timeouts{};
    GetCommTimeouts(portHandle, &timeouts);
    const DWORD start = GetTickCount();
    timeouts.ReadTotalTimeoutConstant = 0;
    int matched = 0;
    int length = 0;
    do {
        const DWORD elapsed = GetTickCount() - start;
        if (timeout == 0 || elapsed >= timeout) {
            timeouts.ReadIntervalTimeout = MAXDWORD;
            timeouts.ReadTotalTimeoutMultiplier = 0;
        } else {
            timeouts.ReadIntervalTimeout = timeout - elapsed;
            timeouts.ReadTotalTimeoutMultiplier = timeout - elapsed;
        }
        SetCommTimeouts(portHandle, &timeouts);
        DWORD got = 0;
        if (ReadFile(portHandle, &ReplyBuffer[length], 1, &got, nullptr) && got == 1) {
            // Compared as unsigned bytes, so texts beyond 7-bit ASCII match too.
            const auto c = ReplyBuffer[length];
            if (expected[matched] != 0) {
                if (c == static_cast<std::uint8_t>(expected[matched]))
                    ++matched;
                else
                    matched = c == static_cast<std::uint8_t>(expected[0]) ? 1 : 0;
            }
            if (length < kCaptureLimit) ++length;
        }
    } while (GetTickCount() - start < timeout && expected[matched] != 0);
    ReplyBuffer[length] = 0;
    modemCaptureLength = length;
    return expected[matched] == 0 ? 0 : 1 + matched;
}

void dumpReply() {
    // The capture as awaitReply left it; if the buffer has been used for something else since,
    // only its text up to the first 0 byte.
    int length = modemCaptureLength;
    if (length > kCaptureLimit || ReplyBuffer[length] != 0)
        length =
            static_cast<int>(strnlen(reinterpret_cast<const char*>(ReplyBuffer), kCaptureLimit));
    runPrintf("ACK:\n%s\n", reinterpret_cast<const char*>(ReplyBuffer));
    bool plain = true;
    for (int i = 0; i < length; ++i) {
        const std::uint8_t c = ReplyBuffer[i];
        if (c != 0x0D && c != 0x0A && (c < 0x20 || c > 0x7E)) plain = false;
    }
    if (!plain) {
        for (int i = 0; i < length; ++i) runPrintf("<%02X>", static_cast<unsigned>(ReplyBuffer[i]));
        runPrintf("\n");
    }
}

int sendModemCommand(const char* command, std::uint32_t timeout, const char* expected) {
    if (command == nullptr) command = "";
    const std::size_t commandLength = std::strlen(command);
    int result = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        Sleep(50);
        writeBytes(reinterpret_cast<const std::uint8_t*>(command), static_cast<int>(commandLength));
        result = awaitReply(timeout, expected);
        if (result == 0) return 0;
    }
    // A two-letter command with its carriage return gets no dump.
    if (!(commandLength > 2 && command[2] == '\r')) dumpReply();
    return result;
}
