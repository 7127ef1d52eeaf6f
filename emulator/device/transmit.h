// The bulk OUT endpoint: packets gather into one transfer until a short or zero-length packet
// ends it. The transfer starts with the frame's length, 2 bytes little-endian, and the frame
// follows; anything after the frame (filler, or a next transfer that ran into this one for
// want of a zero-length packet) is not sent.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace emu::device {

class Transmitter {
public:
    struct Stats {
        uint64_t transfers = 0;         // transfers ended
        uint64_t frames = 0;            // frames handed to the wire
        uint64_t disabled_drops = 0;    // frames dropped with transmit disabled
        uint64_t malformed = 0;         // transfers without a frame that fits their length
    };

    // One packet from the bus. Returns the frame when this packet ends a transfer that holds
    // one and transmit is enabled.
    std::optional<std::vector<uint8_t>> Packet(std::span<const uint8_t> packet,
                                               uint16_t max_packet, bool enabled);
    // A port reset drops a transfer in progress.
    void Reset() { gathering_.clear(); }
    // Bytes of a transfer not yet ended (whole packets waiting for their end).
    size_t Gathering() const { return gathering_.size(); }
    const Stats& Counters() const { return stats_; }

private:
    std::vector<uint8_t> gathering_;
    Stats stats_;
};

}  // namespace emu::device
