// Pool tags: four characters, the first in the lowest byte.
#pragma once

#include "platform/types.h"

constexpr ULONG MakePoolTag(char a, char b, char c, char d) {
    return static_cast<ULONG>(static_cast<UCHAR>(a)) |
           static_cast<ULONG>(static_cast<UCHAR>(b)) << 8 |
           static_cast<ULONG>(static_cast<UCHAR>(c)) << 16 |
           static_cast<ULONG>(static_cast<UCHAR>(d)) << 24;
}

// The Adapter record itself.
constexpr ULONG AdapterPoolTag = MakePoolTag('a', 'a', 'Q', 'Z');
// URBs that outlive a call, pipe requests and transmit queue entries (non-paged pool).
constexpr ULONG RequestPoolTag = MakePoolTag('W', 'd', 'm', ' ');
// First values of the tracker's running tags; each advances by one per allocation attempt.
constexpr ULONG FirstChunkPoolTag = MakePoolTag('0', '0', 'Q', 'Z');
constexpr ULONG FirstMemoryPoolTag = MakePoolTag('a', 'b', 'Q', 'Z');
