// PHY selection and PHY 1's media, seen where the controller sees them: the MII commands and
// PhySelect writes in its control-request log, with their virtual times.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "controller/phy.h"
#include "emulator/device/topology.h"
#include "tests/usb/usb_fixture.h"
#include "usb/device_config.h"

namespace qvtest {
namespace {

using emu::device::Topology;

constexpr uint64_t kSettleUs = 2'000'000;

// One operation as the controller saw it: "R1.2" an MII read of PHY 1 register 2,
// "W2.25=7F05" an MII write, "Sel=34/11" PhySelect and the register after it. An MII command
// that is neither, or not followed at once by the read-back of its done bit, shows as "?".
struct Op {
    std::string text;
    uint64_t time_us;
};

using Texts = std::vector<std::string>;

class PhyTest : public UsbFixture {
protected:
    void StartWith(Topology topology, bool phy1 = true) {
        emu::device::Identity identity = emu::device::Identity::Standard();
        identity.topology = topology;
        Start(identity);
        ASSERT_EQ(ConfigureUsbDevice(adapter_), ResultSuccess);
        if (!phy1) controller_->Mii().Detach(emu::device::kPhyOneAddress);
        adapter_->Reg80Shadow = 0x11;
        controller_->ClearControlLog();
        start_us_ = Now();
    }

    std::vector<Op> Ops() const {
        std::vector<Op> ops;
        const auto& log = controller_->ControlLog();
        char text[32];
        for (size_t i = 0; i < log.size(); ++i) {
            const auto& r = log[i];
            if (r.request_type == 0x40 && r.index == 0x25 && r.data.size() == 4) {
                const bool write = (r.data[3] & 0xE0) == 0x20;
                const bool read = (r.data[3] & 0xE0) == 0x40;
                const unsigned reg = r.data[3] & 0x1F;
                if (write) {
                    std::snprintf(text, sizeof text, "W%u.%u=%04X", r.data[0], reg,
                                  r.data[1] | r.data[2] << 8);
                } else {
                    std::snprintf(text, sizeof text, "R%u.%u", r.data[0], reg);
                }
                // The read-back: 2 bytes at 0x28 after a write, 4 at 0x25 after a read.
                const bool read_back = i + 1 < log.size() && log[i + 1].request_type == 0xC0 &&
                                       log[i + 1].index == (write ? 0x28 : 0x25) &&
                                       log[i + 1].length == (write ? 2 : 4);
                ops.push_back({read_back && (read || write) ? text : "?", r.time_us});
                if (read_back) ++i;
            } else if (r.request_type == 0x40 && r.index == 0x7F && r.data.size() == 2) {
                std::snprintf(text, sizeof text, "Sel=%02X/%02X", r.data[0], r.data[1]);
                ops.push_back({text, r.time_us});
            } else {
                std::snprintf(text, sizeof text, "? %02X %02X", r.request_type, r.index);
                ops.push_back({text, r.time_us});
            }
        }
        return ops;
    }
    std::vector<std::string> Seen() const {
        std::vector<std::string> texts;
        for (const Op& op : Ops()) texts.push_back(op.text);
        return texts;
    }
    // PHY 1 register 4 set through the MII bus before the driver looks.
    void Advertise(uint16_t value) { controller_->Mii().Write(1, 4, value); }

