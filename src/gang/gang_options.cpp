#include "gang/gang_options.h"

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

namespace gang {
namespace {

const char kUsage[] =
    "usage: bsl430-gang [options] FIRMWARE PORT...\n"
    "      --check            check boards instead: unlock with FIRMWARE's vectors, read back and\n"
    "                         compare, read the serial number at --serial-at; nothing is written\n"
    "                         or erased (results: match, differs, locked, refused)\n"
    "  -v, --verify           read every block back and compare (as bsl430 -v on)\n"
    "      --slow             stay at 9600 Bd (as bsl430 --slow)\n"
    "      --TEST             boards whose TEST line is wired inverted (as bsl430 --TEST)\n"
    "  -b, --loader FILE      replacement loader for 1.10 chips (found as bsl430 -b finds it)\n"
    "      --ports-file FILE  more PORTs, one a line, '#' starts a comment\n"
    "  -r, --results FILE     a record per board: CSV if FILE ends in .csv, else JSON Lines\n"
    "      --serial FIRST     give the boards serial numbers FIRST, FIRST+1, ...\n"
    "      --serial-at ADDR   where the number is written (default 0x1000), 4 bytes, "
    "little-endian\n"
    "      --serial-file FILE the next number is kept in FILE (made from --serial when missing)\n"
    "      --retries N        try a failed board again, up to N more times (default 0)\n"
    "      --board-timeout S  end a board not done after S seconds, retries included\n"
    "                         (default 300; 0: no limit)\n"
    "      --station NAME     the station in the records (default: the computer's name)\n"
    "      --tag KEY=VALUE    a tag in every record (operator, lot, order...); repeatable\n"
    "      --repeat           after each round, Enter programs the fixture again (q ends);\n"
    "                         the serial numbers go on\n"
    "      --only-failed      with --repeat: the next round programs only the slots that failed\n"
    "  -q, --quiet            no live view: one line per board as it ends, and the summary\n"
    "  -h, --help             this listing\n"
    "      --version          the program's version\n"
    "PORT: COM5, \\\\.\\COM5, /dev/ttyUSB0, rfc2217://HOST:PORT, sim, sim:SETTINGS\n";

constexpr std::uint64_t kFirstFlashAddress = 0x1000;  // information memory
constexpr std::uint64_t kLastSerialAddress = 0xFFFC;  // the four bytes end at 0xFFFF

// A decimal number, or a hexadecimal one after 0x; the whole text, at most `limit`.
bool parseNumber(const std::string& text, std::uint64_t limit, std::uint64_t& value) {
    std::size_t i = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= text.size()) return false;
    value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c)))
            digit = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        else
            return false;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        if (value > limit) return false;
    }
    return true;
}

std::string trimmed(const std::string& text) {
    const char* space = " \t\r\n";
    const std::size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

bool readPortsFile(const std::string& path, std::vector<std::string>& ports, std::string& error) {
    std::ifstream file(path);
    if (!file) {
        error = "cannot read the ports file " + path;
        return false;
    }
    std::string line;
    while (std::getline(file, line)) {
        const std::size_t comment = line.find('#');
        if (comment != std::string::npos) line.erase(comment);
        line = trimmed(line);
        if (!line.empty()) ports.push_back(line);
    }
    return true;
}

// The highest port number a "COMn" name may carry, as the serial backends take it.
constexpr std::uint64_t kHighestComPort = 1000000;

// The name two spellings of one port share: "COM5", "com5" and "\\.\COM5" are one port. False
// for a "COMn" whose number no port can have (0, or past kHighestComPort).
bool portKey(const std::string& port, std::string& key) {
    std::string bare = port.rfind("\\\\.\\", 0) == 0 ? port.substr(4) : port;
    if (bare.size() > 3 && (bare[0] == 'C' || bare[0] == 'c') &&
        (bare[1] == 'O' || bare[1] == 'o') && (bare[2] == 'M' || bare[2] == 'm') &&
        bare.find_first_not_of("0123456789", 3) == std::string::npos) {
        std::uint64_t number = 0;
        if (!parseNumber(bare.substr(3), kHighestComPort, number) || number == 0) return false;
        key = "COM" + std::to_string(number);
        return true;
    }
    // A path that exists is known by where it leads: a symlink, a /dev/serial/by-path or by-id
    // name and the device node itself are one port.
    std::error_code failed;
    if (std::filesystem::exists(port, failed)) {
        const std::filesystem::path real = std::filesystem::canonical(port, failed);
        if (!failed) {
            key = real.string();
            return true;
        }
    }
    key = port;
    return true;
}

}  // namespace

const char* gangUsage() { return kUsage; }

bool isSimulatedBoard(const std::string& port) {
    return port == "sim" || port.rfind("sim:", 0) == 0;
}

