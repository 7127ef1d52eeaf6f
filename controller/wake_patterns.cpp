// Wake-up frame patterns and their CRC.
#include "controller/wake_patterns.h"

#include <cstring>

#include "core/adapter.h"
#include "usb/register_access.h"
#include "usb/registers.h"

namespace {

constexpr USHORT CrcPolynomial = 0x1021;
constexpr USHORT SlotRegister[3] = {WakeSlot0, WakeSlot1, WakeSlot2};

struct CrcTable {
    USHORT Entry[256];
};

// The CRC-16/CCITT table of polynomial 0x1021, most significant bit first.
constexpr CrcTable MakeCrcTable() {
    CrcTable table{};
    for (unsigned n = 0; n < 256; ++n) {
        unsigned c = n << 8;
        for (int step = 0; step < 8; ++step) {
            c = (c & 0x8000) != 0 ? (c << 1) ^ CrcPolynomial : c << 1;
            c &= 0xFFFF;
        }
        table.Entry[n] = static_cast<USHORT>(c);
    }
    return table;
}

constexpr CrcTable Crc = MakeCrcTable();
static_assert(Crc.Entry[1] == 0x1021 && Crc.Entry[255] == 0x1EF0);

// The request's header, copied out: the buffer is a byte array with no alignment of its own.
NDIS_PM_PACKET_PATTERN RequestOf(Adapter* adapter) {
    NDIS_PM_PACKET_PATTERN header;
    std::memcpy(&header, adapter->WakePatternBuffer, sizeof header);
    return header;
}

const UCHAR* MaskOf(Adapter* adapter) { return adapter->WakePatternBuffer + WakePatternHeaderSize; }

// The slot a new pattern takes: the lowest one off, or slot 2 when all are on.
ULONG ChooseSlot(UCHAR wakeControl) {
    if ((wakeControl & WakeSlotEnable[0]) == 0) return 0;
    if ((wakeControl & WakeSlotEnable[1]) == 0) return 1;
    return 2;
}

ULONG WriteWakeControl(Adapter* adapter) {
    adapter->RegWriteBuffer[0] = adapter->WakeControl;
    adapter->RegWriteBuffer[1] = 0x00;
    return WriteRegisters(adapter, 2, WakeControl);
}

}  // namespace

// Any IRQL.
USHORT WakePatternCrc(const UCHAR* Mask, ULONG MaskSize, const UCHAR* Pattern) {
    USHORT crc = 0xFFFF;
    ULONG frameByte = 0;
    for (ULONG i = 0; i < MaskSize; ++i) {
        for (int bit = 0; bit < 8; ++bit, ++frameByte) {
            if ((Mask[i] >> bit & 1) == 0) continue;
            crc = static_cast<USHORT>((crc << 8) ^ Crc.Entry[(crc >> 8) ^ Pattern[frameByte]]);
        }
    }
    return static_cast<USHORT>(crc ^ 0xFFFF);
}

// Up to DISPATCH_LEVEL.
void AddWakePattern(Adapter* Adapter) {
    const NDIS_PM_PACKET_PATTERN request = RequestOf(Adapter);
    const ULONG maskSize = request.MaskSize;
    UCHAR mask[WakeMaskSize] = {};
    std::memcpy(mask, MaskOf(Adapter), maskSize);
    const USHORT crc =
        WakePatternCrc(mask, maskSize, Adapter->WakePatternBuffer + request.PatternOffset);

    const ULONG slot = ChooseSlot(Adapter->WakeControl);
    Adapter->WakeControl |= WakeSlotEnable[slot];
    std::memcpy(Adapter->WakeMasks[slot], mask, WakeMaskSize);
    std::memcpy(Adapter->WakeSlotImage, mask, WakeMaskSize);
    Adapter->WakeSlotImage[16] = 0x00;
    Adapter->WakeSlotImage[17] = static_cast<UCHAR>(crc & 0xFF);
    Adapter->WakeSlotImage[18] = static_cast<UCHAR>(crc >> 8);
    Adapter->WakeSlotStaged = static_cast<UCHAR>(slot + 1);
}

// Up to DISPATCH_LEVEL.
void RemoveWakePattern(Adapter* Adapter) {
    const ULONG maskSize = RequestOf(Adapter).MaskSize;
    Adapter->WakeSlotStaged = 0;
    if (maskSize == 0) return;
    for (ULONG slot = 0; slot < WakeSlotCount; ++slot) {
        if (std::memcmp(MaskOf(Adapter), Adapter->WakeMasks[slot], maskSize) == 0) {
            Adapter->WakeControl &= static_cast<UCHAR>(~WakeSlotEnable[slot]);
        }
    }
}

// PASSIVE_LEVEL.
ULONG WriteWakeRegisters(Adapter* Adapter) {
    ULONG result = ResultSuccess;
    if (Adapter->WakeSlotStaged != 0) {
        const ULONG slot = Adapter->WakeSlotStaged - 1u;
        Adapter->WakeSlotStaged = 0;
        std::memcpy(Adapter->RegWriteBuffer, Adapter->WakeSlotImage, WakeSlotImageSize);
        if (WriteRegisters(Adapter, WakeSlotImageSize, SlotRegister[slot]) != ResultSuccess) {
            // The slot may hold anything now: it stays off rather than wake on that.
            Adapter->WakeControl &= static_cast<UCHAR>(~WakeSlotEnable[slot]);
            result = ResultFailure;
        }
    }
    if (WriteWakeControl(Adapter) != ResultSuccess) result = ResultFailure;
    return result;
}
