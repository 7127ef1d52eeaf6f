// The two PHYs behind the MII bus, read and written through the command block as the driver
// does, with their link partners plugged and unplugged through the test face.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "emulator/device/negotiating_phy.h"
#include "emulator/device/topology.h"
#include "tests/device/mii_client.h"

namespace qvtest {
namespace {

using emu::device::Topology;
constexpr UCHAR kOne = 1, kTwo = 2;
constexpr uint64_t kNegotiation = Topology{}.negotiation_time_us;

class Phys : public RegisterClient {
protected:
    void PlugWith(Topology topology) {
        emu::device::Identity identity = emu::device::Identity::Standard();
        identity.topology = topology;
        Plug(std::move(identity));
    }
    emu::wire::LinkPartner& Partner(int phy) { return Device().Partner(phy); }
    // Status twice: the first read shows a link loss since the last read, the second the
    // link as it is.
    std::pair<uint16_t, uint16_t> StatusTwice(UCHAR phy) {
        const uint16_t first = MiiRead(phy, 1);
        return {first, MiiRead(phy, 1)};
    }
};

TEST_F(Phys, PhyOnePowersOnNegotiatedWithThePartnerOnItsCable) {
    PlugWith({});
    EXPECT_EQ(MiiRead(kOne, 0), 0x3100);  // 100 Mb/s, negotiation on, full duplex
    EXPECT_EQ(MiiRead(kOne, 1), 0x782D);  // 10/100 abilities, negotiation complete, link
    EXPECT_EQ(MiiRead(kOne, 2), Topology{}.phy1_id1);
    EXPECT_EQ(MiiRead(kOne, 3), Topology{}.phy1_id2);
    EXPECT_EQ(MiiRead(kOne, 4), 0x01E1);
    EXPECT_EQ(MiiRead(kOne, 5), 0x01E1);
    EXPECT_EQ(MiiRead(kTwo, 3), 0xFFFF);  // no PHY 2 by default
}

TEST_F(Phys, ARestartNegotiatesForTheConfiguredTimeAndKeepsThePartnerWord) {
    struct Case {
        const char* name;
        uint16_t advertisement, partner;
        bool link;
    } cases[] = {
        {"everything in common", 0x01E1, 0x01E1, true},
        {"we offer 10 only", 0x0061, 0x01E1, true},
        {"the partner offers 10 half only", 0x01E1, 0x0021, true},
        {"nothing in common", 0x0181, 0x0061, false},
    };
    PlugWith({});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MiiWrite(kOne, 4, c.advertisement);
        Partner(1).SetAbility(c.partner);
        MiiWrite(kOne, 0, 0x1200);  // negotiation on, restart
        EXPECT_EQ(MiiRead(kOne, 0), 0x1000);  // restart clears itself
        EXPECT_EQ(StatusTwice(kOne).second, 0x7809);
        EXPECT_EQ(MiiRead(kOne, 5), 0);
        Advance(kNegotiation);
        EXPECT_EQ(StatusTwice(kOne).second, 0x7829 | (c.link ? 0x0004 : 0));
        EXPECT_EQ(MiiRead(kOne, 4), c.advertisement);
        EXPECT_EQ(MiiRead(kOne, 5), c.partner);
    }
}

TEST_F(Phys, AnUnpluggedCableLatchesTheLinkBitLowAndAReturningPartnerIsNegotiatedAgain) {
    PlugWith({});
    ASSERT_EQ(StatusTwice(kOne).second & 0x0004, 0x0004);
    const uint64_t out = Now() + 10'000, in = out + 50'000;
    Partner(1).DetachAt(out);
    Partner(1).AttachAt(in, 0x0081);  // back as a 100 Mb/s half duplex partner
    Advance(in + kNegotiation - Now());
    EXPECT_EQ(MiiRead(kOne, 5), 0x0081);
    // Up again, but the loss shows once.
    EXPECT_EQ(StatusTwice(kOne), (std::pair<uint16_t, uint16_t>{0x7829, 0x782D}));

    Partner(1).Detach();
    EXPECT_EQ(StatusTwice(kOne), (std::pair<uint16_t, uint16_t>{0x7809, 0x7809}));
    EXPECT_EQ(MiiRead(kOne, 5), 0);
    Advance(10 * kNegotiation);  // nobody there: nothing to negotiate with
    EXPECT_EQ(MiiRead(kOne, 1), 0x7809);
}

TEST_F(Phys, ResetRestoresDefaultsClearsItselfAndRenegotiates) {
    PlugWith({});
    MiiWrite(kOne, 4, 0x0021);
    MiiWrite(kOne, 0, 0x1400);  // isolate: the link stays
    EXPECT_EQ(StatusTwice(kOne).second & 0x0004, 0x0004);
    MiiWrite(kOne, 0, 0x8000 | 0x3100);
    EXPECT_EQ(MiiRead(kOne, 0), 0x3100);
    EXPECT_EQ(MiiRead(kOne, 4), 0x01E1);
    EXPECT_EQ(StatusTwice(kOne).second & 0x0024, 0);
    Advance(kNegotiation);
    EXPECT_EQ(StatusTwice(kOne).second & 0x0024, 0x0024);
}

TEST_F(Phys, AForcedModeLinksAtOnceWithAPartnerThatRunsItsSpeed) {
    PlugWith({});
    MiiWrite(kOne, 0, 0x2100);  // 100 Mb/s full duplex, negotiation off
    EXPECT_EQ(StatusTwice(kOne).second, 0x780D);
    EXPECT_EQ(MiiRead(kOne, 5), 0);
    Partner(1).SetAbility(0x0061);  // 10 only: no 100 Mb/s line to lock onto
    EXPECT_EQ(StatusTwice(kOne).second, 0x7809);
    MiiWrite(kOne, 0, 0x0000);  // 10 Mb/s half duplex
    EXPECT_EQ(StatusTwice(kOne).second, 0x780D);
}

TEST_F(Phys, ASlowNegotiationIsNotDoneBeforeItsTime) {
    Topology slow;
    slow.negotiation_time_us = 3'000'000;
    PlugWith(slow);
    MiiWrite(kOne, 0, 0x1200);
    Advance(2'000'000);
    EXPECT_EQ(StatusTwice(kOne).second & 0x0024, 0);
    Advance(1'000'000);
    EXPECT_EQ(StatusTwice(kOne).second & 0x0024, 0x0024);
}

TEST_F(Phys, ANegotiationThatNeverCompletesNeverGivesLink) {
    Topology never;
    never.negotiation_time_us = Topology::kNeverNegotiates;
    PlugWith(never);  // the partner is there from power-on
    EXPECT_EQ(StatusTwice(kOne).second & 0x0024, 0);
    MiiWrite(kOne, 0, 0x1200);
    Advance(30'000'000);
    EXPECT_EQ(StatusTwice(kOne).second & 0x0024, 0);
    EXPECT_FALSE(Device().PhyOne()->CarriesFrames());
}

TEST_F(Phys, APhyModelPutInPlaceByATestHearsItsPartnerFromThenOn) {
    PlugWith({});
    auto& phy = Device().Mii().Attach(
        kOne, std::make_unique<emu::device::NegotiatingPhy>(M().Clock(), Partner(1), 0x1111, 0x2222,
                                                            1'000));
    phy.PowerOn();
    EXPECT_EQ(MiiRead(kOne, 3), 0x2222);
    Partner(1).Detach();
    EXPECT_FALSE(phy.Link());
    Partner(1).Attach();
    Advance(1'000);
    EXPECT_TRUE(phy.Link());
}

struct PhyTwoCase {
    const char* name;
    std::optional<uint16_t> id2;
    uint16_t register3, register4;
};

class PhyTwoIdentity : public Phys, public ::testing::WithParamInterface<PhyTwoCase> {};

TEST_P(PhyTwoIdentity, ReadsItsIdentifierAndTheBareSelectorOrNothingWhenAbsent) {
    Topology topology;
    topology.phy2_id2 = GetParam().id2;
    PlugWith(topology);
    EXPECT_EQ(MiiRead(kTwo, 3), GetParam().register3);
    EXPECT_EQ(MiiRead(kTwo, 4), GetParam().register4);
}

INSTANTIATE_TEST_SUITE_P(Models, PhyTwoIdentity,
                         ::testing::Values(PhyTwoCase{"x6B93", 0x6B93, 0x6B93, 0x0001},
                                           PhyTwoCase{"x5C20", 0x5C20, 0x5C20, 0x0001},
                                           PhyTwoCase{"x5C21", 0x5C21, 0x5C21, 0x0001},
                                           PhyTwoCase{"another", 0x1234, 0x1234, 0x0001},
                                           PhyTwoCase{"absent", std::nullopt, 0xFFFF, 0xFFFF}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Phys, PhyTwoKeepsItsControlAndVendorRegisterAndFollowsItsPartner) {
    Topology topology;
    topology.phy2_id2 = 0x5C21;
    topology.partner2 = 0x0001;
    PlugWith(topology);
    EXPECT_EQ(StatusTwice(kTwo).second, 0x0004);
    MiiWrite(kTwo, 0, 0x2000);
    MiiWrite(kTwo, 25, 0x7F05);
    EXPECT_EQ(MiiRead(kTwo, 0), 0x2000);
    EXPECT_EQ(MiiRead(kTwo, 25), 0x7F05);
    MiiWrite(kTwo, 0, 0x8400);  // reset with isolate
    EXPECT_EQ(MiiRead(kTwo, 0), 0x0400);
    EXPECT_EQ(MiiRead(kTwo, 25), 0);

    Partner(2).DetachAt(Now() + 1'000);
    Partner(2).AttachAt(Now() + 2'000);
    Advance(3'000);
    EXPECT_EQ(StatusTwice(kTwo), (std::pair<uint16_t, uint16_t>{0x0000, 0x0004}));
    Partner(2).Detach();
    EXPECT_EQ(StatusTwice(kTwo), (std::pair<uint16_t, uint16_t>{0x0000, 0x0000}));
}

}  // namespace
}  // namespace qvtest
