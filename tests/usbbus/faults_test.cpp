// The fault hooks at the bus boundary, and the mode that completes inside IoCallDriver.
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "tests/usbbus/usb_client.h"

namespace qvtest {
namespace {

using emu::usb::Fault;
using emu::usb::FaultAction;
namespace match = emu::usb::match;

class Faults : public UsbFixture {
protected:
    void SetUp() override {
        Plug();
        Configure();
        Device().ClearControlLog();
    }
};

TEST_F(Faults, EachActionChangesHowTheRequestEnds) {
    struct Case {
        const char* name;
        Fault fault;
        NTSTATUS call;            // what IoCallDriver returns
        NTSTATUS status;          // what the completion sees
        USBD_STATUS urb_status;
        bool reached_device;
        uint64_t took_us;         // from submission to completion
    } cases[] = {
        {"fail later", {match::Any(), FaultAction::Fail, USBD_STATUS_DEV_NOT_RESPONDING},
         STATUS_PENDING, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, false, 1000},
        {"fail later, device still acts",
         {match::Any(), FaultAction::Fail, USBD_STATUS_REQUEST_FAILED, 0, 1, true},
         STATUS_PENDING, STATUS_UNSUCCESSFUL, USBD_STATUS_REQUEST_FAILED, true, 1000},
        {"fail at once", {match::Any(), FaultAction::FailAtOnce, USBD_STATUS_REQUEST_FAILED},
         STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, USBD_STATUS_REQUEST_FAILED, false, 0},
        {"succeed at once", {match::Any(), FaultAction::SucceedAtOnce}, STATUS_SUCCESS,
         STATUS_SUCCESS, USBD_STATUS_SUCCESS, true, 0},
        {"stall", {match::Any(), FaultAction::Stall}, STATUS_PENDING, STATUS_UNSUCCESSFUL,
         USBD_STATUS_STALL_PID, false, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bus().Faults().Clear();
        Bus().Faults().Add(c.fault);
        Device().ClearControlLog();
        UCHAR value = 0x5A;
        URB urb = VendorUrb(false, 0xF1, value, 0x40, &value, 1);
        const uint64_t start = Now();
        NTSTATUS call = STATUS_PENDING;
        Completion& done = SubmitAsync(&urb, &call);
        EXPECT_EQ(call, c.call);
        Settle();
        EXPECT_EQ(done.status, c.status);
        EXPECT_EQ(urb.UrbHeader.Status, c.urb_status);
        EXPECT_EQ(Device().ControlLog().size(), c.reached_device ? 1u : 0u);
        EXPECT_EQ(done.time_us - start, c.took_us);
    }
}

TEST_F(Faults, PendForeverHoldsTheRequestUntilCancelled) {
    Bus().Faults().Add({match::Function(URB_FUNCTION_VENDOR_DEVICE), FaultAction::PendForever});
    UCHAR a, b;
    URB held = VendorUrb(true, 0xF0, 0, 0, &a, 1);
    URB behind = VendorUrb(true, 0xF0, 0, 1, &b, 1);
    IRP* irp = nullptr;
    Completion& first = SubmitAsync(&held, nullptr, &irp);
    Completion& second = SubmitAsync(&behind);
    Advance(60'000'000);
    EXPECT_FALSE(first.done);
    EXPECT_FALSE(second.done);  // the default pipe waits behind it
    IoCancelIrp(irp);
    Settle();
    EXPECT_EQ(first.status, STATUS_CANCELLED);
    EXPECT_EQ(second.status, STATUS_SUCCESS);

    // An abort held the same way leaves the pipe's transfers alone until it is cancelled.
    Bus().Faults().Add({match::Function(URB_FUNCTION_ABORT_PIPE), FaultAction::PendForever});
    UCHAR buffer[1536];
    URB read = BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                       sizeof buffer);
    Completion& transfer = SubmitAsync(&read);
    URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, BulkIn());
    Completion& aborting = SubmitAsync(&abort, nullptr, &irp);
    Advance(10'000'000);
    EXPECT_FALSE(aborting.done);
    EXPECT_FALSE(transfer.done);
    IoCancelIrp(irp);
    Settle();
    EXPECT_EQ(aborting.status, STATUS_CANCELLED);
    EXPECT_FALSE(transfer.done);
}

TEST_F(Faults, PredicatesPickTheSubmissionsToHit) {
    // The third register read only; then every bulk OUT transfer.
    Bus().Faults().Add({match::Request(0xC0, 0xF0), FaultAction::Fail,
                        USBD_STATUS_REQUEST_FAILED, /*skip=*/2, /*times=*/1});
    Bus().Faults().Add({match::Endpoint(0x02), FaultAction::FailAtOnce,
                        USBD_STATUS_REQUEST_FAILED, 0, -1});
    UCHAR byte;
    std::vector<NTSTATUS> reads;
    for (int i = 0; i < 4; ++i) {
        URB urb = VendorUrb(true, 0xF0, 0, 0, &byte, 1);
        reads.push_back(SubmitSync(&urb));
    }
    EXPECT_EQ(reads, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS, STATUS_UNSUCCESSFUL,
                                            STATUS_SUCCESS}));
    UCHAR frame[60] = {58, 0};
    for (int i = 0; i < 3; ++i) {
        URB urb = BulkUrb(BulkOut(), 0, frame, sizeof frame);
        EXPECT_EQ(SubmitSync(&urb), STATUS_UNSUCCESSFUL);
    }
    EXPECT_EQ(Bus().Submissions(), 2u + 4u + 3u);  // configuration, reads, transfers
}

