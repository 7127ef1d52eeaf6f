// Requests through a device stack: completion routines and their control flags, thread
// requests with their event and status block, cancellation through the holder's routine.
#include <gtest/gtest.h>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/scheduler.h"
#include "platform/io.h"
#include "tests/kernel/lower_device.h"
#include "tests/support/machine_fixture.h"

namespace {

using qvtest::CompletionProbe;
using qvtest::LowerDevice;
using IrpCompletion = qvtest::MachineFixture;

TEST_F(IrpCompletion, CompletionRoutineRunsOnlyWhenItsFlagsMatch) {
    Expect(emu::Rule::IrpOwnedComplete);  // a skipped routine lets the request run to the end
    struct Case {
        NTSTATUS status;
        bool cancelled;
        bool on_success, on_error, on_cancel;
        bool invoked;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, false, true, false, false, true},
        {STATUS_SUCCESS, false, false, true, true, false},
        {STATUS_UNSUCCESSFUL, false, false, true, false, true},
        {STATUS_UNSUCCESSFUL, false, true, false, true, false},
        {STATUS_CANCELLED, true, false, false, true, true},
        {STATUS_CANCELLED, true, true, false, false, false},
        // Cancelled, yet completed with success by its holder: a routine set for cancel runs.
        {STATUS_SUCCESS, true, false, false, true, true},
    };
    LowerDevice lower(M());
    size_t ran_to_end = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "status " << std::hex << c.status << " flags "
                                        << c.on_success << c.on_error << c.on_cancel);
        lower.CompleteWith(c.status);
        CompletionProbe probe;
        IRP* irp = qvtest::NewRequestFor(lower, &probe, c.on_success, c.on_error, c.on_cancel);
        irp->Cancel = c.cancelled;
        IoCallDriver(lower.Device(), irp);
        EXPECT_EQ(probe.calls, c.invoked ? 1 : 0);
        if (c.invoked) {
            EXPECT_EQ(probe.status, c.status);
            EXPECT_EQ(probe.irql, PASSIVE_LEVEL) << "runs at the level of the completing call";
        } else {
            ++ran_to_end;
        }
        EXPECT_EQ(Check().Of(emu::Rule::IrpOwnedComplete).size(), ran_to_end);
    }
}

// A filter between the request's maker and the lower device, passing requests down with a
// completion routine of its own.
struct Filter {
    static inline CompletionProbe* probe = nullptr;
    static inline DEVICE_OBJECT* below = nullptr;
    static NTSTATUS Dispatch(DEVICE_OBJECT*, IRP* irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, CompletionProbe::Routine, probe, TRUE, TRUE, TRUE);
        return IoCallDriver(below, irp);
    }
};

