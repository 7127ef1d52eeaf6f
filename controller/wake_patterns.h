// Wake-up frame patterns: the controller's three slots, each a 128-bit mask of frame bytes and
// the CRC of the bytes it selects, switched on by its bit in WakeControl. The choices (CRC,
// slot, shadow bits) are made at once, at DISPATCH_LEVEL; the register writes follow at
// PASSIVE_LEVEL.
#pragma once

#include "platform/types.h"

struct Adapter;

// WakeControl bits of the three slots.
constexpr UCHAR WakeSlotEnable[3] = {0x20, 0x10, 0x08};
// A slot's image as written: 16 mask bytes, 0x00, CRC low, CRC high.
constexpr USHORT WakeSlotImageSize = 19;
// The request's header before its mask bytes.
constexpr ULONG WakePatternHeaderSize = 24;

// Any IRQL. The CRC-16/GENIBUS of the pattern bytes that the mask selects, in frame order.
USHORT WakePatternCrc(const UCHAR* Mask, ULONG MaskSize, const UCHAR* Pattern);

// Up to DISPATCH_LEVEL. Chooses a slot for the pattern in WakePatternBuffer (the first one off,
// else slot 2), switches it on in the WakeControl shadow, keeps its mask in WakeMasks and
// stages its image for WriteWakeRegisters. The request must have been checked.
void AddWakePattern(Adapter* Adapter);

// Up to DISPATCH_LEVEL. Switches off in the WakeControl shadow every slot whose kept mask
// equals the mask in WakePatternBuffer (a mask of no bytes matches none).
void RemoveWakePattern(Adapter* Adapter);

// PASSIVE_LEVEL. Writes the staged slot image, if any, then WakeControl. ResultSuccess, or
// ResultFailure when a write could not be sent or timed out (a slot whose image did not go out
// is left off).
ULONG WriteWakeRegisters(Adapter* Adapter);
