// The protocol's binding on the real driver: the requests it binds with, as the driver answers
// them, and which received frames NDIS hands to the protocol under the binding's filter while
// the driver counts every frame it received.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "emulator/ndis/binding.h"
#include "emulator/ndis/initial_queries.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/requests.h"
#include "tests/support/running_adapter_fixture.h"

namespace qvtest {
namespace {

using emu::ndis::Binding;
using emu::ndis::Requests;

constexpr MacAddress kSomeoneElse = {0x02, 0x00, 0x5E, 0x77, 0x77, 0x77};
constexpr MacAddress kAllHosts = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
constexpr MacAddress kMdns = {0x01, 0x00, 0x5E, 0x00, 0x00, 0xFB};  // a group not joined

std::vector<uint8_t> Ulong(ULONG value) {
    std::vector<uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

class Bind : public RunningAdapterFixture {
protected:
    Requests& Request() { return Nic().Block().Request(); }
    Binding& Bound() { return Nic().Edge().Bound(); }

    ULONG Value(NDIS_OID oid) {
        const Requests::Record r = Request().Query(oid, 4);
        EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
        ULONG value = 0;
        std::memcpy(&value, r.buffer.data(), sizeof value);
        return value;
    }

    // Injects a frame to `destination`; how many frames the driver counted as received and how
    // many reached the protocol.
    std::pair<ULONG, size_t> Deliver(const MacAddress& destination, uint32_t seed) {
        const ULONG counted = Value(OID_GEN_RCV_OK);
        const size_t indicated = Nic().Received().size();
        Nic().Inject(MakeFrame(destination, kPeerAddress, 120, seed));
        Nic().Run(20'000);
        return {Value(OID_GEN_RCV_OK) - counted, Nic().Received().size() - indicated};
    }
};

// Before any traffic the binding has queried the address and set its list, then its filter,
// in that order and with success; the driver holds the filter it was given.
TEST_F(Bind, TcpIpBindsBeforeTrafficAndTheDriverHoldsItsFilter) {
    Start();
    struct Expected {
        Requests::Kind kind;
        NDIS_OID oid;
        ULONG length;
    };
    const Expected expected[] = {
        {Requests::Kind::Query, OID_802_3_CURRENT_ADDRESS, 6},
        {Requests::Kind::Set, OID_802_3_MULTICAST_LIST, 12},
        {Requests::Kind::Set, OID_GEN_CURRENT_PACKET_FILTER, 4},
    };
    // NDIS's own queries after initialization come before any binding.
    const uint64_t first = emu::ndis::InitialQueryOids().size() + 1;
    for (uint64_t id = first; id < first + 3; ++id) {
        const Requests::Record& r = Request().Of(id);
        const Expected& want = expected[id - first];
        SCOPED_TRACE(id);
        EXPECT_EQ(r.kind, want.kind);
        EXPECT_EQ(r.oid, want.oid);
        EXPECT_EQ(r.length, want.length);
        EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    }
    EXPECT_EQ(Request().Of(first + 2).buffer, Ulong(Binding::kTcpIpFilter));
    EXPECT_EQ(Value(OID_GEN_CURRENT_PACKET_FILTER), Binding::kTcpIpFilter);
    EXPECT_EQ(Bound().CurrentAddress(), Nic().StationAddress());
    EXPECT_EQ(Bound().MulticastList(), emu::ndis::AllHostsGroups());
    EXPECT_TRUE(Nic().SendCalls().empty());
}

// Each destination against the binding's filter. The driver runs promiscuous the whole time, as
// another binding (a network monitor) would ask, so it receives and counts every frame; only
// the admitted ones reach this protocol.
TEST_F(Bind, OnlyFramesTheBindingsFilterAdmitsReachTheProtocol) {
    Start();
    const ULONG tcpip = Binding::kTcpIpFilter;
    struct Case {
        const char* what;
        ULONG filter;
        MacAddress destination;
        size_t indicated;
    };
    const Case cases[] = {
        {"own address", tcpip, Nic().StationAddress(), 1},
        {"another station", tcpip, kSomeoneElse, 0},
        {"broadcast", tcpip, kBroadcast, 1},
        {"a joined group", tcpip, kAllHosts, 1},
        {"a group not joined", tcpip, kMdns, 0},
        {"broadcast, its bit clear", NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST,
         kBroadcast, 0},
        {"a joined group, multicast bit clear",
         NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST, kAllHosts, 0},
        {"own address, directed bit clear",
         NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_BROADCAST, Nic().StationAddress(), 0},
        {"a group not joined, all multicast", tcpip | NDIS_PACKET_TYPE_ALL_MULTICAST, kMdns, 1},
        {"broadcast, all multicast only", NDIS_PACKET_TYPE_ALL_MULTICAST, kBroadcast, 0},
        {"another station, promiscuous", tcpip | NDIS_PACKET_TYPE_PROMISCUOUS, kSomeoneElse, 1},
    };
    uint32_t seed = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Request().Wait(Bound().StartSetFilter(c.filter)).status,
                  NDIS_STATUS_SUCCESS);
        // The other binding's filter, which NDIS would merge into what the miniport gets.
        ASSERT_EQ(Request().Set(OID_GEN_CURRENT_PACKET_FILTER, Ulong(NDIS_PACKET_TYPE_PROMISCUOUS))
                      .status,
                  NDIS_STATUS_SUCCESS);
        ASSERT_EQ(Bound().Filter(), c.filter);
        const auto [counted, indicated] = Deliver(c.destination, seed++);
        EXPECT_EQ(counted, 1u);
        EXPECT_EQ(indicated, c.indicated);
    }
}

// A filter or list the driver refuses leaves the binding as it was; a list set later takes
// effect once its request has completed.
TEST_F(Bind, RefusedChangesKeepTheOldValueAndAcceptedOnesTakeEffect) {
    Start();
    const uint64_t refused = Bound().StartSetFilter(NDIS_PACKET_TYPE_SOURCE_ROUTING);
    EXPECT_EQ(Request().Wait(refused).status, NDIS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Bound().Filter(), Binding::kTcpIpFilter);
    EXPECT_EQ(Deliver(kBroadcast, 1).second, 1u);

    const uint64_t bad = Request().StartSet(OID_802_3_MULTICAST_LIST, std::vector<uint8_t>(7));
    EXPECT_EQ(Request().Wait(bad).status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(Bound().MulticastList(), emu::ndis::AllHostsGroups());

    EXPECT_EQ(Deliver(kMdns, 2).second, 0u);
    const uint64_t joined = Bound().StartSetMulticastList({kAllHosts, kMdns});
    ASSERT_NE(joined, 0u);
    EXPECT_EQ(Request().Wait(joined).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Deliver(kMdns, 3).second, 1u);
}

// Without a binding the edge is NDIS's own view: no request was made, the driver's filter is
// still 0, and every frame the driver indicates is recorded.
TEST_F(Bind, AnUnboundAdapterMakesNoRequestAndShowsEveryIndication) {
    AdapterOptions options;
    options.bind_as_tcpip = false;
    Start(options);
    EXPECT_FALSE(Bound().Bound());
    EXPECT_EQ(Value(OID_GEN_CURRENT_PACKET_FILTER), 0u);
    EXPECT_EQ(Request().Of(emu::ndis::InitialQueryOids().size() + 1).oid,
              OID_GEN_CURRENT_PACKET_FILTER)
        << "after NDIS's own queries, the query above came first";
    EXPECT_EQ(Deliver(Nic().StationAddress(), 1), (std::pair<ULONG, size_t>{1, 1}));
    EXPECT_EQ(Deliver(kMdns, 2), (std::pair<ULONG, size_t>{1, 1}));
}

}  // namespace
}  // namespace qvtest
