// Ethernet frames for tests and the command: a header and a payload whose bytes are a
// function of a seed, so a frame that arrives damaged, twice or out of order is recognised.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qvtest {

using MacAddress = std::array<uint8_t, 6>;

constexpr MacAddress kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
// A locally administered address for the far end of the wire.
constexpr MacAddress kPeerAddress = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};
constexpr size_t kEthernetHeader = 14;
constexpr uint16_t kTestEtherType = 0x88B5;  // IEEE local experimental

// A frame of `length` bytes (at least the 14-byte header): destination, source, type, then
// payload bytes derived from `seed`. Shorter lengths give just the first bytes of the header.
std::vector<uint8_t> MakeFrame(const MacAddress& destination, const MacAddress& source,
                               size_t length, uint32_t seed);

// `frame` cut into consecutive segments of the given sizes (each cut short at the frame's
// end), then one more with whatever is left, if anything is.
std::vector<std::vector<uint8_t>> Split(const std::vector<uint8_t>& frame,
                                        const std::vector<size_t>& sizes);

}  // namespace qvtest
