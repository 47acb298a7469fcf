// Error numbers of a programming run and their Czech messages.
//
// Numbers 1 to 27 are nine groups of three, one group per loader step, the number within the group
// being the exchange's result (1 no acknowledge to the synchronisation byte, 2 a wrong answer to
// the frame, 3 a malformed data reply). Numbers 30 to 44 are three groups of five for the
// downloads (HEX file, send, read-back, comparison, start). The modem and barcode numbers belong
// to the table although this program never produces them.
#include "control/error_messages.h"

#include <cstdio>

#include "platform/run_output.h"

namespace {

const char* const kUnknown = "neznama chyba";

const char* const kLoaderMessages[3] = {
    "chybna odpoved BSL na SYNC",
    "chybna odpoved BSL na paket",
    "chybny vraceny paket",
};

const char* const kDownloadMessages[5] = {
    "Chyba pri nacitani IntelHEX",
    "Chyba pri posilani dat",
    "Chyba pri vycitani naprogramovanych dat",
    "Chyba pri kontrole naprogramovanych dat",
    "Chyba pri spousteni programu v RAM",
};

}  // namespace

const char* errorMessage(int errorNumber) {
    // Taken as unsigned, so that every negative number falls outside the table.
    unsigned number = static_cast<unsigned>(errorNumber);
    if (number >= 1 && number <= 27) return kLoaderMessages[(number - 1) % 3];
    if (number >= 30 && number <= 44) return kDownloadMessages[(number - 30) % 5];
    switch (number) {
        case 50: return "Nefunguje komunikace s GSM modemem";
        case 51: return "Chyba pri vycitani IMEI z GSM";
        case 52: return "Chybna pevna cast IMEI";
        case 53: return "Chybny rozsah serioveho cisla";
        case 60: return "paketovy rezim?";
        case 70: return "chybny carovy kod";
        default: return kUnknown;
    }
}

void printErrorBox(int errorNumber) {
    runPrintf("\n****************\n* Chyba c. %i: %s\n****************\n\n", errorNumber,
              errorMessage(errorNumber));
    runFlush();
}
