#include "tools/qvnet/tap/host_groups.h"

#include <algorithm>

#include "emulator/ndis/binding.h"

namespace qvtap {

namespace {

constexpr size_t kEthernetHeader = 14;
constexpr uint16_t kIpv4 = 0x0800;
constexpr uint16_t kIpv6 = 0x86DD;
constexpr uint8_t kIgmp = 2;
constexpr uint8_t kIcmpv6 = 58;

uint16_t Be16(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

// 01:00:5E and the group's low 23 bits.
HostGroups::Address FromIpv4(std::span<const uint8_t> group) {
    return {0x01, 0x00, 0x5E, static_cast<uint8_t>(group[1] & 0x7F), group[2], group[3]};
}

// 33:33 and the group's low 32 bits.
HostGroups::Address FromIpv6(std::span<const uint8_t> group) {
    return {0x33, 0x33, group[12], group[13], group[14], group[15]};
}

}  // namespace

HostGroups::HostGroups() : groups_(emu::ndis::AllHostsGroups()) {}

bool HostGroups::Note(std::span<const uint8_t> frame) {
    if (frame.size() < kEthernetHeader) return false;
    changed_ = false;
    const uint16_t type = Be16(frame, 12);
    const std::span<const uint8_t> packet = frame.subspan(kEthernetHeader);
    if (type == kIpv4 && packet.size() >= 20) {
        const size_t header = (packet[0] & 0x0F) * 4u;
        if (packet[9] == kIgmp && header >= 20 && packet.size() > header) {
            NoteIgmp(packet.subspan(header));
        }
    } else if (type == kIpv6 && packet.size() >= 40) {
        // Past the extension headers (MLD reports carry a hop-by-hop router alert).
        uint8_t next = packet[6];
        size_t at = 40;
        while ((next == 0 || next == 43 || next == 60) && packet.size() >= at + 8) {
            next = packet[at];
            at += (packet[at + 1] + 1u) * 8u;
        }
        if (next == kIcmpv6 && packet.size() > at) NoteMld(packet.subspan(at));
    }
    return changed_;
}

// Version 1 and 2 reports (0x12, 0x16) and leaves (0x17); version 3 reports (0x22) by record.
void HostGroups::NoteIgmp(std::span<const uint8_t> m) {
    if (m.size() < 8) return;
    if (m[0] == 0x12 || m[0] == 0x16) return Join(m.subspan(4, 4));
    if (m[0] == 0x17) return Leave(m.subspan(4, 4));
    if (m[0] != 0x22) return;
    size_t at = 8;
    for (uint16_t n = Be16(m, 6); n > 0 && m.size() >= at + 8; --n) {
        const uint8_t record = m[at];
        const uint16_t sources = Be16(m, at + 2);
        const std::span<const uint8_t> group = m.subspan(at + 4, 4);
        // An exclude-mode record, or one naming sources, means traffic is wanted; an empty
        // include record is a leave.
        if (record == 2 || record == 4 || sources != 0) {
            Join(group);
        } else if (record == 1 || record == 3) {
            Leave(group);
        }
        at += 8 + sources * 4u + m[at + 1] * 4u;
    }
}

// MLDv1 reports (131) and dones (132); MLDv2 reports (143) by record, as for IGMPv3.
void HostGroups::NoteMld(std::span<const uint8_t> m) {
    if (m.size() < 8) return;
    if ((m[0] == 131 || m[0] == 132) && m.size() >= 24) {
        return m[0] == 131 ? Join(m.subspan(8, 16)) : Leave(m.subspan(8, 16));
    }
    if (m[0] != 143) return;
    size_t at = 8;
    for (uint16_t n = Be16(m, 6); n > 0 && m.size() >= at + 20; --n) {
        const uint8_t record = m[at];
        const uint16_t sources = Be16(m, at + 2);
        const std::span<const uint8_t> group = m.subspan(at + 4, 16);
        if (record == 2 || record == 4 || sources != 0) {
            Join(group);
        } else if (record == 1 || record == 3) {
            Leave(group);
        }
        at += 20 + sources * 16u + m[at + 1] * 4u;
    }
}

void HostGroups::Join(std::span<const uint8_t> group) {
    std::vector<uint8_t> ip(group.begin(), group.end());
    if (std::find(joined_.begin(), joined_.end(), ip) != joined_.end()) return;
    joined_.push_back(std::move(ip));
    Rebuild();
}

void HostGroups::Leave(std::span<const uint8_t> group) {
    const std::vector<uint8_t> ip(group.begin(), group.end());
    auto it = std::find(joined_.begin(), joined_.end(), ip);
    if (it == joined_.end()) return;
    joined_.erase(it);
    Rebuild();
}

void HostGroups::Rebuild() {
    std::vector<Address> groups = emu::ndis::AllHostsGroups();
    for (const std::vector<uint8_t>& ip : joined_) {
        const Address mac = ip.size() == 4 ? FromIpv4(ip) : FromIpv6(ip);
        if (std::find(groups.begin(), groups.end(), mac) == groups.end()) groups.push_back(mac);
    }
    changed_ = changed_ || groups != groups_;
    groups_ = std::move(groups);
}

}  // namespace qvtap
