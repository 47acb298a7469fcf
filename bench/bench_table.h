// The benchmark's table: a row a measurement, the texts of its figures, and what a run's output
// says about how it went.
#pragma once

#include <string>
#include <vector>

#include "run_timing.h"

namespace bench {

struct Row {
    std::string what;
    std::string measured;
    std::string reference;
    double ratio = 0;
    std::string bound;
    bool ran = false;
    bool pass = false;
    std::string note;  // why it failed or did not run
};

std::string seconds(double ns);
std::string millis(double ns);
std::string mebibytes(double kib);
bool writeFile(const std::string& path, const std::string& text);
std::string readFile(const std::string& path);
// How far a run lies above its ideal, in all and per exchange.
std::string excessText(const std::string& what, double measuredNs, const IdealRun& ideal);
bool runSucceeded(const std::string& output);
// The last line of a run's output that says what went wrong, for the table's note.
std::string failureText(const std::string& output);

void printTable(const std::vector<Row>& rows);
void printIdeal(const char* name, const IdealRun& run);

}  // namespace bench
