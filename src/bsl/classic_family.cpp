// The classic ROM loader behind the family table: every step is the frame exchange with the
// command and the constant arguments the run has always sent.
#include "bsl/classic_family.h"

#include <algorithm>

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

// A refusal, not a garbled or missing answer.
bool refused(int result) { return result == kBslBadAnswer && lastFrameAnswer == kBslNak; }

// Loaders from 1.50 on tell their version without a password (the top 16 bytes of their ROM, laid
// out as the identification block); older ones refuse the command, and it is asked twice so that
// a refused garbled frame is not taken for an old loader. Loaders from 2.00 on erase the flash on
// a wrong password unless the firmware cleared the key word at 0xFFDE, which cannot be read while
// the loader is locked: they count as erasing.
int wrongPasswordCost(WrongPasswordCost& cost, LoaderIdentity& identity, bool& known) {
    constexpr int kAsks = 2;
    constexpr int kVersionBytes = 16;
    known = false;
    for (int ask = 1; ask <= kAsks; ++ask) {
        const int result = bslExchange(kBslTxBslVersion, 4, 0, 0, nullptr);
        if (result == kBslOk) {
            if (lastFrameAnswer != kBslSync || lastReplyLength != kVersionBytes)
                return kBslLengthMismatch;
            identity.chipType = static_cast<unsigned>(ReplyBuffer[0]) << 8 | ReplyBuffer[1];
            identity.major = ReplyBuffer[10];
            identity.minor = ReplyBuffer[11];
            known = true;
            cost = identity.major >= 0x02 ? WrongPasswordCost::ErasesFlash
                                          : WrongPasswordCost::Nothing;
            return kBslOk;
        }
        if (!refused(result)) return result;
    }
    cost = WrongPasswordCost::Nothing;
    return kBslOk;
}

int unlockWith(const std::uint8_t* password) {
    const int result = bslExchange(kBslRxPassword, 4 + kPasswordLength, kPasswordAddress,
                                   kPasswordLength, password);
    if (refused(result)) return kPasswordRefused;
    // Only an acknowledge opens the loader; a data reply is no answer to a password.
    if (result == kBslOk && lastFrameAnswer != kBslAck) return kBslBadAnswer;
    return result;
}

int readBlock(std::uint32_t address, std::uint8_t* into, int length) {
    const int result = bslExchange(kBslTxDataBlock, 4, static_cast<std::uint16_t>(address),
                                   static_cast<std::uint16_t>(length), nullptr);
    if (result != kBslOk) return result;
    // An acknowledge, or a reply of another size, is no answer to a read.
    if (lastFrameAnswer != kBslSync || lastReplyLength != length) return kBslLengthMismatch;
    std::copy_n(ReplyBuffer, length, into);
    return kBslOk;
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
    "classic",   0x10000,     enterBootstrapLoader, eraseAndUnlock, identify,
    speedUp,     blockLimit,  writeBlock,           verifyBlock,    startAt,
    finish,      wrongPasswordCost, unlockWith,     readBlock};

const LoaderFamily& loaderFamily() {
    return runLoaderFamily != nullptr ? *runLoaderFamily : classicLoaderFamily;
}
