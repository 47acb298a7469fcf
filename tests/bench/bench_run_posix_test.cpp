// "bsl430-sim run" as a CI job uses it: the firmware's output against an expectation on virtual
// time, pins driven by options and scripts, and the value change dump read back by sigrok-cli.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cctype>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "support/paths.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace {

using testsupport::runProgram;

std::string example(const std::string& name) {
    return testpaths::sourceDir() + "/examples/" + name;
}

// A run and the processor time it took: on a busy machine the wall time says little.
struct Timed {
    testsupport::ProgramRun run;
    double cpuSeconds;
};

double childrenCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

Timed bench(std::vector<std::string> args) {
    args.insert(args.begin(), "run");
    const double before = childrenCpuSeconds();
    Timed t{runProgram(testpaths::simServeExe(), args), 0};
    t.cpuSeconds = childrenCpuSeconds() - before;
    return t;
}

TEST(BenchRun, OutputAgainstExpectationOnVirtualTime) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int exitCode;
        const char* output;  // a regular expression the whole output matches
        double maxCpuSeconds;
    };
    const std::string hello = example("hello.hex"), pins = example("pins.hex");
    const Case cases[] = {
        {"typed once the greeting is out: echoed",
         {hello, "--send", "hi", "--expect", "hi"},
         0,
         "Hello from the MSP430F149\\. Type, and I echo\\.\r\nhi",
         1},
        {"sent at a time, escapes",
         {hello, "--send", "a\\x62@0.3s", "--expect", "ab"},
         0,
         "Hello[^]*\r\nab",
         1},
        {"no match: fails at the limit, long before its wall time",
         {hello, "--expect", "nope", "--for", "2s"},
         1,
         "Hello[^]*echo\\.\r\n",
         1},
        {"an hour of a sleeping chip, woken every 0.5 s",
         {hello, "--for", "1h"},
         0,
         "Hello[^]*",
         2},
        {"a button's falling edge wakes the chip",
         {pins, "--pin", "P1.4=1", "--pin", "P1.4=0@0.3s", "--expect", "button"},
         0,
         "pins: ready\r\nbutton[^]*",
         1},
        {"a rising edge is no press",
         {pins, "--pin", "P1.4=1@0.3s", "--for", "1s"},
         0,
         "pins: ready\r\n",
         1},
        {"an 8 MHz chip that never sleeps",
         {example("busy.hex"), "--xt2", "8000000", "--for", "2.5s"},
         0,
         "busy: counting\r\n[0-9A-F]{8}\r\n[0-9A-F]{8}\r\n",
         10},
    };
    for (const Case& c : cases) {
        const Timed t = bench(c.args);
        EXPECT_EQ(t.run.exitCode, c.exitCode) << c.what;
        EXPECT_TRUE(std::regex_match(t.run.output, std::regex(c.output)))
            << c.what << ": " << t.run.output;
        EXPECT_LT(t.cpuSeconds, c.maxCpuSeconds) << c.what;
    }
}

TEST(BenchRun, BadUseExitsWithTwo) {
    const std::string dir = testsupport::makeTempDir("bench");
    std::ofstream(dir + "/bad.script") << "# a comment\npin P1.3=1@1s\nwiggle P1.3\n";
    const std::string hello = example("hello.hex");
    const std::vector<std::vector<std::string>> cases = {
        {},
        {dir + "/missing.hex"},
        {hello, hello},
        {hello, "--for", "0"},
        {hello, "--for", "2 fortnights"},
        {hello, "--for"},
        {hello, "--pin", "P7.1=1"},
        {hello, "--pin", "P1.8=0"},
        {hello, "--pin", "P1.1=2@1s"},
        {hello, "--pin", "P1.1=1@soon"},
        {hello, "--send", "a\\q"},
        {hello, "--send", "\\x4"},
        {hello, "--expect", "("},
        {hello, "--speed", "0"},
        {hello, "--chip", "Z80"},
        {hello, "--adc", "A8=1V"},
        {hello, "--adc", "A0:1V"},
        {hello, "--adc", "A0=1V@soon"},
        {hello, "--adc"},
        {hello, "--chip", "F1232", "--adc", "A0=1V"},
        {hello, "--script", dir + "/missing.script"},
        {hello, "--script", dir + "/bad.script"},
        {hello, "--vcd", dir + "/no/such/dir/out.vcd"},
        {hello, "--frobnicate"},
    };
    for (const auto& args : cases) {
        const Timed t = bench(args);
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        EXPECT_EQ(t.run.exitCode, 2) << shown;
        EXPECT_EQ(t.run.output, "") << shown;
    }
}

