#include "gang/serial_numbers.h"

#include <cctype>

#include "gang/durable_file.h"

namespace gang {
namespace {

// The file holds the next number in decimal and a line end.
bool parseNextNumber(const std::string& text, std::uint64_t& value) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    std::size_t digits = 0;
    value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++digits) {
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (value > 0x100000000ull) return false;
    }
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    return digits > 0 && i == text.size();
}

}  // namespace

bool takeSerialNumbers(const GangOptions& options, std::size_t count,
                       std::vector<std::uint32_t>& numbers, std::string& error, std::string& note) {
    numbers.clear();
    note.clear();
    std::uint64_t first = options.firstSerial;
    std::string path = options.serialFile;
    FileLock* lock = nullptr;
    FileLock held(path.empty() ? std::string() : path + ".lock");
    if (!path.empty()) {
        if (!held.held()) {
            error = "serial file: " + held.error();
            return false;
        }
        lock = &held;
        std::string text;
        bool missing = false;
        if (readWholeFile(path, text, missing)) {
            if (!parseNextNumber(text, first)) {
                error = "serial file " + path + " does not hold a number";
                return false;
            }
            if (options.haveFirstSerial && first != options.firstSerial)
                note = "serial file " + path + " holds " + std::to_string(first) +
                       ": the numbers go on from there (--serial " +
                       std::to_string(options.firstSerial) + " only starts a missing file)";
        } else if (!missing) {
            error = "cannot read the serial file " + path;
            return false;
        } else if (!options.haveFirstSerial) {
            error = "serial file " + path + " is missing and no --serial FIRST to make it from";
            return false;
        }
    }
    if (first + count > 0x100000000ull) {
        error = "the serial numbers would pass 4294967295";
        return false;
    }
    if (lock != nullptr && !replaceDurably(path, std::to_string(first + count) + "\n", error))
        return false;
    for (std::size_t i = 0; i < count; ++i)
        numbers.push_back(static_cast<std::uint32_t>(first + i));
    return true;
}

}  // namespace gang
