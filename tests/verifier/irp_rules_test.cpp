// IRP_ONCE, IRP_OWNED_COMPLETE, IRP_IN_FLIGHT_FREE and IRP_DISPATCH, each broken on purpose,
// and the patterns that look alike but are correct.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/scheduler.h"
#include "platform/io.h"
#include "tests/kernel/lower_device.h"
#include "tests/support/machine_fixture.h"

// A driver between the test and the lower device, answering each request the way `answer`
// says. Outside the anonymous namespace so that reports can name its dispatch routine.
struct IrpRulesUpper {
    enum class Answer {
        CompleteReturnSame,         // completes with a status and returns it
        CompleteReturnOther,        // completes with one status, returns another
        PendMarked,                 // marks pending, holds, returns STATUS_PENDING
        PendUnmarked,               // holds and returns STATUS_PENDING without the mark
        CompleteThenPendUnmarked,   // completes, then returns STATUS_PENDING without the mark
        MarkThenComplete,           // marks pending, completes, returns the status
        HoldReturnSuccess,          // holds the request and returns STATUS_SUCCESS
        PassDownSkip,               // skips its location, returns the lower driver's status
        PassDownCopy,               // copies it, no completion routine, the same
        PassDownRoutinePropagates,  // copies it with a routine that passes the pending mark up
        PassDownRoutineForgets,     // copies it with a routine that does not
        ForwardAndWait,             // waits for the lower driver, then completes it again
    };
    static inline Answer answer = Answer::CompleteReturnSame;
    static inline DEVICE_OBJECT* below = nullptr;
    static inline IRP* held = nullptr;
    static inline KEVENT lower_done;

