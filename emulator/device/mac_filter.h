// The Ethernet FCS and the controller's receive address filter.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace emu::device {

// CRC-32 as the Ethernet FCS computes it (reflected 0x04C11DB7, initial and final XOR all
// ones); sent least significant byte first.
uint32_t Crc32(std::span<const uint8_t> bytes);

// The multicast hash bit a destination address selects: the top 6 bits of its CRC-32.
unsigned MulticastHashBit(std::span<const uint8_t, 6> destination);

enum class FilterVerdict {
    kPass,
    kOtherStation,        // someone else's unicast address
    kMulticastNotHashed,  // a group address whose hash bit is clear, all-multicast off
};

// How a frame with this destination fares, judged on the register file as it is: promiscuous
// (MacControl2) passes everything; otherwise the station address, broadcast, and multicast
// when all-multicast (MacControl0) is on or the destination's hash bit is set in
// MulticastFilter.
FilterVerdict FilterFrame(std::span<const uint8_t, 6> destination,
                          const std::array<uint8_t, 256>& registers);

}  // namespace emu::device
