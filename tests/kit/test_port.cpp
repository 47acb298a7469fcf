#include "kit/test_port.h"

#include "platform/device.h"

namespace platform {

int serveTestPort(const std::string& name, std::shared_ptr<FarEnd> farEnd) {
    auto inUse = std::make_shared<bool>(false);
    return addDeviceOpener([name, farEnd, inUse](const std::string& requested, k32::DWORD,
                                                 bool& failed) -> std::unique_ptr<Device> {
        if (requested != name) return nullptr;
        if (*inUse) {
            failed = true;  // already open elsewhere, as with a real COM port
            return nullptr;
        }
        auto port = std::make_unique<SimulatedPort>(farEnd);
        *inUse = true;
        port->onClose = [inUse] { *inUse = false; };
        return port;
    });
}

SimulatedPort* testPortOf(k32::HANDLE handle) {
    return dynamic_cast<SimulatedPort*>(deviceFromHandle(handle));
}

}  // namespace platform
