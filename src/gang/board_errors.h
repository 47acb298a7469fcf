// What a board's error number means, in English, beside the Czech message bsl430 prints for it.
#pragma once

namespace gang {

struct BoardError {
    int number;
    const char* description;
};

// Every error number a run can end with, in order.
extern const BoardError kBoardErrors[];
extern const int kBoardErrorCount;

// The English description of `number` ("unknown error" for a number not in the table).
const char* errorDescription(int number);

}  // namespace gang
