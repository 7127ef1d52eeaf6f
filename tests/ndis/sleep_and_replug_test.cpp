// The real driver across a system sleep and across an unplug followed by a replug. It refuses
// OID_PNP_CAPABILITIES, so NDIS halts it for the sleep and initializes it again at the wake
// on the same device object, whose device lost its configuration meanwhile; unplugged and
// plugged in again, it comes up as a new device object and adapter.
#include <gtest/gtest.h>

#include <algorithm>

#include "emulator/device/controller.h"
#include "emulator/machine.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/ndis.h"
#include "emulator/ndis/pnp.h"
#include "emulator/usbbus/bus.h"
#include "tests/support/running_adapter_fixture.h"

namespace {

using emu::ndis::Miniport;

class SleepAndReplug : public qvtest::RunningAdapterFixture {
protected:
    // One frame each way crosses the adapter now running, byte for byte.
    void ExpectFramesMove(uint32_t seed) {
        const std::vector<uint8_t> out = FrameOut(300, seed), in = FrameIn(200, seed + 1);
        Nic().Send(out);
        Nic().Inject(in);
        Nic().RunUntilIdle();
        ASSERT_FALSE(Nic().WireFrames().empty());
        EXPECT_EQ(Nic().WireFrames().back(), out);
        ASSERT_FALSE(Nic().ReceivedFrames().empty());
        EXPECT_EQ(Nic().ReceivedFrames().back(), in);
    }
    // SET_CONFIGURATION requests the device received at or after `since_us`.
    size_t ConfigurationsSince(uint64_t since_us) {
        const auto& log = Nic().Device().ControlLog();
        return static_cast<size_t>(std::count_if(log.begin(), log.end(), [&](const auto& r) {
            return r.request_type == 0x00 && r.request == 0x09 && r.value != 0 &&
                   r.time_us >= since_us;
        }));
    }
};

TEST_F(SleepAndReplug, TheAdapterIsHaltedForASleepAndInitializedAgainOnTheSameDevice) {
    Start();
    EXPECT_FALSE(Nic().Block().PowerManaged()) << "the driver refuses OID_PNP_CAPABILITIES";
    DEVICE_OBJECT* fdo = Nic().Block().FunctionalDevice();
    ExpectFramesMove(1);

    ASSERT_TRUE(Nic().Sleep());
    EXPECT_EQ(Nic().Block().CurrentState(), Miniport::State::Halted);
    EXPECT_FALSE(Nic().Running());
    Nic().Run(1'000'000);

    ASSERT_EQ(Nic().Wake(), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(M().Bus().PowerCycles().size(), 1u);
    EXPECT_EQ(Nic().Block().FunctionalDevice(), fdo);
    EXPECT_EQ(M().Ndis().Adapters().size(), 1u);
    EXPECT_EQ(ConfigurationsSince(M().Bus().PowerCycles()[0]), 1u)
        << "the device came back unconfigured and the driver configured it again";
    ExpectFramesMove(3);
}

TEST_F(SleepAndReplug, AnUnpluggedAdapterIsRemovedAndAReplugBringsUpANewOne) {
    Start();
    Miniport& first = Nic().Block();
    DEVICE_OBJECT* first_pdo = M().Bus().PhysicalDeviceObject();
    ExpectFramesMove(1);

    ASSERT_TRUE(Nic().Unplug());
    EXPECT_EQ(first.CurrentState(), Miniport::State::Halted);
    EXPECT_EQ(M().Ndis().PnpManager().StateOf(first_pdo), emu::ndis::Pnp::DeviceState::Removed);
    // The driver does not declare NDIS_ATTRIBUTE_SURPRISE_REMOVE_OK: Windows would warn.
    EXPECT_EQ(M().UnsafeRemovals(), 1);
    EXPECT_FALSE(Nic().Unplug()) << "the port is empty";

    ASSERT_EQ(Nic().Replug(), NDIS_STATUS_SUCCESS);
    EXPECT_NE(M().Bus().PhysicalDeviceObject(), first_pdo);
    EXPECT_NE(&Nic().Block(), &first);
    EXPECT_NE(Nic().Block().FunctionalDevice(), nullptr);
    EXPECT_TRUE(Nic().Running());
    ExpectFramesMove(3);
}

}  // namespace