TEST_F(IrpCompletion, LayeredCompletionSeesEachLevelsDeviceAndPendingMark) {
    LowerDevice lower(M());
    DRIVER_OBJECT* filter_driver = M().Io().CreateDriver("filter");
    filter_driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Filter::Dispatch;
    DEVICE_OBJECT* filter = M().Io().CreateDevice(filter_driver, 0, 1);
    EXPECT_EQ(M().Io().Attach(filter, lower.Device()), lower.Device());
    EXPECT_EQ(filter->StackSize, 2);
    EXPECT_EQ(lower.Device()->AttachedDevice, filter);

    CompletionProbe filter_probe;
    filter_probe.free_request = false;
    filter_probe.mark_pending = true;
    filter_probe.result = STATUS_SUCCESS;
    Filter::probe = &filter_probe;
    Filter::below = lower.Device();

    lower.Hold(true);
    CompletionProbe top;
    IRP* irp = IoAllocateIrp(filter->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, CompletionProbe::Routine, &top, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(filter, irp), STATUS_PENDING);
    EXPECT_EQ(M().Io().InFlightTo(lower.Device()), 1u);

    M().Clock().After(1'000, "bus completion", [&] { lower.Finish(STATUS_SUCCESS); });
    M().Clock().RunUntilIdle();

    EXPECT_EQ(filter_probe.calls, 1);
    EXPECT_EQ(filter_probe.device, filter);
    EXPECT_TRUE(filter_probe.pending_returned);
    EXPECT_EQ(top.calls, 1);
    EXPECT_EQ(top.device, nullptr) << "the request's maker has no stack location";
    EXPECT_TRUE(top.pending_returned);
    EXPECT_EQ(top.irql, DISPATCH_LEVEL);
    EXPECT_EQ(M().Io().Info(irp)->state, emu::IoManager::State::Freed);
}

TEST_F(IrpCompletion, ThreadRequestWritesItsStatusBlockSignalsAndIsFreed) {
    LowerDevice lower(M());
    lower.Hold(true);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{STATUS_PENDING, 99};
    uint8_t input[8] = {};

    IRP* irp = IoBuildDeviceIoControlRequest(0x220003, lower.Device(), input, sizeof input, nullptr,
                                             16, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(next->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(next->Parameters.DeviceIoControl.IoControlCode, 0x220003u);
    EXPECT_EQ(next->Parameters.DeviceIoControl.InputBufferLength, sizeof input);
    EXPECT_EQ(next->Parameters.DeviceIoControl.OutputBufferLength, 16u);
    EXPECT_EQ(next->Parameters.DeviceIoControl.Type3InputBuffer, input);

    EXPECT_EQ(IoCallDriver(lower.Device(), irp), STATUS_PENDING);
    M().Clock().After(1'000, "bus completion", [&] {
        lower.Held()->IoStatus.Information = 5;
        lower.Finish(STATUS_NOT_SUPPORTED);
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(iosb.Information, 5u);
    EXPECT_EQ(M().Io().Info(irp)->state, emu::IoManager::State::Freed);

    IRP* plain = IoBuildDeviceIoControlRequest(1, lower.Device(), nullptr, 0, nullptr, 0, FALSE,
                                               &event, &iosb);
    EXPECT_EQ(IoGetNextIrpStackLocation(plain)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    // Not sent after all: completing it is how its maker gives it back.
    plain->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(plain, IO_NO_INCREMENT);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(M().Io().Info(plain)->state, emu::IoManager::State::Freed);
}

TEST_F(IrpCompletion, DefaultDispatchSlotsAnswerNotSupported) {
    DRIVER_OBJECT* driver = M().Io().CreateDriver("empty");
    DEVICE_OBJECT* device = M().Io().CreateDevice(driver, 32, 1);
    EXPECT_EQ(driver->DeviceObject, device);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    IRP* irp = IoBuildDeviceIoControlRequest(1, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(iosb.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(event.Signaled, 1);
}

TEST_F(IrpCompletion, CancelCallsTheHoldersRoutineOnceAtDispatchLevel) {
    LowerDevice lower(M());
    lower.Hold(true);
    CompletionProbe probe;
    IRP* irp = qvtest::NewRequestFor(lower, &probe);
    EXPECT_EQ(IoCallDriver(lower.Device(), irp), STATUS_PENDING);

    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(lower.cancel_irql_, DISPATCH_LEVEL);
    EXPECT_EQ(lower.cancel_saved_irql_, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_EQ(probe.status, STATUS_CANCELLED);

    // A request whose holder set no cancel routine is only marked.
    lower.Hold(false);
    IRP* own = IoAllocateIrp(1, FALSE);
    PDRIVER_CANCEL routine = [](DEVICE_OBJECT*, IRP*) {};
    EXPECT_EQ(IoSetCancelRoutine(own, routine), nullptr);
    EXPECT_EQ(IoSetCancelRoutine(own, nullptr), routine);
    EXPECT_FALSE(IoCancelIrp(own));
    EXPECT_TRUE(own->Cancel);
    IoFreeIrp(own);
}

TEST_F(IrpCompletion, NewRequestStartsAboveItsStackLocations) {
    IRP* irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    auto* first = reinterpret_cast<IO_STACK_LOCATION*>(irp + 1);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), first + 2);
    EXPECT_EQ(first[0].CompletionRoutine, nullptr);

    M().Io().FailAllocations(1);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    IRP* after = IoAllocateIrp(1, FALSE);
    EXPECT_NE(after, nullptr);
    IoFreeIrp(after);
    IoFreeIrp(irp);
}

}  // namespace