TEST_F(Faults, CompleteAtOnceModeAnswersBulkInsideTheCallWhenTheDeviceCan) {
    Bus().SetCompleteAtOnce(true);
    Device().SetRegister(0x00, 0xC0);  // transmit and receive enabled
    Device().SetRegister(0x01, 0x30);  // at PHY 1's 100 Mb/s full duplex
    UCHAR byte;
    URB control = VendorUrb(true, 0xF0, 0, 0, &byte, 1);
    NTSTATUS call = STATUS_SUCCESS;
    SubmitAsync(&control, &call);
    EXPECT_EQ(call, STATUS_PENDING) << "a control transfer still takes its bus time";

    UCHAR frame[60] = {58, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    URB out = BulkUrb(BulkOut(), 0, frame, sizeof frame);
    SubmitAsync(&out, &call);
    EXPECT_EQ(call, STATUS_SUCCESS);
    EXPECT_EQ(Device().Wire().Sent().size(), 1u);

    // Bulk IN: pends while the FIFO is empty, answers at once when it holds a frame.
    UCHAR in_buffer[1536];
    URB in = BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, in_buffer,
                     sizeof in_buffer);
    Completion& waiting = SubmitAsync(&in, &call);
    EXPECT_EQ(call, STATUS_PENDING);
    Device().QueueFrame(std::span<const UCHAR>(frame + 2, 58));
    Settle();
    EXPECT_EQ(waiting.status, STATUS_SUCCESS);
    Device().QueueFrame(std::span<const UCHAR>(frame + 2, 58));
    Completion& ready = SubmitAsync(&in, &call);
    EXPECT_EQ(call, STATUS_SUCCESS);
    EXPECT_TRUE(ready.done);
    EXPECT_EQ(in.UrbBulkOrInterruptTransfer.TransferBufferLength, 58u + 8u);
}

