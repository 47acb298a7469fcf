// The order of a programming run.
#pragma once

// The program's argument zero, for finding the replacement loader beside the program.
extern const char* programPath;

// 0 for success, otherwise an error number.
int runProgrammingSequence();
