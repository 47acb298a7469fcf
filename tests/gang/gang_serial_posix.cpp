// Two gangs started together on one serial file, eight boards each: sixteen distinct numbers, each
// in exactly one record and in exactly one board's flash. The gangs run in this process, on
// simulated chips served under port names, so that each chip's flash can be read back.
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "gang/gang.h"
#include "hardening/hardening_support.h"
#include "kit/test_port.h"
#include "sim/sim_config.h"
#include "sim/sim_target.h"

namespace {

TEST(GangSerialFile, TwoGangsNeverGiveOneNumberTwice) {
    hardening::ScratchDir dir;
    const std::string firmware =
        dir.write("fw.hex", hardening::hexRecords(0xF000, std::vector<std::uint8_t>(512, 0x3C)) +
                                hardening::hexRecords(0xFFFE, {0x00, 0xF0}) + hardening::hexEnd());
    const std::string serialFile = dir.file("next-serial");
    const std::string records = dir.file("records.jsonl");

    std::map<std::string, std::shared_ptr<sim::SimTarget>> chips;
    std::vector<int> openers;
    std::vector<std::vector<std::string>> commandLines(2);
    for (int g = 0; g < 2; ++g) {
        commandLines[g] = {"bsl430-gang",   "-q",       "-v", "--serial", "5000",
                           "--serial-file", serialFile, "-r", records,    firmware};
        for (int b = 0; b < 8; ++b) {
            const std::string name = "BOARD" + std::to_string(g) + "-" + std::to_string(b);
            sim::SimConfig config;
            config.keepTrace = false;
            auto chip = std::make_shared<sim::SimTarget>(config);
            chips[name] = chip;
            openers.push_back(platform::serveTestPort(name, chip));
            commandLines[g].push_back(name);
        }
    }
    int exitCodes[2] = {-1, -1};
    auto runGang = [&](int g) {
        std::vector<char*> argv;
        for (std::string& word : commandLines[g]) argv.push_back(word.data());
        argv.push_back(nullptr);
        exitCodes[g] = gang::gangMain(static_cast<int>(argv.size()) - 1, argv.data());
    };
    std::thread first(runGang, 0), second(runGang, 1);
    first.join();
    second.join();
    for (int id : openers) platform::removeDeviceOpener(id);
    EXPECT_EQ(exitCodes[0], 0);
    EXPECT_EQ(exitCodes[1], 0);

    std::ifstream in(records);
    std::string line;
    std::map<std::string, unsigned> recordSerial;  // port -> serial
    std::set<unsigned> numbers;
    const std::regex fields("\"port\":\"([^\"]+)\",\"result\":\"ok\".*\"serial\":([0-9]+)");
    std::size_t pending = 0;
    while (std::getline(in, line)) {
        if (line.find("\"result\":\"pending\"") != std::string::npos) {
            ++pending;
            continue;
        }
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, fields)) << line;
        EXPECT_TRUE(recordSerial.emplace(m[1], std::stoul(m[2])).second) << line;
        EXPECT_TRUE(numbers.insert(static_cast<unsigned>(std::stoul(m[2]))).second) << line;
    }
    EXPECT_EQ(recordSerial.size(), 16u);
    EXPECT_EQ(pending, 16u);
    EXPECT_EQ(*numbers.begin(), 5000u);
    EXPECT_EQ(*numbers.rbegin(), 5015u);
    for (const auto& [name, chip] : chips) {
        const std::vector<std::uint8_t> flash = chip->peek(0x1000, 4);
        const unsigned inFlash =
            flash[0] | flash[1] << 8 | flash[2] << 16 | static_cast<unsigned>(flash[3]) << 24;
        EXPECT_EQ(inFlash, recordSerial[name]) << name;
    }
    std::ifstream next(serialFile);
    std::string text;
    std::getline(next, text);
    EXPECT_EQ(text, "5016");
}

}  // namespace
