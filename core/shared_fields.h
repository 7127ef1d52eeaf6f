// Fields that one context changes while others read them without a lock: the statistics
// counters (advanced by completion routines on whichever processor they run, cleared by a
// reset), the media state and link speed (set by the link monitor), all read by queries, and
// the images of MAC control registers 0x01 and 0x02 (changed by the link monitor and by a
// packet filter set, each of which sends the other's too). Each change is one interlocked
// operation or atomic store and each read one atomic load, so that no count is lost and no
// read is torn.
#pragma once

#include "platform/kernel.h"
#include "platform/types.h"

// Any IRQL.
inline void CountOne(ULONG* counter) {
    InterlockedIncrement(reinterpret_cast<LONG volatile*>(counter));
}

// Any IRQL. One aligned load (a plain move on x86): it only reads, so the writer's own plain
// reads of the field do not race with it.
inline ULONG ReadShared(const ULONG* field) { return __atomic_load_n(field, __ATOMIC_RELAXED); }

// Any IRQL.
inline void WriteShared(ULONG* field, ULONG value) {
    InterlockedExchange(reinterpret_cast<LONG volatile*>(field), static_cast<LONG>(value));
}

// Any IRQL. One byte-wide load.
inline UCHAR ReadShared(const UCHAR* field) { return __atomic_load_n(field, __ATOMIC_RELAXED); }

// Any IRQL. One byte-wide store: a lone writer per field, so no interlocked change is needed.
inline void WriteShared(UCHAR* field, UCHAR value) {
    __atomic_store_n(field, value, __ATOMIC_RELAXED);
}
