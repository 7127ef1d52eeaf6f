// The groups qvnet tap learns from what the host's stack sends: joins and leaves in each kind
// of membership report, and an Ethernet address kept while any group behind it is joined.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tools/qvnet/tap/host_groups.h"

namespace {

using qvtap::HostGroups;
using Bytes = std::vector<uint8_t>;
using Groups = std::vector<HostGroups::Address>;

const HostGroups::Address kAllHosts = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
const HostGroups::Address kAllNodes = {0x33, 0x33, 0x00, 0x00, 0x00, 0x01};

Bytes Ethernet(uint16_t type, const Bytes& payload) {
    Bytes frame = {0x33, 0x33, 0x00, 0x00, 0x00, 0x16, 0x02, 0x51, 0x56, 0x00, 0x00, 0x01,
                   static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type)};
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

// IPv6 with a hop-by-hop router alert ahead of the ICMPv6 message, as MLD reports go.
Bytes Mld(const Bytes& message) {
    Bytes packet(40, 0);
    packet[0] = 0x60;
    packet[6] = 0;  // hop-by-hop
    const Bytes hop = {58, 0, 0x05, 0x02, 0x00, 0x00, 0x01, 0x00};
    packet.insert(packet.end(), hop.begin(), hop.end());
    packet.insert(packet.end(), message.begin(), message.end());
    return Ethernet(0x86DD, packet);
}

Bytes Igmp(const Bytes& message) {
    Bytes packet(20, 0);
    packet[0] = 0x45;
    packet[9] = 2;
    packet.insert(packet.end(), message.begin(), message.end());
    return Ethernet(0x0800, packet);
}

// ff02::1:ffXX:XXXX, the solicited-node group of an address ending in XX:XXXX.
Bytes SolicitedNode(uint8_t a, uint8_t b, uint8_t c) {
    return {0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0xFF, a, b, c};
}

// An MLDv2 report of one record.
Bytes MldV2(uint8_t record, const Bytes& group) {
    Bytes m = {143, 0, 0, 0, 0, 0, 0, 1, record, 0, 0, 0};
    m.insert(m.end(), group.begin(), group.end());
    return Mld(m);
}

TEST(HostGroups, JoinsAndLeavesFromEachKindOfReport) {
    HostGroups groups;
    EXPECT_EQ(groups.Groups(), (Groups{kAllHosts, kAllNodes}));
    const HostGroups::Address a1 = {0x33, 0x33, 0xFF, 0x00, 0x00, 0xA1};
    const HostGroups::Address mdns = {0x01, 0x00, 0x5E, 0x00, 0x00, 0xFB};

    // MLDv2: CHANGE_TO_EXCLUDE {} joins, CHANGE_TO_INCLUDE {} leaves.
    EXPECT_TRUE(groups.Note(MldV2(4, SolicitedNode(0, 0, 0xA1))));
    EXPECT_EQ(groups.Groups(), (Groups{kAllHosts, kAllNodes, a1}));
    EXPECT_FALSE(groups.Note(MldV2(2, SolicitedNode(0, 0, 0xA1)))) << "already joined";

    // IGMPv2 report and leave for 224.0.0.251.
    EXPECT_TRUE(groups.Note(Igmp({0x16, 0, 0, 0, 224, 0, 0, 251})));
    EXPECT_EQ(groups.Groups(), (Groups{kAllHosts, kAllNodes, a1, mdns}));
    EXPECT_TRUE(groups.Note(Igmp({0x17, 0, 0, 0, 224, 0, 0, 251})));

    EXPECT_TRUE(groups.Note(MldV2(3, SolicitedNode(0, 0, 0xA1))));
    EXPECT_EQ(groups.Groups(), (Groups{kAllHosts, kAllNodes}));
    // The ever-present groups are never left.
    EXPECT_FALSE(groups.Note(Igmp({0x17, 0, 0, 0, 224, 0, 0, 1})));
    EXPECT_EQ(groups.Groups(), (Groups{kAllHosts, kAllNodes}));
}

// ff02::1:ff00:a1 and ff05::1:ff00:a1 share 33:33:ff:00:00:a1: leaving one keeps it.
TEST(HostGroups, AnAddressSharedByTwoGroupsStaysWhileOneIsJoined) {
    HostGroups groups;
    Bytes site = SolicitedNode(0, 0, 0xA1);
    site[1] = 0x05;
    ASSERT_TRUE(groups.Note(MldV2(4, SolicitedNode(0, 0, 0xA1))));
    EXPECT_FALSE(groups.Note(MldV2(4, site))) << "the same Ethernet address";
    EXPECT_FALSE(groups.Note(MldV2(3, SolicitedNode(0, 0, 0xA1))));
    EXPECT_EQ(groups.Groups().size(), 3u);
    EXPECT_TRUE(groups.Note(MldV2(3, site)));
    EXPECT_EQ(groups.Groups().size(), 2u);
}

// Truncated or foreign frames change nothing and are read within their bounds.
TEST(HostGroups, TruncatedAndOtherFramesChangeNothing) {
    HostGroups groups;
    Bytes report = MldV2(4, SolicitedNode(0, 0, 0xA1));
    for (size_t length = 0; length < report.size(); ++length) {
        EXPECT_FALSE(groups.Note(Bytes(report.begin(), report.begin() + length))) << length;
    }
    Bytes many_records = report;
    many_records[14 + 48 + 7] = 200;  // claims 200 records, carries one
    EXPECT_TRUE(groups.Note(many_records));
    EXPECT_FALSE(groups.Note(Ethernet(0x88B5, Bytes(60, 0x16))));
}

}  // namespace
