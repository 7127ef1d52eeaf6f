#include "emulator/device/transmit.h"

namespace emu::device {

std::optional<std::vector<uint8_t>> Transmitter::Packet(std::span<const uint8_t> packet,
                                                        uint16_t max_packet, bool enabled) {
    gathering_.insert(gathering_.end(), packet.begin(), packet.end());
    if (packet.size() == max_packet) return std::nullopt;  // more of this transfer follows
    // Emptied for the next transfer as this one returns; it keeps its capacity.
    struct Reset {
        std::vector<uint8_t>& gathering;
        ~Reset() { gathering.clear(); }
    } reset{gathering_};
    const std::vector<uint8_t>& transfer = gathering_;
    if (transfer.empty()) return std::nullopt;  // a lone zero-length packet ends nothing
    ++stats_.transfers;
    const size_t length = transfer.size() < 2 ? 0 : transfer[0] | (transfer[1] << 8);
    if (length == 0 || length + 2 > transfer.size()) {
        ++stats_.malformed;
        return std::nullopt;
    }
    if (!enabled) {
        ++stats_.disabled_drops;
        return std::nullopt;
    }
    ++stats_.frames;
    return std::vector<uint8_t>(transfer.begin() + 2, transfer.begin() + 2 + length);
}

}  // namespace emu::device
