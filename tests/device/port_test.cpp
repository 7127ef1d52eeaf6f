// The Ethernet port between MAC and wire: frames pass only through the PHY that PhySelect
// connects, while it has link and is not isolated, and only with the MAC at PHY 1's speed.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "emulator/device/topology.h"
#include "tests/device/mii_client.h"

namespace qvtest {
namespace {

namespace reg = emu::device::reg;
using Bytes = std::vector<UCHAR>;

const Bytes kOwn = {0x02, 0x51, 0x56, 0x00, 0x00, 0x01};

class Port : public RegisterClient {
protected:
    void PlugWith(emu::device::Topology topology) {
        emu::device::Identity identity = emu::device::Identity::Standard();
        identity.topology = topology;
        Plug(std::move(identity));
        Configure();
        Write(reg::StationAddress, kOwn);
        Write(reg::MacControl0, {reg::kReceiveEnable | reg::kTransmitEnable});
        Write(reg::MacControl1, {reg::kMac100 | reg::kMacFullDuplex, 0x00});  // PHY 1's line
    }
    // A frame through the bulk OUT endpoint; whether it reached the wire.
    bool FrameGoesOut() {
        Bytes transfer(60, 0x5A);
        transfer[0] = 42;
        transfer[1] = 0;
        const size_t before = Device().Wire().Sent().size();
        URB urb = BulkUrb(BulkOut(), 0, transfer.data(), static_cast<ULONG>(transfer.size()));
        EXPECT_EQ(SubmitSync(&urb), STATUS_SUCCESS);
        return Device().Wire().Sent().size() > before;
    }
    // A frame for this station from the wire; whether the MAC took it in.
    bool FrameComesIn() {
        Bytes frame(60, 0xA5);
        std::copy(kOwn.begin(), kOwn.end(), frame.begin());
        const uint64_t before = Device().Received().queued;
        Device().Wire().Inject(frame);
        return Device().Received().queued > before;
    }
};

TEST_F(Port, FramesPassOnlyThroughTheSelectedPhyWhileItHasLinkAndIsNotIsolated) {
    emu::device::Topology topology;
    topology.phy2_id2 = 0x6B93;
    topology.partner2 = 0x0001;
    PlugWith(topology);
    struct Step {
        const char* name;
        std::function<void()> act;
        bool passes;
    } steps[] = {
        {"PHY 1 connected, linked", [] {}, true},
        {"PHY 1 isolated", [&] { MiiWrite(1, 0, 0x3500); }, false},
        {"PHY 2 connected", [&] { Write(reg::PhySelect, {0x34, 0x11}); }, true},
        {"PHY 2 without its partner", [&] { Device().Partner(2).Detach(); }, false},
        {"PHY 2 partner back", [&] { Device().Partner(2).Attach(0x0001); }, true},
        {"PHY 2 isolated", [&] { MiiWrite(2, 0, 0x0400); }, false},
        {"PHY 1 connected again, still isolated",
         [&] { Write(reg::PhySelect, {0x26, 0x11}); }, false},
        {"PHY 1 out of isolation", [&] { MiiWrite(1, 0, 0x3100); }, true},
        {"PHY 1 without its partner", [&] { Device().Partner(1).Detach(); }, false},
    };
    uint64_t blocked = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.act();
        EXPECT_EQ(FrameGoesOut(), step.passes);
        EXPECT_EQ(FrameComesIn(), step.passes);
        if (!step.passes) ++blocked;
    }
    EXPECT_EQ(Device().Port().no_carrier_out, blocked);
    EXPECT_EQ(Device().Port().no_carrier_in, blocked);
    EXPECT_EQ(Device().Port().speed_mismatch, 0u);  // PHY 2 asks nothing of MacControl1
}

TEST_F(Port, TheMacMustRunAtPhyOnesSpeedAndADuplexMismatchIsCounted) {
    emu::device::Topology topology;
    topology.partner1 = 0x0041;  // 10 Mb/s full duplex only
    PlugWith(topology);
    Write(reg::MacControl1, {reg::kMac100 | reg::kMacFullDuplex, 0x00});
    EXPECT_FALSE(FrameGoesOut());
    EXPECT_FALSE(FrameComesIn());
    EXPECT_EQ(Device().Port().speed_mismatch, 2u);

    Write(reg::MacControl1, {0x00, 0x00});  // 10 Mb/s, half duplex
    EXPECT_TRUE(FrameGoesOut());
    EXPECT_TRUE(FrameComesIn());
    EXPECT_EQ(Device().Port().duplex_mismatch, 2u);

    Write(reg::MacControl1, {reg::kMacFullDuplex, 0x00});
    EXPECT_TRUE(FrameGoesOut());
    EXPECT_TRUE(FrameComesIn());
    EXPECT_EQ(Device().Port().duplex_mismatch, 2u);
    EXPECT_EQ(Device().Port().speed_mismatch, 2u);
}

}  // namespace
}  // namespace qvtest
