// The receive side: frames that passed the filter wait in a bounded FIFO as whole bulk IN
// transfers: the frame, its 4-byte FCS (least significant byte first) and a 4-byte trailer
// whose third byte is the receive status.
#pragma once

#include <cstdint>
#include <deque>
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
    std::vector<uint8_t> Pop();
    bool Empty() const { return queue_.empty(); }
    size_t Size() const { return queue_.size(); }
    void SetCapacity(size_t capacity) { capacity_ = capacity; }
    uint64_t Dropped() const { return dropped_; }

private:
    std::deque<std::vector<uint8_t>> queue_;
    size_t capacity_ = kDefaultCapacity;
    uint64_t dropped_ = 0;
};

}  // namespace emu::device
