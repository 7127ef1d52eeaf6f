// Registration, NDIS's AddDevice and PnP handling, and what NDIS checks when an adapter ends.
#include <gtest/gtest.h>

#include <functional>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/scheduler.h"
#include "platform/kernel.h"
#include "tests/ndis/fake_miniport.h"

namespace {

using emu::Rule;
using emu::ndis::Miniport;
using qvtest::FakeBus;
using Lifecycle = qvtest::NdisFixture;

constexpr ULONG kTestTag = 0x7374515A;  // "ZQst"

TEST_F(Lifecycle, RegistrationChecksVersionLengthAndRequiredHandlers) {
    using Table = NDIS50_MINIPORT_CHARACTERISTICS;
    struct Case {
        const char* name;
        std::function<void(Table&)> edit;
        UINT length;
        NDIS_STATUS expected;
        NDIS_STATUS forced = NDIS_STATUS_SUCCESS;
    };
    const UINT full = sizeof(Table);
    const Case cases[] = {
        {"complete 5.0 table", [](Table&) {}, full, NDIS_STATUS_SUCCESS},
        {"SendPackets in place of Send",
         [](Table& t) {
             t.SendHandler = nullptr;
             t.SendPacketsHandler = +[](NDIS_HANDLE, NDIS_PACKET**, UINT) {};
         },
         full, NDIS_STATUS_SUCCESS},
        {"version 4.0", [](Table& t) { t.MajorNdisVersion = 4; }, full, NDIS_STATUS_BAD_VERSION},
        {"version 5.1", [](Table& t) { t.MinorNdisVersion = 1; }, full, NDIS_STATUS_BAD_VERSION},
        {"short length", [](Table&) {}, full - 8, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no Initialize", [](Table& t) { t.InitializeHandler = nullptr; }, full,
         NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no Halt", [](Table& t) { t.HaltHandler = nullptr; }, full,
         NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no QueryInformation", [](Table& t) { t.QueryInformationHandler = nullptr; }, full,
         NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no SetInformation", [](Table& t) { t.SetInformationHandler = nullptr; }, full,
         NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no Reset", [](Table& t) { t.ResetHandler = nullptr; }, full,
         NDIS_STATUS_BAD_CHARACTERISTICS},
        {"neither Send nor SendPackets", [](Table& t) { t.SendHandler = nullptr; }, full,
         NDIS_STATUS_BAD_CHARACTERISTICS},
        {"failure forced by the test", [](Table&) {}, full, NDIS_STATUS_FAILURE,
         NDIS_STATUS_FAILURE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DRIVER_OBJECT* target = M().Io().CreateDriver(c.name);
        PDRIVER_DISPATCH untouched = target->MajorFunction[IRP_MJ_PNP];
        if (c.forced != NDIS_STATUS_SUCCESS) N().FailNextRegistration(c.forced);
        Table table = fake.Table();
        c.edit(table);
        EXPECT_EQ(Register(table, c.length, target), c.expected);
        if (c.expected == NDIS_STATUS_SUCCESS) {
            EXPECT_EQ(target->DriverExtension->AddDevice, emu::ndis::NdisAddDeviceEntry);
            EXPECT_EQ(target->MajorFunction[IRP_MJ_PNP], emu::ndis::NdisPnpDispatchEntry);
        } else {
            EXPECT_EQ(target->DriverExtension->AddDevice, nullptr);
            EXPECT_EQ(target->MajorFunction[IRP_MJ_PNP], untouched);
        }
    }
}

class StartModes : public qvtest::NdisFixture,
                   public testing::WithParamInterface<FakeBus::Start> {};

TEST_P(StartModes, StartReachesTheBusFirstThenInitializesOnceAtPassive) {
    bus.start = GetParam();
    N().SetMediumArray({NdisMediumDix, NdisMedium802_3});
    ASSERT_EQ(Register(fake.Table()), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(N().PnpManager().AddDevice(driver, bus.pdo), STATUS_SUCCESS);
    Miniport& adapter = Adapter();
    EXPECT_EQ(bus.pdo->AttachedDevice, adapter.FunctionalDevice());
    EXPECT_EQ(adapter.NextDevice(), bus.pdo);

    emu::ndis::Pnp::Result start = Pnp(IRP_MN_START_DEVICE);
    EXPECT_EQ(start.final, STATUS_SUCCESS);
    // NDIS's own queries follow at once (the fake refuses them all).
    EXPECT_EQ(events, (std::vector<std::string>{"bus minor 0", "MiniportInitialize",
                                                "MiniportQueryInformation",
                                                "MiniportQueryInformation",
                                                "MiniportQueryInformation",
                                                "MiniportQueryInformation"}));
    EXPECT_EQ(fake.irql["MiniportInitialize"], PASSIVE_LEVEL);
    EXPECT_EQ(fake.media_offered, (std::vector<NDIS_MEDIUM>{NdisMediumDix, NdisMedium802_3}));
    EXPECT_EQ(adapter.SelectedMediumIndex(), 1u);
    EXPECT_EQ(adapter.Context(), &fake);
    EXPECT_EQ(adapter.AttributeFlags(), NDIS_ATTRIBUTE_DESERIALIZE);
    EXPECT_EQ(fake.handle, adapter.Handle());

    DEVICE_OBJECT *pdo = nullptr, *fdo = nullptr, *next = nullptr;
    NdisMGetDeviceProperty(fake.handle, &pdo, &fdo, &next, nullptr, nullptr);
    EXPECT_EQ(pdo, bus.pdo);
    EXPECT_EQ(fdo, adapter.FunctionalDevice());
    EXPECT_EQ(next, bus.pdo);

    // A start while running goes to the bus but does not initialize again.
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE).final, STATUS_SUCCESS);
    EXPECT_EQ(std::count(events.begin(), events.end(), "MiniportInitialize"), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), "bus minor 0"), 2);
}

