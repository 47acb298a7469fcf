// The order of a programming run.
#pragma once

// The program's argument zero, for finding the replacement loader beside the program.
extern const char* programPath;

// Loads the named firmware file without a word. 0 when it holds data (or none is named: the run
// reports that itself); otherwise the run's error number, after the load's own lines about the
// file. A file that fails here never reaches the point where the chip is erased.
int checkFirmwareFile();

// 0 for success, otherwise an error number.
int runProgrammingSequence();
