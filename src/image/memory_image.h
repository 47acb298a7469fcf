// The target's 64 KiB byte address space as loaded from a firmware file: `MemoryImage`,
// `kEmptyCell` and `kMemoryImageCells` are part of a run's state (serial/run_state.h). Each
// thread has its own image, that of the run it makes.
#pragma once

#include "serial/run_state.h"
