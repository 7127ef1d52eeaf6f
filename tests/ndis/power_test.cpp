// NDIS's own queries after initialization and what their answers decide at a system sleep:
// an adapter that refuses OID_PNP_CAPABILITIES is halted for the sleep and initialized again
// on the same device object at the wake; one that answers it (or asked not to be halted)
// stays initialized and is told its device power state instead.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "emulator/machine.h"
#include "emulator/ndis/initial_queries.h"
#include "emulator/ndis/power.h"
#include "tests/ndis/fake_miniport.h"

namespace {

using emu::ndis::Miniport;

struct Answered {
    bool query;
    NDIS_OID oid;
    std::vector<uint8_t> bytes;  // a set's buffer
};

class PowerTest : public qvtest::NdisFixture {
protected:
    // The fake refuses every query but OID_PNP_QUERY_POWER (and OID_PNP_CAPABILITIES when
    // asked to answer it), answers each set with `set_power_status`, and notes each request.
    void Listen(bool answers_capabilities) {
        fake.on_query = [this, answers_capabilities](NDIS_OID oid, PVOID buffer, ULONG length,
                                                    ULONG* written, ULONG*) {
            seen.push_back({true, oid, {}});
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            const bool answer = (oid == OID_PNP_CAPABILITIES && answers_capabilities) ||
                                oid == OID_PNP_QUERY_POWER;
            if (!answer) return NDIS_STATUS_NOT_SUPPORTED;
            std::memset(buffer, 0, length);
            *written = std::min<ULONG>(length, 16);
            return NDIS_STATUS_SUCCESS;
        };
        fake.on_set = [this](NDIS_OID oid, PVOID buffer, ULONG length, ULONG* read, ULONG*) {
            const auto* bytes = static_cast<const uint8_t*>(buffer);
            seen.push_back({false, oid, {bytes, bytes + length}});
            *read = length;
            return set_power_status;
        };
    }
    int Initializes() const {
        return static_cast<int>(std::count(events.begin(), events.end(), "MiniportInitialize"));
    }
    std::vector<NDIS_OID> Oids() const {
        std::vector<NDIS_OID> oids;
        for (const Answered& request : seen) oids.push_back(request.oid);
        return oids;
    }
    static std::vector<uint8_t> State(ULONG state) {
        return {static_cast<uint8_t>(state), 0, 0, 0};
    }

    std::vector<Answered> seen;
    NDIS_STATUS set_power_status = NDIS_STATUS_SUCCESS;
};

TEST_F(PowerTest, NdisQueriesTheAdapterItselfAndHaltsOneThatIsNotPowerManagedForASleep) {
    Listen(false);
    StartAdapter();
    EXPECT_EQ(Oids(), emu::ndis::InitialQueryOids());
    EXPECT_EQ(Oids().back(), OID_PNP_CAPABILITIES);
    EXPECT_FALSE(Adapter().PowerManaged());
    DEVICE_OBJECT* fdo = Adapter().FunctionalDevice();
    seen.clear();

    ASSERT_TRUE(M().SleepSystem());
    EXPECT_FALSE(M().SleepSystem()) << "already asleep";
    EXPECT_EQ(fake.halts, 1);
    EXPECT_EQ(Adapter().CurrentState(), Miniport::State::Halted);
    EXPECT_TRUE(seen.empty()) << "no power request reaches an adapter NDIS halts";

    const auto woken = M().WakeSystem();
    ASSERT_EQ(woken.size(), 1u);
    EXPECT_EQ(woken[0].second, NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(Adapter().IsRunning());
    EXPECT_EQ(Initializes(), 2);
    EXPECT_EQ(Adapter().FunctionalDevice(), fdo) << "the same device object, not a new one";
    EXPECT_EQ(Oids(), emu::ndis::InitialQueryOids()) << "asked again after the new initialize";
    EXPECT_TRUE(M().WakeSystem().empty()) << "already awake";
}

// Kept across the sleep: asked for D3 and told it, then told D0; never halted. An adapter
// that cannot go to D3 is halted after all and initialized again.
struct KeptCase {
    const char* name;
    bool answers_capabilities;
    ULONG flags;
    NDIS_STATUS set_power;
    bool halted;
};

class KeptAcrossSleep : public PowerTest, public testing::WithParamInterface<KeptCase> {};

TEST_P(KeptAcrossSleep, GetsItsDevicePowerStateOrIsHalted) {
    const KeptCase& c = GetParam();
    fake.attribute_flags = c.flags;
    set_power_status = c.set_power;
    Listen(c.answers_capabilities);
    StartAdapter();
    EXPECT_EQ(Adapter().PowerManaged(), c.answers_capabilities);
    seen.clear();

    M().SleepSystem();
    EXPECT_EQ(fake.halts, c.halted ? 1 : 0);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_TRUE(seen[0].query);
    EXPECT_EQ(seen[0].oid, OID_PNP_QUERY_POWER);
    EXPECT_EQ(seen[1].oid, OID_PNP_SET_POWER);
    EXPECT_EQ(seen[1].bytes, State(emu::ndis::kDeviceStateD3));
    seen.clear();

    const auto woken = M().WakeSystem();
    ASSERT_EQ(woken.size(), 1u);
    EXPECT_EQ(woken[0].second, NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(Adapter().IsRunning());
    EXPECT_EQ(Initializes(), c.halted ? 2 : 1);
    if (!c.halted) {
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].oid, OID_PNP_SET_POWER);
        EXPECT_EQ(seen[0].bytes, State(emu::ndis::kDeviceStateD0));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sleep, KeptAcrossSleep,
    testing::Values(
        KeptCase{"PowerManaged", true, NDIS_ATTRIBUTE_DESERIALIZE, NDIS_STATUS_SUCCESS, false},
        KeptCase{"NoHaltOnSuspend", false,
                 NDIS_ATTRIBUTE_DESERIALIZE | NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND,
                 NDIS_STATUS_SUCCESS, false},
        KeptCase{"RefusesD3", true, NDIS_ATTRIBUTE_DESERIALIZE, NDIS_STATUS_FAILURE, true}),
    [](const testing::TestParamInfo<KeptCase>& info) { return info.param.name; });

}  // namespace