// adc12 converts A0-A7 and the temperature every quarter second and prints them: what --adc and
// the script's adc lines put on the inputs reaches each of its lines at its time.
TEST(BenchRun, AnalogInputsReachTheConverter) {
    const std::string dir = testsupport::makeTempDir("bench");
    std::ofstream(dir + "/analog") << "# a level, then another from 0.6 s\nadc A3=3V\n"
                                      "adc A3=500mV@0.6s\nadc temp=-10C\n";
    const std::string adc = example("adc12.hex");
    const struct {
        const char* what;
        std::vector<std::string> args;
        const char* expect;  // on the output within the first second
    } cases[] = {
        {"levels from the start, in V and mV",
         {"--adc", "A0=1.2V", "--adc", "a7=3300mV"},
         "^A0=1200 A1=0 A2=0 A3=0 A4=0 A5=0 A6=0 A7=3300 mV, 25\\.0 C\r\n"},
        {"a level from a time on", {"--adc", "A2=2.5V@0.3s"}, "A2=0 [^\\n]*\\nA0=0 A1=0 A2=2500 "},
        {"a ramp from power-on: a quarter and a half of the way",
         {"--adc", "A1=ramp:0-3.3V/1s"},
         "A1=82[4-7] [^\\n]*\\nA0=0 A1=16[45]\\d "},
        {"a ramp from a time on: the level before it holds until then",
         {"--adc", "A5=ramp:1-2V/1s@0.5s"},
         "A5=0 [^]*A5=100[01] [^]*A5=12[45]\\d "},
        {"a script: levels, one replaced at its time",
         {"--script", dir + "/analog"},
         "A3=3000 [^]*C\r\nA0=0 A1=0 A2=0 A3=3000 [^]*C\r\n"
         "A0=0 A1=0 A2=0 A3=500 .*-10\\.0 C"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {adc, "--for", "1s", "--expect", c.expect};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Timed t = bench(args);
        EXPECT_EQ(t.run.exitCode, 0) << c.what << ":\n" << t.run.output;
    }
}

// Captures from a script's edges on P1.3, 0.1 s apart: 3277 ACLK counts, 277 in a period of 1000.
TEST(BenchRun, ScriptedEdgesAreCaptured) {
    const std::string dir = testsupport::makeTempDir("bench");
    std::ofstream(dir + "/edges") << "# edges on the capture input\npin P1.3=1@0.1s\n\n"
                                     "pin P1.3=0@200ms\n";
    const Timed t = bench({example("pins.hex"), "--script", dir + "/edges", "--for", "0.5s"});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(t.run.output, m, std::regex("capture (\\d+)\r\ncapture (\\d+)")))
        << t.run.output;
    EXPECT_EQ((std::stoi(m[2]) - std::stoi(m[1]) + 1000) % 1000, 277);
}

#ifdef BSL430_FIRMWARE_ELF_DIR
TEST(BenchRun, ElfFirmwareNamesTheFunctionInItsNotes) {
    const std::string command = testpaths::simServeExe() +
                                " run " BSL430_FIRMWARE_ELF_DIR
                                "/pins.elf --pin P1.4=1 --pin P1.4=0@0.3s --for 0.5s --trace 2>&1";
    const auto run = runProgram("/bin/sh", {"-c", command});
    EXPECT_TRUE(
        std::regex_search(run.output, std::regex("\\[0\\.3000\\d\\d s\\] P1\\.0 high "
                                                 "\\(pc [0-9A-F]{4} isr_PORT1\\+0x[0-9A-F]+\\)")))
        << run.output;
}
#endif

#ifdef BSL430_SIGROK_CLI
// sigrok-cli reads the dump at 1 us a sample and decodes what a viewer would show.
std::vector<std::string> sigrok(const std::string& vcd, std::vector<std::string> args) {
    args.insert(args.begin(), {"-I", "vcd:downsample=1000", "-i", vcd});
    const auto run = runProgram(BSL430_SIGROK_CLI, args);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = run.output.find('\n', start)) != std::string::npos;
         start = end + 1)
        lines.push_back(run.output.substr(start, end - start));
    return lines;
}

