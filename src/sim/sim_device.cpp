#include "sim/sim_device.h"

#include <mutex>

#include "platform/device.h"
#include "platform/open_failure.h"
#include "platform/simulated/simulated_port.h"
#include "sim/settings.h"
#include "sim/sim_target.h"

namespace sim {
namespace {

std::shared_ptr<SimTarget>& lastTarget() {
    static std::shared_ptr<SimTarget> target;
    return target;
}

// Boards may be opened on several threads at once (a gang of simulated boards).
std::recursive_mutex& deviceMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

bool& keepTraceDefault() {
    static bool keep = false;
    return keep;
}

std::function<void(SimTarget&)>& targetHook() {
    static std::function<void(SimTarget&)> hook;
    return hook;
}

}  // namespace

std::shared_ptr<SimTarget> lastSimTarget() {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex());
    return lastTarget();
}

void setSimTargetHook(std::function<void(SimTarget&)> hook) {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex());
    targetHook() = std::move(hook);
}

void setKeepSimTrace(bool keep) {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex());
    keepTraceDefault() = keep;
}

void registerSimDevice() {
    static bool registered = false;
    if (registered) return;
    registered = true;
    platform::addDeviceOpener(
        [](const std::string& name, k32::DWORD, bool& failed) -> std::unique_ptr<platform::Device> {
            std::string settings;
            if (name == "sim") {
                settings.clear();
            } else if (name.compare(0, 4, "sim:") == 0) {
                settings = name.substr(4);
            } else {
                return nullptr;
            }
            std::lock_guard<std::recursive_mutex> lock(deviceMutex());
            SimConfig config;
            config.keepTrace = keepTraceDefault();
            std::string error;
            if (!parseSimSettings(settings, config, error)) {
                platform::setOpenFailure(name + ": " + error +
                                         " (bsl430-sim --help lists the settings)");
                failed = true;
                return nullptr;
            }
            auto target = std::make_shared<SimTarget>(std::move(config));
            if (targetHook()) targetHook()(*target);
            lastTarget() = target;
            return std::make_unique<platform::SimulatedPort>(target);
        });
}

}  // namespace sim
