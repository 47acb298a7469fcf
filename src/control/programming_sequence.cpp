// The order of a programming run: loader entry, erase, password, identification, the upgrade of a
// version 1.10 loader, the fast link, the firmware and the final reset. The first failing step
// ends the run; its own result plus the step's offset is the run's error number.
#include "control/programming_sequence.h"

#include <cstdio>
#include <string>

#include "bsl/classic_family.h"
#include "bsl/frame_exchange.h"
#include "bsl/loader_family.h"
#include "bsl/packet_exchange.h"
#include "image/image_cells.h"
#include "image/image_download.h"
#include "image/intel_hex.h"
#include "image/newer_chip_areas.h"
#include "options/program_options.h"
#include "platform/kernel32.h"
#include "platform/program_location.h"
#include "platform/run_output.h"
#include "serial/control_lines.h"
#include "serial/serial_port.h"

using namespace k32;

const char* programPath = nullptr;

namespace {

// Offsets that turn a step's own result into the run's error number.
constexpr int kEraseOffset = 0;
constexpr int kIdentificationOffset = 6;
constexpr int kRestartOffset = 9;
constexpr int kSecondPasswordOffset = 12;
constexpr int kBaudRateOffset = 24;
constexpr int kLoaderDownloadOffset = 34;
constexpr int kFirmwareDownloadOffset = 39;

// The version 1.10 ROM loader is replaced by a loader sent into RAM; erasing the chip once more
// this many times before that is part of the procedure.
constexpr int kExtraErases = 20;

void say(const char* line) {
    runPrintf("%s\n", line);
    runFlush();
}

// Downloads and starts the replacement loader: as named, then from the program's own directory,
// then from the data directory of the prefix the program was built for, then from that of the
// installation the program lies in (any prefix, or a moved one). The next place is tried only
// while the file has not been found: a loader that was found but failed on the way to the chip
// keeps its own error. 0, or the download's result of the attempt made last.
int downloadReplacementLoader() {
    const char* loaderName = settings.bslFileName;
    int result = programHexFile(loaderName, ReplacementLoader);
    if (loaderName == nullptr) return result;
    const std::string programDirectory = platform::programDirectory(programPath);
    for (const std::string& directory : {programDirectory, platform::installedDataDirectory(),
                                         platform::relocatedDataDirectory(programDirectory)}) {
        if (result != kDownloadNotLoaded) break;
        if (!directory.empty())
            result = programHexFile((directory + loaderName).c_str(), ReplacementLoader);
    }
    return result;
}

// Erases again, restarts the ROM loader, unlocks it and replaces it by the loader image.
int upgradeLoader() {
    say("#dalsi mazani procesoru...");
    for (int i = 0; i < kExtraErases; ++i) {
        int result = classicMassErase();
        if (result != kBslOk) return result + kEraseOffset;
    }
    int result = classicRestartLoader();
    if (result != kBslOk) return result + kRestartOffset;
    result = classicSendPassword();
    if (result != kBslOk) return result + kSecondPasswordOffset;

    say("#programovani funkcniho bootloaderu...");
    result = downloadReplacementLoader();
    if (result != kDownloadOk) return result + kLoaderDownloadOffset;
    return 0;
}

// Moves both ends of the link to the family's fast speed.
int switchToFastSpeed(const LoaderFamily& family) {
    say("#Fast speed...");
    int result = family.speedUp();
    if (result != kBslOk) return result + kBaudRateOffset;
    return 0;
}

int downloadFirmware() {
    say("#programovani noveho SW...");
    int result = programHexFile(settings.firmwareFileName, Firmware);
    if (result != kDownloadOk) return result + kFirmwareDownloadOffset;
    return 0;
}

// The firmware may reach above 0xFFFF only in a run for the newer loaders: otherwise such a file
// is refused before the port opens, as it always was (a classic chip has nothing there, and
// finding out which chip it is would erase it).
void allowFirmwareAddresses() {
    setImageAddressLimit(settings.loaderFamily == kFamilyPacket ? kWideAddressLimit
                                                                : kClassicAddressLimit);
}

// Whether the run is for the newer loaders before any chip has answered.
bool newerFamilyCertain() { return settings.loaderFamily == kFamilyPacket; }

// Refuses firmware that no newer chip can take (the image the run will send: a board's prepared
// one, if it has one), or erases and unlocks the newer chip.
int refuseOrUnlock() {
    takePreparedFirmware();
    if (refuseForNewerFamily() != 0) return kDownloadNotLoaded + kFirmwareDownloadOffset;
    return packetLoaderFamily.eraseAndUnlock();
}

// Starts the loader, erases and unlocks the chip, and settles which loader family it carries
// (runLoaderFamily). Unless the command line or the image has settled it, the classic loader is
// asked first, with exactly the bytes it has always been sent; when nothing answers its first
// synchronisation, the loader is started once more and asked in the newer loaders' packets. What
// the classic attempt printed is held back until it is known whether it was the right question.
// The run's error number, or 0.
int startLoader() {
    if (newerFamilyCertain()) {
        runLoaderFamily = &packetLoaderFamily;
        packetLoaderFamily.enter();
        say("#mazani procesoru...");
        int result = probePacketLoader();
        if (result != kPacketOk) return result;
        return refuseOrUnlock();
    }

    runLoaderFamily = &classicLoaderFamily;
    classicLoaderFamily.enter();
    say("#mazani procesoru...");
    if (settings.loaderFamily == kFamilyClassic) return classicLoaderFamily.eraseAndUnlock();

    platform::HeldRunOutput held;
    int result = classicLoaderFamily.eraseAndUnlock();
    if (result != kBslNoSync) return result;
    packetLoaderFamily.enter();
    if (probePacketLoader() != kPacketOk) return result;
    held.drop();
    runLoaderFamily = &packetLoaderFamily;
    return refuseOrUnlock();
}

}  // namespace

