// What NDIS checks of MiniportInitialize: the medium it selects and the attributes it sets.
#include <gtest/gtest.h>

#include <functional>

#include "tests/ndis/fake_miniport.h"

namespace {

using emu::Rule;
using emu::ndis::Miniport;
using emu::ndis::Pnp;
using Initialize = qvtest::NdisFixture;

TEST_F(Initialize, OffersEthernetAmongOtherMediaAndRecordsTheAttributes) {
    fake.hang_seconds = 7;
    StartAdapter();
    EXPECT_EQ(fake.media_offered,
              (std::vector<NDIS_MEDIUM>{NdisMedium802_5, NdisMedium802_3, NdisMediumWan}));
    EXPECT_EQ(fake.irql["MiniportInitialize"], PASSIVE_LEVEL);
    Miniport& adapter = Adapter();
    EXPECT_EQ(adapter.SelectedMediumIndex(), 1u);
    EXPECT_TRUE(adapter.AttributesSet());
    EXPECT_EQ(adapter.Context(), &fake);
    EXPECT_EQ(adapter.AttributeFlags(), NDIS_ATTRIBUTE_DESERIALIZE);
    EXPECT_EQ(adapter.InterfaceType(), NdisInterfaceInternal);
    EXPECT_EQ(adapter.HangCheckSeconds(), 7u);
}

struct RefusedResult {
    const char* name;
    std::function<void(qvtest::FakeMiniport&)> plan;
    NDIS_STATUS start_status;
};

void PrintTo(const RefusedResult& result, std::ostream* out) { *out << result.name; }

class RefusedInitialize : public qvtest::NdisFixture,
                          public testing::WithParamInterface<RefusedResult> {};

// A success NDIS cannot run: reported, the miniport halted so that it lets go of what it
// holds (no leak is reported), the start failed and the device removed.
TEST_P(RefusedInitialize, IsReportedHaltedAndFailsTheStart) {
    Expect(Rule::InitResult);
    GetParam().plan(fake);
    fake.on_initialize = [](NDIS_HANDLE) {
        PVOID memory = nullptr;
        NdisAllocateMemoryWithTag(&memory, 32, 0x7374515A);
        qvtest::FakeMiniport::current->on_halt = [memory] { NdisFreeMemory(memory, 32, 0); };
    };
    ASSERT_EQ(Register(fake.Table()), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(N().PnpManager().AddDevice(driver, bus.pdo), STATUS_SUCCESS);

    Pnp::Result start = Pnp(IRP_MN_START_DEVICE);
    EXPECT_EQ(start.final, GetParam().start_status);
    EXPECT_EQ(Check().Of(Rule::InitResult).size(), 1u);
    EXPECT_EQ(fake.halts, 1);
    EXPECT_EQ(events, (std::vector<std::string>{"bus minor 0", "MiniportInitialize",
                                                "MiniportHalt", "bus minor 2"}));
    EXPECT_EQ(Adapter().CurrentState(), Miniport::State::InitializeFailed);
    EXPECT_EQ(N().PnpManager().StateOf(bus.pdo), Pnp::DeviceState::Removed);
    Advance(10'000'000);
    EXPECT_EQ(fake.hang_checks, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RefusedInitialize,
    testing::Values(
        RefusedResult{"MediumNotSelected", [](qvtest::FakeMiniport& f) { f.medium = -2; },
                      NDIS_STATUS_UNSUPPORTED_MEDIA},
        RefusedResult{"MediumPastTheArray", [](qvtest::FakeMiniport& f) { f.medium = 3; },
                      NDIS_STATUS_UNSUPPORTED_MEDIA},
        RefusedResult{"MediumNotEthernet", [](qvtest::FakeMiniport& f) { f.medium = 0; },
                      NDIS_STATUS_UNSUPPORTED_MEDIA},
        RefusedResult{"NoAttributes",
                      [](qvtest::FakeMiniport& f) { f.set_attributes = false; },
                      NDIS_STATUS_FAILURE}),
    [](const testing::TestParamInfo<RefusedResult>& info) { return info.param.name; });

// Faults in NdisMSetAttributesEx are reported at the call; the start goes on.
TEST_F(Initialize, AttributesAreCheckedWhereTheyAreSet) {
    struct Case {
        const char* name;
        std::function<void(NDIS_HANDLE)> call;
        Rule rule;
        size_t count = 1;  // reports of the rule
    };
    static int context;
    const Case cases[] = {
        {"a second call",
         [](NDIS_HANDLE h) {
             NdisMSetAttributesEx(h, &context, 0, 0, NdisInterfaceInternal);
             NdisMSetAttributesEx(h, &context, 0, 0, NdisInterfaceInternal);
         },
         Rule::InitResult},
        {"unknown flags",
         [](NDIS_HANDLE h) { NdisMSetAttributesEx(h, &context, 0, 0x1000, NdisInterfacePci); },
         Rule::InitResult},
        // A device's miniport is no intermediate driver, and an intermediate driver's miniport
        // is deserialized.
        {"an intermediate driver's flag from a device's miniport",
         [](NDIS_HANDLE h) {
             NdisMSetAttributesEx(h, &context, 0,
                                  NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER | NDIS_ATTRIBUTE_DESERIALIZE,
                                  NdisInterfaceInternal);
         },
         Rule::InitResult},
        {"an intermediate driver's flag, not deserialized",
         [](NDIS_HANDLE h) {
             NdisMSetAttributesEx(h, &context, 0, NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER,
                                  NdisInterfaceInternal);
         },
         Rule::InitResult, 2},
        // Documented as meant for intermediate drivers, yet accepted from any miniport.
        {"time-outs ignored",
         [](NDIS_HANDLE h) {
             NdisMSetAttributesEx(h, &context, 0,
                                  NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT |
                                      NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT |
                                      NDIS_ATTRIBUTE_DESERIALIZE,
                                  NdisInterfaceInternal);
         },
         Rule::InitResult, 0},
        {"unknown interface type",
         [](NDIS_HANDLE h) {
             NdisMSetAttributesEx(h, &context, 0, 0, static_cast<NDIS_INTERFACE_TYPE>(40));
         },
         Rule::InitResult},
        {"null context",
         [](NDIS_HANDLE h) { NdisMSetAttributesEx(h, nullptr, 0, 0, NdisInterfaceInternal); },
         Rule::InitResult},
        {"at DISPATCH_LEVEL",
         [](NDIS_HANDLE h) {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             NdisMSetAttributesEx(h, &context, 0, 0, NdisInterfaceInternal);
             KeLowerIrql(old);
         },
         Rule::IrqlCall},
    };
    Expect(Rule::InitResult);
    Expect(Rule::IrqlCall);
    fake.set_attributes = false;
    fake.on_initialize = [](NDIS_HANDLE h) {
        NdisMSetAttributesEx(h, &context, 0, NDIS_ATTRIBUTE_DESERIALIZE, NdisInterfaceInternal);
    };
    auto reports = [this] {
        return Check().Of(Rule::InitResult).size() + Check().Of(Rule::IrqlCall).size();
    };
    StartAdapter();
    EXPECT_EQ(reports(), 0u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Pnp(IRP_MN_STOP_DEVICE).final, STATUS_SUCCESS);
        const size_t before = reports();
        const size_t of_rule = Check().Of(c.rule).size();
        fake.on_initialize = c.call;
        EXPECT_EQ(Pnp(IRP_MN_START_DEVICE).final, STATUS_SUCCESS);
        EXPECT_EQ(reports(), before + c.count);
        ASSERT_EQ(Check().Of(c.rule).size(), of_rule + c.count);
        if (c.count != 0) {
            EXPECT_EQ(Check().Of(c.rule).back().call, "NdisMSetAttributesEx");
        }
    }
    // Outside MiniportInitialize the call is refused.
    Expect(Rule::Platform);
    NdisMSetAttributesEx(fake.handle, &context, 0, 0, NdisInterfaceInternal);
    EXPECT_EQ(Check().Of(Rule::Platform).size(), 1u);
}

}  // namespace
