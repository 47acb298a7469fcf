#include "kit/test_bench.h"

namespace platform {

TestBench::TestBench(std::uint32_t startTick, std::string name)
    : clock(startTick), portName(std::move(name)) {
    previousClock_ = setProcessClock(&clock);
    previousLog_ = setCallLog(&log);
    openerId_ = serveTestPort(portName, peer);
}

TestBench::~TestBench() {
    if (deviceFromHandle(handle)) k32::CloseHandle(handle);
    removeDeviceOpener(openerId_);
    setCallLog(previousLog_);
    setProcessClock(previousClock_);
}

k32::HANDLE TestBench::open() {
    handle = k32::CreateFileA(portName.c_str(), k32::GENERIC_READ | k32::GENERIC_WRITE, 0, nullptr,
                              k32::OPEN_EXISTING, 0, nullptr);
    return handle;
}

}  // namespace platform
