#include "emulator/device/mac_filter.h"

#include <algorithm>
#include <array>

#include "emulator/device/registers.h"

namespace emu::device {

namespace {

// Slice-by-8: table k advances the CRC over a byte followed by k zero bytes, so eight bytes
// take eight look-ups instead of 64 shifts. Every frame received goes through here.
using Crc32Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Crc32Tables MakeCrc32Tables() {
    Crc32Tables tables{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t crc = n;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        tables[0][n] = crc;
    }
    for (size_t k = 1; k < 8; ++k)
        for (uint32_t n = 0; n < 256; ++n)
            tables[k][n] = (tables[k - 1][n] >> 8) ^ tables[0][tables[k - 1][n] & 0xFF];
    return tables;
}

constexpr Crc32Tables kCrc32 = MakeCrc32Tables();

}  // namespace

uint32_t Crc32(std::span<const uint8_t> bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    const uint8_t* p = bytes.data();
    size_t left = bytes.size();
    for (; left >= 8; left -= 8, p += 8) {
        const uint32_t low =
            crc ^ (p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
        crc = kCrc32[7][low & 0xFF] ^ kCrc32[6][low >> 8 & 0xFF] ^ kCrc32[5][low >> 16 & 0xFF] ^
              kCrc32[4][low >> 24] ^ kCrc32[3][p[4]] ^ kCrc32[2][p[5]] ^ kCrc32[1][p[6]] ^
              kCrc32[0][p[7]];
    }
    for (; left > 0; --left, ++p) crc = (crc >> 8) ^ kCrc32[0][(crc ^ *p) & 0xFF];
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
