#include "sim/settings.h"

#include "sim/analog_setting.h"
#include "sim/chip.h"
#include "sim/faults.h"
#include "sim/newer_chips.h"
#include "sim/setting_values.h"
#include "sim/sim_config.h"

namespace sim {

bool parseSimSettings(const std::string& text, SimConfig& config, std::string& error) {
    if (text.empty()) return true;
    for (const std::string& item : splitSetting(text, ',')) {
        std::string::size_type eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const bool hasValue = eq != std::string::npos;
        const std::string value = hasValue ? item.substr(eq + 1) : std::string();
        bool ok = false;
        if (!hasValue) {
            if (key == "invert-test")
                ok = config.invertTest = true;
            else if (key == "blank")
                ok = config.blankFlash = true;
            else if (key == "loader")
                ok = config.startInLoader = true;
            else if (key == "silent")
                ok = config.silent = true;
            else if (key == "ignore-entry")
                ok = config.ignoreEntry = true;
            else if (key == "fake-baud")
                ok = config.fakeBaudChange = true;
        } else if (key == "version") {
            ok = parseVersion(value, config.versionMajor, config.versionMinor);
        } else if (key == "replacement-version") {
            ok = parseVersion(value, config.replacementMajor, config.replacementMinor);
        } else if (key == "chip") {
            // A chip of the table by name (its memory and peripherals), or any identification.
            unsigned long long chip = config.chipType;
            config.newerChip = newerChipNamed(value);
            if (const ChipModel* model = chipModelNamed(value)) {
                ok = true;
                chip = model->id;
            } else if (config.newerChip) {
                ok = true;
            } else {
                ok = value.size() <= 6 && parseUnsigned(value, 16, 0xFFFF, chip);
            }
            config.chipType = static_cast<std::uint16_t>(chip);
        } else if (key == "uart") {
            ok = value == "usart0" || value == "usart1";
            config.hostUsart = value == "usart1" ? 1 : 0;
        } else if (key == "xt2") {
            unsigned long long hz = 0;
            ok = parseUnsigned(value, 10, 8000000, hz);
            config.xt2Hz = static_cast<std::uint32_t>(hz);
        } else if (key == "adc") {
            SimConfig::AnalogSetting analog{};
            ok = parseAnalogSetting(value, analog.channel, analog.input);
            if (ok) config.analogInputs.push_back(analog);
        } else if (key == "app-baud") {
            unsigned long long baud = 0;
            ok = parseUnsigned(value, 10, 4000000, baud) && baud >= 50;
            config.appFormat.baud = static_cast<std::uint32_t>(baud);
        } else if (key == "ready") {
            ok = parseDuration(value, config.loaderReadyNs);
        } else if (key == "entry-rest") {
            ok = parseDuration(value, config.entryRestNs);
        } else if (key == "frame-timeout") {
            ok = parseDuration(value, config.frameTimeoutNs);
        } else if (key == "late-sync") {
            ok = parseDuration(value, config.lateSyncNs);
        } else if (key == "discard-pause") {
            ok = parseDuration(value, config.discardPauseNs);
        } else if (key == "sync-delay") {
            ok = parseDuration(value, config.syncAnswerNs);
        } else if (key == "answer-delay") {
            ok = parseDuration(value, config.frameAnswerNs);
        } else if (key == "erase-time") {
            ok = parseDuration(value, config.massEraseNs);
        } else if (key == "write-time") {
            ok = parseDuration(value, config.writeNsPerByte);
        } else if (key == "trace") {
            ok = !value.empty();
            config.tracePath = value;
        } else if (key == "fault") {
            ok = parseFault(value, config);
        }
        if (!ok) {
            error = "bad sim setting '" + item + "'";
            return false;
        }
    }
    if (!config.analogInputs.empty() && !config.newerChip &&
        !hasAdc12(chipModelFor(config.chipType))) {
        error = "bad sim setting 'adc': " + noAdc12(chipModelFor(config.chipType));
        return false;
    }
    return true;
}

}  // namespace sim