TEST(BenchRun, ValueChangeDumpReadBySigrok) {
    const std::string dir = testsupport::makeTempDir("bench");
    ASSERT_EQ(
        bench({example("hello.hex"), "--for", "3.2s", "--vcd", dir + "/hello.vcd"}).run.exitCode,
        0);
    const auto periods = sigrok(dir + "/hello.vcd", {"-P", "pwm:data=P1.0", "-A", "pwm=period"});
    ASSERT_GE(periods.size(), 2u);
    for (const auto& p : periods) EXPECT_EQ(p, "pwm-1: 1.0 s") << "the LED blinks once a second";
    const auto greeting =
        sigrok(dir + "/hello.vcd", {"-P", "uart:rx=UTXD:baudrate=9600", "-A", "uart=rx-data"});
    ASSERT_GE(greeting.size(), 5u);
    EXPECT_EQ(greeting[0] + greeting[4], "uart-1: 48uart-1: 6F") << "\"Hello\" on the UART line";

    ASSERT_EQ(bench({example("pins.hex"), "--for", "0.4s", "--pin", "P1.4=1", "--pin",
                     "P1.4=0@0.3s", "--vcd", dir + "/pins.vcd"})
                  .run.exitCode,
              0);
    const auto duty = sigrok(dir + "/pins.vcd", {"-P", "pwm:data=P1.2", "-A", "pwm=duty-cycle"});
    ASSERT_GE(duty.size(), 10u);
    for (const auto& d : duty) {
        ASSERT_EQ(d.rfind("pwm-1: ", 0), 0u) << d;
        EXPECT_NEAR(std::stod(d.substr(7)), 25.1, 0.05) << "TACCR1 250 of 1000, reset/set";
    }
    // The button's falling edge on P1.4, then the LED on P1.0 lit by the code it woke.
    long fall = -1, lit = -1, sample = 0;
    for (const auto& row : sigrok(dir + "/pins.vcd", {"-C", "P1.0,P1.4", "-O", "csv"})) {
        if (row.size() != 3 || row[1] != ',' || !std::isdigit(static_cast<unsigned char>(row[0])))
            continue;
        if (fall < 0 && row[2] == '0') fall = sample;
        if (fall >= 0 && lit < 0 && row[0] == '1') lit = sample;
        ++sample;
    }
    EXPECT_NEAR(fall, 300000, 1) << "us";
    EXPECT_GT(lit - fall, 0) << "us";
    EXPECT_LT(lit - fall, 200) << "us: the chip wakes at once";
}

// TI-TXT of words at an address, as the tool reads it.
std::string tiTxt(std::uint16_t at, const std::vector<std::uint16_t>& words) {
    char text[16];
    std::snprintf(text, sizeof text, "@%04X\n", at);
    std::string out = text;
    for (std::uint16_t w : words) {
        std::snprintf(text, sizeof text, "%02X %02X ", w & 0xFF, w >> 8);
        out += text;
    }
    return out + "\n";
}

// A firmware of a few words puts Timer_B's PWM on TB1 (P4.1) and sleeps: the dump shows it.
TEST(BenchRun, TimerBPwmInTheDumpReadBySigrok) {
    const std::string dir = testsupport::makeTempDir("bench");
    const std::vector<std::uint16_t> program = {
        0x4031, 0x0A00,                               // MOV #0x0A00, SP
        0x40B2, 0x5A80, 0x0120,                       // the watchdog held
        0x40F2, 0x0002, 0x001F,                       // P4SEL and P4DIR: P4.1 is TB1
        0x40F2, 0x0002, 0x001E, 0x40B2, 999, 0x0192,  // TBCCR0: a period of 1000 ACLK counts
        0x40B2, 250,    0x0194,                       // TBCCR1
        0x40B2, 0x00E0, 0x0184,                       // TBCCTL1: reset/set
        0x40B2, 0x0114, 0x0180,                       // TBCTL: ACLK, up, cleared
        0xD032, 0x00D8, 0x3FFD,                       // LPM3 with interrupts on, for ever
    };
    std::ofstream(dir + "/pwm.txt") << tiTxt(0xF000, program) << tiTxt(0xFFFE, {0xF000}) << "q\n";
    ASSERT_EQ(bench({dir + "/pwm.txt", "--for", "0.5s", "--vcd", dir + "/pwm.vcd"}).run.exitCode,
              0);
    const auto duty = sigrok(dir + "/pwm.vcd", {"-P", "pwm:data=P4.1", "-A", "pwm=duty-cycle"});
    ASSERT_GE(duty.size(), 10u);
    for (const auto& d : duty) {
        ASSERT_EQ(d.rfind("pwm-1: ", 0), 0u) << d;
        EXPECT_NEAR(std::stod(d.substr(7)), 25.1, 0.05) << "TBCCR1 250 of 1000, reset/set";
    }
}
#endif

}  // namespace
