// The settings of the simulated device, the text after "sim:".
//
// Settings, comma-separated:
//   version=M.m              ROM loader version as shown (hex digits; default 1.61; 1.10 takes
//                            the tool's replacement-loader path)
//   replacement-version=M.m  what a replacement loader started in RAM reports (default 1.50)
//   chip=XXXX                chip type in hex (default F149), or F1232, F149, F169, F1611 by
//                            name, which also gives the CPU that chip's RAM, flash and peripherals;
//                            or F5529, F5438A, FR5969, FR2355: a chip of the newer loader family
//                            (its memory map, descriptor and loader; its firmware does not run)
//   uart=usart0|usart1       the USART the host's line is wired to (default usart0)
//   xt2=HZ                   an XT2 crystal of HZ (default: none)
//   invert-test              TEST wired with the inverted sense (boards for the test-mode option)
//   app-baud=N               the older firmware's speed, 8N1 (default 115200)
//   blank                    the chip comes erased (default: an older firmware is in its flash)
//   loader                   start in the loader, as if the entry sequence had been played
//   ready=T entry-rest=T frame-timeout=T late-sync=T discard-pause=T sync-delay=T answer-delay=T
//   erase-time=T write-time=T
//                            timings (T: a number with ns, us, ms or s; ms when none);
//                            write-time is per byte written; frame-timeout is the gap that
//                            abandons a frame (1 s), late-sync the silence after a lone 0x80 that
//                            came after such a gap that makes it a synchronisation (0, the
//                            default: never), discard-pause the silence that ends a malformed
//                            frame (50 ms); frame-timeout=50ms, late-sync=20ms is a strict loader
//   trace=PATH               write a readable trace of lines, formats and bytes to PATH
//   fault=F                  a fault, any number of times (the list is in faults.h)
//   silent | ignore-entry | fake-baud
//                            the whole-chip faults, also without fault=
#pragma once

#include <string>

namespace sim {

struct SimConfig;

// Reads a settings text (without the "sim:" in front) into `config`. On failure returns false and
// names the offending setting in `error`.
bool parseSimSettings(const std::string& text, SimConfig& config, std::string& error);

}  // namespace sim
