// Firmware files as they turn up on a production line: a folder named by mistake, an empty or
// binary file, NUL bytes, the line ends of every system, very long lines, and 200 MB of junk. Each
// goes through a whole run against the simulated target (what the operator sees, what reaches the
// chip), and the large ones through the loader in a child process whose time and memory are taken.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "hardening_support.h"
#include "image/intel_hex.h"
#include "image/memory_image.h"
#include "sim/sim_target.h"

namespace {

const std::vector<std::uint8_t> kCode = {0x31, 0x40, 0x00, 0x0A, 0xB2, 0x40, 0x80, 0x5A,
                                         0x20, 0x01, 0x3F, 0x40, 0x00, 0x00, 0x30, 0x41};
const std::vector<std::uint8_t> kVector = {0x00, 0xF0};

// A firmware image of two records at 0xF000 and the reset vector, with the line end given.
std::string firmware(const std::string& lineEnd) {
    std::string text = hardening::hexRecords(0xF000, kCode) +
                       hardening::hexRecords(0xFFFE, kVector) + hardening::hexEnd();
    std::string out;
    for (char c : text) out += c == '\n' ? lineEnd : std::string(1, c);
    return out;
}

std::string garbage(std::size_t size, bool colons) {
    std::mt19937 random(size);
    std::string text(size, '\0');
    for (char& c : text) {
        c = static_cast<char>(random() & 0xFF);
        if (!colons && c == ':') c = '.';
    }
    if (colons) text.replace(1000, 3, "\n:0");
    return text;
}

enum class Expect {
    Programmed,  // "Test OK" with the firmware in the chip
    Refused,     // error 40, nothing written (unreadable, malformed, or no data record)
};

struct InputCase {
    const char* name;
    std::function<std::string(const hardening::ScratchDir&)> make;  // returns the path
    Expect expect;
    const char* message;  // what the loader says about it, when anything ("" for nothing)
};
void PrintTo(const InputCase& c, std::ostream* out) { *out << c.name; }

std::string writeFile(const hardening::ScratchDir& dir, const std::string& content) {
    return dir.write("fw.hex", content);
}

class FirmwareFile : public testing::TestWithParam<InputCase> {};

TEST_P(FirmwareFile, RunGivesItsResult) {
    const InputCase& c = GetParam();
    hardening::ScratchDir dir;
    const std::string path = c.make(dir);

    sim::SimConfig config;
    config.blankFlash = true;
    auto target = std::make_shared<sim::SimTarget>(config);
    const auto started = hardening::SteadyClock::now();
    hardening::InProcessRun run =
        hardening::runInProcess({"bsl430", "--device", "hexport", path}, target, "hexport");
    const double seconds = hardening::secondsSince(started);

    EXPECT_EQ(run.exitCode, 0);
    EXPECT_LT(seconds, 20.0);
    EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    bool anythingWritten = false;
    for (unsigned a = 0x1100; a < 0x10000; ++a) anythingWritten |= target->peek(a) != 0xFF;
    switch (c.expect) {
        case Expect::Programmed:
            EXPECT_NE(run.output.find("\nTest OK\n"), std::string::npos) << run.output;
            EXPECT_EQ(target->peek(0xF000, kCode.size()), kCode);
            EXPECT_EQ(target->peek(0xFFFE, 2), kVector);
            break;
        case Expect::Refused:
            EXPECT_NE(run.output.find("* Chyba c. 40: Chyba pri nacitani IntelHEX\n"),
                      std::string::npos)
                << run.output;
            EXPECT_FALSE(anythingWritten);
            break;
    }
}

std::string withNulLines(const hardening::ScratchDir& dir) {
    std::string text = firmware("\n");
    text.insert(0, std::string(300, '\0') + "\n");
    return writeFile(dir, text);
}

std::string nulInsideRecord(const hardening::ScratchDir& dir) {
    std::string text = firmware("\n");
    text[9] = '\0';  // inside the first record's data
    return writeFile(dir, text);
}

std::string nulAfterChecksum(const hardening::ScratchDir& dir) {
    std::string text = hardening::hexRecords(0xF000, kCode);
    text.insert(text.size() - 1, std::string("\0\0\0", 3));
    return writeFile(dir, text + hardening::hexRecords(0xFFFE, kVector) + hardening::hexEnd());
}

std::string longLines(const hardening::ScratchDir& dir) {
    // A comment line of 20,000 characters, and a record trailed by 8,000 characters of remarks.
    std::string text = std::string(20000, 'x') + "\n";
    std::string first = hardening::hexRecords(0xF000, kCode);
    first.insert(first.size() - 1, std::string(8000, ' ') + "; start-up code");
    return writeFile(dir,
                     text + first + hardening::hexRecords(0xFFFE, kVector) + hardening::hexEnd());
}

// The firmware behind a segment base of 0xE000, as tools write code for the top of the space.
std::string behindSegmentBase(const hardening::ScratchDir& dir) {
    return writeFile(dir, ":020000020E00EE\n" + hardening::hexRecords(0x1000, kCode) +
                              hardening::hexRecords(0x1FFE, kVector) + hardening::hexEnd());
}

// objcopy moves 4000 bytes to 0xF800: the top part lies past 0xFFFF behind a segment base record
// and must not reach the chip at its plain addresses (0x0000 on, the peripherals and RAM).
std::string objcopyPastTheTop(const hardening::ScratchDir& dir) {
    const std::string bin = dir.write("fw.bin", std::string(4000, '\x3F'));
    const std::string hex = dir.path() + "/fw.hex";
    const std::string command =
        "objcopy -I binary -O ihex --change-addresses 0xF800 '" + bin + "' '" + hex + "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return hex;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, FirmwareFile,
    testing::Values(
        InputCase{"Folder", [](const hardening::ScratchDir& d) { return d.path(); },
                  Expect::Refused, "#Can't open file "},
        InputCase{"Empty", [](const hardening::ScratchDir& d) { return writeFile(d, ""); },
                  Expect::Refused, "#No data in file "},
        InputCase{
            "BinaryGarbage",
            [](const hardening::ScratchDir& d) { return writeFile(d, garbage(65536, false)); },
            Expect::Refused, "#No data in file "},
        InputCase{"BinaryGarbageWithRecordMarks",
                  [](const hardening::ScratchDir& d) { return writeFile(d, garbage(65536, true)); },
                  Expect::Refused, " malformed record!\n"},
        InputCase{"LineFeeds",
                  [](const hardening::ScratchDir& d) { return writeFile(d, firmware("\n")); },
                  Expect::Programmed, ""},
        InputCase{"CarriageReturnLineFeeds",
                  [](const hardening::ScratchDir& d) { return writeFile(d, firmware("\r\n")); },
                  Expect::Programmed, ""},
        InputCase{"NulLines", withNulLines, Expect::Programmed, ""},
        InputCase{"NulInsideRecord", nulInsideRecord, Expect::Refused, "#[1] malformed record!\n"},
        InputCase{"NulAfterChecksum", nulAfterChecksum, Expect::Programmed, ""},
        InputCase{"LinesOfThousandsOfCharacters", longLines, Expect::Programmed, ""},
        InputCase{"BehindSegmentBase", behindSegmentBase, Expect::Programmed, ""},
        InputCase{"ObjcopyPastTheTop", objcopyPastTheTop, Expect::Refused,
                  "] record runs past address FFFF!\n"}),
    [](const testing::TestParamInfo<InputCase>& info) { return std::string(info.param.name); });

// Line ends of a single carriage return (as old Macintosh files have them) make the file one line.
// Reading only the first record of it and ignoring the rest as "text after the checksum" would
// write part of the firmware and report success; the whole file must load, or be refused.
TEST(FirmwareFileLineEnds, CarriageReturnsAloneLoseNoRecord) {
    hardening::ScratchDir dir;
    const std::string path = dir.write("fw.hex", firmware("\r"));
    testing::internal::CaptureStdout();
    const int result = loadIntelHex(path.c_str(), 0);
    const std::string output = testing::internal::GetCapturedStdout();
    if (result == 0) {
        std::vector<std::uint8_t> loaded;
        for (unsigned a = 0; a < kCode.size(); ++a)
            loaded.push_back(MemoryImage[0xF000 + a] & 0xFF);
        EXPECT_EQ(loaded, kCode);
        EXPECT_EQ(MemoryImage[0xFFFE], 0x00);
        EXPECT_EQ(MemoryImage[0xFFFF], 0xF0);
    } else {
        EXPECT_EQ(result, 2) << output;
    }
}

// ---- 200 MB of junk
// --------------------------------------------------------------------------------

struct BigCase {
    const char* name;
    // Writes the file at the path; it is 200 MB long.
    std::function<void(const std::string&)> make;
    int result;
};
void PrintTo(const BigCase& c, std::ostream* out) { *out << c.name; }

constexpr off_t kBigSize = 200ll * 1024 * 1024;

// Loads the file in a child process; returns the result, the seconds taken and the child's peak
// resident memory in KiB.
struct ChildLoad {
    int result = -1;
    double seconds = 0;
    long peakKiB = 0;
};

ChildLoad loadInChild(const std::string& path) {
    std::fflush(stdout);
    const auto start = hardening::SteadyClock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, STDOUT_FILENO);
        _exit(path.empty() ? 0 : loadIntelHex(path.c_str(), 2));
    }
    rusage usage{};
    const int status = hardening::waitForChild(pid, 120, &usage);
    ChildLoad load;
    load.seconds = hardening::secondsSince(start);
    if (status == -1) {
        hardening::endChild(pid);
        return load;
    }
    load.result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    load.peakKiB = usage.ru_maxrss;
    return load;
}

