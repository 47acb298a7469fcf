// The classic ROM loader behind the family table: every step is the frame exchange with the
// command and the constant arguments the run has always sent.
#include "bsl/classic_family.h"

#include "bsl/bsl_commands.h"
#include "bsl/frame_exchange.h"
#include "bsl/loader_family.h"
#include "options/program_options.h"
#include "serial/control_lines.h"
#include "serial/serial_port.h"

using namespace k32;

namespace {

constexpr int kPasswordOffset = 3;
constexpr int kMaxBlockBytes = 240;

// The link speed both ends move to after an acknowledged Change baud rate.
constexpr DWORD kFastBaud = 38400;

int eraseAndUnlock() {
    int result = classicMassErase();
    if (result != kBslOk) return result;
    result = classicSendPassword();
    if (result != kBslOk) return result + kPasswordOffset;
    return 0;
}

int identify(LoaderIdentity& identity) {
    int result =
        bslExchange(kBslTxDataBlock, 4, kIdentificationAddress, kIdentificationLength, nullptr);
    if (result != kBslOk) return result;
    identity.chipType = static_cast<unsigned>(ReplyBuffer[0]) << 8 | ReplyBuffer[1];
    identity.major = ReplyBuffer[10];
    identity.minor = ReplyBuffer[11];
    return kBslOk;
}

// Moves the link to 38400 Bd: the loader first, at the old speed, then our own side. DTR and RTS
// stay under our direct control.
int speedUp() {
    std::uint16_t clock = settings.testMode ? kBaud38400ClockTest : kBaud38400Clock;
    int result = bslExchange(kBslChangeBaudRate, 4, clock, kBaud38400Code, nullptr);
    if (result != kBslOk) return result;
    GetCommState(portHandle, &deviceControl);
    deviceControl.BaudRate = kFastBaud;
    deviceControl.fDtrControl = DTR_CONTROL_DISABLE;
    deviceControl.fRtsControl = RTS_CONTROL_DISABLE;
    SetCommState(portHandle, &deviceControl);
    return kBslOk;
}

int blockLimit() { return kMaxBlockBytes; }

int writeBlock(std::uint32_t address, const std::uint8_t* bytes, int length, int&) {
    return bslExchange(kBslRxDataBlock, static_cast<std::uint8_t>(length + 4),
                       static_cast<std::uint16_t>(address), static_cast<std::uint16_t>(length),
                       bytes);
}

// Every byte that matched is cleared in ReplyBuffer, so that stale bytes of an earlier reply
// never pass for read-back data (the verify pass clears the buffer once before its first block).
int verifyBlock(std::uint32_t address, const std::uint8_t* bytes, int length, int& differsAt) {
    int result = bslExchange(kBslTxDataBlock, 4, static_cast<std::uint16_t>(address),
                             static_cast<std::uint16_t>(length), nullptr);
    if (result != kBslOk) return result;
    for (int k = 0; k < length; ++k) {
        if (ReplyBuffer[k] != bytes[k]) {
            differsAt = k;
            return kBlockDiffers;
        }
        ReplyBuffer[k] = 0;
    }
    return kBslOk;
}

int startAt(std::uint32_t address) {
    return bslExchange(kBslLoadPc, 4, static_cast<std::uint16_t>(address), 0, nullptr);
}

void finish() {
    setResetLine(0);
    Sleep(50);
}

}  // namespace

int classicMassErase() {
    return bslExchange(kBslMassErase, 4, kMassEraseAddress, kMassEraseKey, nullptr);
}

int classicSendPassword() {
    return bslExchange(kBslRxPassword, 4 + kPasswordLength, kPasswordAddress, kPasswordLength,
                       erasedDevicePassword);
}

int classicRestartLoader() { return startAt(kRomLoaderRestart); }

const LoaderFamily classicLoaderFamily = {
    "classic",  0x10000,    enterBootstrapLoader, eraseAndUnlock, identify, speedUp,
    blockLimit, writeBlock, verifyBlock,          startAt,        finish};

const LoaderFamily& loaderFamily() {
    return runLoaderFamily != nullptr ? *runLoaderFamily : classicLoaderFamily;
}
