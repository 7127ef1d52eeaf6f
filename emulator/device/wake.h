// The controller's wake-up logic: three frame slots (a 128-bit mask over the first 128 frame
// bytes and the CRC-16 of the bytes it selects), the magic packet and link change, each
// switched on by its bit in WakeControl. The controller asks it about every frame the PHY on
// the wire delivers and about every link change of that PHY, and records what would wake the
// host.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace emu::device {

constexpr int kWakeSlots = 3;
constexpr size_t kWakeMaskBytes = 16;
constexpr size_t kWakeSlotSize = 19;  // mask, 0x00, CRC low, CRC high

enum class WakeReason { kFrameSlot, kMagicPacket, kLinkChange };

struct WakeEvent {
    WakeReason reason = WakeReason::kFrameSlot;
    int slot = -1;  // 0 to 2 for a frame slot, else -1
    uint64_t time_us = 0;
    // The host had enabled the device's remote wake-up, so resume would be signalled on the bus.
    bool remote_wakeup = false;
};

// CRC-16/GENIBUS: polynomial 0x1021 most significant bit first, initial value 0xFFFF, result
// complemented. Bit by bit: the driver computes it its own way, and the two must agree.
uint16_t WakeCrc(std::span<const uint8_t> bytes);

// The CRC of the frame bytes a slot's mask selects (bit j of mask byte i: frame byte 8i + j),
// in frame order; none when a selected byte lies beyond the frame's end.
std::optional<uint16_t> SelectedBytesCrc(std::span<const uint8_t, kWakeMaskBytes> mask,
                                         std::span<const uint8_t> frame);

// Six 0xFF bytes and then the station address sixteen times, anywhere in the frame.
bool IsMagicPacket(std::span<const uint8_t> frame, std::span<const uint8_t, 6> station);

// What a frame would wake the host for, by the registers as they are: the enabled slots it
// matches (bit n: slot n) and, when enabled, the magic packet.
struct FrameWake {
    uint8_t slots = 0;
    bool magic_packet = false;
    bool Any() const { return slots != 0 || magic_packet; }
};
FrameWake EvaluateWakeFrame(std::span<const uint8_t> frame,
                            const std::array<uint8_t, 256>& registers);

}  // namespace emu::device