bool parseGangOptions(int argc, char** argv, GangOptions& options, std::string& error) {
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) words.emplace_back(argv[i] != nullptr ? argv[i] : "");
    std::vector<std::string> positional;
    std::vector<std::string> portsFiles;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string word = words[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            positional.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = word;
        std::string value;
        bool attached = false;
        const std::size_t equals = word.find('=');
        if (word.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = word.substr(0, equals);
            value = word.substr(equals + 1);
            attached = true;
        }
        auto takeValue = [&](std::string& into) {
            if (attached) {
                into = value;
                return true;
            }
            if (i + 1 >= words.size()) {
                error = "option " + name + " needs a value";
                return false;
            }
            into = words[++i];
            return true;
        };
        auto noValue = [&]() {
            if (attached) error = "option " + name + " takes no value";
            return !attached;
        };
        std::string text;
        std::uint64_t number = 0;
        if (name == "-h" || name == "--help") {
            if (!noValue()) return false;
            options.help = true;
        } else if (name == "--version") {
            if (!noValue()) return false;
            options.version = true;
        } else if (name == "-v" || name == "--verify") {
            if (!noValue()) return false;
            options.verify = true;
        } else if (name == "--slow") {
            if (!noValue()) return false;
            options.slow = true;
        } else if (name == "--TEST") {
            if (!noValue()) return false;
            options.invertedTest = true;
        } else if (name == "--repeat") {
            if (!noValue()) return false;
            options.repeat = true;
        } else if (name == "--only-failed") {
            if (!noValue()) return false;
            options.onlyFailed = true;
        } else if (name == "--check") {
            if (!noValue()) return false;
            options.check = true;
        } else if (name == "--family") {
            if (!takeValue(text)) return false;
            const char* const words[] = {"auto", "classic", "5xx"};
            options.family = -1;
            for (int k = 0; k < 3; ++k)
                if (text == words[k]) options.family = k;
            if (options.family < 0) {
                error = "--family wants auto, classic or 5xx, not '" + text + "'";
                return false;
            }
        } else if (name == "-q" || name == "--quiet") {
            if (!noValue()) return false;
            options.quiet = true;
        } else if (name == "-b" || name == "--loader") {
            if (!takeValue(options.loader)) return false;
        } else if (name == "--ports-file") {
            if (!takeValue(text)) return false;
            portsFiles.push_back(text);
        } else if (name == "-r" || name == "--results") {
            if (!takeValue(options.resultsFile)) return false;
        } else if (name == "--serial") {
            if (!takeValue(text)) return false;
            if (!parseNumber(text, 0xFFFFFFFFu, number)) {
                error = "--serial wants a number from 0 to 4294967295, not '" + text + "'";
                return false;
            }
            options.haveFirstSerial = true;
            options.firstSerial = static_cast<std::uint32_t>(number);
        } else if (name == "--serial-at") {
            if (!takeValue(text)) return false;
            // The number must outlive a power cycle and a reset: only flash holds it, the
            // information memory (from 0x1000) or the main memory (up to 0xFFFF).
            if (!parseNumber(text, kLastSerialAddress, number) || number < kFirstFlashAddress) {
                error = "--serial-at wants a flash address from 0x1000 to 0xFFFC, not '" + text +
                        "'";
                return false;
            }
            options.serialAt = static_cast<std::uint32_t>(number);
        } else if (name == "--serial-file") {
            if (!takeValue(options.serialFile)) return false;
        } else if (name == "--retries") {
            if (!takeValue(text)) return false;
            if (!parseNumber(text, 100, number)) {
                error = "--retries wants a number from 0 to 100, not '" + text + "'";
                return false;
            }
            options.retries = static_cast<int>(number);
        } else if (name == "--station") {
            if (!takeValue(options.station)) return false;
            if (options.station.empty() ||
                options.station.find_first_of("\r\n") != std::string::npos) {
                error = "--station wants a name on one line";
                return false;
            }
        } else if (name == "--tag") {
            if (!takeValue(text)) return false;
            const std::size_t equals = text.find('=');
            const std::string key = text.substr(0, equals);
            if (equals == std::string::npos || key.empty() ||
                key.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                      "0123456789_-.") != std::string::npos ||
                text.find_first_of("\r\n;") != std::string::npos) {
                error = "--tag wants KEY=VALUE (KEY of letters, digits, _ - .; no ';' or line "
                        "break), not '" + text + "'";
                return false;
            }
            for (const auto& [known, value] : options.tags)
                if (known == key) {
                    error = "--tag " + key + " is given twice";
                    return false;
                }
            options.tags.emplace_back(key, text.substr(equals + 1));
        } else if (name == "--board-timeout") {
            if (!takeValue(text)) return false;
            if (!parseNumber(text, 86400, number)) {
                error = "--board-timeout wants seconds from 0 to 86400, not '" + text + "'";
                return false;
            }
            options.boardTimeout = static_cast<int>(number);
        } else {
            error = "unknown option " + name;
            return false;
        }
    }
    if (options.help || options.version) return true;
    if (options.onlyFailed && !options.repeat) {
        error = "--only-failed works with --repeat";
        return false;
    }
    if (options.check && (options.haveFirstSerial || !options.serialFile.empty())) {
        error = "--check gives out no serial numbers: it reads them (at --serial-at)";
        return false;
    }
    if (positional.empty()) {
        error = "no firmware file and no port named";
        return false;
    }
    options.firmware = positional.front();
    options.ports.assign(positional.begin() + 1, positional.end());
    for (const std::string& path : portsFiles)
        if (!readPortsFile(path, options.ports, error)) return false;
    if (options.ports.empty()) {
        error = "no port named";
        return false;
    }
    std::map<std::string, std::string> seen;  // a port's key -> the name it was first given
    for (const std::string& port : options.ports) {
        if (isSimulatedBoard(port)) continue;
        std::string key;
        if (!portKey(port, key)) {
            error = "port " + port + " names no port: COM takes a number from 1 to " +
                    std::to_string(kHighestComPort);
            return false;
        }
        const auto [first, added] = seen.emplace(key, port);
        if (!added) {
            error = first->second == port
                        ? "port " + port + " is named twice"
                        : "port " + port + " is the same port as " + first->second;
            return false;
        }
    }
    return true;
}

}  // namespace gang
