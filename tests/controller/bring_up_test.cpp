// The controller's bring-up and start as the device and NDIS see them: the operations in the
// controller's control-request log with their virtual times, the registers and PHYs they leave,
// the attributes NDIS was given, and whether frames then cross the port.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "driver/adapter.h"
#include "driver/handlers.h"
#include "emulator/device/controller.h"
#include "emulator/device/topology.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/ndis.h"
#include "tests/support/device_ops.h"
#include "tests/support/running_adapter_fixture.h"

namespace qvtest {
namespace {

using emu::device::Topology;
using Texts = std::vector<std::string>;

// One control transfer on the default pipe, as the bus times it.
constexpr uint64_t kControlUs = 1000;
constexpr uint8_t kPhyIsolate = 0x04;  // high byte of PHY register 0

class BringUp : public RunningAdapterFixture {
protected:
    // Starts the adapter with `prepare` run on the controller inside NDIS's call of
    // MiniportInitialize, before the driver touches it (PHY 1 taken off the bus, the EEPROM's
    // done bit held...).
    void StartPrepared(AdapterOptions options,
                       std::function<void(emu::device::Controller&)> prepare) {
        M().Ndis().OverrideInitialize([this, prepare](NDIS_STATUS* open_error, UINT* selected,
                                                      NDIS_MEDIUM* media, UINT count,
                                                      NDIS_HANDLE handle, NDIS_HANDLE context) {
            prepare(Nic().Device());
            return MiniportInitialize(open_error, selected, media, count, handle, context);
        });
        Start(std::move(options));
    }

    std::vector<DeviceOp> Ops() { return DecodeDeviceOps(Nic().Device().ControlLog()); }

    // The texts with every run of one repeated operation shown once, marked "*".
    Texts Collapsed() {
        Texts texts;
        for (const DeviceOp& op : Ops()) {
            if (!texts.empty() && (texts.back() == op.text || texts.back() == op.text + "*")) {
                if (texts.back() == op.text) texts.back() += "*";
                continue;
            }
            texts.push_back(op.text);
        }
        return texts;
    }

    // The collapsed texts after the first `from` and before the first `to` that follows it.
    Texts Between(const std::string& from, const std::string& to) {
        const Texts all = Collapsed();
        auto begin = std::find(all.begin(), all.end(), from);
        if (begin == all.end()) return {"(no " + from + ")"};
        auto end = std::find(begin + 1, all.end(), to);
        return Texts(begin + 1, end);
    }

    size_t Count(const std::string& text) {
        const auto ops = Ops();
        return std::count_if(ops.begin(), ops.end(),
                             [&](const DeviceOp& op) { return op.text == text; });
    }