INSTANTIATE_TEST_SUITE_P(BusCompletes, StartModes,
                         testing::Values(FakeBus::Start::Inline, FakeBus::Start::Later));

TEST_F(Lifecycle, StartFailedByTheBusNeverInitializes) {
    bus.start = FakeBus::Start::Fail;
    ASSERT_EQ(Register(fake.Table()), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(N().PnpManager().AddDevice(driver, bus.pdo), STATUS_SUCCESS);
    emu::ndis::Pnp::Result start = Pnp(IRP_MN_START_DEVICE);
    EXPECT_EQ(start.returned, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(start.final, STATUS_DEVICE_NOT_CONNECTED);
    // The PnP manager removes a device that failed to start.
    EXPECT_EQ(events, (std::vector<std::string>{"bus minor 0", "bus minor 2"}));
    EXPECT_EQ(Adapter().CurrentState(), Miniport::State::Added);
    EXPECT_EQ(N().PnpManager().StateOf(bus.pdo), emu::ndis::Pnp::DeviceState::Removed);
    EXPECT_EQ(bus.pdo->AttachedDevice, nullptr);
}

TEST_F(Lifecycle, FailedInitializeIsCheckedForLeaksAndTimersAndEndsTheHandle) {
    Expect(Rule::PoolLeak);
    Expect(Rule::TimerAtHalt);
    Expect(Rule::NoCallsAfterHalt);
    fake.initialize_result = NDIS_STATUS_RESOURCES;
    fake.on_initialize = [this](NDIS_HANDLE) {
        PVOID kept = nullptr;
        NdisAllocateMemoryWithTag(&kept, 64, kTestTag);
        NdisMSetTimer(&fake.timer, 5);
    };
    ASSERT_EQ(Register(fake.Table()), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(N().PnpManager().AddDevice(driver, bus.pdo), STATUS_SUCCESS);

    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE).final, NDIS_STATUS_RESOURCES);
    ASSERT_EQ(Check().Of(Rule::PoolLeak).size(), 1u);
    EXPECT_NE(Check().Of(Rule::PoolLeak)[0].detail.find("64 bytes"), std::string::npos);
    EXPECT_EQ(Check().Of(Rule::TimerAtHalt).size(), 1u);

    // The timer comes due on a dead adapter: reported, and its function is not called.
    Advance(10'000);
    EXPECT_TRUE(fake.timer_runs.empty());
    NdisMIndicateStatusComplete(fake.handle);
    EXPECT_EQ(Check().Of(Rule::NoCallsAfterHalt).size(), 2u);
}

struct HaltFault {
    const char* name;
    std::function<void(qvtest::FakeMiniport&)> plan;
    std::vector<Rule> reported;
};

void PrintTo(const HaltFault& fault, std::ostream* out) { *out << fault.name; }

class HaltChecks : public qvtest::NdisFixture, public testing::WithParamInterface<HaltFault> {};

TEST_P(HaltChecks, ReportsWhatHaltLeftBehind) {
    const HaltFault& fault = GetParam();
    for (Rule rule : fault.reported) Expect(rule);
    fault.plan(fake);
    StartAdapter();

    emu::ndis::Pnp::Result stop = Pnp(IRP_MN_STOP_DEVICE);
    EXPECT_EQ(stop.final, STATUS_SUCCESS);
    EXPECT_EQ(fake.halts, 1);
    EXPECT_EQ(fake.irql["MiniportHalt"], PASSIVE_LEVEL);
    EXPECT_EQ(events.back(), "bus minor 4") << "the stop reaches the bus after the halt";
    Advance(10'000);
    EXPECT_TRUE(fake.timer_runs.empty());

    std::vector<Rule> seen;
    for (Rule rule : {Rule::PoolLeak, Rule::TimerAtHalt, Rule::IrpAtHalt, Rule::NoCallsAfterHalt}) {
        if (Check().Saw(rule)) seen.push_back(rule);
    }
    EXPECT_EQ(seen, fault.reported);
}

INSTANTIATE_TEST_SUITE_P(
    HaltFaults, HaltChecks,
    testing::Values(
        HaltFault{"Clean", [](qvtest::FakeMiniport&) {}, {}},
        HaltFault{"MemoryKept",
                  [](qvtest::FakeMiniport& fake) {
                      fake.on_initialize = [](NDIS_HANDLE) {
                          PVOID kept = nullptr;
                          NdisAllocateMemoryWithTag(&kept, 32, kTestTag);
                      };
                  },
                  {Rule::PoolLeak}},
        HaltFault{"TimerLeftSet",
                  [](qvtest::FakeMiniport& fake) {
                      fake.on_halt = [&fake] { NdisMSetTimer(&fake.timer, 5); };
                  },
                  {Rule::TimerAtHalt, Rule::NoCallsAfterHalt}},
        HaltFault{"RequestNeverFreed",
                  [](qvtest::FakeMiniport& fake) {
                      fake.on_halt = [] { IoAllocateIrp(2, FALSE); };
                  },
                  {Rule::IrpAtHalt}}),
    [](const testing::TestParamInfo<HaltFault>& info) { return info.param.name; });

TEST_F(Lifecycle, SurpriseRemovalHaltsOnceAndRemovalDetaches) {
    Expect(Rule::NoCallsAfterHalt);
    StartAdapter();
    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL).final, STATUS_SUCCESS);
    EXPECT_EQ(fake.halts, 1);
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).final, STATUS_SUCCESS);
    EXPECT_EQ(fake.halts, 1);
    EXPECT_EQ(bus.seen, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL,
                                            IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(bus.pdo->AttachedDevice, nullptr);

    NdisMIndicateStatus(fake.handle, NDIS_STATUS_MEDIA_DISCONNECT, nullptr, 0);
    EXPECT_EQ(Check().Of(Rule::NoCallsAfterHalt).size(), 1u);
    EXPECT_TRUE(Edge().Statuses().empty());
}

