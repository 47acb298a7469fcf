// bsl430-sim: serves the simulated MSP430 to other processes, so that the tool (or anything else)
// can talk to it through a real tty or over the network.
//
//   bsl430-sim [settings]                          on a pseudo-terminal (--device PATH)
//   bsl430-sim --rfc2217 [HOST:]PORT [--idle-limit SECONDS] [--take-over] [settings]
//                                                  as a network serial port (--device
//                                                  rfc2217://...)
//   bsl430-sim run FIRMWARE [options]              runs a firmware on the virtual board as a
//                                                  test bench (bench_run.h)
//
// The settings are those of the "sim:" device (for example "version=1.10,fault=nack:erase:3").
// The program prints the terminal's path, or the rfc2217:// address (HOST defaults to 127.0.0.1;
// PORT 0 takes a free one), on one line and serves until SIGINT or SIGTERM.
//
// Bytes are paced as on a wire: the model hears a host byte one character time after the previous
// one has ended (or after it was written), and its own bytes reach the host one character time
// apart, on the real clock.
#include <cstdio>
#include <cstring>
#include <string>

#include "bench_run.h"
#include "served_model.h"
#include "sim/sim_device.h"
#include "sim/sim_target.h"
#include "sim_serve.h"

namespace {

int usage(const char* self) {
    std::printf(
        "usage: %s [settings]\n"
        "       %s --rfc2217 [HOST:]PORT [--idle-limit SECONDS] [--take-over] [settings]\n"
        "       %s run FIRMWARE [--for TIME] [--send TEXT[@TIME]] [--expect REGEX]\n"
        "              [--pin Pn.b=0|1[@TIME]] [--adc CH=LEVEL[@TIME]] [--script FILE]\n"
        "              [--vcd FILE] [--speed N] [--xt2 HZ] [--chip NAME]\n"
        "              [--uart usart0|usart1] [--trace]\n"
        "  --idle-limit SECONDS  hang up on a network client that sends nothing for that long\n"
        "                        (default: never; dead peers are found by TCP keep-alive)\n"
        "  --take-over           a new network client takes the board from the one served\n"
        "                        (default: it is refused while one is served)\n",
        self, self, self);
    return 2;
}

// The settings and faults the model takes, as "--help" lists them.
constexpr const char kSettingsHelp[] =
    "\n"
    "Serves a simulated MSP430 with its ROM bootstrap loader on a pseudo-terminal (its path is\n"
    "printed), or with --rfc2217 as a network serial port (its rfc2217:// address is printed;\n"
    "HOST defaults to 127.0.0.1, PORT 0 takes a free one), until SIGINT or SIGTERM.\n"
    "\n"
    "Settings, separated by commas (as after \"--device sim:\" of bsl430):\n"
    "  version=M.m              loader version shown, default 1.61 (1.10: needs a replacement)\n"
    "  replacement-version=M.m  version a started replacement loader reports, default 1.50\n"
    "  chip=XXXX                chip type in hex, default F149; F1232, F149, F169, F1611 by\n"
    "                           name also give that chip's memory and peripherals\n"
    "  chip=F5529|F5438A|FR5969|FR2355\n"
    "                           a chip of the newer loader family (packets with a CRC): its\n"
    "                           memory map, device descriptor and loader; its firmware does\n"
    "                           not run (a reset or Load PC leaves a silent chip)\n"
    "  uart=usart0|usart1       the USART the host's line is wired to, default usart0\n"
    "  xt2=HZ                   an XT2 crystal of HZ on the board, default none\n"
    "  adc=CH:LEVEL             an analog input: CH A0-A7, VEREF+, VEREF- (LEVEL in V or mV,\n"
    "  adc=CH:ramp:FROM-TO/T    0 to 3.3 V) or TEMP (in C); a ramp from power-on, held at TO;\n"
    "                           refused with chip=F1232, which has no ADC12\n"
    "  invert-test              TEST wired inverted (boards that need --TEST)\n"
    "  app-baud=N               speed of the older firmware a fresh chip holds, default 115200\n"
    "  blank                    the chip starts erased\n"
    "  loader                   the chip starts in its loader\n"
    "  silent                   the chip never answers\n"
    "  ignore-entry             the chip never enters its loader\n"
    "  fake-baud                a speed change is acknowledged but not made\n"
    "  ready=T entry-rest=T frame-timeout=T late-sync=T discard-pause=T\n"
    "  sync-delay=T answer-delay=T erase-time=T write-time=T\n"
    "                           the model's timings; T in ns, us, ms or s (plain: ms)\n"
    "  trace=PATH               writes every line change and byte, with its time, to PATH\n"
    "  fault=F                  injects a fault; may be given several times\n"
    "\n"
    "Faults F:\n"
    "  silent, ignore-entry, fake-baud   as the settings of the same name\n"
    "  nack:K:N      answers 0xA0            stray:K:N[:XX]  answers a stray byte\n"
    "  mute:K:N      gives no answer         mute-after:K:N  falls silent after answering\n"
    "  length:K:N    wrong length bytes      stall:K:N       stops after a reply's 0x80\n"
    "  prefix:K:N:HEX  bytes before the answer\n"
    "  message:K:N[:XX]  newer family: the reply 3B XX (default 03) instead of the command\n"
    "  crc:K:N       newer family: a reply packet with a wrong checksum\n"
    "    for the N-th command of kind K (sync, any, password, write, read, erase, load-pc, baud\n"
    "    or 0xNN); N+ means the N-th and every later one\n"
    "    newer family: nack answers the acknowledge 0x55 and stall stops after 00 80; the\n"
    "    names stand for the family's own commands and 0xNN is its code (no sync)\n"
    "  corrupt:ADDR[:XX]                 reads of ADDR come back XORed with XX\n"
    "  garble-rx:N[:XX], drop-rx:N       the N-th byte from the host garbled or lost\n"
    "  garble-tx:N[:XX], drop-tx:N       the N-th byte to the host garbled or lost\n";

int help(const char* self) {
    usage(self);
    std::fputs(kSettingsHelp, stdout);
    return 0;
}

// Reads a whole number of seconds (1 to 86400); false when it is not one.
bool readSeconds(const char* text, unsigned& seconds) {
    unsigned long value = 0;
    if (*text == '\0') return false;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || value > 86400) return false;
        value = value * 10 + static_cast<unsigned long>(*c - '0');
    }
    if (value == 0 || value > 86400) return false;
    seconds = static_cast<unsigned>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "run") == 0) return simbench::runBench(argc - 2, argv + 2);
    int next = 1;
    std::string address;
    const bool network = argc > 1 && std::strcmp(argv[1], "--rfc2217") == 0;
    simserve::NetworkOptions options;
    if (network) {
        if (argc < 3) return usage(argv[0]);
        address = argv[2];
        next = 3;
        for (; next < argc && std::strncmp(argv[next], "--", 2) == 0; ++next) {
            if (std::strcmp(argv[next], "--take-over") == 0) {
                options.takeOver = true;
            } else if (std::strcmp(argv[next], "--idle-limit") == 0 && next + 1 < argc &&
                       readSeconds(argv[next + 1], options.idleLimitSeconds)) {
                ++next;
            } else {
                return usage(argv[0]);
            }
        }
    }
    std::string settings = argc > next ? argv[next] : "";
    if (settings.compare(0, 4, "sim:") == 0)
        settings = settings.substr(4);
    else if (settings == "sim")
        settings.clear();
    if (settings == "-h" || settings == "--help") return help(argv[0]);
    if (argc > next + 1) return usage(argv[0]);
    sim::SimConfig config;
    std::string error;
    if (!sim::parseSimSettings(settings, config, error)) {
        std::printf("%s\n", error.c_str());
        return 2;
    }
    config.keepTrace = false;  // the server runs for many sessions and never looks back

    simserve::installStopSignals();
    return network ? simserve::serveRfc2217(config, address, options) : simserve::servePty(config);
}
