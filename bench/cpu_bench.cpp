// bsl430-cpu-bench: how fast the virtual board's CPU interprets MSP430 code, and what an idle
// board costs. Prints M instructions per second for a busy loop (register, indexed, immediate and
// auto-increment operands, a shift, a jump) and the wall time of an hour of a board asleep in
// LPM3 waking once a second. The rate is per second of the process's CPU time (one core, however
// busy the machine is). Exit status 0 when the interpreter reaches 50 M instructions/s.
//
//   bsl430-cpu-bench [seconds]   (default 2: the busy loop's wall time)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "sim/chip.h"
#include "sim/mcu/mcu.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kPsPerS = 1000000000000ull;
constexpr double kRequiredMips = 50.0;

void load(sim::Memory& memory, std::uint16_t at, const std::vector<std::uint16_t>& words) {
    for (std::uint16_t w : words) {
        memory[at++] = static_cast<std::uint8_t>(w);
        memory[at++] = static_cast<std::uint8_t>(w >> 8);
    }
}

double seconds(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

}  // namespace

int main(int argc, char** argv) {
    const double budget = argc > 1 ? std::atof(argv[1]) : 2.0;

    // The busy loop, at the DCO's fastest setting.
    sim::Memory memory{};
    memory.fill(0xFF);
    load(memory, 0xF000, {0x4031, 0x0A00,          // MOV #0A00, SP
                          0x40B2, 0x5A80, 0x0120,  // watchdog stopped
                          0x40F2, 0x00E0, 0x0056,  // DCOCTL
                          0x40F2, 0x0087, 0x0057,  // BCSCTL1
                          0x4034, 0x0200,          // MOV #0200, R4
                          0x4435,                  // loop: MOV @R4+, R5
                          0x5506,                  // ADD R5, R6
                          0xE036, 0x1021,          // XOR #1021, R6
                          0x1106,                  // RRA R6
                          0x4684, 0x0002,          // MOV R6, 2(R4)
                          0xF034, 0x01FE,          // AND #01FE, R4
                          0xD034, 0x0200,          // BIS #0200, R4
                          0x8317,                  // DEC R7
                          0x23F3,                  // JNZ loop
                          0x3FF2});                // JMP loop
    load(memory, 0xFFFE, {0xF000});
    sim::mcu::Mcu busy(memory, sim::chipModelFor(0xF149), nullptr);
    busy.powerOn(0);
    const Clock::time_point start = Clock::now();
    const std::clock_t cpuStart = std::clock();
    std::uint64_t simulated = 0;
    while (seconds(start) < budget) {
        simulated += kPsPerS / 10;
        busy.runUntil(simulated);
    }
    const double wall = seconds(start);
    const double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const double mips = busy.cpu().instructions / cpu / 1e6;
    const double simulatedSeconds = double(simulated) / kPsPerS;

    // An hour of an idle board: Timer_A on ACLK wakes it from LPM3 once a second.
    sim::Memory idleMemory{};
    idleMemory.fill(0xFF);
    load(idleMemory, 0xF000,
         {0x4031, 0x0A00, 0x40B2, 0x5A80, 0x0120,  // stack, watchdog stopped
          0x40B2, 0x7FFF, 0x0172,                  // TACCR0 = 32767
          0x40B2, 0x0010, 0x0162,                  // CCIE
          0x40B2, 0x0110, 0x0160,                  // ACLK, up mode
          0xD032, 0x00D8,                          // LPM3 with GIE
          0x3FFD});
    load(idleMemory, 0xF100, {0x5392, 0x0200, 0x1300});  // ADD #1, &0200; RETI
    load(idleMemory, 0xFFEC, {0xF100});
    load(idleMemory, 0xFFFE, {0xF000});
    sim::mcu::Mcu idle(idleMemory, sim::chipModelFor(0xF149), nullptr);
    idle.powerOn(0);
    const Clock::time_point idleStart = Clock::now();
    idle.runUntil(3600 * kPsPerS);
    const double idleWall = seconds(idleStart);

    std::printf(
        "busy loop       %8.1f M instructions/s  (%.2f s simulated in %.2f s CPU, %.2f s wall, "
        "%.1f MHz MCLK)\n",
        mips, simulatedSeconds, cpu, wall, busy.cpu().cycles / simulatedSeconds / 1e6);
    std::printf("idle board      %8.3f ms for an hour in LPM3 (%u wake-ups, %llu instructions)\n",
                idleWall * 1e3, idleMemory[0x0200] | idleMemory[0x0201] << 8,
                static_cast<unsigned long long>(idle.cpu().instructions));
    const bool pass = mips >= kRequiredMips;
    std::printf("interpreter     %s (at least %.0f M instructions/s)\n", pass ? "pass" : "FAIL",
                kRequiredMips);
    return pass ? 0 : 1;
}
