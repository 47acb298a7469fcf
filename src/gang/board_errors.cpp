// The error numbers follow the run's steps: 1 to 27 are groups of three, one per loader step (no
// answer to the synchronisation byte, a refused or unexpected answer to the frame, a malformed data
// reply); 35 to 44 two groups of five for the replacement loader's and the firmware's download.
#include "gang/board_errors.h"

namespace gang {

const BoardError kBoardErrors[] = {
    {1, "erase: the loader does not answer (not in its loader, not powered, wrong wiring)"},
    {2, "erase: the loader refused the mass erase"},
    {3, "erase: malformed reply"},
    {4, "password: the loader does not answer"},
    {5, "password: refused (the chip was not erased)"},
    {6, "password: malformed reply"},
    {7, "identification: the loader does not answer"},
    {8, "identification: refused"},
    {9, "identification: malformed reply"},
    {10, "1.10 loader restart: the loader does not answer"},
    {11, "1.10 loader restart: refused"},
    {12, "1.10 loader restart: malformed reply"},
    {13, "1.10 loader password: the loader does not answer"},
    {14, "1.10 loader password: refused"},
    {15, "1.10 loader password: malformed reply"},
    {25, "speed change: the loader does not answer"},
    {26, "speed change: refused"},
    {27, "speed change: malformed reply"},
    {35, "replacement loader: the file cannot be read (missing, not Intel HEX, no data)"},
    {36, "replacement loader: a block was not acknowledged"},
    {37, "replacement loader: reading a block back failed"},
    {38, "replacement loader: a block read back differs"},
    {39, "replacement loader: it could not be started"},
    {40, "firmware: the file cannot be read (missing, not Intel HEX, no data)"},
    {41, "firmware: a block was not acknowledged"},
    {42, "firmware: reading a block back failed"},
    {43, "firmware: a block read back differs (verify)"},
    {44, "firmware: it could not be started"},
};

const int kBoardErrorCount = static_cast<int>(sizeof kBoardErrors / sizeof kBoardErrors[0]);

const char* errorDescription(int number) {
    for (const BoardError& error : kBoardErrors)
        if (error.number == number) return error.description;
    return "unknown error";
}

}  // namespace gang
