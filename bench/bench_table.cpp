#include "bench_table.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace bench {

std::string seconds(double ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", ns / 1e9);
    return text;
}

std::string millis(double ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
    return text;
}

std::string mebibytes(double kib) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f MiB", kib / 1024);
    return text;
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

std::string excessText(const std::string& what, double measuredNs, const IdealRun& ideal) {
    const double excess = measuredNs - ideal.totalNs();
    char text[200];
    std::snprintf(text, sizeof text,
                  "%s: %+.3f ms over the ideal, %+.1f us per exchange, %+.2f us per byte sent",
                  what.c_str(), excess / 1e6, excess / 1e3 / ideal.exchanges,
                  excess / 1e3 / static_cast<double>(ideal.hostBytes));
    return text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool runSucceeded(const std::string& output) {
    return output.find("\nTest OK\n") != std::string::npos;
}

std::string failureText(const std::string& output) {
    if (output.empty()) return "no output";
    std::string::size_type at = output.find("Chyba c.");
    if (at == std::string::npos) at = output.rfind('#');
    if (at == std::string::npos) return "no \"Test OK\"";
    std::string line = output.substr(at, output.find('\n', at) - at);
    return "no \"Test OK\": " + line;
}

void printTable(const std::vector<Row>& rows) {
    std::printf("%-68s %12s %12s %7s %8s  %s\n", "measurement", "measured", "reference", "ratio",
                "bound", "result");
    for (const Row& r : rows) {
        char ratio[16] = "-";
        if (r.ran) std::snprintf(ratio, sizeof ratio, "%.4f", r.ratio);
        std::printf("%-68s %12s %12s %7s %8s  %s\n", r.what.c_str(),
                    r.ran ? r.measured.c_str() : "-",
                    r.reference.empty() ? "-" : r.reference.c_str(), ratio, r.bound.c_str(),
                    !r.ran   ? "not run"
                    : r.pass ? "pass"
                             : "FAIL");
    }
    for (const Row& r : rows) {
        if (!r.note.empty()) std::printf("  %s: %s\n", r.what.c_str(), r.note.c_str());
    }
}

void printIdeal(const char* name, const IdealRun& run) {
    std::printf(
        "  ideal %-8s: %u exchanges, %llu bytes out + %llu bytes back = %.3f s on the wire, "
        "+ %llu ms of waits = %.3f s\n",
        name, run.exchanges, static_cast<unsigned long long>(run.hostBytes),
        static_cast<unsigned long long>(run.targetBytes), run.wireNs / 1e9,
        static_cast<unsigned long long>(run.waitMs), run.totalNs() / 1e9);
}

}  // namespace bench
