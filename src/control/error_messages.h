// Error numbers of a programming run and their messages.
#pragma once

const char* errorMessage(int errorNumber);
// Writes the framed error box for a non-zero outcome to standard output.
void printErrorBox(int errorNumber);
