// How the bus ends the requests it holds: later at DISPATCH_LEVEL, on cancel, on abort, on
// removal; and the PnP requests of its physical device object.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/usbbus/usb_client.h"

namespace qvtest {
namespace {

using emu::usb::FaultAction;

class RequestLife : public UsbFixture {
protected:
    void SetUp() override {
        Plug();
        Configure();
    }
    URB ReadUrb() {
        return BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer_,
                       sizeof buffer_);
    }
    UCHAR buffer_[1536];
};

TEST_F(RequestLife, APendedRequestCompletesLaterFromDispatchLevel) {
    UCHAR byte;
    URB urb = VendorUrb(true, 0xF0, 0, 0, &byte, 1);
    KIRQL seen = PASSIVE_LEVEL;
    struct Probe {
        static NTSTATUS Completed(DEVICE_OBJECT*, IRP* irp, PVOID context) {
            *static_cast<KIRQL*>(context) = KeGetCurrentIrql();
            IoFreeIrp(irp);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
    };
    IRP* irp = IoAllocateIrp(static_cast<CCHAR>(Pdo()->StackSize + 1), FALSE);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    IoSetCompletionRoutine(irp, &Probe::Completed, &seen, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(Pdo(), irp), STATUS_PENDING);
    Settle();
    EXPECT_EQ(seen, DISPATCH_LEVEL);
}

TEST_F(RequestLife, CancelEndsAPendingTransferAsCancelled) {
    URB urb = ReadUrb();
    IRP* irp = nullptr;
    NTSTATUS call = STATUS_SUCCESS;
    Completion& done = SubmitAsync(&urb, &call, &irp);
    EXPECT_EQ(call, STATUS_PENDING);
    Advance(50'000);
    EXPECT_FALSE(done.done);  // nothing to read: it waits
    EXPECT_TRUE(IoCancelIrp(irp));
    Settle();
    EXPECT_EQ(done.status, STATUS_CANCELLED);
    EXPECT_TRUE(done.pending_returned);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(Bus().PendingRequests(), 0u);
}

TEST_F(RequestLife, ASynchronousCallerThatTimesOutCancelsAndThenSeesTheCompletion) {
    Bus().Faults().Add({emu::usb::match::Function(URB_FUNCTION_VENDOR_DEVICE),
                        FaultAction::PendForever});
    UCHAR byte;
    URB urb = VendorUrb(true, 0xF0, 0, 0, &byte, 1);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Pdo(), nullptr, 0,
                                             nullptr, 0, TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    ASSERT_EQ(IoCallDriver(Pdo(), irp), STATUS_PENDING);
    LARGE_INTEGER five_seconds{-50'000'000};
    const uint64_t start = Now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, &five_seconds),
              STATUS_TIMEOUT);
    EXPECT_EQ(Now() - start, 5'000'000u);
    IoCancelIrp(irp);
    EXPECT_EQ(KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(Device().ControlLog().size(), 2u);  // the configuration only: never reached
}

TEST_F(RequestLife, AbortEndsThatPipesTransfersOnly) {
    // Read as the abort completes: its transfers must be back by then.
    Bus().SetAbortOrder(emu::usb::Bus::AbortOrder::TransfersFirst);
    URB first = ReadUrb(), second = ReadUrb();
    UCHAR status[4];
    URB interrupt = BulkUrb(InterruptIn(), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                            status, sizeof status);
    Completion& a = SubmitAsync(&first);
    Completion& b = SubmitAsync(&second);
    Completion& other = SubmitAsync(&interrupt);
    URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, BulkIn());
    EXPECT_EQ(SubmitSync(&abort), STATUS_SUCCESS);
    EXPECT_EQ(a.status, STATUS_CANCELLED);
    EXPECT_EQ(b.status, STATUS_CANCELLED);
    EXPECT_LE(a.time_us, b.time_us);
    EXPECT_FALSE(other.done);
    EXPECT_EQ(Bus().PendingRequests(), 1u);
}

// A real bus promises no order between an abort's completion and those of the transfers it
// cancels. Either way the transfers are off the pipe once the abort is taken, so a reset sent
// as soon as the abort is back finds none pending.
TEST_F(RequestLife, AnAbortMayCompleteBeforeOrAfterTheTransfersItCancels) {
    using Order = emu::usb::Bus::AbortOrder;
    for (Order order : {Order::TransfersFirst, Order::AbortFirst}) {
        SCOPED_TRACE(order == Order::AbortFirst ? "abort first" : "transfers first");
        Bus().SetAbortOrder(order);
        URB first = ReadUrb(), second = ReadUrb();
        Completion& a = SubmitAsync(&first);
        Completion& b = SubmitAsync(&second);
        URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, BulkIn());
        const uint64_t start = Now();
        EXPECT_EQ(SubmitSync(&abort), STATUS_SUCCESS);
        EXPECT_EQ(Now() - start, emu::usb::Bus::kAbortTimeUs);
        EXPECT_EQ(a.done, order == Order::TransfersFirst);
        EXPECT_EQ(b.done, order == Order::TransfersFirst);

        URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, BulkIn());
        EXPECT_EQ(SubmitSync(&reset), STATUS_SUCCESS);
        Settle();
        EXPECT_EQ(a.status, STATUS_CANCELLED);
        EXPECT_EQ(b.status, STATUS_CANCELLED);
        EXPECT_EQ(first.UrbHeader.Status, USBD_STATUS_CANCELED);
        EXPECT_EQ(Bus().PendingRequests(), 0u);
    }
}