    // One frame to the far end; whether it reached the wire.
    bool FrameCrossesThePort() {
        const size_t before = Nic().OnWire().size();
        Nic().Send(FrameOut(200, 7));
        Nic().Run(20'000);
        return Nic().OnWire().size() == before + 1;
    }
};

// ---- The default bring-up ------------------------------------------------------------------

// What the controller received, in order, with the least time since the operation before it
// (a control transfer takes kControlUs; the waits the bring-up makes come on top of it).
struct Step {
    const char* text;
    uint64_t least_gap_us;
};

TEST_F(BringUp, TheDefaultBringUpAsTheDeviceAndNdisSawIt) {
    AdapterOptions options;
    options.hang_check = false;  // the log below is the bring-up's alone
    Start(options);

    const std::vector<Step> expected = {
        // The USB device's configuration, remote wake-up cleared, its status read.
        {"Std 80 06 v0100 i0000", 0},
        {"Std 80 06 v0200 i0000", kControlUs},
        {"Std 00 09 v0001 i0000", kControlUs},
        {"Std 00 01 v0001 i0000", kControlUs},
        {"Std 80 00 v0000 i0000", kControlUs},
        // The station address registers read once; Reg80; four EEPROM words, each polled
        // 500 us after its command and read after the done bit.
        {"R10/6", kControlUs},
        {"W80=11 00", kControlUs},
        {"W20=00 00 00 02", kControlUs},
        {"R23/2", kControlUs + 500},
        {"R21/3", kControlUs},
        {"W20=01 00 00 02", kControlUs},
        {"R23/2", kControlUs + 500},
        {"R21/3", kControlUs},
        {"W20=02 00 00 02", kControlUs},
        {"R23/2", kControlUs + 500},
        {"R21/3", kControlUs},
        {"W20=03 00 00 02", kControlUs},
        {"R23/2", kControlUs + 500},
        {"R21/3", kControlUs},
        // The address, every group accepted, the PHY side reset for 60 ms.
        {"W10=02 51 56 00 00 01", kControlUs},
        {"W08=FF FF FF FF FF FF FF FF", kControlUs},
        {"W7E=24 00", kControlUs},
        {"W7E=26 00", kControlUs + 60'000},
        // PHY detection: only PHY 1 (the default topology) answers with the 802.3 selector.
        {"W1.4=01E1", kControlUs + 1000},
        {"R1.4", 2 * kControlUs + 100 + 1000},
        {"R2.4", 2 * kControlUs + 100},
        {"Sel=26/11", 2 * kControlUs + 100},
        // PHY 1's status read unwaited, its data 2 ms later; MacControl0; Reg7A.
        {"M1.R1", kControlUs},
        {"R26/3", kControlUs + 2000},
        {"W00=19 00", kControlUs},
        {"R7A/2", kControlUs + 1000},
        // Start: the MAC, PHY 2 to 100 Mb/s, PHY 1 negotiating all four abilities.
        {"W01=08 00", kControlUs + 1000},
        {"MW2.0=2000", kControlUs + 1000},
        {"W1.4=01E1", kControlUs},
        {"W1.0=1200", 2 * kControlUs + 100},
        {"R1.1*", 2 * kControlUs + 100 + 10'000},
        {"R1.5", 2 * kControlUs + 100},
        // The MAC at the resolved 100 Mb/s full duplex, PHY 2 isolated, the link read.
        {"W01=30 00", 2 * kControlUs + 100},
        {"MW2.0=0400", kControlUs},
        {"R1.1", kControlUs},
        {"W78=C4 00", 2 * kControlUs + 100},
        {"W1A=00 00", kControlUs},
        {"W00=F9 30", kControlUs},
        // Remote wake-up armed.
        {"Std 00 03 v0001 i0000", kControlUs + 1000},
    };

    // Side by side, with the times the runs of one operation collapse to their first.
    std::vector<DeviceOp> seen;
    for (const DeviceOp& op : Ops()) {
        if (!seen.empty() && (seen.back().text == op.text || seen.back().text == op.text + "*")) {
            if (seen.back().text == op.text) seen.back().text += "*";
            continue;
        }
        seen.push_back(op);
    }
    Texts expectedTexts;
    for (const Step& step : expected) expectedTexts.push_back(step.text);
    ASSERT_EQ(Collapsed(), expectedTexts);
    for (size_t i = 1; i < seen.size(); ++i) {
        EXPECT_GE(seen[i].time_us - seen[i - 1].time_us, expected[i].least_gap_us)
            << "before " << expected[i].text << " (step " << i << ")";
    }
    // The negotiation restarted at start is polled until it completes, 1 ms apart.
    const size_t polls = Count("R1.1") - 1;
    EXPECT_GE(polls, 2u);
    EXPECT_LE(polls, 251u);

    // NDIS's view: the attributes, the medium, the shutdown handler, no status indicated.
    emu::ndis::Miniport& block = Nic().Block();
    EXPECT_EQ(block.AttributeFlags(), 0x33u);
    EXPECT_EQ(block.InterfaceType(), NdisInterfaceInternal);
    EXPECT_EQ(block.HangCheckSeconds(), 0u);
    EXPECT_EQ(block.Context(), static_cast<NDIS_HANDLE>(&Record()));
    EXPECT_EQ(block.SelectedMediumIndex(), 1u);  // the default array: 802.5, 802.3, WAN
    EXPECT_TRUE(block.ShutdownHandlerRegistered());
    EXPECT_TRUE(Nic().Edge().Statuses().empty());

    // The device: running with the EEPROM's address, receiving through one bulk-in transfer.
    emu::device::Controller& device = Nic().Device();
    EXPECT_TRUE(device.RemoteWakeup());
    EXPECT_EQ(device.Register(0x00), 0xF9);
    EXPECT_EQ(device.Register(0x01), 0x30);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(device.Register(0x10 + i), Record().PermanentAddress[i]);
    EXPECT_EQ(Nic().Bulk().Outstanding(RunningAdapter::kBulkIn), 1u);
    EXPECT_EQ(Nic().Bulk().SubmittedLengths(RunningAdapter::kBulkOut).size(), 0u);

    // What nothing outside shows.
    EXPECT_TRUE(Record().Initialized);
    EXPECT_EQ(Record().DeviceState, DeviceRunning);
    EXPECT_EQ(Record().MediaState, MediaConnected);
    EXPECT_EQ(Record().TxFreeCount, 20);
    EXPECT_EQ(Record().RxFreeList.Count, 19u);  // one is on the bus

    // And frames go both ways.
    EXPECT_TRUE(FrameCrossesThePort());
    Nic().Inject(FrameIn(300, 3));
    Nic().Run(20'000);
    EXPECT_EQ(Nic().Received().size(), 1u);
}

// ---- Keyword variants ------------------------------------------------------------------------

// A table's name, for the test's name.
template <class Case>
std::string NameOf(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// The operations whose text starts with `prefix`.
Texts Starting(const Texts& ops, const std::string& prefix) {
    Texts found;
    for (const std::string& op : ops)
        if (op.rfind(prefix, 0) == 0) found.push_back(op);
    return found;
}

struct DescriptorCase {
    const char* name;
    std::optional<ULONG> tx, rx;
    ULONG tx_count, rx_count;
};

class DescriptorCounts : public BringUp, public testing::WithParamInterface<DescriptorCase> {};

// Fewer transmit descriptors than a send needs, or receive descriptors than the receive path
// needs, are raised to the least that works; other counts stand. Frames still go both ways.
TEST_P(DescriptorCounts, AreTakenFromTheConfigurationAboveTheirMinimums) {
    const DescriptorCase& c = GetParam();
    AdapterOptions options;
    options.tx_descriptors = c.tx;
    options.rx_descriptors = c.rx;
    options.hang_check = false;
    Start(options);
    EXPECT_EQ(Record().TxFreeCount, static_cast<LONG>(c.tx_count));
    EXPECT_EQ(Record().TxFreeList.Count, c.tx_count);
    EXPECT_EQ(Record().RxFreeList.Count + 1, c.rx_count);  // one is on the bus
    EXPECT_EQ(Nic().Bulk().Outstanding(RunningAdapter::kBulkIn), 1u);
    EXPECT_TRUE(FrameCrossesThePort());
    Nic().Inject(FrameIn(300, 3));
    Nic().Run(20'000);
    EXPECT_EQ(Nic().Received().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Keywords, DescriptorCounts,
    testing::Values(DescriptorCase{"Defaults", std::nullopt, std::nullopt, 20, 20},
                    DescriptorCase{"Zero", 0, 0, 2, 3}, DescriptorCase{"One", 1, 1, 2, 3},
                    DescriptorCase{"Two", 2, 2, 2, 3}, DescriptorCase{"Three", 3, 3, 3, 3},
                    DescriptorCase{"SevenAndForty", 7, 40, 7, 40}),
    NameOf<DescriptorCase>);

struct FlowCase {
    const char* name;
    ULONG flow, tx, rx;
    Texts written;     // at 0x1A
    const char* mac0;  // the last MacControl0 write
};

class FlowControl : public BringUp, public testing::WithParamInterface<FlowCase> {};

TEST_P(FlowControl, IsProgrammedOnlyWhenTheConfigurationLeavesItOn) {
    const FlowCase& c = GetParam();
    AdapterOptions options;
    options.hang_check = false;
    options.keywords = {{"FlowControl", c.flow}, {"FlowControl_Tx", c.tx},
                        {"FlowControl_Rx", c.rx}};
    Start(options);
    const Texts ops = DeviceOpTexts(Nic().Device().ControlLog());
    EXPECT_EQ(Starting(ops, "W1A"), c.written);
    EXPECT_EQ(Starting(ops, "W00").back(), c.mac0);
    EXPECT_EQ(Record().MacControl0, Nic().Device().Register(0x00));
}

INSTANTIATE_TEST_SUITE_P(
    Keywords, FlowControl,
    testing::Values(FlowCase{"OnWithNothing", 0, 0, 0, {"W1A=00 00"}, "W00=F9 30"},
                    FlowCase{"OnTx3", 0, 3, 0, {"W1A=09 00"}, "W00=F9 30"},
                    FlowCase{"OnTx8Rx33", 0, 8, 33, {"W1A=01 03"}, "W00=F9 30"},
                    FlowCase{"OnTx33Rx3", 0, 33, 3, {"W1A=03 09"}, "W00=F9 30"},
                    FlowCase{"OnTx7Rx31", 0, 7, 31, {"W1A=81 01"}, "W00=F9 30"},
                    FlowCase{"Off", 1, 3, 3, {}, "W00=D9 30"},
                    FlowCase{"OffByAnyNonzero", 0x80000000u, 0, 0, {}, "W00=D9 30"}),
    NameOf<FlowCase>);

struct WakeCase {
    const char* name;
    ULONG magic, link;
    const char* written;
};

class WakeControl : public BringUp, public testing::WithParamInterface<WakeCase> {};

TEST_P(WakeControl, ArmsMagicPacketAndLinkChangeUnlessConfiguredOff) {
    const WakeCase& c = GetParam();
    AdapterOptions options;
    options.hang_check = false;
    options.keywords = {{"MagicPkt", c.magic}, {"LinkWakeup", c.link}};
    Start(options);
    EXPECT_EQ(Starting(DeviceOpTexts(Nic().Device().ControlLog()), "W78"), Texts{c.written});
}

INSTANTIATE_TEST_SUITE_P(Keywords, WakeControl,
                         testing::Values(WakeCase{"Both", 0, 0, "W78=C4 00"},
                                         WakeCase{"MagicPacketOnly", 0, 1, "W78=84 00"},
                                         WakeCase{"LinkChangeOnly", 1, 0, "W78=44 00"},
                                         WakeCase{"Neither", 1, 1, "W78=04 00"},
                                         WakeCase{"NeitherByAnyNonzero", 5, 0x80000000u,
                                                  "W78=04 00"}),
                         NameOf<WakeCase>);

struct AddressCase {
    const char* name;
    std::vector<uint8_t> configured;
    const char* written;
};

class NetworkAddress : public BringUp, public testing::WithParamInterface<AddressCase> {};

// A configured address of six bytes is what the controller answers to; the EEPROM's stays the
// permanent one. Any other length is ignored.
TEST_P(NetworkAddress, OfSixBytesIsProgrammedAndOtherLengthsAreIgnored) {
    const AddressCase& c = GetParam();
    AdapterOptions options;
    options.hang_check = false;
    options.network_address = c.configured;
    Start(options);
    EXPECT_EQ(Starting(DeviceOpTexts(Nic().Device().ControlLog()), "W10"), Texts{c.written});
    EXPECT_TRUE(std::equal(options.station_address.begin(), options.station_address.end(),
                           Record().PermanentAddress));

    // A frame to the configured address is taken; once another is configured, one to the
    // EEPROM's address no longer is.
    Nic().Inject(MakeFrame(Nic().StationAddress(), kPeerAddress, 100, 1));
    Nic().Inject(MakeFrame(options.station_address, kPeerAddress, 100, 2));
    Nic().Run(20'000);
    EXPECT_EQ(Nic().Received().size(), c.configured.size() == 6 ? 1u : 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Keywords, NetworkAddress,
    testing::Values(
        AddressCase{"SixBytes", {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE}, "W10=02 AA BB CC DD EE"},
        AddressCase{"FiveBytes", {0x02, 0xAA, 0xBB, 0xCC, 0xDD}, "W10=02 51 56 00 00 01"},
        AddressCase{"SevenBytes",
                    {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF},
                    "W10=02 51 56 00 00 01"}),
    NameOf<AddressCase>);

// ---- PHY choice and media -------------------------------------------------------------------

struct MediaSelCase {
    const char* name;
    ULONG media_sel;
    const char* select;
    UCHAR active;
};

class ConfiguredMediaSel : public BringUp, public testing::WithParamInterface<MediaSelCase> {};

// No detection and no wait: PhySelect is written right after the PHY side's reset. Only PHY 1
// is ever negotiated, and only when it carries the traffic; the other PHY is isolated.
TEST_P(ConfiguredMediaSel, ChoosesThePhyWithoutDetection) {
    const MediaSelCase& c = GetParam();
    AdapterOptions options;
    options.hang_check = false;
    options.identity.topology.phy2_id2 = 0x6B93;
    options.identity.topology.partner2 = 0x0021;
    options.keywords = {{"MediaSel", c.media_sel}};
    Start(options);
    const Texts ops = DeviceOpTexts(Nic().Device().ControlLog());
    EXPECT_EQ(Between("W7E=26 00", "M1.R1"), Texts{c.select});
    EXPECT_EQ(Record().ActivePhy, c.active);
    EXPECT_EQ(Record().MediaState, MediaConnected);
    EXPECT_EQ(std::count(ops.begin(), ops.end(), "W1.0=1200"), c.active == 1 ? 1 : 0);
    EXPECT_EQ((Nic().Device().PhyOne()->Control() >> 8 & kPhyIsolate) != 0, c.active == 2);
    EXPECT_EQ((Nic().Device().PhyTwo()->Control() >> 8 & kPhyIsolate) != 0, c.active == 1);
    EXPECT_EQ(Nic().Device().Register(0x01), c.active == 1 ? 0x30 : 0x00);
}

INSTANTIATE_TEST_SUITE_P(Keywords, ConfiguredMediaSel,
                         testing::Values(MediaSelCase{"PhyOne", 1, "Sel=26/11", 1},
                                         MediaSelCase{"PhyTwo", 2, "Sel=34/11", 2},
                                         MediaSelCase{"OtherAsPhyOne", 7, "Sel=26/11", 1}),
                         NameOf<MediaSelCase>);

struct MediaTypeCase {
    const char* name;
    ULONG media_type;
    Texts set_media;  // what start sends PHY 1 and the MAC, polls collapsed
};

class MediaType : public BringUp, public testing::WithParamInterface<MediaTypeCase> {};

// A forced medium advertises its one ability over what the register holds and restarts the
// negotiation; automatic mode, also for a value naming no medium, advertises all four. The MAC
// follows, and frames cross the port at the speed negotiated with a 10/100 partner.
TEST_P(MediaType, SetsWhatPhyOneAdvertisesAndTheMacFollows) {
    const MediaTypeCase& c = GetParam();
    AdapterOptions options;
    options.hang_check = false;
    options.keywords = {{"MediaType", c.media_type}};
    Start(options);
    EXPECT_EQ(Between("MW2.0=2000", "MW2.0=0400"), c.set_media);
    EXPECT_EQ(Record().MediaState, MediaConnected);
    EXPECT_TRUE(FrameCrossesThePort());
    EXPECT_EQ(Nic().Device().Port().speed_mismatch, 0u);
    EXPECT_EQ(Nic().Device().Port().duplex_mismatch, 0u);
}

const Texts kAutomatic = {"W1.4=01E1", "W1.0=1200", "R1.1*", "R1.5", "W01=30 00"};

INSTANTIATE_TEST_SUITE_P(
    Keywords, MediaType,
    testing::Values(
        MediaTypeCase{"Automatic", 0, kAutomatic},
        MediaTypeCase{"TenHalf", 1, {"R1.4", "W1.4=0021", "W1.0=1200", "R1.1*", "W01=00 00"}},
        MediaTypeCase{"TenFull", 2, {"R1.4", "W1.4=0041", "W1.0=1200", "R1.1*", "W01=20 00"}},
        MediaTypeCase{"HundredHalf", 3,
                      {"R1.4", "W1.4=0081", "W1.0=1200", "R1.1*", "W01=10 00"}},
        MediaTypeCase{"HundredFull", 4,
                      {"R1.4", "W1.4=0101", "W1.0=1200", "R1.1*", "W01=30 00"}},
        MediaTypeCase{"FiveAsAutomatic", 5, kAutomatic},
        MediaTypeCase{"LargestAsAutomatic", 0xFFFFFFFFu, kAutomatic}),
    NameOf<MediaTypeCase>);

}  // namespace
}  // namespace qvtest
