#include "emulator/device/mac_filter.h"

#include <algorithm>

#include "emulator/device/registers.h"

namespace emu::device {

uint32_t Crc32(std::span<const uint8_t> bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

unsigned MulticastHashBit(std::span<const uint8_t, 6> destination) {
    return Crc32(destination) >> 26;
}

FilterVerdict FilterFrame(std::span<const uint8_t, 6> destination,
                          const std::array<uint8_t, 256>& registers) {
    if (registers[reg::MacControl2] & reg::kPromiscuous) return FilterVerdict::kPass;
    if (std::equal(destination.begin(), destination.end(),
                   registers.begin() + reg::StationAddress))
        return FilterVerdict::kPass;
    if (std::all_of(destination.begin(), destination.end(), [](uint8_t b) { return b == 0xFF; }))
        return FilterVerdict::kPass;
    if ((destination[0] & 0x01) == 0) return FilterVerdict::kOtherStation;
    if (registers[reg::MacControl0] & reg::kAllMulticast) return FilterVerdict::kPass;
    const unsigned bit = MulticastHashBit(destination);
    return (registers[reg::MulticastFilter + (bit >> 3)] >> (bit & 7)) & 1
               ? FilterVerdict::kPass
               : FilterVerdict::kMulticastNotHashed;
}

}  // namespace emu::device