    static NTSTATUS Propagate(DEVICE_OBJECT*, IRP* irp, PVOID) {
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        return STATUS_SUCCESS;
    }
    static NTSTATUS Forget(DEVICE_OBJECT*, IRP*, PVOID) { return STATUS_SUCCESS; }
    static NTSTATUS Signal(DEVICE_OBJECT*, IRP*, PVOID event) {
        KeSetEvent(static_cast<KEVENT*>(event), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    static NTSTATUS Complete(IRP* irp, NTSTATUS status) {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    static NTSTATUS PassDown(IRP* irp, PIO_COMPLETION_ROUTINE routine) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        if (routine != nullptr) IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(below, irp);
    }
    // Completes the request it held, as its own work would later.
    static void Finish() {
        IRP* irp = held;
        held = nullptr;
        Complete(irp, STATUS_SUCCESS);
    }
};

NTSTATUS IrpRulesUpperDispatch(DEVICE_OBJECT*, IRP* irp) {
    using Answer = IrpRulesUpper::Answer;
    switch (IrpRulesUpper::answer) {
        case Answer::CompleteReturnSame:
            return IrpRulesUpper::Complete(irp, STATUS_NOT_SUPPORTED);
        case Answer::CompleteReturnOther:
            IrpRulesUpper::Complete(irp, STATUS_UNSUCCESSFUL);
            return STATUS_SUCCESS;
        case Answer::PendMarked:
            IoMarkIrpPending(irp);
            IrpRulesUpper::held = irp;
            return STATUS_PENDING;
        case Answer::PendUnmarked:
            IrpRulesUpper::held = irp;
            return STATUS_PENDING;
        case Answer::CompleteThenPendUnmarked:
            IrpRulesUpper::Complete(irp, STATUS_SUCCESS);
            return STATUS_PENDING;
        case Answer::MarkThenComplete:
            IoMarkIrpPending(irp);
            return IrpRulesUpper::Complete(irp, STATUS_SUCCESS);
        case Answer::HoldReturnSuccess:
            IrpRulesUpper::held = irp;
            return STATUS_SUCCESS;
        case Answer::PassDownSkip:
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(IrpRulesUpper::below, irp);
        case Answer::PassDownCopy:
            return IrpRulesUpper::PassDown(irp, nullptr);
        case Answer::PassDownRoutinePropagates:
            return IrpRulesUpper::PassDown(irp, IrpRulesUpper::Propagate);
        case Answer::PassDownRoutineForgets:
            return IrpRulesUpper::PassDown(irp, IrpRulesUpper::Forget);
        case Answer::ForwardAndWait: {
            KEVENT* done = &IrpRulesUpper::lower_done;
            KeInitializeEvent(done, NotificationEvent, FALSE);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, IrpRulesUpper::Signal, done, TRUE, TRUE, TRUE);
            if (IoCallDriver(IrpRulesUpper::below, irp) == STATUS_PENDING)
                KeWaitForSingleObject(done, Executive, KernelMode, FALSE, nullptr);
            const NTSTATUS status = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

namespace {

using emu::Rule;
using qvtest::CompletionProbe;
using qvtest::LowerDevice;
using IrpRules = qvtest::MachineFixture;
using State = emu::IoManager::State;

TEST_F(IrpRules, RequestIsCompletedAndFreedOnceAndNeverTouchedAfter) {
    Expect(Rule::IrpOnce);
    LowerDevice lower(M());
    struct Case {
        const char* name;
        std::function<void()> misuse;
    };
    const Case cases[] = {
        {"freed twice",
         [] {
             IRP* irp = IoAllocateIrp(1, FALSE);
             IoFreeIrp(irp);
             IoFreeIrp(irp);
         }},
        {"sent after its free",
         [&] {
             IRP* irp = IoAllocateIrp(1, FALSE);
             IoFreeIrp(irp);
             EXPECT_NE(IoCallDriver(lower.Device(), irp), STATUS_SUCCESS);
         }},
        {"cancelled after its free",
         [] {
             IRP* irp = IoAllocateIrp(1, FALSE);
             IoFreeIrp(irp);
             EXPECT_FALSE(IoCancelIrp(irp));
         }},
        {"completed again after its routine took it back",
         [&] {
             lower.Hold(true);
             CompletionProbe probe;
             probe.free_request = false;
             IRP* irp = qvtest::NewRequestFor(lower, &probe);
             IoCallDriver(lower.Device(), irp);
             lower.Finish(STATUS_SUCCESS);
             irp->IoStatus.Status = STATUS_SUCCESS;
             IoCompleteRequest(irp, IO_NO_INCREMENT);  // a bus completing the same request twice
             EXPECT_EQ(probe.calls, 1);
             IoFreeIrp(irp);
             lower.Hold(false);
         }},
        {"a thread request completed twice by the driver holding it",
         [&] {
             lower.Hold(true);
             KEVENT event;
             KeInitializeEvent(&event, NotificationEvent, FALSE);
             IO_STATUS_BLOCK iosb{};
             IRP* irp = IoBuildDeviceIoControlRequest(1, lower.Device(), nullptr, 0, nullptr, 0,
                                                      TRUE, &event, &iosb);
             IoCallDriver(lower.Device(), irp);
             lower.Finish(STATUS_SUCCESS);
             IoCompleteRequest(irp, IO_NO_INCREMENT);  // nobody stopped the first one
             lower.Hold(false);
         }},
        {"freed by its routine, which let the completion go on",
         [&] {
             CompletionProbe probe;
             probe.result = STATUS_SUCCESS;
             IoCallDriver(lower.Device(), qvtest::NewRequestFor(lower, &probe));
         }},
    };
    for (const Case& c : cases) {
        const size_t before = Check().Of(Rule::IrpOnce).size();
        c.misuse();
        EXPECT_EQ(Check().Of(Rule::IrpOnce).size(), before + 1) << c.name;
    }
    EXPECT_TRUE(M().Io().Outstanding().empty());
}

// The classic pattern: a completion routine signals an event and stops the completion; the
// waiting caller looks at the request and completes it again, which finishes a thread request.
TEST_F(IrpRules, RequestStoppedByItsRoutineIsCompletedAgainLegally) {
    LowerDevice lower(M());
    lower.Hold(true);
    KEVENT finished;
    KeInitializeEvent(&finished, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{STATUS_PENDING, 0};
    IRP* irp = IoBuildDeviceIoControlRequest(1, lower.Device(), nullptr, 0, nullptr, 0, TRUE,
                                             &finished, &iosb);
    KEVENT back;
    KeInitializeEvent(&back, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, IrpRulesUpper::Signal, &back, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(lower.Device(), irp), STATUS_PENDING);
    M().Clock().After(1'000, "bus completion", [&] { lower.Finish(STATUS_NOT_SUPPORTED); });

    EXPECT_EQ(KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(finished.Signaled, 0) << "stopped: not finished yet";
    EXPECT_EQ(iosb.Status, STATUS_PENDING);

    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(finished.Signaled, 1);
    EXPECT_EQ(iosb.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(M().Io().Info(irp)->state, State::Freed);
    // Completing it once more is a true second completion.
    Expect(Rule::IrpOnce);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(Check().Of(Rule::IrpOnce).size(), 1u);
}

TEST_F(IrpRules, DriversOwnRequestCompletingPastItsRoutineIsReported) {
    Expect(Rule::IrpOwnedComplete);
    LowerDevice lower(M());
    CompletionProbe probe;
    probe.free_request = false;
    probe.result = STATUS_SUCCESS;  // should have been STATUS_MORE_PROCESSING_REQUIRED
    IRP* irp = qvtest::NewRequestFor(lower, &probe);
    IoCallDriver(lower.Device(), irp);
    ASSERT_EQ(Check().Of(Rule::IrpOwnedComplete).size(), 1u);
    EXPECT_EQ(M().Io().Info(irp)->state, State::Freed) << "ended so that nothing else cascades";

    IRP* never_sent = IoAllocateIrp(1, FALSE);
    IoCompleteRequest(never_sent, IO_NO_INCREMENT);
    EXPECT_EQ(Check().Of(Rule::IrpOwnedComplete).size(), 2u);
}

// A thread request belongs to the I/O manager, which frees it when it is completed: a free by
// the driver is reported and refused, so the request is still finished, and freed, once.
TEST_F(IrpRules, ThreadRequestFreedByTheDriverIsReportedAndNotFreedTwice) {
    Expect(Rule::IrpOwnedComplete);
    LowerDevice lower(M());
    struct FreeingRoutine {
        static NTSTATUS Routine(DEVICE_OBJECT*, IRP* irp, PVOID) {
            IoFreeIrp(irp);  // as it would with a request of its own
            return STATUS_SUCCESS;
        }
    };
    for (const bool from_routine : {false, true}) {
        SCOPED_TRACE(from_routine ? "freed by its completion routine" : "freed before it is sent");
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{STATUS_PENDING, 0};
        IRP* irp = IoBuildDeviceIoControlRequest(1, lower.Device(), nullptr, 0, nullptr, 0, TRUE,
                                                 &event, &iosb);
        const size_t before = Check().Of(Rule::IrpOwnedComplete).size();
        if (from_routine) {
            IoSetCompletionRoutine(irp, FreeingRoutine::Routine, nullptr, TRUE, TRUE, TRUE);
        } else {
            IoFreeIrp(irp);
        }
        EXPECT_EQ(IoCallDriver(lower.Device(), irp), STATUS_SUCCESS);
        const auto reports = Check().Of(Rule::IrpOwnedComplete);
        ASSERT_EQ(reports.size(), before + 1);
        EXPECT_EQ(reports.back().call, "IoFreeIrp");
        EXPECT_NE(reports.back().detail.find("IoBuildDeviceIoControlRequest"), std::string::npos);
        EXPECT_EQ(event.Signaled, 1);
        EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(M().Io().Info(irp)->state, State::Freed);
    }
    EXPECT_FALSE(Check().Saw(Rule::IrpOnce));
}

TEST_F(IrpRules, RequestHeldBelowIsNeitherFreedNorResubmitted) {
    Expect(Rule::IrpInFlightFree);
    LowerDevice lower(M());
    lower.Hold(true);
    CompletionProbe probe;
    IRP* irp = qvtest::NewRequestFor(lower, &probe);
    EXPECT_EQ(IoCallDriver(lower.Device(), irp), STATUS_PENDING);

    IoFreeIrp(irp);
    EXPECT_EQ(Check().Of(Rule::IrpInFlightFree).size(), 1u);
    EXPECT_NE(IoCallDriver(lower.Device(), irp), STATUS_PENDING);
    EXPECT_EQ(Check().Of(Rule::IrpInFlightFree).size(), 2u);
    EXPECT_EQ(lower.Dispatched(), 1) << "the resubmission never reached the lower driver";

    // Both were refused: the request still completes normally.
    lower.Finish(STATUS_SUCCESS);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_TRUE(M().Io().Outstanding().empty());
}

// What a dispatch routine returns must agree with what became of the request: STATUS_PENDING
// only for a request marked pending, any other status only for a request completed with it.
TEST_F(IrpRules, DispatchRoutineMustAnswerAsTheRequestEnded) {
    Expect(Rule::IrpDispatch);
    using Answer = IrpRulesUpper::Answer;
    struct Case {
        const char* name;
        Answer answer;
        bool lower_holds;
        const char* wrong;  // what the report says, or null when nothing is wrong
    };
    const Case cases[] = {
        {"completes and returns that status", Answer::CompleteReturnSame, false, nullptr},
        {"marks pending, returns pending, completes later", Answer::PendMarked, false, nullptr},
        {"skips to a lower driver that pends", Answer::PassDownSkip, true, nullptr},
        {"copies, no routine, lower driver pends", Answer::PassDownCopy, true, nullptr},
        {"routine passes the pending mark up", Answer::PassDownRoutinePropagates, true, nullptr},
        {"routine without the mark, lower driver done at once", Answer::PassDownRoutineForgets,
         false, nullptr},
        {"waits for the lower driver and completes again", Answer::ForwardAndWait, true, nullptr},
        {"returns another status than it completed with", Answer::CompleteReturnOther, false,
         "returned STATUS_SUCCESS for request"},
        {"pends without the mark", Answer::PendUnmarked, false, "without IoMarkIrpPending"},
        {"completes, then returns pending without the mark", Answer::CompleteThenPendUnmarked,
         false, "without IoMarkIrpPending"},
        {"routine without the mark, lower driver pends", Answer::PassDownRoutineForgets, true,
         "without IoMarkIrpPending"},
        {"marks pending, then completes and returns the status", Answer::MarkThenComplete, false,
         "pending but returned STATUS_SUCCESS"},
        {"holds the request and returns success", Answer::HoldReturnSuccess, false,
         "that was not completed"},
    };
    LowerDevice lower(M());
    DRIVER_OBJECT* upper_driver = M().Io().CreateDriver("upper");
    upper_driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = IrpRulesUpperDispatch;
    DEVICE_OBJECT* upper = M().Io().CreateDevice(upper_driver, 0, 1);
    M().Io().Attach(upper, lower.Device());
    IrpRulesUpper::below = lower.Device();

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IrpRulesUpper::answer = c.answer;
        lower.Hold(c.lower_holds);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        IRP* irp = IoBuildDeviceIoControlRequest(1, upper, nullptr, 0, nullptr, 0, TRUE, &event,
                                                 &iosb);
        if (c.lower_holds)
            M().Clock().After(1'000, "lower completion", [&] { lower.Finish(STATUS_SUCCESS); });
        const size_t before = Check().Of(Rule::IrpDispatch).size();

        IoCallDriver(upper, irp);
        if (IrpRulesUpper::held != nullptr) IrpRulesUpper::Finish();
        M().Clock().RunUntilIdle();

        // Whatever the answer, the request ended once.
        EXPECT_EQ(event.Signaled, 1);
        EXPECT_EQ(M().Io().Info(irp)->state, State::Freed);
        const auto reports = Check().Of(Rule::IrpDispatch);
        if (c.wrong == nullptr) {
            EXPECT_EQ(reports.size(), before);
            continue;
        }
        ASSERT_EQ(reports.size(), before + 1);
        EXPECT_NE(reports.back().detail.find(c.wrong), std::string::npos) << reports.back().detail;
        EXPECT_EQ(reports.back().place.rfind("IrpRulesUpperDispatch", 0), 0u) << reports.back().place;
    }
    EXPECT_FALSE(Check().Saw(Rule::IrpOnce));
}

// Once a freed request leaves the quarantine, its memory and record serve a later request:
// that one must start as a new request would, with nothing of the old one left.
TEST_F(IrpRules, RequestMemoryReusedPastTheQuarantineStartsAsNew) {
    LowerDevice lower(M());
    const CCHAR stack = lower.Device()->StackSize;
    CompletionProbe probe;
    probe.free_request = false;
    IRP* first = qvtest::NewRequestFor(lower, &probe);
    const USHORT size = first->Size;
    const uint64_t serial = M().Io().Info(first)->serial;
    first->IoStatus.Information = 77;
    EXPECT_EQ(IoCallDriver(lower.Device(), first), STATUS_SUCCESS);
    EXPECT_EQ(probe.calls, 1);
    IoFreeIrp(first);

    IRP* again = nullptr;
    const size_t limit = 2 * emu::IoManager::kFreedBytesKept / size + 64;
    for (size_t i = 0; i < limit && again == nullptr; ++i) {
        IRP* irp = IoAllocateIrp(stack, FALSE);
        if (irp == first) again = irp;
        else IoFreeIrp(irp);
    }
    ASSERT_EQ(again, first) << "the memory was never handed out again";

    const size_t locations = static_cast<size_t>(stack) * sizeof(IO_STACK_LOCATION);
    EXPECT_EQ(again->Size, size);
    EXPECT_EQ(again->StackCount, stack);
    EXPECT_EQ(again->CurrentLocation, stack + 1);
    EXPECT_EQ(again->CurrentStackLocation,
              reinterpret_cast<IO_STACK_LOCATION*>(again + 1) + stack);
    IRP header = *again;
    header.Size = 0;
    header.StackCount = 0;
    header.CurrentLocation = 0;
    header.CurrentStackLocation = nullptr;
    std::vector<uint8_t> rest(sizeof(IRP) + locations);
    std::memcpy(rest.data(), &header, sizeof(IRP));
    std::memcpy(rest.data() + sizeof(IRP), again + 1, locations);
    EXPECT_EQ(static_cast<size_t>(std::count(rest.begin(), rest.end(), 0)), rest.size())
        << "a new request is all zeroes but its header";
    const emu::IoManager::RequestInfo* info = M().Io().Info(again);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->state, State::Owned);
    EXPECT_GT(info->serial, serial);
    EXPECT_TRUE(info->dispatches.empty());

    // It lives its own life: sent, completed and freed without a report.
    CompletionProbe second;
    second.free_request = false;
    IoGetNextIrpStackLocation(again)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(again, CompletionProbe::Routine, &second, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(lower.Device(), again), STATUS_SUCCESS);
    EXPECT_EQ(second.calls, 1);
    IoFreeIrp(again);
    EXPECT_TRUE(M().Io().Outstanding().empty());
}

}  // namespace
