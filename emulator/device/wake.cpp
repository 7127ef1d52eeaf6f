#include "emulator/device/wake.h"

#include <algorithm>
#include <array>
#include <cstring>

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

// One look-up per byte: the register value of shifting each possible top byte out.
constexpr std::array<uint16_t, 256> MakeCrc16Table() {
    std::array<uint16_t, 256> table{};
    for (unsigned n = 0; n < 256; ++n) {
        uint16_t crc = static_cast<uint16_t>(n << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        table[n] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kCrc16 = MakeCrc16Table();

uint16_t CrcStep(uint16_t crc, uint8_t byte) {
    return static_cast<uint16_t>(crc << 8) ^ kCrc16[(crc >> 8 ^ byte) & 0xFF];
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

// Every received frame is searched while magic packets are armed, so the search jumps from
// one run of 0xFF bytes to the next rather than trying each offset.
bool IsMagicPacket(std::span<const uint8_t> frame, std::span<const uint8_t, 6> station) {
    constexpr size_t kLength = 6 + 16 * 6;
    const uint8_t* data = frame.data();
    const size_t size = frame.size();
    auto repeated_from = [&](size_t start) {
        for (size_t copy = 0; copy < 16; ++copy)
            if (!std::equal(station.begin(), station.end(), data + start + 6 + 6 * copy))
                return false;
        return true;
    };
    size_t from = 0;
    while (from + kLength <= size) {
        const void* found = std::memchr(data + from, 0xFF, size - from);
        if (found == nullptr) return false;
        const size_t run_start = static_cast<size_t>(static_cast<const uint8_t*>(found) - data);
        size_t run_end = run_start;
        while (run_end < size && data[run_end] == 0xFF) ++run_end;
        // Each offset with six 0xFF bytes inside this run may start the packet.
        for (size_t start = run_start; start + 6 <= run_end; ++start) {
            if (start + kLength > size) return false;
            if (repeated_from(start)) return true;
        }
        from = run_end;
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
