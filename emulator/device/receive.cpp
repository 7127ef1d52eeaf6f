#include "emulator/device/receive.h"

#include "emulator/device/mac_filter.h"

namespace emu::device {

std::vector<uint8_t> ComposeReceiveTransfer(std::span<const uint8_t> frame, uint8_t status) {
    std::vector<uint8_t> transfer(frame.begin(), frame.end());
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

std::vector<uint8_t> ReceiveFifo::Pop() {
    std::vector<uint8_t> transfer = std::move(queue_.front());
    queue_.pop_front();
    return transfer;
}

}  // namespace emu::device
