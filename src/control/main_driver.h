// The program's entry: banner, command line, port, programming run, report, terminal, close.
#pragma once

// Runs the program with the given argument vector and returns the process exit code.
int runMain(int argc, char** argv);