// What the device's side of a transfer does for the faults that the device makes: babble and a
// short packet on bulk IN, and how each leaves the pipe; a cancel by the bus leaves it usable.
TEST_F(Faults, BabbleShortPacketsAndCancelsEndBulkInAsARealBusDoes) {
    Device().SetRegister(0x00, 0xC0);
    Device().SetRegister(0x01, 0x30);
    UCHAR frame[100] = {};
    UCHAR buffer[1536];
    auto read = [&](ULONG flags, const Fault* fault) {
        Bus().Faults().Clear();
        if (fault != nullptr) Bus().Faults().Add(*fault);
        Device().QueueFrame(std::span<const UCHAR>(frame, sizeof frame));
        URB urb = BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN | flags, buffer, sizeof buffer);
        Completion& done = SubmitAsync(&urb);
        Settle();
        EXPECT_TRUE(done.done);
        return std::make_pair(urb.UrbHeader.Status,
                              urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    };
    auto reset = [&] {
        URB urb = PipeUrb(URB_FUNCTION_RESET_PIPE, BulkIn());
        EXPECT_EQ(SubmitSync(&urb), STATUS_SUCCESS);
    };
    const Fault shorter{match::Any(), FaultAction::ShortPacket, 0, 0, 1, false, 6};
    const Fault babble{match::Any(), FaultAction::Babble};
    const Fault cancel{match::Any(), FaultAction::Cancel};
    using Result = std::pair<USBD_STATUS, ULONG>;

    EXPECT_EQ(read(USBD_SHORT_TRANSFER_OK, &shorter), Result(USBD_STATUS_SUCCESS, 6u));
    EXPECT_EQ(read(USBD_SHORT_TRANSFER_OK, nullptr), Result(USBD_STATUS_SUCCESS, 108u));
    // Without USBD_SHORT_TRANSFER_OK a short packet is an error, and it halts the pipe.
    EXPECT_EQ(read(0, &shorter), Result(USBD_STATUS_ERROR_SHORT_TRANSFER, 6u));
    EXPECT_EQ(read(USBD_SHORT_TRANSFER_OK, nullptr).first, USBD_STATUS_ENDPOINT_HALTED);
    reset();
    EXPECT_EQ(read(USBD_SHORT_TRANSFER_OK, &babble).first, USBD_STATUS_BABBLE_DETECTED);
    EXPECT_EQ(read(USBD_SHORT_TRANSFER_OK, nullptr).first, USBD_STATUS_ENDPOINT_HALTED);
    reset();
    EXPECT_EQ(read(USBD_SHORT_TRANSFER_OK, &cancel), Result(USBD_STATUS_CANCELED, 0u));
    // The frames the faulted transfers did not take are still the device's.
    EXPECT_EQ(read(USBD_SHORT_TRANSFER_OK, nullptr), Result(USBD_STATUS_SUCCESS, 108u));

    // A control read answered short succeeds with what came; a write is not hit.
    Bus().Faults().Clear();
    Bus().Faults().Add({match::Any(), FaultAction::ShortPacket, 0, 0, 1, false, 1});
    UCHAR data[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    URB write = VendorUrb(false, 0xF1, 0, 0x10, data, 4);
    EXPECT_EQ(SubmitSync(&write), STATUS_SUCCESS);
    URB control = VendorUrb(true, 0xF0, 0, 0x10, data, 4);
    EXPECT_EQ(SubmitSync(&control), STATUS_SUCCESS);
    EXPECT_EQ(control.UrbControlVendorClassRequest.TransferBufferLength, 1u);
    EXPECT_EQ(Bus().Faults().Injected(FaultAction::ShortPacket), 3u);  // two on bulk IN
}

// Unplugged at one request: it ends at once as on a gone device, so do the ones the bus held
// and every later one.
TEST_F(Faults, UnplugAtARequestEndsItAndEveryOtherAsOnAGoneDevice) {
    UCHAR buffer[1536];
    URB held = BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                       sizeof buffer);
    Completion& waiting = SubmitAsync(&held);
    Bus().Faults().Add({match::Function(URB_FUNCTION_VENDOR_DEVICE), FaultAction::Unplug});
    UCHAR byte = 0;
    URB read = VendorUrb(true, 0xF0, 0, 0, &byte, 1);
    NTSTATUS call = STATUS_PENDING;
    Completion& hit = SubmitAsync(&read, &call);
    EXPECT_EQ(call, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(hit.done);
    EXPECT_FALSE(Bus().DevicePresent());
    Settle();
    EXPECT_EQ(waiting.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(held.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    URB later = VendorUrb(true, 0xF0, 0, 0, &byte, 1);
    EXPECT_EQ(SubmitSync(&later), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(Device().ControlLog().empty());
}

// The random mode hits about one transfer in `one_in` with the kinds it may draw, only where
// they fit, counts them, and draws the same faults again from the same seed.
TEST_F(Faults, RandomModeHitsAboutOneInNReproduciblyAndCountsEachKind) {
    auto run = [&](uint32_t seed) {
        emu::usb::RandomFaults random;
        random.seed = seed;
        random.one_in = 8;
        Bus().Faults() = emu::usb::FaultPlan::Random(std::move(random));
        std::vector<USBD_STATUS> statuses;
        for (int i = 0; i < 400; ++i) {
            UCHAR data[2] = {0x01, 0x02};
            const bool in = i % 2 == 0;
            URB urb = VendorUrb(in, in ? 0xF0 : 0xF1, 0, 0x10, data, 2);
            SubmitSync(&urb);
            statuses.push_back(urb.UrbHeader.Status);
        }
        // An abort is the bus driver's own work: never hit.
        for (int i = 0; i < 50; ++i) {
            URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, BulkIn());
            EXPECT_EQ(SubmitSync(&abort), STATUS_SUCCESS);
        }
        return statuses;
    };
    const std::vector<USBD_STATUS> first = run(5);
    const emu::usb::FaultPlan& plan = Bus().Faults();
    EXPECT_GT(plan.InjectedTotal(), 25u);
    EXPECT_LT(plan.InjectedTotal(), 80u);
    uint64_t counted = 0;
    for (FaultAction kind : emu::usb::SurvivableFaults()) {
        EXPECT_GT(plan.Injected(kind), 0u);
        counted += plan.Injected(kind);
    }
    EXPECT_EQ(counted, plan.InjectedTotal());
    EXPECT_EQ(plan.Injected(FaultAction::Unplug) + plan.Injected(FaultAction::PendForever), 0u);
    auto count = [&](USBD_STATUS status) {
        return static_cast<uint64_t>(std::count(first.begin(), first.end(), status));
    };
    EXPECT_EQ(count(USBD_STATUS_STALL_PID), plan.Injected(FaultAction::Stall));
    EXPECT_EQ(count(USBD_STATUS_BABBLE_DETECTED), plan.Injected(FaultAction::Babble));
    EXPECT_EQ(count(USBD_STATUS_CANCELED), plan.Injected(FaultAction::Cancel));
    EXPECT_EQ(count(USBD_STATUS_REQUEST_FAILED), plan.Injected(FaultAction::Fail));
    EXPECT_TRUE(Bus().DevicePresent());

    EXPECT_EQ(run(5), first);
    EXPECT_NE(run(6), first);
}

}  // namespace
}  // namespace qvtest
