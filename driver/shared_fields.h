// Fields that one context changes while others read them without a lock: the statistics
// counters (advanced by completion routines on whichever processor they run, cleared by a
// reset) and the media state and link speed (set by the link monitor), all read by queries.
// Each access is one interlocked operation, so that no count is lost and no read is torn.
#pragma once

#include "platform/kernel.h"
#include "platform/types.h"

// Any IRQL.
inline void CountOne(ULONG* counter) {
    InterlockedIncrement(reinterpret_cast<LONG volatile*>(counter));
}

// Any IRQL.
inline ULONG ReadShared(ULONG* field) {
    return static_cast<ULONG>(
        InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(field), 0, 0));
}

// Any IRQL.
inline void WriteShared(ULONG* field, ULONG value) {
    InterlockedExchange(reinterpret_cast<LONG volatile*>(field), static_cast<LONG>(value));
}
