// One protocol's binding to an adapter, as NDIS keeps it: the binding's packet filter, its
// multicast list and the adapter's current address, and from them which received packets NDIS
// hands to that protocol.
//
// A protocol changes its filter and its list only through set requests; NDIS adopts the new
// value once the miniport has completed the request with success. Windows TCP/IP binds by
// querying the current address, setting its multicast list and then the packet filter
// (directed, multicast, broadcast) before it moves traffic; until then a binding's filter is
// 0 and it receives nothing ("OID_GEN_CURRENT_PACKET_FILTER", "OID_802_3_MULTICAST_LIST").
//
// An edge nothing has bound stands for NDIS itself, not for a protocol: every packet the
// miniport indicates is recorded. Low-level tests that watch an adapter before any protocol
// has bound use that.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/ndis.h"

namespace emu::ndis {

class Miniport;
class Requests;

class Binding {
public:
    using Address = std::array<uint8_t, 6>;

    // What Windows TCP/IP asks for.
    static constexpr ULONG kTcpIpFilter =
        NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_BROADCAST;

    bool Bound() const { return requests_ != nullptr; }
    // The filter, list and address NDIS holds for the binding, after every request that has
    // completed by now.
    ULONG Filter() const;
    const std::vector<Address>& MulticastList() const;
    const Address& CurrentAddress() const { return address_; }

    // Whether NDIS hands a received frame to this protocol. Unbound: always. Bound: by the
    // destination address against the binding's filter; a frame too short to carry one is
    // handed to nobody.
    bool Admits(std::span<const uint8_t> frame) const;
    // Admits, counting the frames turned away (the miniport indicated them, the protocol never
    // saw them): what NDIS does with each indication.
    bool Admit(std::span<const uint8_t> frame);
    uint64_t TurnedAway() const { return turned_away_; }

    // ---- Changes, each through a request to the adapter ----------------------------------
    // Issued now (or queued behind the request outstanding); the binding takes the value when
    // the request completes with success. The request's id, 0 when it could not be made.
    uint64_t StartSetFilter(ULONG filter);
    uint64_t StartSetMulticastList(const std::vector<Address>& list);

    // Called by BindAsTcpIp once the address is known.
    void Attach(Requests& requests, const Address& address);

private:
    struct Change {
        uint64_t request;
        bool is_filter;
        ULONG filter;
        std::vector<Address> list;
    };
    // Adopts the changes whose requests have ended, in order.
    void Settle() const;

    Requests* requests_ = nullptr;
    Address address_{};
    mutable ULONG filter_ = 0;
    mutable std::vector<Address> multicast_;
    mutable std::vector<Change> pending_;
    uint64_t turned_away_ = 0;
};

// The groups every IPv4 and IPv6 host joins on an interface: all-hosts (224.0.0.1) and
// all-nodes (ff02::1), as Ethernet multicast addresses.
std::vector<Binding::Address> AllHostsGroups();

// Binds the adapter's protocol edge as Windows TCP/IP does: queries OID_802_3_CURRENT_ADDRESS,
// sets OID_802_3_MULTICAST_LIST to `groups`, then OID_GEN_CURRENT_PACKET_FILTER to
// kTcpIpFilter, each run to its completion. Whether all three succeeded; on a failure the
// binding keeps what had succeeded.
bool BindAsTcpIp(Miniport& adapter, const std::vector<Binding::Address>& groups);

}  // namespace emu::ndis
