// IRP_ONCE, IRP_OWNED_COMPLETE and IRP_IN_FLIGHT_FREE, each broken on purpose.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "emulator/kernel/io_manager.h"
#include "platform/io.h"
#include "tests/kernel/lower_device.h"
#include "tests/support/machine_fixture.h"

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

}  // namespace
