// A running adapter as NDIS drives it: the periodic hang check, resets and their completion,
// the machine's shutdown, and status indications.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "emulator/kernel/scheduler.h"
#include "platform/kernel.h"
#include "tests/ndis/fake_miniport.h"

namespace {

using emu::Rule;
using emu::ndis::Miniport;
using Running = qvtest::NdisFixture;

TEST_F(Running, HangCheckKeepsTheIntervalSetAndEndsBeforeTheHalt) {
    fake.hang_seconds = 5;
    // The halt runs alone: no check is left waiting to come due beside it.
    fake.on_halt = [this] { EXPECT_FALSE(M().Clock().NextTime().has_value()); };
    StartAdapter();
    Advance(4'999'999);
    EXPECT_EQ(fake.hang_checks, 0);
    Advance(1);
    EXPECT_EQ(fake.hang_checks, 1);
    Advance(5'000'000);
    EXPECT_EQ(fake.hang_checks, 2);
    EXPECT_EQ(Adapter().HangChecks(), 2u);
    // The check is background work: a machine with nothing else to do is idle.
    EXPECT_TRUE(M().Clock().Idle());

    Advance(4'000'000);
    Pnp(IRP_MN_STOP_DEVICE);
    EXPECT_EQ(fake.halts, 1);
    Advance(20'000'000);
    EXPECT_EQ(fake.hang_checks, 2);
    EXPECT_EQ(events.back(), "bus minor 4");
}

TEST_F(Running, PendedResetEndsWithItsCompletionAndHoldsTheHangCheckBack) {
    fake.hung = TRUE;
    fake.reset_result = NDIS_STATUS_PENDING;
    StartAdapter();
    Advance(2'000'000);
    Miniport& adapter = Adapter();
    ASSERT_EQ(adapter.Resets(), 1u);
    EXPECT_EQ(fake.irql["MiniportReset"], DISPATCH_LEVEL);
    EXPECT_TRUE(adapter.ResetInProgress());
    EXPECT_FALSE(adapter.RequestReset()) << "one reset at a time";

    Advance(4'000'000);
    EXPECT_EQ(fake.hang_checks, 1) << "a resetting adapter is not checked";
    fake.hung = FALSE;
    AtIrql(DISPATCH_LEVEL, [this] { NdisMResetComplete(fake.handle, NDIS_STATUS_SUCCESS, TRUE); });
    const Miniport::Reset& reset = adapter.ResetLog().at(0);
    EXPECT_FALSE(reset.asked_by_test);
    EXPECT_EQ(reset.started_us, 2'000'000u);
    EXPECT_EQ(reset.returned, NDIS_STATUS_PENDING);
    EXPECT_TRUE(reset.completed);
    EXPECT_EQ(reset.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(reset.addressing_reset, TRUE);
    EXPECT_EQ(reset.completed_us, 6'000'000u);

    Advance(2'000'000);
    EXPECT_EQ(fake.hang_checks, 2);
    EXPECT_EQ(adapter.Resets(), 1u);

    // A reset a test asks for, finished in the call.
    fake.reset_result = NDIS_STATUS_SUCCESS;
    ASSERT_TRUE(adapter.RequestReset());
    ASSERT_EQ(adapter.Resets(), 2u);
    EXPECT_TRUE(adapter.ResetLog()[1].asked_by_test);
    EXPECT_TRUE(adapter.ResetLog()[1].completed);
    EXPECT_EQ(adapter.ResetLog()[1].status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(fake.irql["MiniportReset"], DISPATCH_LEVEL);
}

TEST_F(Running, HaltWaitsForAPendedResetToComplete) {
    fake.reset_result = NDIS_STATUS_PENDING;
    fake.on_reset = [this] {
        M().Clock().After(100'000, "reset finishes", [this] {
            NdisMResetComplete(fake.handle, NDIS_STATUS_SUCCESS, FALSE);
        });
    };
    StartAdapter();
    ASSERT_TRUE(Adapter().RequestReset());
    Pnp(IRP_MN_STOP_DEVICE);
    EXPECT_EQ(fake.halts, 1);
    EXPECT_EQ(Adapter().ResetLog()[0].completed_us, 100'000u);
    EXPECT_EQ(M().Clock().Now(), 100'000u) << "the halt came once the reset had completed";
}

struct ResetFault {
    const char* name;
    // Acts on the running adapter; `stop` sends IRP_MN_STOP_DEVICE.
    std::function<void(Miniport&, qvtest::FakeMiniport&, const std::function<void()>& stop)>
        act;
    const char* call;  // where RESET_COMPLETE is reported
};

void PrintTo(const ResetFault& fault, std::ostream* out) { *out << fault.name; }

class ResetFaults : public qvtest::NdisFixture, public testing::WithParamInterface<ResetFault> {};

TEST_P(ResetFaults, AreReportedWhereTheyHappen) {
    Expect(Rule::ResetComplete);
    StartAdapter();
    GetParam().act(Adapter(), fake, [this] { Pnp(IRP_MN_STOP_DEVICE); });
    ASSERT_EQ(Check().Of(Rule::ResetComplete).size(), 1u);
    EXPECT_EQ(Check().Of(Rule::ResetComplete)[0].call, GetParam().call);
}

using qvtest::FakeMiniport;
using Stop = const std::function<void()>&;

INSTANTIATE_TEST_SUITE_P(
    Completions, ResetFaults,
    testing::Values(
        ResetFault{"CompletionWithoutAReset",
                   [](Miniport&, FakeMiniport& fake, Stop) {
                       NdisMResetComplete(fake.handle, NDIS_STATUS_SUCCESS, FALSE);
                   },
                   "NdisMResetComplete"},
        ResetFault{"CompletionOfAResetThatDidNotPend",
                   [](Miniport& adapter, FakeMiniport& fake, Stop) {
                       adapter.RequestReset();
                       NdisMResetComplete(fake.handle, NDIS_STATUS_SUCCESS, FALSE);
                   },
                   "NdisMResetComplete"},
        ResetFault{"CompletedInsideAndNotPended",
                   [](Miniport& adapter, FakeMiniport& fake, Stop) {
                       fake.on_reset = [&fake] {
                           NdisMResetComplete(fake.handle, NDIS_STATUS_SUCCESS, FALSE);
                       };
                       adapter.RequestReset();
                   },
                   "MiniportReset"},
        ResetFault{"NeverCompletedBeforeTheHalt",
                   [](Miniport& adapter, FakeMiniport& fake, Stop stop) {
                       fake.reset_result = NDIS_STATUS_PENDING;
                       adapter.RequestReset();
                       stop();
                       EXPECT_EQ(fake.halts, 1) << "the halt still comes";
                   },
                   "MiniportHalt"}),
    [](const testing::TestParamInfo<ResetFault>& info) { return info.param.name; });

TEST_F(Running, MachineShutdownCallsTheRegisteredHandlerOnceAtPassive) {
    static KIRQL irql;
    static PVOID context;
    static int calls;
    calls = 0;
    fake.on_initialize = [](NDIS_HANDLE handle) {
        NdisMRegisterAdapterShutdownHandler(handle, &irql, +[](PVOID shutdown_context) {
            irql = KeGetCurrentIrql();
            context = shutdown_context;
            ++calls;
        });
    };
    fake.on_halt = [this] { NdisMDeregisterAdapterShutdownHandler(fake.handle); };
    StartAdapter();
    irql = 0xFF;
    EXPECT_EQ(N().ShutdownMachine(), 1);
    EXPECT_EQ(irql, PASSIVE_LEVEL);
    EXPECT_EQ(context, &irql);
    EXPECT_EQ(N().ShutdownMachine(), 0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(Adapter().ShutdownCalls(), 1);
}

TEST_F(Running, NoShutdownHandlerIsCalledOnceDeregisteredOrHalted) {
    Expect(emu::Rule::TimerAtHalt);  // the halt leaves the handler registered
    static int calls;
    calls = 0;
    fake.on_initialize = [](NDIS_HANDLE handle) {
        NdisMRegisterAdapterShutdownHandler(handle, nullptr, +[](PVOID) { ++calls; });
    };
    StartAdapter();
    Pnp(IRP_MN_STOP_DEVICE);
    EXPECT_EQ(N().ShutdownMachine(), 0);
    EXPECT_EQ(calls, 0);
}

TEST_F(Running, StatusIndicationsReachTheProtocolWithTheirTime) {
    StartAdapter();
    Advance(1'500);
    ULONG speed = 100;
    AtIrql(DISPATCH_LEVEL, [this, &speed] {
        NdisMIndicateStatus(fake.handle, NDIS_STATUS_MEDIA_CONNECT, &speed, sizeof(speed));
        NdisMIndicateStatusComplete(fake.handle);
    });
    Advance(500);
    NdisMIndicateStatus(fake.handle, NDIS_STATUS_MEDIA_DISCONNECT, nullptr, 0);
    NdisMIndicateStatusComplete(fake.handle);
    const auto& statuses = Edge().Statuses();
    ASSERT_EQ(statuses.size(), 4u);
    EXPECT_EQ(statuses[0].status, NDIS_STATUS_MEDIA_CONNECT);
    EXPECT_EQ(statuses[0].buffer.size(), sizeof(speed));
    EXPECT_EQ(statuses[0].time_us, 1'500u);
    EXPECT_TRUE(statuses[1].complete);
    EXPECT_EQ(statuses[2].status, NDIS_STATUS_MEDIA_DISCONNECT);
    EXPECT_EQ(statuses[2].time_us, 2'000u);
    EXPECT_TRUE(statuses[3].complete);
    Pnp(IRP_MN_STOP_DEVICE);
}

// One completion may close several indications, as busy miniports do.
TEST_F(Running, OneStatusCompletionMayCloseSeveralIndications) {
    StartAdapter();
    NdisMIndicateStatus(fake.handle, NDIS_STATUS_MEDIA_DISCONNECT, nullptr, 0);
    NdisMIndicateStatus(fake.handle, NDIS_STATUS_MEDIA_CONNECT, nullptr, 0);
    NdisMIndicateStatusComplete(fake.handle);
    Pnp(IRP_MN_STOP_DEVICE);
    EXPECT_FALSE(Check().Saw(Rule::StatusIndication));
    EXPECT_EQ(Edge().Statuses().size(), 3u);
}

struct StatusFault {
    const char* name;
    std::function<void(qvtest::FakeMiniport&, const std::function<void()>& stop)> act;
    Rule rule;
    const char* call;  // where it is reported
    size_t recorded;   // indications the protocol saw
    bool inside_initialize = false;  // a status indicated inside MiniportInitialize first
};

void PrintTo(const StatusFault& fault, std::ostream* out) { *out << fault.name; }

class StatusFaults : public qvtest::NdisFixture,
                     public testing::WithParamInterface<StatusFault> {};

TEST_P(StatusFaults, AreReportedWhereTheyHappen) {
    const StatusFault& fault = GetParam();
    Expect(fault.rule);
    if (fault.inside_initialize) {
        fake.on_initialize = [](NDIS_HANDLE handle) {
            NdisMIndicateStatus(handle, NDIS_STATUS_MEDIA_CONNECT, nullptr, 0);
        };
    }
    StartAdapter();
    fault.act(fake, [this] { Pnp(IRP_MN_STOP_DEVICE); });
    ASSERT_EQ(Check().Of(fault.rule).size(), 1u);
    EXPECT_EQ(Check().Of(fault.rule)[0].call, fault.call);
    EXPECT_EQ(Edge().Statuses().size(), fault.recorded);
}

INSTANTIATE_TEST_SUITE_P(
    Indications, StatusFaults,
    testing::Values(
        StatusFault{"DuringInitialize", [](FakeMiniport&, Stop) {}, Rule::StatusIndication,
                    "NdisMIndicateStatus", 0, true},
        // Two open indications are still one fault: the completion never came.
        StatusFault{"HaltedWithoutTheCompletion",
                    [](FakeMiniport& fake, Stop stop) {
                        NdisMIndicateStatus(fake.handle, NDIS_STATUS_MEDIA_CONNECT, nullptr, 0);
                        NdisMIndicateStatus(fake.handle, NDIS_STATUS_MEDIA_DISCONNECT, nullptr,
                                            0);
                        stop();
                    },
                    Rule::StatusIndication, "MiniportHalt", 2},
        StatusFault{"AfterTheHalt",
                    [](FakeMiniport& fake, Stop stop) {
                        stop();
                        NdisMIndicateStatus(fake.handle, NDIS_STATUS_MEDIA_CONNECT, nullptr, 0);
                    },
                    Rule::NoCallsAfterHalt, "NdisMIndicateStatus", 0}),
    [](const testing::TestParamInfo<StatusFault>& info) { return info.param.name; });

}  // namespace
