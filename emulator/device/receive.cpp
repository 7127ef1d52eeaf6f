#include "emulator/device/receive.h"

#include <algorithm>

#include "emulator/device/mac_filter.h"

namespace emu::device {

std::vector<uint8_t> ComposeReceiveTransfer(std::span<const uint8_t> frame, uint8_t status) {
    std::vector<uint8_t> transfer;
    transfer.reserve(frame.size() + 8);  // the FCS and the trailer, without a second allocation
    transfer.assign(frame.begin(), frame.end());
    const uint32_t fcs = Crc32(frame);
    for (int i = 0; i < 4; ++i) transfer.push_back(static_cast<uint8_t>(fcs >> (8 * i)));
    const size_t count = frame.size() + 4;
    transfer.push_back(static_cast<uint8_t>(count));
    transfer.push_back(static_cast<uint8_t>((count >> 8) & 0x0F));
    transfer.push_back(status);
    transfer.push_back(0);
    return transfer;
}

bool ReceiveFifo::Push(std::vector<uint8_t> transfer) {
    if (queue_.size() >= capacity_) {
        ++dropped_;
        return false;
    }
    queue_.push_back(std::move(transfer));
    return true;
}

std::optional<size_t> ReceiveFifo::NextPacket(size_t max_packet) const {
    if (queue_.empty()) return std::nullopt;
    return std::min(max_packet, queue_.front().size() - head_sent_);
}

size_t ReceiveFifo::TakePacket(size_t max_packet, std::vector<uint8_t>* into) {
    if (queue_.empty()) return 0;
    const std::vector<uint8_t>& head = queue_.front();
    const size_t length = std::min(max_packet, head.size() - head_sent_);
    into->insert(into->end(), head.begin() + static_cast<std::ptrdiff_t>(head_sent_),
                 head.begin() + static_cast<std::ptrdiff_t>(head_sent_ + length));
    head_sent_ += length;
    if (length < max_packet) {
        queue_.pop_front();
        head_sent_ = 0;
    }
    return length;
}

}  // namespace emu::device