int checkFirmwareFile() {
    const char* path = settings.firmwareFileName;
    allowFirmwareAddresses();
    if (path == nullptr) return 0;
    if (loadHexFile(path, kHexSilent) == kDownloadOk) {
        if (newerFamilyCertain() && refuseForNewerFamily() != 0)
            return kDownloadNotLoaded + kFirmwareDownloadOffset;
        return 0;
    }
    // Loaded once more, aloud, for the lines the download would have printed about it.
    loadHexFile(path, 1);
    runFlush();
    return kDownloadNotLoaded + kFirmwareDownloadOffset;
}

int runProgrammingSequence() {
    // Without a firmware file the target is left alone: starting its loader would erase the chip
    // for nothing. The HEX loader reports the missing file and the run ends with its error.
    if (settings.firmwareFileName == nullptr) {
        say("#programovani noveho SW...");
        int result = programHexFile(nullptr, Firmware);
        if (result == kDownloadOk) result = kDownloadNotLoaded;
        return result + kFirmwareDownloadOffset;
    }

    say("#Programovani SW pres BSL");
    say("#inicializace komunikace...");
    allowFirmwareAddresses();
    configurePort(9600, EVENPARITY);
    int result = startLoader();
    if (result != 0) return result;
    const LoaderFamily& family = loaderFamily();

    LoaderIdentity identity;
    result = family.identify(identity);
    if (result != kBslOk) return result + kIdentificationOffset;
    runPrintf("#CHIP type: %04X\n#BSL ver: %02X.%02X\n", identity.chipType, identity.major,
              identity.minor);
    runFlush();

    // Version 1.10 of the classic ROM loader is replaced before it is trusted with the firmware.
    if (&family == &classicLoaderFamily && identity.major == 0x01 && identity.minor == 0x10) {
        result = upgradeLoader();
        if (result != 0) return result;
    }

    if (settings.fastSpeed) {
        result = switchToFastSpeed(family);
        if (result != 0) return result;
    }

    result = downloadFirmware();
    if (result != 0) return result;

    say("#konec programovani...");
    family.finish();
    return 0;
}
