// The newer loaders' packet reader against answers that come from the fuzzer, on a virtual clock.
// Input: for every byte the host sends, the next input byte says how many of the following input
// bytes go back (its low 7 bits), right after it; when the input is used up the far end falls
// silent. The host issues the run's kinds of command (a message reply, a data reply, a large data
// reply, no reply) one after the other. Every exchange must end within its waits with one of the
// four results, never store past the reply buffer, and succeed only on a well-formed reply of the
// kind the command has, whose checksum holds.
#include <cstdint>
#include <memory>
#include <vector>

#include "bsl/packet_commands.h"
#include "bsl/packet_exchange.h"
#include "fuzz_support.h"
#include "kit/scripted_peer.h"
#include "kit/test_port.h"
#include "platform/clock.h"
#include "platform/device.h"
#include "serial/serial_port.h"

namespace {

using fuzzsupport::fail;

constexpr const char* kPortName = "fuzz-packets";

class FuzzedChip final : public platform::ScriptedPeer {
public:
    FuzzedChip(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {
        onByte = [this](ScriptedPeer& peer, std::uint64_t t, std::uint8_t) {
            if (pos_ >= size_) return;
            std::size_t count = data_[pos_++] & 0x7F;
            std::vector<std::uint8_t> answer;
            while (count-- > 0 && pos_ < size_) answer.push_back(data_[pos_++]);
            if (!answer.empty()) peer.sendAt(t, answer);
        };
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

void check(int result, PacketReply kind) {
    if (result < kPacketOk || result > kPacketMalformed) fail("result", std::to_string(result));
    if (packetReplyLength < 0 || packetReplyLength > kPacketCoreLimit) fail("reply length");
    if (result != kPacketOk || kind == PacketReply::None) return;
    if (packetReplyLength < 1) fail("success without a reply");
    const std::uint8_t expected = kind == PacketReply::Data ? kReplyData : kReplyMessage;
    if (packetReply[0] != expected) fail("success with a reply of another kind");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::VirtualClock clock;
    platform::Clock* previousClock = platform::setProcessClock(&clock);
    const int opener =
        platform::serveTestPort(kPortName, std::make_shared<FuzzedChip>(data, size));
    portHandle = k32::CreateFileA(kPortName, k32::GENERIC_READ | k32::GENERIC_WRITE, 0, nullptr,
                                  k32::OPEN_EXISTING, 0, nullptr);
    configurePort(9600, k32::EVENPARITY);

    const std::uint8_t password[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    check(packetCommand(kCoreRxPassword, false, 0, false, 0, password, 32, PacketReply::Message,
                        1000),
          PacketReply::Message);
    check(packetCommand(kCoreTxVersion, false, 0, false, 0, nullptr, 0, PacketReply::Data, 1000),
          PacketReply::Data);
    check(packetCommand(kCoreTxDataBlock, true, 0x10000, true, 1024, nullptr, 0,
                        PacketReply::Data, 1000),
          PacketReply::Data);
    const std::uint8_t baud = kBaudCode115200;
    check(packetCommand(kCoreChangeBaudRate, false, 0, false, 0, &baud, 1, PacketReply::None, 1000),
          PacketReply::None);
    // Every wait is bounded: a run this long in virtual time is taken to be endless.
    if (clock.nowNs() > 4ull * 3600 * 1000 * platform::kNsPerMs) fail("time");

    k32::CloseHandle(portHandle);
    portHandle = k32::INVALID_HANDLE_VALUE;
    platform::removeDeviceOpener(opener);
    platform::setProcessClock(previousClock);
    return 0;
}
