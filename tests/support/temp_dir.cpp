#include "support/temp_dir.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

namespace testsupport {

char* makeUniqueDir(char* pattern) {
    if (pattern == nullptr) return nullptr;
    const std::size_t length = std::strlen(pattern);
    constexpr std::size_t kRandom = 6;
    if (length < kRandom || std::strcmp(pattern + length - kRandom, "XXXXXX") != 0) return nullptr;

    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static std::mt19937_64 generator(
        std::random_device{}() ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (std::size_t i = length - kRandom; i < length; ++i)
            pattern[i] = kLetters[pick(generator)];
        std::error_code error;
        // create_directory is false without an error when the name is taken: try another name.
        if (std::filesystem::create_directory(pattern, error)) return pattern;
        if (error) break;
    }
    std::memcpy(pattern + length - kRandom, "XXXXXX", kRandom);
    return nullptr;
}

std::string makeTempDir(const std::string& prefix) {
    std::error_code error;
    std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error) return "";
    std::string pattern = (base / (prefix + "XXXXXX")).string();
    return makeUniqueDir(pattern.data()) != nullptr ? pattern : std::string();
}

}  // namespace testsupport
