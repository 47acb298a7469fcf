// Fields: port, result (pending|ok|failed|stopped; a check's match|differs|locked|refused|failed|
// stopped), error, message, chip, bsl_version, serial,
// image_sha256, bytes, started (UTC, ISO 8601), seconds, attempts, reason (why a board failed, in
// English: what the error means, why its port did not open, or "timeout"), firmware_sha256 (the
// image without the serial number), firmware (the file as given), tool_version, station, tags
// (KEY=VALUE;... in CSV, an object in JSON), slot (the board's place among the ports, from 1),
// differs_at (a check's first address where board and firmware differ, 0x hexadecimal). A "pending" record is written before a board's first
// byte, its final one when it ends. A field with nothing to say is
// empty in CSV and null in JSON.
#include "gang/board_record.h"

#include <cctype>
#include <cstdio>

namespace gang {
namespace {

// A cell a spreadsheet would take for a formula (=, +, - or @ first, or a tab or carriage return
// that some of them skip) is made plain text by a leading apostrophe.
std::string csvField(const std::string& text) {
    std::string cell = text;
    if (!cell.empty() && std::string("=+-@\t\r").find(cell.front()) != std::string::npos)
        cell.insert(0, 1, '\'');
    if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
    std::string quoted = "\"";
    for (char c : cell) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

// The length of the well-formed UTF-8 sequence at `text[i]`, 0 when there is none.
std::size_t utf8Length(const std::string& text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length;
    unsigned lowest, value;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, lowest = 0x80, value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, lowest = 0x800, value = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, lowest = 0x10000, value = lead & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        value = value << 6 | (byte(i + k) & 0x3Fu);
    }
    const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
    return value < lowest || value > 0x10FFFF || surrogate ? 0 : length;
}

// Text as a JSON string: UTF-8 passes as it is, control characters are escaped and a byte that is
// not part of well-formed UTF-8 becomes U+FFFD, so that the line is always valid JSON.
std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (const std::size_t length = utf8Length(text, i)) {
            out.append(text, i, length);
            i += length;
        } else {
            out += "\\ufffd";
            ++i;
        }
    }
    return out + "\"";
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

bool failed(const BoardStatus& s) { return s.outcome == Outcome::Failed; }

// A failure says why, and so does a check that did not find its firmware.
bool hasReason(const BoardStatus& s) {
    return failed(s) || s.outcome == Outcome::Differs || s.outcome == Outcome::Locked ||
           s.outcome == Outcome::Refused;
}

std::string differsAt(const BoardStatus& s) {
    if (!s.haveDiffersAt) return "";
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(s.differsAt));
    return text;
}

// A board still running is pending in its record: its first byte is about to go.
const char* resultName(const BoardStatus& s) {
    return s.outcome == Outcome::Running ? "pending" : outcomeName(s.outcome);
}

}  // namespace

bool isCsvPath(const std::string& path) {
    if (path.size() < 4) return false;
    std::string end = path.substr(path.size() - 4);
    for (char& c : end) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return end == ".csv";
}

std::string csvHeader() {
    return "port,result,error,message,chip,bsl_version,serial,image_sha256,bytes,started,seconds,"
           "attempts,reason,firmware_sha256,firmware,tool_version,station,tags,slot,differs_at\r\n";
}

std::string csvRecord(const BoardStatus& s) {
    std::string row;
    row += csvField(s.port) + ",";
    row += std::string(resultName(s)) + ",";
    row += (failed(s) && s.error != 0 ? std::to_string(s.error) : "") + ",";
    row += csvField(failed(s) ? s.message : "") + ",";
    row += csvField(s.chip) + ",";
    row += csvField(s.bslVersion) + ",";
    row += (s.haveSerial ? std::to_string(s.serial) : "") + ",";
    row += s.imageSha256 + ",";
    row += std::to_string(s.bytes) + ",";
    row += s.started + ",";
    row += seconds(s.seconds) + ",";
    row += std::to_string(s.attempts) + ",";
    row += csvField(hasReason(s) ? s.description : "") + ",";
    row += s.firmwareSha256 + ",";
    row += csvField(s.firmwarePath) + ",";
    row += std::string(BSL430_VERSION) + ",";
    row += csvField(s.station) + ",";
    std::string tags;
    for (const auto& [key, value] : s.tags) tags += (tags.empty() ? "" : ";") + key + "=" + value;
    row += csvField(tags) + ",";
    row += std::to_string(s.slot) + ",";
    row += differsAt(s) + "\r\n";
    return row;
}

std::string jsonRecord(const BoardStatus& s) {
    auto textOrNull = [](const std::string& text) {
        return text.empty() ? std::string("null") : jsonString(text);
    };
    std::string line = "{";
    line += "\"port\":" + jsonString(s.port);
    line += ",\"result\":" + jsonString(resultName(s));
    line += ",\"error\":" + (failed(s) && s.error != 0 ? std::to_string(s.error) : "null");
    line += ",\"message\":" + textOrNull(failed(s) ? s.message : "");
    line += ",\"chip\":" + textOrNull(s.chip);
    line += ",\"bsl_version\":" + textOrNull(s.bslVersion);
    line += ",\"serial\":" + (s.haveSerial ? std::to_string(s.serial) : "null");
    line += ",\"image_sha256\":" + jsonString(s.imageSha256);
    line += ",\"bytes\":" + std::to_string(s.bytes);
    line += ",\"started\":" + jsonString(s.started);
    line += ",\"seconds\":" + seconds(s.seconds);
    line += ",\"attempts\":" + std::to_string(s.attempts);
    line += ",\"reason\":" + textOrNull(hasReason(s) ? s.description : "");
    line += ",\"firmware_sha256\":" + textOrNull(s.firmwareSha256);
    line += ",\"firmware\":" + textOrNull(s.firmwarePath);
    line += ",\"tool_version\":" + jsonString(BSL430_VERSION);
    line += ",\"station\":" + textOrNull(s.station);
    line += ",\"tags\":{";
    for (std::size_t i = 0; i < s.tags.size(); ++i) {
        if (i > 0) line += ',';
        line += jsonString(s.tags[i].first);
        line += ':';
        line += jsonString(s.tags[i].second);
    }
    line += "},\"slot\":" + std::to_string(s.slot);
    line += ",\"differs_at\":" + textOrNull(differsAt(s));
    return line + "}\n";
}

}  // namespace gang
