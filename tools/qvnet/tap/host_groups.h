// The multicast groups the host's stack has joined on the interface the driver stands behind,
// learned from the membership reports it sends (IGMP for IPv4, MLD for IPv6), so that the
// protocol's binding can carry them in its multicast list as a Windows stack sets its own.
// The all-hosts and all-nodes groups are never reported and are always there.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace qvtap {

class HostGroups {
public:
    using Address = std::array<uint8_t, 6>;

    HostGroups();
    // Reads one frame the host sent; true when it changed the groups (a join or a leave).
    bool Note(std::span<const uint8_t> frame);
    // The groups as Ethernet multicast addresses, the ever-present ones first.
    const std::vector<Address>& Groups() const { return groups_; }

private:
    void NoteIgmp(std::span<const uint8_t> message);
    void NoteMld(std::span<const uint8_t> message);
    // By the group's IP address (4 or 16 bytes): two IPv6 groups may share an Ethernet address.
    void Join(std::span<const uint8_t> group);
    void Leave(std::span<const uint8_t> group);
    void Rebuild();

    std::vector<std::vector<uint8_t>> joined_;
    std::vector<Address> groups_;
    bool changed_ = false;
};

}  // namespace qvtap
