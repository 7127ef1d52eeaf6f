#include "tests/support/harness/frames.h"

#include <algorithm>

namespace qvtest {

std::vector<uint8_t> MakeFrame(const MacAddress& destination, const MacAddress& source,
                               size_t length, uint32_t seed) {
    std::vector<uint8_t> frame;
    frame.reserve(std::max(length, kEthernetHeader));
    frame.insert(frame.end(), destination.begin(), destination.end());
    frame.insert(frame.end(), source.begin(), source.end());
    frame.push_back(static_cast<uint8_t>(kTestEtherType >> 8));
    frame.push_back(static_cast<uint8_t>(kTestEtherType & 0xFF));
    // A small linear congruential sequence: cheap, and different for every seed and offset.
    uint32_t state = seed * 2654435761u + 0x9E3779B9u;
    while (frame.size() < length) {
        state = state * 1664525u + 1013904223u;
        frame.push_back(static_cast<uint8_t>(state >> 24));
    }
    frame.resize(length);
    return frame;
}

std::vector<std::vector<uint8_t>> Split(const std::vector<uint8_t>& frame,
                                        const std::vector<size_t>& sizes) {
    std::vector<std::vector<uint8_t>> segments;
    size_t at = 0;
    for (size_t size : sizes) {
        const size_t take = std::min(size, frame.size() - at);
        segments.emplace_back(frame.begin() + at, frame.begin() + at + take);
        at += take;
    }
    if (at < frame.size()) segments.emplace_back(frame.begin() + at, frame.end());
    return segments;
}

}  // namespace qvtest
