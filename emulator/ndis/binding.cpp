#include "emulator/ndis/binding.h"

#include <algorithm>

#include "emulator/ndis/miniport.h"
#include "emulator/ndis/protocol.h"
#include "emulator/ndis/requests.h"

namespace emu::ndis {

namespace {

bool IsBroadcast(std::span<const uint8_t> destination) {
    return std::all_of(destination.begin(), destination.end(),
                       [](uint8_t byte) { return byte == 0xFF; });
}

std::vector<uint8_t> Flatten(const std::vector<Binding::Address>& list) {
    std::vector<uint8_t> bytes;
    bytes.reserve(list.size() * 6);
    for (const Binding::Address& address : list) {
        bytes.insert(bytes.end(), address.begin(), address.end());
    }
    return bytes;
}

std::vector<uint8_t> FilterBytes(ULONG filter) {
    return {static_cast<uint8_t>(filter), static_cast<uint8_t>(filter >> 8),
            static_cast<uint8_t>(filter >> 16), static_cast<uint8_t>(filter >> 24)};
}

}  // namespace

ULONG Binding::Filter() const {
    Settle();
    return filter_;
}

const std::vector<Binding::Address>& Binding::MulticastList() const {
    Settle();
    return multicast_;
}

// The filter library's test, per binding: broadcast is its own class (ALL_MULTICAST does not
// take it), other group addresses need ALL_MULTICAST or MULTICAST with the address on the
// binding's list, and a unicast address must be the adapter's own. Microsoft's pages
// "OID_GEN_CURRENT_PACKET_FILTER" (directed packets carry the NIC's station address; the
// filter says which packets a protocol receives) and "OID_802_3_MULTICAST_LIST".
bool Binding::Admits(std::span<const uint8_t> frame) const {
    if (!Bound()) return true;
    if (frame.size() < 6) return false;
    const ULONG filter = Filter();
    if ((filter & NDIS_PACKET_TYPE_PROMISCUOUS) != 0) return true;
    const std::span<const uint8_t> destination = frame.first(6);
    if (IsBroadcast(destination)) return (filter & NDIS_PACKET_TYPE_BROADCAST) != 0;
    if ((destination[0] & 0x01) != 0) {
        if ((filter & NDIS_PACKET_TYPE_ALL_MULTICAST) != 0) return true;
        if ((filter & NDIS_PACKET_TYPE_MULTICAST) == 0) return false;
        return std::any_of(multicast_.begin(), multicast_.end(), [&](const Address& group) {
            return std::equal(group.begin(), group.end(), destination.begin());
        });
    }
    return (filter & NDIS_PACKET_TYPE_DIRECTED) != 0 &&
           std::equal(address_.begin(), address_.end(), destination.begin());
}

bool Binding::Admit(std::span<const uint8_t> frame) {
    if (Admits(frame)) return true;
    ++turned_away_;
    return false;
}

uint64_t Binding::StartSetFilter(ULONG filter) {
    if (!Bound()) return 0;
    Settle();
    const uint64_t id = requests_->StartSet(OID_GEN_CURRENT_PACKET_FILTER, FilterBytes(filter));
    if (id != 0) pending_.push_back({id, true, filter, {}});
    return id;
}

uint64_t Binding::StartSetMulticastList(const std::vector<Address>& list) {
    if (!Bound()) return 0;
    Settle();
    const uint64_t id = requests_->StartSet(OID_802_3_MULTICAST_LIST, Flatten(list));
    if (id != 0) pending_.push_back({id, false, 0, list});
    return id;
}

void Binding::Attach(Requests& requests, const Address& address) {
    requests_ = &requests;
    address_ = address;
}

// NDIS keeps a binding's old filter or list when the miniport refuses the new one.
void Binding::Settle() const {
    while (!pending_.empty()) {
        const Requests::Record& record = requests_->Of(pending_.front().request);
        if (!record.completed) return;
        if (record.status == NDIS_STATUS_SUCCESS) {
            if (pending_.front().is_filter) {
                filter_ = pending_.front().filter;
            } else {
                multicast_ = std::move(pending_.front().list);
            }
        }
        pending_.erase(pending_.begin());
    }
}

std::vector<Binding::Address> AllHostsGroups() {
    return {{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}, {0x33, 0x33, 0x00, 0x00, 0x00, 0x01}};
}

bool BindAsTcpIp(Miniport& adapter, const std::vector<Binding::Address>& groups) {
    Requests& requests = adapter.Request();
    Binding& binding = adapter.Edge().Bound();
    const Requests::Record address = requests.Query(OID_802_3_CURRENT_ADDRESS, 6);
    if (address.status != NDIS_STATUS_SUCCESS || address.bytes_done != 6 ||
        address.buffer.size() < 6) {
        return false;
    }
    Binding::Address current{};
    std::copy_n(address.buffer.begin(), 6, current.begin());
    binding.Attach(requests, current);
    const uint64_t list = binding.StartSetMulticastList(groups);
    if (list == 0 || requests.Wait(list).status != NDIS_STATUS_SUCCESS) return false;
    const uint64_t filter = binding.StartSetFilter(Binding::kTcpIpFilter);
    return filter != 0 && requests.Wait(filter).status == NDIS_STATUS_SUCCESS;
}

}  // namespace emu::ndis
