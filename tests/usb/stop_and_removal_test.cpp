// The driver's stop and its data path against a bus that gives no order between an abort and
// the transfers it cancels, and against a device unplugged while it runs: what the bus saw, and
// NDIS's checks at the halt (leaks, timers, requests left at the bus) finding nothing.
#include <gtest/gtest.h>

#include <vector>

#include "core/adapter.h"
#include "emulator/device/controller.h"
#include "emulator/machine.h"
#include "emulator/usbbus/bus.h"
#include "tests/support/running_adapter_fixture.h"

namespace qvtest {
namespace {

using Order = emu::usb::Bus::AbortOrder;
constexpr uint8_t kBulkIn = RunningAdapter::kBulkIn;
constexpr uint8_t kBulkOut = RunningAdapter::kBulkOut;
constexpr int32_t kUnlinked = -2;  // usbmon's status for a cancelled transfer
constexpr int32_t kNoDevice = -19;

std::vector<int32_t> CompletionStatuses(const BusWatch& watch, uint8_t endpoint) {
    std::vector<int32_t> statuses;
    for (const BulkEvent& event : watch.Events())
        if (event.endpoint == endpoint && event.type == 'C') statuses.push_back(event.status);
    return statuses;
}

struct OrderCase {
    const char* name;
    Order order;
    uint32_t seed;
};

void PrintTo(const OrderCase& c, std::ostream* out) { *out << c.name; }

class StopUnderAbortOrder : public RunningAdapterFixture,
                            public testing::WithParamInterface<OrderCase> {};

// The stop aborts each bulk pipe, lets it settle and resets it. Whether the cancelled
// transfers come back before the abort or a frame after it, they are off the pipe by then, the
// resets find nothing pending, and every cancelled request is back before the halt ends.
TEST_P(StopUnderAbortOrder, TheHaltCancelsWhatIsAtTheBusAndLeavesNothingBehind) {
    Start();
    M().Bus().SetAbortOrder(GetParam().order, GetParam().seed);
    // The device takes no more OUT packets (NAKs them): the frame stays on the bus.
    M().Bus().Faults().Add({emu::usb::match::Endpoint(kBulkOut), emu::usb::FaultAction::PendForever});
    Nic().Send(FrameOut(1000, 1));  // on the bus
    Nic().Send(FrameOut(200, 2));   // waiting behind it in the driver
    ASSERT_EQ(Nic().Bulk().Outstanding(kBulkOut), 1u);
    ASSERT_EQ(Nic().Bulk().Outstanding(kBulkIn), 1u);  // the receive waiting for a frame
    Nic().Device().ClearControlLog();

    Nic().Halt();

    EXPECT_EQ(CompletionStatuses(Nic().Bulk(), kBulkOut), std::vector<int32_t>{kUnlinked});
    EXPECT_EQ(CompletionStatuses(Nic().Bulk(), kBulkIn), std::vector<int32_t>{kUnlinked});
    EXPECT_EQ(Nic().Bulk().SubmittedLengths(kBulkOut).size(), 1u);
    EXPECT_TRUE(Nic().OnWire().empty());
    // Each reset cleared its endpoint's halt on the device: the bus accepted both.
    std::vector<uint16_t> cleared;
    for (const auto& request : Nic().Device().ControlLog())
        if (request.request == USB_REQUEST_CLEAR_FEATURE && request.request_type == 0x02)
            cleared.push_back(request.index);
    EXPECT_EQ(cleared, (std::vector<uint16_t>{kBulkOut, kBulkIn}));
}

INSTANTIATE_TEST_SUITE_P(
    Bus, StopUnderAbortOrder,
    testing::Values(OrderCase{"TransfersFirst", Order::TransfersFirst, 0},
                    OrderCase{"AbortFirst", Order::AbortFirst, 0},
                    OrderCase{"Seeded1", Order::Seeded, 1},
                    OrderCase{"Seeded2", Order::Seeded, 2}),
    [](const testing::TestParamInfo<OrderCase>& info) { return info.param.name; });

class Removal : public RunningAdapterFixture {};

// Unplugged while a frame is on its way out and a receive waits: both come back with the
// device-gone status, the data path puts nothing more on the pipes, later sends are refused,
// and the halt's own few requests to the missing device are not taken for a client that does
// not stop.
TEST_F(Removal, AnUnpluggedAdapterStopsSubmittingAndHaltsWithNothingLeft) {
    // The frame must still be at the bus at the unplug: no second processor completes it first.
    ExactSchedule();
    Start();
    Nic().Inject(FrameIn(100, 1));
    Nic().RunUntilIdle();
    ASSERT_EQ(Nic().Received().size(), 1u);
    Nic().Send(FrameOut(1000, 2));
    Nic().Edge().SendHeldNow();
    ASSERT_EQ(Nic().Bulk().Outstanding(kBulkOut), 1u);

    M().Bus().Unplug();
    Nic().RunUntilIdle();

    EXPECT_EQ(CompletionStatuses(Nic().Bulk(), kBulkOut), std::vector<int32_t>{kNoDevice});
    EXPECT_EQ(CompletionStatuses(Nic().Bulk(), kBulkIn).back(), kNoDevice);
    EXPECT_EQ(Record().DeviceState, DeviceFailed);
    const uint64_t submissions = M().Bus().Submissions();
    Nic().Send(FrameOut(100, 3));
    Nic().Run(100'000);
    EXPECT_EQ(Nic().Completions().back().status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(M().Bus().Submissions(), submissions);

    Nic().Halt();
    EXPECT_FALSE(Check().Saw(emu::Rule::Removal));
    EXPECT_EQ(M().Bus().PendingRequests(), 0u);
}

}  // namespace
}  // namespace qvtest
