// What sits behind the controller's MII bus and on the cables: fixture data. PHY 1 (MII
// address 1) negotiates; PHY 2 (address 2) is optional and does not; each has its own link
// partner, plugged in from power-on or not.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

namespace emu::device {

constexpr uint8_t kPhyOneAddress = 1;
constexpr uint8_t kPhyTwoAddress = 2;

struct Topology {
    static constexpr uint64_t kNeverNegotiates = std::numeric_limits<uint64_t>::max();

    // PHY 1: identifier registers 2 and 3, and how long a negotiation takes.
    uint16_t phy1_id1 = 0x0051;  // fictitious
    uint16_t phy1_id2 = 0x5611;
    uint64_t negotiation_time_us = 400'000;
    // PHY 2: absent, or present with this identifier in register 3.
    std::optional<uint16_t> phy2_id2;
    uint16_t phy2_id1 = 0x0032;  // fictitious
    // The partners' ability words when plugged in from power-on; none: no cable.
    std::optional<uint16_t> partner1 = 0x01E1;
    std::optional<uint16_t> partner2;
};

}  // namespace emu::device
