// What the device returns on the bulk-in pipe, through the driver's receive path: raw
// transfers of 0 to 2000 bytes (longer than one receive buffer included), well-formed frames
// with any status byte, and frames whose trailer's count and status disagree with their
// length, queued in sequences with time passing in between, on one adapter kept running.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

#include "emulator/device/controller.h"
#include "emulator/ndis/protocol.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr size_t kMaxTransfer = 2000;
constexpr size_t kMaxFrame = 1600;
constexpr int kMaxSteps = 24;
// The largest frame NDIS may be handed: header and the largest payload.
constexpr size_t kLargestFrame = 1514;

using Bytes = std::vector<uint8_t>;

// A frame with a trailer the fuzzer writes: the count and status need not match the frame.
Bytes WithOwnTrailer(FuzzedDataProvider& in) {
    Bytes transfer = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, kMaxFrame));
    const uint16_t count = in.ConsumeIntegral<uint16_t>();
    transfer.push_back(static_cast<uint8_t>(count));
    transfer.push_back(static_cast<uint8_t>(count >> 8));
    transfer.push_back(in.ConsumeIntegral<uint8_t>());
    transfer.push_back(in.ConsumeIntegral<uint8_t>());
    return transfer;
}

void Step(qvtest::RunningAdapter& nic, FuzzedDataProvider& in) {
    emu::device::Controller& device = nic.Device();
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            device.QueueOverlong(
                in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, kMaxTransfer)));
            break;
        case 1: {
            const uint8_t status = in.ConsumeIntegral<uint8_t>();
            const Bytes frame =
                in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, kMaxFrame));
            device.QueueFrame(frame, status);
            break;
        }
        case 2: device.QueueOverlong(WithOwnTrailer(in)); break;
        default: nic.Run(in.ConsumeIntegralInRange<uint64_t>(0, 5'000)); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvtest::RunningAdapter& nic = qvfuzz::SharedAdapter();
    static const bool watching = [&] {
        nic.Edge().OnReceive([](const emu::ndis::Protocol::Receive& receive) {
            // A clean transfer of 9 to 21 bytes is indicated as it came, header or not.
            if (receive.bytes.size() > kLargestFrame) qvfuzz::Fail("indicated an overlong frame");
        });
        return true;
    }();
    (void)watching;
    FuzzedDataProvider in(data, size);
    for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step) Step(nic, in);
    nic.RunUntilIdle();
    qvfuzz::CheckStillListening(nic);
    return 0;
}