TEST_F(RequestLife, ASeededAbortOrderPicksBothOrdersAndRepeatsWithItsSeed) {
    auto orders = [this](uint32_t seed) {
        Bus().SetAbortOrder(emu::usb::Bus::AbortOrder::Seeded, seed);
        std::vector<bool> abort_first;
        for (int i = 0; i < 16; ++i) {
            URB read = ReadUrb();
            Completion& cancelled = SubmitAsync(&read);
            URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, BulkIn());
            EXPECT_EQ(SubmitSync(&abort), STATUS_SUCCESS);
            abort_first.push_back(!cancelled.done);
            Settle();
            EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
        }
        return abort_first;
    };
    const std::vector<bool> first = orders(7);
    EXPECT_NE(std::count(first.begin(), first.end(), true), 0);
    EXPECT_NE(std::count(first.begin(), first.end(), false), 0);
    EXPECT_EQ(orders(7), first);
}

TEST_F(RequestLife, RemovalEndsEverythingHeldAndRefusesWhatFollows) {
    Bus().Faults().Add({emu::usb::match::Function(URB_FUNCTION_GET_STATUS_FROM_DEVICE),
                        FaultAction::PendForever});
    URB read = ReadUrb();
    UCHAR status[2];
    URB control = StatusUrb(status);
    Completion& transfer = SubmitAsync(&read);
    Completion& stuck = SubmitAsync(&control);
    Bus().Unplug();
    EXPECT_FALSE(Bus().DevicePresent());
    Settle();
    EXPECT_EQ(transfer.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(stuck.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);

    // A client that stops after a few late requests (a halt's own requests) is not reported.
    URB feature = FeatureUrb(true, USB_FEATURE_REMOTE_WAKEUP);
    NTSTATUS call = STATUS_PENDING;
    Completion& late = SubmitAsync(&feature, &call);
    EXPECT_EQ(call, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(late.done);
    EXPECT_EQ(SubmitSync(nullptr, IOCTL_INTERNAL_USB_CYCLE_PORT), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Bus().PendingRequests(), 0u);
}

TEST_F(RequestLife, ThePhysicalDeviceObjectAnswersPnpRequestsAndLogsThem) {
    struct Sent {
        UCHAR minor;
        NTSTATUS expected;
    } sent[] = {{IRP_MN_START_DEVICE, STATUS_SUCCESS},
                {IRP_MN_QUERY_CAPABILITIES, STATUS_SUCCESS},
                {IRP_MN_QUERY_ID, STATUS_SUCCESS},
                {IRP_MN_QUERY_PNP_DEVICE_STATE, STATUS_SUCCESS},
                {IRP_MN_QUERY_INTERFACE, STATUS_NOT_SUPPORTED},  // left as it came
                {IRP_MN_STOP_DEVICE, STATUS_SUCCESS},
                {IRP_MN_SURPRISE_REMOVAL, STATUS_SUCCESS},
                {IRP_MN_REMOVE_DEVICE, STATUS_SUCCESS}};
    std::vector<UCHAR> minors;
    for (const Sent& s : sent) {
        SCOPED_TRACE(std::to_string(s.minor));
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        IRP* irp = IoBuildDeviceIoControlRequest(0, Pdo(), nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
        IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = s.minor;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // as the PnP manager sends them
        EXPECT_EQ(IoCallDriver(Pdo(), irp), s.expected);
        EXPECT_EQ(iosb.Status, s.expected);
        minors.push_back(s.minor);
    }
    EXPECT_EQ(Bus().PnpLog(), minors);
}

}  // namespace
}  // namespace qvtest
