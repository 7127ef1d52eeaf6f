#include "emulator/device/wake.h"

#include <algorithm>

#include "emulator/device/registers.h"

namespace emu::device {

namespace {

struct Slot {
    uint8_t first_register;
    uint8_t enable;
};
constexpr Slot kSlots[kWakeSlots] = {{reg::WakeSlot0, reg::kWakeSlot0On},
                                     {reg::WakeSlot1, reg::kWakeSlot1On},
                                     {reg::WakeSlot2, reg::kWakeSlot2On}};

uint16_t CrcStep(uint16_t crc, uint8_t byte) {
    crc ^= static_cast<uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit)
        crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    return crc;
}

}  // namespace

uint16_t WakeCrc(std::span<const uint8_t> bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t byte : bytes) crc = CrcStep(crc, byte);
    return crc ^ 0xFFFF;
}

std::optional<uint16_t> SelectedBytesCrc(std::span<const uint8_t, kWakeMaskBytes> mask,
                                         std::span<const uint8_t> frame) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < kWakeMaskBytes; ++i) {
        for (size_t j = 0; j < 8; ++j) {
            if ((mask[i] >> j & 1) == 0) continue;
            const size_t index = 8 * i + j;
            if (index >= frame.size()) return std::nullopt;
            crc = CrcStep(crc, frame[index]);
        }
    }
    return crc ^ 0xFFFF;
}

bool IsMagicPacket(std::span<const uint8_t> frame, std::span<const uint8_t, 6> station) {
    constexpr size_t kLength = 6 + 16 * 6;
    for (size_t start = 0; start + kLength <= frame.size(); ++start) {
        const uint8_t* at = frame.data() + start;
        if (!std::all_of(at, at + 6, [](uint8_t b) { return b == 0xFF; })) continue;
        bool repeated = true;
        for (size_t copy = 0; copy < 16 && repeated; ++copy)
            repeated = std::equal(station.begin(), station.end(), at + 6 + 6 * copy);
        if (repeated) return true;
    }
    return false;
}

FrameWake EvaluateWakeFrame(std::span<const uint8_t> frame,
                            const std::array<uint8_t, 256>& registers) {
    FrameWake wake;
    const uint8_t control = registers[reg::WakeControl];
    for (int n = 0; n < kWakeSlots; ++n) {
        const Slot& slot = kSlots[n];
        if ((control & slot.enable) == 0) continue;
        const uint8_t* image = registers.data() + slot.first_register;
        const std::span<const uint8_t, kWakeMaskBytes> mask(image, kWakeMaskBytes);
        const std::optional<uint16_t> crc = SelectedBytesCrc(mask, frame);
        // Byte 16 of the slot is not looked at.
        if (crc && *crc == (image[17] | image[18] << 8)) wake.slots |= static_cast<uint8_t>(1 << n);
    }
    if (control & reg::kWakeMagicPacket)
        wake.magic_packet = IsMagicPacket(
            frame, std::span<const uint8_t, 6>(registers.data() + reg::StationAddress, 6));
    return wake;
}

}  // namespace emu::device
