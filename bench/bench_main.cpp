// bsl430-bench: how close a programming run comes to what the loader protocol itself costs, how
// fast the HEX loader is, and how much memory a run takes. Prints one table.
//
//   bsl430-bench [--quick | --network] [--repeat N] [--keep]
//
//   --quick     only the runs on the virtual clock and the HEX load (under a second)
//   --network   only the runs through rfc2217:// (about two minutes)
//   --repeat N  runs on the real clock N times each and keeps the best (default 1; one round of
//               them takes about 230 s, the memory run another 40 s)
//   --keep      keep the temporary directory with the images and the runs' output
//
// Runs: a 48 KiB image (4000-FFFF, pseudo-random bytes, reset vector 4000) programmed and read
// back at 9600 Bd (--slow) and at 38400 Bd:
//   - in this process on a virtual clock, through the built-in simulated target (--device sim);
//   - the same in this process on a simulated chip of the newer family (an F5529) at 115200 Bd,
//     set against that family's packets;
//   - the built bsl430 as a child process on the real clock, through a pseudo-terminal served by
//     bsl430-sim;
//   - the same at 38400 Bd through rfc2217:// to bsl430-sim's network server (the entry sequence
//     crosses the connection), and through ser2net serving bsl430-sim's pseudo-terminal (skipped
//     as "not run" without ser2net);
//   - a small image through rfc2217:// to bsl430-sim behind a link that adds 100 ms (4 KiB, 40
//     exchanges) and 1000 ms (64 bytes, 8 exchanges) of round trip (a delaying proxy), set
//     against the ideal plus the round trips the run waits for: two per exchange (the
//     synchronisation byte's acknowledge, the frame's answer), one at the open (the server's
//     signature) and one at the close (the server ending the connection after the last request).
// Each is set against the ideal: the wire time of every byte the protocol exchanges (11 bits a
// character) plus the protocol's waits, worked out from the image.
// Also: loadIntelHex on a 64 KiB HEX file against objcopy on the same file, and the peak resident
// set of the built bsl430 in a whole run, against its built-in model and through the pty.
// The exit status is 0 when every figure keeps its bound, 1 otherwise, 2 when the benchmark could
// not run.
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_runs.h"
#include "sim/sim_device.h"

using namespace bench;

namespace {

int usage(const char* self) {
    std::printf("usage: %s [--quick | --network] [--repeat N] [--keep]\n", self);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--measure-child") == 0) return measureChild(argc, argv);
    std::error_code error;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", error).string();
    setSelfPath(error ? std::string(argv[0]) : self);
    bool quick = false;
    bool network = false;
    bool keep = false;
    Context ctx;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            quick = true;
        } else if (arg == "--network") {
            network = true;
        } else if (arg == "--keep") {
            keep = true;
        } else if (arg == "--repeat" && i + 1 < argc) {
            ctx.repeat = std::atoi(argv[++i]);
            if (ctx.repeat < 1 || ctx.repeat > 100) return usage(argv[0]);
        } else {
            return usage(argv[0]);
        }
    }
    signal(SIGPIPE, SIG_IGN);
    sim::registerSimDevice();
    sim::setKeepSimTrace(true);  // the byte counts of a run come from the model's trace

    std::string pattern = (std::filesystem::temp_directory_path() / "bsl430-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::printf("cannot make a temporary directory\n");
        return 2;
    }
    ctx.dir = pattern;
    ctx.cells48 = bench::randomImage(0x4000, 0xFFFF, 0x2545F491);
    ctx.cells48[0xFFFE] = 0x00;  // reset vector: 4000
    ctx.cells48[0xFFFF] = 0x40;
    ctx.cells64 = bench::randomImage(0x0000, 0xFFFF, 0x9E3779B9);
    ctx.image48 = ctx.dir + "/image48.hex";
    ctx.image64 = ctx.dir + "/image64.hex";
    if (!writeFile(ctx.image48, bench::intelHexText(ctx.cells48)) ||
        !writeFile(ctx.image64, bench::intelHexText(ctx.cells64))) {
        std::printf("cannot write the images into %s\n", ctx.dir.c_str());
        return 2;
    }

    const std::vector<bench::Block> blocks = bench::formBlocks(ctx.cells48, 0x10000);
    std::printf(
        "bsl430 benchmark: 48 KiB image 4000-FFFF in %zu blocks, program and verify (-v on)\n\n",
        blocks.size());

    std::vector<Row> rows;
    if (network) {
        rows.push_back(servedRun(ctx, Route::Network, false));
        rows.push_back(servedRun(ctx, Route::Ser2net, false));
        rows.push_back(longLinkRun(ctx, 100, 0xFFFF));
        rows.push_back(longLinkRun(ctx, 1000, 0xF03F));
        printTable(rows);
        for (const std::string& d : ctx.details) std::printf("  %s\n", d.c_str());
        std::filesystem::remove_all(ctx.dir);
        bool allPass = true;
        for (const Row& r : rows) allPass = allPass && r.ran && r.pass;
        return allPass ? 0 : 1;
    }
    rows.push_back(virtualRun(ctx, true));
    rows.push_back(virtualRun(ctx, false));
    rows.push_back(newerVirtualRun(ctx));
    if (!quick) {
        rows.push_back(servedRun(ctx, Route::Pty, true));
        rows.push_back(servedRun(ctx, Route::Pty, false));
        rows.push_back(servedRun(ctx, Route::Network, false));
        rows.push_back(servedRun(ctx, Route::Ser2net, false));
        rows.push_back(longLinkRun(ctx, 100, 0xFFFF));
        rows.push_back(longLinkRun(ctx, 1000, 0xF03F));
    }
    rows.push_back(hexLoad(ctx));
    if (!quick) {
        rows.push_back(peakMemory(ctx));
        rows.push_back(terminalMemory(ctx));
    }

    printTable(rows);
    std::printf("\n");
    printIdeal("9600 Bd", bench::idealRun(ctx.cells48, true));
    printIdeal("38400 Bd", bench::idealRun(ctx.cells48, false));
    printIdeal("115200 Bd", bench::idealPacketRun(ctx.cells48, kNewerBufferBytes));
    for (const std::string& d : ctx.details) std::printf("  %s\n", d.c_str());
    if (keep)
        std::printf("  files kept in %s\n", ctx.dir.c_str());
    else
        std::filesystem::remove_all(ctx.dir);

    bool allPass = true;
    for (const Row& r : rows) allPass = allPass && r.ran && r.pass;
    return allPass ? 0 : 1;
}