class JunkFile : public testing::TestWithParam<BigCase> {};

TEST_P(JunkFile, LoadsInBoundedTimeAndMemory) {
    const BigCase& c = GetParam();
    hardening::ScratchDir dir;
    const std::string path = dir.file("junk.hex");
    c.make(path);
    const ChildLoad baseline = loadInChild("");
    const ChildLoad load = loadInChild(path);
    std::filesystem::remove(path);

    ASSERT_GE(load.result, 0) << "no result within 120 s";
    EXPECT_EQ(load.result, c.result);
    const long grownKiB = load.peakKiB - baseline.peakKiB;
    std::printf("  %.2f s, peak memory %ld KiB above a child that loads nothing\n", load.seconds,
                grownKiB);
    EXPECT_LT(load.seconds, 60.0);
    EXPECT_LT(grownKiB, 64 * 1024) << "the loader must not keep a whole line in memory";
}

void writeSparse(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, kBigSize), 0);
    close(fd);
}

void writeRepeated(const std::string& path, const std::string& unit, const std::string& tail) {
    std::string block;
    while (block.size() < (1u << 20)) block += unit;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    off_t written = 0;
    while (written + static_cast<off_t>(block.size()) <=
           kBigSize - static_cast<off_t>(tail.size())) {
        ASSERT_EQ(std::fwrite(block.data(), 1, block.size(), file), block.size());
        written += static_cast<off_t>(block.size());
    }
    std::fwrite(tail.data(), 1, tail.size(), file);
    std::fclose(file);
}

INSTANTIATE_TEST_SUITE_P(
    Junk, JunkFile,
    testing::Values(
        // NUL bytes throughout and no line end at all: a single 200 MB line.
        BigCase{"SparseZeros", writeSparse, 0},
        // Text lines of junk, then a good record and a bad one at the very end: read through.
        BigCase{"JunkLinesThenBadRecord",
                [](const std::string& p) {
                    writeRepeated(p, "junk junk junk junk junk junk junk junk\n",
                                  hardening::hexRecords(0xF000, kCode) + ":0100000001FF\n");
                },
                2},
        // The same junk with no line ends: one line again, of letters.
        BigCase{"OneLineOfText", [](const std::string& p) { writeRepeated(p, "junk ", ""); }, 0}),
    [](const testing::TestParamInfo<BigCase>& info) { return std::string(info.param.name); });

}  // namespace
