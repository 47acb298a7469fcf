// What the line sees while the boards run: on a terminal a table redrawn in place, otherwise one
// line per board as it ends; at the end the summary.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "gang/board.h"

namespace gang {

// Whether standard output is a terminal that can be redrawn in place (on Windows, a console that
// takes the VT cursor sequences, which this turns on).
bool outputIsTerminal();

class LiveTable {
public:
    explicit LiveTable(std::FILE* out) : out_(out) {}
    // Draws the rows and, below them, the warnings so far (they stay on the screen); from the
    // second call on, over what was drawn before.
    void draw(const std::vector<BoardStatus>& boards,
              const std::vector<std::string>& warnings = {});

private:
    std::FILE* out_;
    std::size_t drawnLines_ = 0;
};

// The line for a board that has ended ("COM5  ok  F149 1.61  serial 1001  12.3 s").
std::string endLine(const BoardStatus& status);

// "8 boards: 7 OK, 1 failed" (", 1 stopped" when any was), then a line for each board that did
// not end OK, then how many records could not be written, when any.
std::string summary(const std::vector<BoardStatus>& boards, std::size_t lostRecords = 0);

}  // namespace gang
