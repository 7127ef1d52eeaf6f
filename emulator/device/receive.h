// The receive side: frames that passed the filter wait in a bounded FIFO as whole bulk IN
// transfers: the frame, its 4-byte FCS (least significant byte first) and a 4-byte trailer
// whose third byte is the receive status. The bulk IN endpoint sends the head transfer packet
// by packet, ending it with a short packet (a zero-length one after whole packets).
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace emu::device {

constexpr size_t kMaxInTransfer = 1536;
constexpr size_t kReceiveOverhead = 8;  // FCS and trailer

// frame + FCS + trailer {count low, count high, status, 0}, where count is the bytes of frame
// and FCS.
std::vector<uint8_t> ComposeReceiveTransfer(std::span<const uint8_t> frame, uint8_t status);

class ReceiveFifo {
public:
    static constexpr size_t kDefaultCapacity = 32;  // transfers

    // False (and counted) when the FIFO is full.
    bool Push(std::vector<uint8_t> transfer);
    // The length of the next packet of the head transfer (none when the FIFO is empty), and
    // that packet, appended to `into` (its length returned); the one shorter than max_packet
    // ends the transfer and removes it.
    std::optional<size_t> NextPacket(size_t max_packet) const;
    size_t TakePacket(size_t max_packet, std::vector<uint8_t>* into);
    bool Empty() const { return queue_.empty(); }
    size_t Size() const { return queue_.size(); }
    void SetCapacity(size_t capacity) { capacity_ = capacity; }
    uint64_t Dropped() const { return dropped_; }
    // Power lost: whatever waited is gone. The transfers dropped.
    size_t Clear() {
        const size_t lost = queue_.size();
        queue_.clear();
        head_sent_ = 0;
        return lost;
    }

private:
    std::deque<std::vector<uint8_t>> queue_;
    size_t head_sent_ = 0;  // bytes of the head transfer already sent
    size_t capacity_ = kDefaultCapacity;
    uint64_t dropped_ = 0;
};

}  // namespace emu::device
