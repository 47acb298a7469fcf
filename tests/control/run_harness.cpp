#include "run_harness.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <regex>

#include "control/main_driver.h"
#include "options/program_options.h"
#include "sim/sim_device.h"
#include "support/temp_dir.h"

namespace harness {

Harness::Harness() {
    sim::registerSimDevice();
    sim::setKeepSimTrace(true);  // tests read what crossed the line from the model's trace
    previousClock_ = platform::setProcessClock(&clock);
    previousLog_ = platform::setCallLog(&log);
}

Harness::~Harness() {
    platform::setCallLog(previousLog_);
    platform::setProcessClock(previousClock_);
    sim::setKeepSimTrace(false);
}

RunResult Harness::run(const std::vector<std::string>& argv) {
    resetSettings();
    std::vector<std::string> words = argv;
    std::vector<char*> pointers;
    for (auto& word : words) pointers.push_back(word.data());
    pointers.push_back(nullptr);

    auto before = sim::lastSimTarget();
    RunResult result;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    result.exitCode = runMain(static_cast<int>(words.size()), pointers.data());
    result.errors = testing::internal::GetCapturedStderr();
    std::string text = testing::internal::GetCapturedStdout();

    std::string::size_type lineEnd = text.find('\n');
    result.banner = text.substr(0, lineEnd == std::string::npos ? text.size() : lineEnd + 1);
    result.output = lineEnd == std::string::npos ? "" : text.substr(lineEnd + 1);
    auto after = sim::lastSimTarget();
    if (after != before) result.target = after;
    return result;
}

std::vector<std::uint64_t> Harness::lineCalls() const {
    std::vector<std::uint64_t> codes;
    for (const auto& call : log.named("EscapeCommFunction")) codes.push_back(call.args.at(0));
    return codes;
}

std::string makeTempDir() {
    std::string pattern = testing::TempDir() + "bsl430-control-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const char* dir = testsupport::makeUniqueDir(buffer.data());
    return dir != nullptr ? std::string(dir) : std::string();
}

void writeFile(const std::string& path, const std::string& content) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
}

std::string errorBox(int number, const char* message) {
    return "\n****************\n* Chyba c. " + std::to_string(number) + ": " + message +
           "\n****************\n\n";
}

}  // namespace harness
