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

// Waits for the operator's answer on standard input: true for a line that is not "q" (Enter),
// false for "q", the end of the input or a stop request.
bool operatorWantsMore();

// Whether standard output is a terminal, its size in rows and columns; false when unknown.
bool terminalSize(int& rows, int& columns);

// The part of each port's name that tells it from the others, for the table's narrow column: what
// all the names share in front (up to a '/' or '-') and behind (from a ':', '-' or '.') is left
// out, and a part still too long keeps its end. Names that fit the column are kept whole.
std::vector<std::string> portLabels(const std::vector<std::string>& ports);

class LiveTable {
public:
    explicit LiveTable(std::FILE* out) : out_(out) {}
    // The terminal's size as it is now (0: unknown). With more boards than rows, the table is a
    // compact grid of slots that still fits one screen; no line is longer than the width.
    void setSize(int rows, int columns) {
        rows_ = rows;
        columns_ = columns;
    }
    // Draws the rows and, below them, the warnings so far (they stay on the screen); from the
    // second call on, over what was drawn before.
    void draw(const std::vector<BoardStatus>& boards,
              const std::vector<std::string>& warnings = {});

private:
    std::string compact(const std::vector<BoardStatus>& boards, std::size_t rows,
                        std::size_t& lines) const;

    std::FILE* out_;
    std::size_t drawnLines_ = 0;
    int rows_ = 0;
    int columns_ = 0;
};

// The line for a board that has ended ("COM5  ok  F149 1.61  serial 1001  12.3 s").
std::string endLine(const BoardStatus& status);

// "8 boards: 7 OK, 1 failed" (", 1 stopped" when any was), then a line for each board that did
// not end OK, then how many records could not be written, when any. A check's summary counts
// "3 boards: 1 match, 1 differ, 1 locked, 0 refused, 0 failed".
std::string summary(const std::vector<BoardStatus>& boards, std::size_t lostRecords = 0,
                    bool checking = false);

}  // namespace gang
