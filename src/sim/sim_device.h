// The built-in simulated target as a device: "sim" or "sim:<settings>" opens a port whose far end
// is a simulated MSP430 with its bootstrap loader, on the process clock.
//
// Settings are comma-separated, each a word or word=value, for example
//   sim:version=1.10,invert-test,app-baud=9600,fault=nack:erase:3,trace=/tmp/sim.txt
// (the full list is in settings.h, the faults in faults.h). An unknown or malformed setting makes
// the open fail.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "sim/settings.h"

namespace sim {

class SimTarget;
struct SimConfig;

// Makes CreateFileA accept "sim" and "sim:<settings>". Safe to call more than once.
void registerSimDevice();

// The model behind the sim device opened last (nullptr before the first open). It outlives the
// port.
std::shared_ptr<SimTarget> lastSimTarget();

// Whether the models the device makes keep their trace in memory (SimConfig::keepTrace). Off at
// the start, so that a long run does not hold an entry for every byte; tests that look at what
// crossed the line turn it on. A trace=PATH file is written either way.
void setKeepSimTrace(bool keep);

// Called with every new model right after it is made, before the port exists; for tests that set
// up memory or faults the settings cannot express. An empty function removes the hook.
void setSimTargetHook(std::function<void(SimTarget&)> hook);

}  // namespace sim