TEST_F(Lifecycle, OtherMinorCodesPassToTheBusUntouched) {
    StartAdapter();
    bus.answers[IRP_MN_QUERY_CAPABILITIES] = STATUS_SUCCESS;
    bus.answers[IRP_MN_QUERY_PNP_DEVICE_STATE] = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(Pnp(IRP_MN_QUERY_CAPABILITIES).final, STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_QUERY_PNP_DEVICE_STATE).final, STATUS_UNSUCCESSFUL);
    // Nobody handles it: the status the PnP manager started it with comes back.
    EXPECT_EQ(Pnp(IRP_MN_QUERY_DEVICE_TEXT).final, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(bus.seen.size(), 4u);
    EXPECT_EQ(fake.halts, 0);
}

TEST_F(Lifecycle, HangCheckEveryTwoSecondsAtDispatchResetsWhenHung) {
    StartAdapter();
    Advance(1'999'999);
    EXPECT_EQ(fake.hang_checks, 0);
    Advance(1);
    EXPECT_EQ(fake.hang_checks, 1);
    EXPECT_EQ(fake.irql["MiniportCheckForHang"], DISPATCH_LEVEL);
    EXPECT_EQ(fake.resets, 0);

    fake.hung = TRUE;
    Advance(2'000'000);
    EXPECT_EQ(fake.hang_checks, 2);
    EXPECT_EQ(fake.resets, 1);
    EXPECT_EQ(fake.irql["MiniportReset"], DISPATCH_LEVEL);

    Pnp(IRP_MN_STOP_DEVICE);
    Advance(10'000'000);
    EXPECT_EQ(fake.hang_checks, 2) << "no check once the adapter is halted";
}

TEST_F(Lifecycle, ShutdownCallsTheRegisteredHandlerAtPassive) {
    static KIRQL shutdown_irql;
    static PVOID shutdown_context;
    fake.on_initialize = [](NDIS_HANDLE handle) {
        NdisMRegisterAdapterShutdownHandler(handle, &shutdown_irql, +[](PVOID context) {
            shutdown_irql = KeGetCurrentIrql();
            shutdown_context = context;
        });
    };
    StartAdapter();
    shutdown_irql = 0xFF;
    ASSERT_TRUE(Adapter().Shutdown());
    EXPECT_EQ(shutdown_irql, PASSIVE_LEVEL);
    EXPECT_EQ(shutdown_context, &shutdown_irql);

    NdisMDeregisterAdapterShutdownHandler(fake.handle);
    EXPECT_FALSE(Adapter().Shutdown());
}

TEST_F(Lifecycle, OverridesStandInForInitializeAndHalt) {
    static int context;
    NDIS_HANDLE halted_with = nullptr;
    N().OverrideInitialize([](NDIS_STATUS*, UINT* selected, NDIS_MEDIUM* media, UINT count,
                              NDIS_HANDLE handle, NDIS_HANDLE) {
        *selected = qvtest::Index802_3(media, count);
        NdisMSetAttributesEx(handle, &context, 0, 0, NdisInterfaceInternal);
        return NDIS_STATUS_SUCCESS;
    });
    N().OverrideHalt([&halted_with](NDIS_HANDLE adapter_context) { halted_with = adapter_context; });
    StartAdapter();
    EXPECT_EQ(Adapter().Context(), &context);
    Pnp(IRP_MN_STOP_DEVICE);
    EXPECT_EQ(halted_with, &context);
    EXPECT_EQ(std::count(events.begin(), events.end(), "MiniportInitialize"), 0);
    EXPECT_EQ(fake.halts, 0);
}

}  // namespace
