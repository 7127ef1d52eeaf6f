// The controller's bring-up and start as the device and NDIS see them: the operations in the
// controller's control-request log with their virtual times, the registers and PHYs they leave,
// the attributes NDIS was given, and whether frames then cross the port.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "controller/phy.h"
#include "core/adapter.h"
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

    // The operations with every run of one repeated operation shown once, marked "*", at the
    // time of its first.
    std::vector<DeviceOp> CollapsedOps() {
        std::vector<DeviceOp> ops;
        for (const DeviceOp& op : Ops()) {
            if (!ops.empty() && (ops.back().text == op.text || ops.back().text == op.text + "*")) {
                if (ops.back().text == op.text) ops.back().text += "*";
                continue;
            }
            ops.push_back(op);
        }
        return ops;
    }
    Texts Collapsed() {
        Texts texts;
        for (const DeviceOp& op : CollapsedOps()) texts.push_back(op.text);
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
        {"M2.W0=2000", kControlUs + 1000},
        {"W1.4=01E1", kControlUs},
        {"W1.0=1200", 2 * kControlUs + 100},
        {"R1.1*", 2 * kControlUs + 100 + 10'000},
        {"R1.5", 2 * kControlUs + 100},
        // The MAC at the resolved 100 Mb/s full duplex, PHY 2 isolated, the link read.
        {"W01=30 00", 2 * kControlUs + 100},
        {"M2.W0=0400", kControlUs},
        {"R1.1", kControlUs},
        {"W78=C4 00", 2 * kControlUs + 100},
        {"W1A=00 00", kControlUs},
        {"W00=F9 30", kControlUs},
        // Remote wake-up armed.
        {"Std 00 03 v0001 i0000", kControlUs + 1000},
        // The protocol binds: its directed | multicast | broadcast filter clears both filter
        // bits.
        {"W00=F9 30 00", kControlUs},
    };

    const std::vector<DeviceOp> seen = CollapsedOps();
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
    EXPECT_EQ(block.AttributeFlags(), static_cast<ULONG>(NDIS_ATTRIBUTE_DESERIALIZE));
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

void PrintTo(const DescriptorCase& c, std::ostream* out) { *out << c.name; }

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

void PrintTo(const FlowCase& c, std::ostream* out) { *out << c.name; }

class FlowControl : public BringUp, public testing::WithParamInterface<FlowCase> {};

TEST_P(FlowControl, IsProgrammedOnlyWhenTheConfigurationLeavesItOn) {
    const FlowCase& c = GetParam();
    AdapterOptions options;
    options.hang_check = false;
    options.keywords = {{"FlowControl", c.flow}, {"FlowControl_Tx", c.tx},
                        {"FlowControl_Rx", c.rx}};
    options.bind_as_tcpip = false;  // the last MacControl0 write is the bring-up's
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

void PrintTo(const WakeCase& c, std::ostream* out) { *out << c.name; }

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

void PrintTo(const AddressCase& c, std::ostream* out) { *out << c.name; }

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

void PrintTo(const MediaSelCase& c, std::ostream* out) { *out << c.name; }

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

void PrintTo(const MediaTypeCase& c, std::ostream* out) { *out << c.name; }

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
    EXPECT_EQ(Between("M2.W0=2000", "M2.W0=0400"), c.set_media);
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


struct TopologyCase {
    const char* name;
    bool phy1;  // PHY 1 on the MII bus
    std::optional<uint16_t> partner1, phy2_id2, partner2;
    Texts choice;  // from the PHY side's reset to PHY 1's unwaited status read
    ULONG media_sel;
    UCHAR active, model;
    const char* mac1;
    ULONG media_state;
    bool frames;
};

void PrintTo(const TopologyCase& c, std::ostream* out) { *out << c.name; }

class PhyTopology : public BringUp, public testing::WithParamInterface<TopologyCase> {};

// MediaSel 0: the PHY whose advertisement alone carries the 802.3 selector is taken; with both
// (or neither) the search by link decides after its two-second wait, PHY 1 first. The chosen
// PHY carries the frames, the other is isolated, and the MAC runs at what PHY 1 resolved.
TEST_P(PhyTopology, DecidesWhichPhyCarriesTheFrames) {
    const TopologyCase& c = GetParam();
    AdapterOptions options;
    options.hang_check = false;
    options.identity.topology.partner1 = c.partner1;
    options.identity.topology.phy2_id2 = c.phy2_id2;
    options.identity.topology.partner2 = c.partner2;
    StartPrepared(options, [&](emu::device::Controller& device) {
        if (!c.phy1) device.Mii().Detach(emu::device::kPhyOneAddress);
    });

    EXPECT_EQ(Between("W7E=26 00", "M1.R1"), c.choice);
    EXPECT_EQ(Record().MediaSel, c.media_sel);
    EXPECT_EQ(Record().ActivePhy, c.active);
    EXPECT_EQ(Record().PhyAddress, c.active);
    EXPECT_EQ(Record().PhyModel, c.model);
    EXPECT_EQ(Starting(DeviceOpTexts(Nic().Device().ControlLog()), "W01").back(), c.mac1);
    if (c.active == 2) {
        // PHY 1 is not negotiated, and the MAC keeps the start's first value.
        EXPECT_EQ(Between("M2.W0=2000", "M1.W0=0400"), Texts{});
    }
    // The MII control writes sent alone after PHY 2's first one: the isolation of one PHY.
    const Texts between = Between("M2.W0=2000", "W78=C4 00");
    Texts isolate = Starting(between, "M1.W");
    for (const std::string& op : Starting(between, "M2.W")) isolate.push_back(op);
    EXPECT_EQ(isolate, Texts{c.active == 1 ? "M2.W0=0400" : "M1.W0=0400"});
    if (c.phy1) {
        EXPECT_EQ((Nic().Device().PhyOne()->Control() >> 8 & kPhyIsolate) != 0, c.active == 2);
    }
    EXPECT_EQ(Record().MediaState, c.media_state);
    EXPECT_EQ(FrameCrossesThePort(), c.frames);

    // The search by link waits two seconds before it reads PHY 2's identifier.
    const auto ops = Ops();
    for (size_t i = 1; i < ops.size(); ++i) {
        if (ops[i].text == "R2.3" && ops[i - 1].text == "R2.4") {
            EXPECT_GE(ops[i].time_us - ops[i - 1].time_us, 2'000'000u);
        }
    }
}

// A PHY whose MII commands never report done is no answer, whatever the data register still
// holds from the other PHY: the one that answers is taken. Of the two status reads only the
// second counts (the first clears a latched link loss): when it alone is lost, the link the
// first one showed is not taken for an answer.
struct SilentPhy {
    const char* name;
    uint8_t silent;
    int status_read;  // which of the PHY's status reads is lost; -1: every command
    ULONG media_sel;
    UCHAR active;
};
void PrintTo(const SilentPhy& c, std::ostream* out) { *out << c.name; }

class SilentPhyDetection : public BringUp, public testing::WithParamInterface<SilentPhy> {};

TEST_P(SilentPhyDetection, TakesThePhyThatAnswers) {
    const SilentPhy& c = GetParam();
    AdapterOptions options;
    options.hang_check = false;
    options.identity.topology.partner1 = 0x01E1;
    options.identity.topology.phy2_id2 = 0x6B93;
    options.identity.topology.partner2 = 0x0021;
    StartPrepared(options, [&](emu::device::Controller& device) {
        if (c.status_read < 0) {
            device.HoldMiiDoneFor(c.silent, true);
        } else {
            device.HoldMiiDoneOnce(c.silent, PhyStatus, c.status_read);
        }
    });
    EXPECT_EQ(Record().MediaSel, c.media_sel);
    EXPECT_EQ(Record().ActivePhy, c.active);
}

INSTANTIATE_TEST_SUITE_P(
    Phys, SilentPhyDetection,
    testing::Values(SilentPhy{"PhyTwoSilent", emu::device::kPhyTwoAddress, -1, 1, 1},
                    SilentPhy{"PhyOneSilent", emu::device::kPhyOneAddress, -1, 2, 2},
                    SilentPhy{"PhyOnesSecondStatusReadLost", emu::device::kPhyOneAddress, 1, 0,
                              2}),
    NameOf<SilentPhy>);

const Texts kDetect = {"W1.4=01E1", "R1.4", "R2.4"};
Texts Detected(Texts more) {
    Texts texts = kDetect;
    texts.insert(texts.end(), more.begin(), more.end());
    return texts;
}
constexpr uint16_t kTen = 0x0021;  // a partner able only to 10 Mb/s half duplex

INSTANTIATE_TEST_SUITE_P(
    Topologies, PhyTopology,
    testing::Values(
        TopologyCase{"PhyOneOnly", true, 0x01E1, std::nullopt, std::nullopt,
                     Detected({"Sel=26/11"}), 1, 1, 0, "W01=30 00", MediaConnected, true},
        TopologyCase{"PhyTwoOnly", false, std::nullopt, 0x6B93, kTen, Detected({"Sel=34/11"}),
                     2, 2, 0, "W01=08 00", MediaConnected, true},
        TopologyCase{"PhyTwoOnlyOfAnotherModel", false, std::nullopt, 0x5C21, kTen,
                     Detected({"Sel=34/11"}), 2, 2, 0, "W01=08 00", MediaConnected, true},
        // Both answer: the search by link, which reads PHY 2's model first.
        TopologyCase{"BothPhyTwoLinkedModel0", true, std::nullopt, 0x6B93, kTen,
                     Detected({"R2.3", "R1.2", "R1.1*", "R2.3", "R2.1*", "Sel=34/11"}), 0, 2,
                     0, "W01=08 00", MediaConnected, true},
        TopologyCase{"BothPhyTwoLinkedModel1", true, std::nullopt, 0x5C20, kTen,
                     Detected({"R2.3", "R1.2", "R1.1*", "R2.3", "W2.0=2000", "W2.25=7F07",
                               "R2.1*", "Sel=34/11"}),
                     0, 2, 1, "W01=08 00", MediaConnected, true},
        TopologyCase{"BothPhyTwoLinkedModel2", true, std::nullopt, 0x5C21, kTen,
                     Detected({"R2.3", "R1.2", "R1.1*", "R2.3", "W2.0=2000", "W2.25=7F05",
                               "R2.1*", "Sel=34/11"}),
                     0, 2, 2, "W01=08 00", MediaConnected, true},
        TopologyCase{"BothPhyTwoLinkedUnknownModel", true, std::nullopt, 0x1234, kTen,
                     Detected({"R2.3", "R1.2", "R1.1*", "R2.3", "R2.1*", "Sel=34/11"}), 0, 2,
                     0xFF, "W01=08 00", MediaConnected, true},
        TopologyCase{"BothLinked", true, 0x01E1, 0x5C21, kTen,
                     Detected({"R2.3", "R1.2", "R1.1*", "Sel=26/11"}), 0, 1, 2, "W01=30 00",
                     MediaConnected, true},
        // Neither linked: PHY 1 without PhySelect written, at 10 Mb/s half duplex.
        TopologyCase{"NeitherLinked", true, std::nullopt, 0x6B93, std::nullopt,
                     Detected({"R2.3", "R1.2", "R1.1*", "R2.3", "R2.1*"}), 0, 1, 0,
                     "W01=00 00", MediaDisconnected, false}),
    [](const testing::TestParamInfo<TopologyCase>& info) { return std::string(info.param.name); });

struct PartnerCase {
    const char* name;
    std::optional<uint16_t> partner;
    uint64_t negotiation_us;
    const char* mac1;
    ULONG media_state;
    bool frames;
};

void PrintTo(const PartnerCase& c, std::ostream* out) { *out << c.name; }

class LinkPartner : public BringUp, public testing::WithParamInterface<PartnerCase> {};

// Start negotiates PHY 1 against the partner and sets the MAC to what it resolved from the
// partner's word; frames then cross the port only where the PHY has link at that speed. A
// negotiation that never completes costs 251 polls 1 ms apart and leaves 10 Mb/s half duplex.
TEST_P(LinkPartner, DecidesTheMacSpeedAndWhetherFramesFlow) {
    const PartnerCase& c = GetParam();
    AdapterOptions options;
    options.hang_check = false;
    options.identity.topology.partner1 = c.partner;
    options.identity.topology.negotiation_time_us = c.negotiation_us;
    options.keywords = {{"MediaSel", 1}};
    Start(options);
    EXPECT_EQ(Between("R1.1*", "M2.W0=0400"), (Texts{"R1.5", c.mac1}));
    EXPECT_EQ(Record().MediaState, c.media_state);
    EXPECT_EQ(FrameCrossesThePort(), c.frames);
    EXPECT_EQ(Nic().Device().Port().speed_mismatch, 0u);
    if (c.negotiation_us == Topology::kNeverNegotiates) {
        const auto ops = Ops();
        auto restart = std::find_if(ops.begin(), ops.end(),
                                    [](const DeviceOp& op) { return op.text == "W1.0=1200"; });
        auto partnerRead = std::find_if(restart, ops.end(),
                                        [](const DeviceOp& op) { return op.text == "R1.5"; });
        ASSERT_NE(partnerRead, ops.end());
        EXPECT_EQ(partnerRead - restart - 1, 251);
        EXPECT_GE(partnerRead->time_us - restart->time_us, 10'000u + 251 * 1000u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Partners, LinkPartner,
    testing::Values(
        PartnerCase{"Full100", 0x01E1, 400'000, "W01=30 00", MediaConnected, true},
        PartnerCase{"Half100", 0x00A1, 400'000, "W01=10 00", MediaConnected, true},
        PartnerCase{"Full10", 0x0061, 400'000, "W01=20 00", MediaConnected, true},
        PartnerCase{"NoAbility", 0x0000, 400'000, "W01=00 00", MediaDisconnected, false},
        PartnerCase{"NeverNegotiates", 0x01E1, Topology::kNeverNegotiates, "W01=00 00",
                    MediaDisconnected, false}),
    [](const testing::TestParamInfo<PartnerCase>& info) { return std::string(info.param.name); });

// ---- The EEPROM ---------------------------------------------------------------------------------

// An EEPROM that never reports done is polled 100 times per word, 500 us apart, and its data
// registers are read all the same: the bring-up goes on, with what they hold.
TEST_F(BringUp, AnEepromThatNeverReportsDoneCostsAHundredPollsPerWord) {
    AdapterOptions options;
    options.hang_check = false;
    StartPrepared(options, [](emu::device::Controller& device) { device.HoldEepromDone(true); });

    const auto ops = Ops();
    for (int word = 0; word < 4; ++word) {
        char command[24];
        std::snprintf(command, sizeof command, "W20=%02X 00 00 02", word);
        SCOPED_TRACE(command);
        auto it = std::find_if(ops.begin(), ops.end(),
                               [&](const DeviceOp& op) { return op.text == command; });
        ASSERT_NE(it, ops.end());
        auto poll = it + 1;
        for (; poll != ops.end() && poll->text == "R23/2"; ++poll) {
            EXPECT_GE(poll->time_us - (poll - 1)->time_us, kControlUs + 500);
        }
        EXPECT_EQ(poll - it - 1, 100);
        ASSERT_NE(poll, ops.end());
        EXPECT_EQ(poll->text, "R21/3");
    }
    EXPECT_TRUE(std::equal(options.station_address.begin(), options.station_address.end(),
                           Record().PermanentAddress));
    EXPECT_EQ(Record().DeviceState, DeviceRunning);
    EXPECT_TRUE(FrameCrossesThePort());
}
}  // namespace
}  // namespace qvtest
