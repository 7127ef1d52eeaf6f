// NDIS work items on the system worker: each schedule queues the routine once, as queued work
// in the scheduler like any other, and it runs at PASSIVE_LEVEL, where it may sleep and wait
// for synchronous USB requests (its waits run the scheduler, as other processors go on).
//
// The item lives in the caller's memory from the schedule until its routine runs: freeing
// that memory while the item is queued, or while its routine runs elsewhere, is refused
// (POOL_BAD_FREE). The routine itself may free it (the item is then forgotten), as NDIS
// leaves that to it. An item still queued or running when an adapter ends is reported with
// its timers (TIMER_AT_HALT).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/ndis.h"

namespace emu {
class Kernel;
}

namespace emu::ndis {

class WorkItems {
public:
    struct Entry {
        NDIS_PROC routine = nullptr;
        PVOID context = nullptr;
        uint64_t item = 0;       // scheduler item of the queued run; 0 = none
        int running = 0;         // runs in progress (a run may schedule the item again)
        uint64_t runs = 0;
    };

    explicit WorkItems(Kernel& kernel) : kernel_(kernel) {}
    ~WorkItems();
    WorkItems(const WorkItems&) = delete;
    WorkItems& operator=(const WorkItems&) = delete;

    // LIVE_REINIT, and nothing changed, when the item is queued.
    void Initialize(NDIS_WORK_ITEM* item, NDIS_PROC routine, PVOID context, uintptr_t site = 0);
    NDIS_STATUS Schedule(NDIS_WORK_ITEM* item, uintptr_t site);

    const Entry* Find(const NDIS_WORK_ITEM* item) const;
    // Items queued or running, described for TIMER_AT_HALT. The queued runs are dropped: the
    // driver they would call into has let go of the adapter.
    std::vector<std::string> TakeLive();
    // The pool's live check for memory being freed: a queued or running item inside it, or
    // nothing (the items it held are then forgotten, so scheduling one later is reported).
    std::string ReleaseRange(const void* begin, size_t size);

private:
    void Run(NDIS_WORK_ITEM* item);
    // Whether the innermost routine running on this processor is the item's own.
    bool InOwnRoutine(const NDIS_WORK_ITEM* item) const;

    struct Active {
        const NDIS_WORK_ITEM* item;
        int processor;
    };

    Kernel& kernel_;
    std::map<const NDIS_WORK_ITEM*, Entry> entries_;
    std::vector<Active> active_;  // routines running, innermost last
};

}  // namespace emu::ndis
