// The built-in simulated target as a device: "sim" or "sim:<settings>" opens a port whose far end
// is a simulated MSP430 with its bootstrap loader, on the process clock.
#pragma once

namespace sim {
// Makes CreateFileA accept "sim" and "sim:<settings>". Safe to call more than once.
void registerSimDevice();
}  // namespace sim