    uint64_t start_us_ = 0;
};


// ---- SelectPhy ---------------------------------------------------------------------------

struct Selection {
    const char* name;
    bool phy1;
    std::optional<uint16_t> partner1, phy2_id2, partner2;
    Texts ops;
    UCHAR active, model;
    ULONG speed, duplex;  // set only when PHY 2 is chosen
};

const Texts kPhyOneLinked = {"R2.3", "R1.2", "R1.1", "R1.1", "Sel=26/11"};

class AutomaticSelection : public PhyTest, public ::testing::WithParamInterface<Selection> {};

TEST_P(AutomaticSelection, WaitsThenChoosesTheFirstPhyWithLink) {
    const Selection& c = GetParam();
    Topology topology;
    topology.partner1 = c.partner1;
    topology.phy2_id2 = c.phy2_id2;
    topology.partner2 = c.partner2;
    StartWith(topology, c.phy1);
    adapter_->MediaSel = 0;

    EXPECT_EQ(SelectPhy(adapter_), ResultSuccess);
    EXPECT_EQ(Seen(), c.ops);
    EXPECT_GE(Ops().front().time_us, start_us_ + kSettleUs);
    EXPECT_EQ(adapter_->ActivePhy, c.active);
    EXPECT_EQ(adapter_->PhyAddress, c.active);
    EXPECT_EQ(adapter_->PhyModel, c.model);
    EXPECT_EQ(adapter_->LinkSpeed, c.speed);
    EXPECT_EQ(adapter_->DuplexMode, c.duplex);
}

// PHY 2 with link, on its own: its identifier decides the writes before its link test.
Texts PhyTwoOnly(Texts model_writes) {
    Texts ops = {"R2.3", "R1.2", "R2.3"};
    ops.insert(ops.end(), model_writes.begin(), model_writes.end());
    ops.insert(ops.end(), {"R2.1", "R2.1", "Sel=34/11"});
    return ops;
}

INSTANTIATE_TEST_SUITE_P(
    Topologies, AutomaticSelection,
    ::testing::Values(
        Selection{"PhyOneOnly", true, 0x01E1, {}, {}, kPhyOneLinked, 1, 0xFF, 0, 0},
        Selection{"PhyTwoOnly6B93", false, {}, 0x6B93, 0x0001, PhyTwoOnly({}), 2, 0, 1, 1},
        Selection{"PhyTwoOnly5C20", false, {}, 0x5C20, 0x0001,
                  PhyTwoOnly({"W2.0=2000", "W2.25=7F07"}), 2, 1, 1, 1},
        Selection{"PhyTwoOnly5C21", false, {}, 0x5C21, 0x0001,
                  PhyTwoOnly({"W2.0=2000", "W2.25=7F05"}), 2, 2, 1, 1},
        Selection{"PhyTwoOnlyOther", false, {}, 0x1234, 0x0001, PhyTwoOnly({}), 2, 0xFF, 1, 1},
        Selection{"BothLinked", true, 0x01E1, 0x5C21, 0x0001, kPhyOneLinked, 1, 2, 0, 0},
        Selection{"BothOnlyPhyTwoLinked", true, {}, 0x6B93, 0x0001,
                  {"R2.3", "R1.2", "R1.1", "R1.1", "R2.3", "R2.1", "R2.1", "Sel=34/11"}, 2, 0,
                  1, 1},
        Selection{"BothWithoutLink", true, {}, 0x5C20, {},
                  {"R2.3", "R1.2", "R1.1", "R1.1", "R2.3", "W2.0=2000", "W2.25=7F07", "R2.1",
                   "R2.1"},
                  1, 1, 0, 0},
        Selection{"Neither", false, {}, {}, {}, {"R2.3", "R1.2", "R2.3"}, 1, 0xFF, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PhyTest, ANamedPhyIsSelectedAtOnceWithoutTouchingAnyPhy) {
    struct Case {
        ULONG media_sel;
        const char* select;
        UCHAR phy;
        ULONG speed;  // PHY 2 runs at 10 Mb/s half duplex; PHY 1's media come later
    } cases[] = {{1, "Sel=26/11", 1, 0}, {2, "Sel=34/11", 2, 1}, {7, "Sel=26/11", 1, 0}};
    StartWith({});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.media_sel);
        controller_->ClearControlLog();
        adapter_->MediaSel = c.media_sel;
        adapter_->LinkSpeed = adapter_->DuplexMode = 0;
        const uint64_t before = Now();
        EXPECT_EQ(SelectPhy(adapter_), ResultSuccess);
        EXPECT_EQ(Seen(), Texts{c.select});
        EXPECT_LT(Now() - before, 10'000u);  // no settling wait
        EXPECT_EQ(adapter_->PhyAddress, c.phy);
        EXPECT_EQ(adapter_->ActivePhy, c.phy);
        EXPECT_EQ(adapter_->LinkSpeed, c.speed);
        EXPECT_EQ(adapter_->DuplexMode, c.speed);
    }
}

// ---- SetMedia ----------------------------------------------------------------------------

const Texts kRestart = {"W1.4=01E1", "W1.0=1200"};

struct Partner {
    const char* name;
    uint16_t ability;
    ULONG speed, duplex;
};

class AutomaticMedia : public PhyTest, public ::testing::WithParamInterface<Partner> {};

TEST_P(AutomaticMedia, AdvertisesEverythingAndFollowsThePartner) {
    Topology topology;
    topology.partner1 = GetParam().ability;
    StartWith(topology);
    Advertise(0x0021);  // whatever was there is replaced whole
    adapter_->PhyAddress = 1;
    adapter_->MediaType = 0;

    EXPECT_EQ(SetMedia(adapter_), ResultSuccess);
    const Texts ops = Seen();
    ASSERT_GE(ops.size(), 4u);
    EXPECT_EQ(Texts(ops.begin(), ops.begin() + 2), kRestart);
    EXPECT_EQ(ops.back(), "R1.5");
    EXPECT_EQ(Texts(ops.begin() + 2, ops.end() - 1), Texts(ops.size() - 3, "R1.1"));
    EXPECT_LT(ops.size() - 3, 251u);  // negotiation completed within the polls
    EXPECT_GE(Ops()[2].time_us, Ops()[1].time_us + 10'000);  // the pause before polling
    EXPECT_EQ(adapter_->LinkSpeed, GetParam().speed);
    EXPECT_EQ(adapter_->DuplexMode, GetParam().duplex);
    EXPECT_EQ(adapter_->LinkPartnerAbility, GetParam().ability);
}

INSTANTIATE_TEST_SUITE_P(Partners, AutomaticMedia,
                         ::testing::Values(Partner{"x01E1", 0x01E1, 2, 2},
                                           Partner{"x00A1", 0x00A1, 2, 1},
                                           Partner{"x0061", 0x0061, 1, 2},
                                           Partner{"x0000", 0x0000, 1, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

class NeverNegotiated : public PhyTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(NeverNegotiated, IsPolled251TimesAMillisecondApartAndGoesOn) {
    const ULONG media_type = GetParam();
    Topology topology;
    topology.negotiation_time_us = Topology::kNeverNegotiates;
    StartWith(topology);
    adapter_->PhyAddress = 1;
    adapter_->MediaType = media_type;
    EXPECT_EQ(SetMedia(adapter_), ResultSuccess);
    const std::vector<Op> ops = Ops();
    size_t polls = 0;
    uint64_t first = 0, last = 0;
    for (const Op& op : ops) {
        if (op.text != "R1.1") continue;
        if (polls++ == 0) first = op.time_us;
        last = op.time_us;
    }
    EXPECT_EQ(polls, 251u);
    EXPECT_GE(last - first, 250 * 1'000u);
    if (media_type == 0) {
        EXPECT_EQ(ops.back().text, "R1.5");  // resolved all the same
    } else {
        EXPECT_EQ(ops.back().text, "R1.1");
        EXPECT_GE(Now() - last, 1'000u);  // the sleep after the last poll
    }
    EXPECT_EQ(adapter_->LinkSpeed, media_type == 0 ? 1u : 2u);
    EXPECT_EQ(adapter_->DuplexMode, 1u);
}

INSTANTIATE_TEST_SUITE_P(AutomaticAndForced, NeverNegotiated, ::testing::Values(0u, 3u));

TEST_F(PhyTest, AForcedMediumAdvertisesItsOneAbilityUnlessAlreadyAdvertised) {
    struct Case {
        ULONG media_type;
        uint16_t before;
        Texts ops;  // before the polls
        ULONG speed, duplex;
    } cases[] = {
        {1, 0x0021, {"R1.4"}, 1, 1},
        {1, 0x01E1, {"R1.4", "W1.4=0021", "W1.0=1200"}, 1, 1},
        {2, 0x01E1, {"R1.4", "W1.4=0041", "W1.0=1200"}, 1, 2},
        {3, 0x01E1, {"R1.4", "W1.4=0081", "W1.0=1200"}, 2, 1},
        {4, 0x05E1, {"R1.4", "W1.4=0501", "W1.0=1200"}, 2, 2},  // bits 9-15 kept
        {4, 0x0101, {"R1.4"}, 2, 2},
        // No medium of its own: negotiated as automatic.
        {5, 0x0021, kRestart, 2, 2},
    };
    StartWith({});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.media_type);
        Advertise(c.before);
        controller_->ClearControlLog();
        adapter_->PhyAddress = 1;
        adapter_->MediaType = c.media_type;
        adapter_->LinkSpeed = adapter_->DuplexMode = 0;
        EXPECT_EQ(SetMedia(adapter_), ResultSuccess);
        const Texts ops = Seen();
        ASSERT_GE(ops.size(), c.ops.size());
        EXPECT_EQ(Texts(ops.begin(), ops.begin() + c.ops.size()), c.ops);
        for (size_t i = c.ops.size(); i < ops.size(); ++i) {
            EXPECT_TRUE(ops[i] == "R1.1" || (c.media_type == 5 && i + 1 == ops.size()))
                << ops[i];
        }
        EXPECT_EQ(adapter_->LinkSpeed, c.speed);
        EXPECT_EQ(adapter_->DuplexMode, c.duplex);
        Advance(1'000'000);  // a negotiation started here ends before the next case
    }
}

// ---- An MII command that never reports done --------------------------------------------

TEST_F(PhyTest, ReadsThatNeverReportDoneLeaveNoPhyNoLinkAndTenHalf) {
    Topology topology;
    topology.phy2_id2 = 0x5C21;
    topology.partner2 = 0x0001;
    StartWith(topology);
    controller_->HoldMiiDone(true);

    adapter_->MediaSel = 0;
    EXPECT_EQ(SelectPhy(adapter_), ResultSuccess);
    EXPECT_EQ(Seen(), (Texts{"R2.3", "R1.2", "R2.3"}));  // both count as absent
    EXPECT_EQ(adapter_->ActivePhy, 1);
    EXPECT_EQ(adapter_->PhyAddress, 1);
    EXPECT_EQ(adapter_->PhyModel, 0xFF);

    controller_->ClearControlLog();
    adapter_->MediaType = 0;
    adapter_->LinkPartnerAbility = 0x1234;
    EXPECT_EQ(SetMedia(adapter_), ResultSuccess);
    EXPECT_EQ(Seen().size(), 2 + 251 + 1u);
    EXPECT_EQ(adapter_->LinkPartnerAbility, 0);
    EXPECT_EQ(adapter_->LinkSpeed, 1u);
    EXPECT_EQ(adapter_->DuplexMode, 1u);

    // A forced medium over an advertisement never read: the ability is written.
    controller_->ClearControlLog();
    adapter_->MediaType = 1;
    EXPECT_EQ(SetMedia(adapter_), ResultSuccess);
    const Texts ops = Seen();
    ASSERT_GE(ops.size(), 3u);
    EXPECT_EQ(Texts(ops.begin(), ops.begin() + 3), (Texts{"R1.4", "W1.4=0021", "W1.0=1200"}));
}

}  // namespace
}  // namespace qvtest
