// Helpers for the option tests: argument vectors built from word lists, captured listings.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "options/option_table.h"

namespace opttest {

// Parses the words as if typed after a program name.
inline int parse(std::vector<std::string> words, const OptionSpec* table,
                 const char* separators = ":=#") {
    words.insert(words.begin(), "prog");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    return parseOptions(static_cast<int>(words.size()), argv.data(), table, separators);
}

template <typename F>
std::string captureStdout(F&& body) {
    testing::internal::CaptureStdout();
    body();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// The words joined by '|', so that a failed case shows every word boundary.
inline std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += "|" + word;
    return text;
}

}  // namespace opttest
