// The statistics counters. Completion routines advance them on whichever processor they run,
// while a query reads them and a reset clears them on another: each access is one interlocked
// operation, so that no count is lost and no read is torn.
#pragma once

#include "platform/kernel.h"
#include "platform/types.h"

// Any IRQL.
inline void CountOne(ULONG* counter) {
    InterlockedIncrement(reinterpret_cast<LONG volatile*>(counter));
}

// Any IRQL.
inline ULONG ReadCounter(ULONG* counter) {
    return static_cast<ULONG>(
        InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(counter), 0, 0));
}

// Any IRQL.
inline void ClearCounter(ULONG* counter) {
    InterlockedExchange(reinterpret_cast<LONG volatile*>(counter), 0);
}
