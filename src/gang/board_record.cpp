// Fields: port, result (ok|failed|stopped), error, message, chip, bsl_version, serial,
// image_sha256, bytes, started (UTC, ISO 8601), seconds, attempts. A field with nothing to say is
// empty in CSV and null in JSON.
#include "gang/board_record.h"

#include <cctype>
#include <cstdio>

namespace gang {
namespace {

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            // Names and messages are ASCII; anything else is escaped rather than passed on as
            // bytes that may not be UTF-8.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
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

}  // namespace

bool isCsvPath(const std::string& path) {
    if (path.size() < 4) return false;
    std::string end = path.substr(path.size() - 4);
    for (char& c : end) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return end == ".csv";
}

std::string csvHeader() {
    return "port,result,error,message,chip,bsl_version,serial,image_sha256,bytes,started,seconds,"
           "attempts\r\n";
}

std::string csvRecord(const BoardStatus& s) {
    std::string row;
    row += csvField(s.port) + ",";
    row += std::string(outcomeName(s.outcome)) + ",";
    row += (failed(s) && s.error != 0 ? std::to_string(s.error) : "") + ",";
    row += csvField(failed(s) ? s.message : "") + ",";
    row += csvField(s.chip) + ",";
    row += csvField(s.bslVersion) + ",";
    row += (s.haveSerial ? std::to_string(s.serial) : "") + ",";
    row += s.imageSha256 + ",";
    row += std::to_string(s.bytes) + ",";
    row += s.started + ",";
    row += seconds(s.seconds) + ",";
    row += std::to_string(s.attempts) + "\r\n";
    return row;
}

std::string jsonRecord(const BoardStatus& s) {
    auto textOrNull = [](const std::string& text) {
        return text.empty() ? std::string("null") : jsonString(text);
    };
    std::string line = "{";
    line += "\"port\":" + jsonString(s.port);
    line += ",\"result\":" + jsonString(outcomeName(s.outcome));
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
    return line + "}\n";
}

}  // namespace gang
