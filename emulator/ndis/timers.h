// NDIS miniport timers on the virtual clock: one run of the function at DISPATCH_LEVEL per
// setting, moved by a new setting, stopped by a cancel.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/ndis.h"

namespace emu {
class Machine;
}

namespace emu::ndis {

class Miniport;

class Timers {
public:
    struct Entry {
        Miniport* owner = nullptr;
        PNDIS_TIMER_FUNCTION function = nullptr;
        PVOID context = nullptr;
        std::string name;         // for the scheduler's queue, named once
        uint64_t item = 0;        // scheduler item of the pending run; 0 = none
        uint64_t generation = 0;  // bumped by every setting and cancel
        bool running = false;
        uint64_t runs = 0;
    };

    explicit Timers(Machine& machine) : machine_(machine) {}

    void Initialize(NDIS_MINIPORT_TIMER* timer, Miniport* owner, PNDIS_TIMER_FUNCTION function,
                    PVOID context);
    void Set(NDIS_MINIPORT_TIMER* timer, UINT milliseconds, const char* call, uintptr_t site);
    bool Cancel(NDIS_MINIPORT_TIMER* timer, const char* call, uintptr_t site);

    const Entry* Find(const NDIS_MINIPORT_TIMER* timer) const;
    // Timers of `owner` still set or running, described for TIMER_AT_HALT.
    std::vector<std::string> LiveOf(const Miniport* owner) const;
    // The pool's live check for memory being freed: a set timer inside it, or nothing (the
    // timers it held are then forgotten, so using one later is reported).
    std::string ReleaseRange(const void* begin, size_t size);

private:
    Entry* Lookup(NDIS_MINIPORT_TIMER* timer, const char* call, uintptr_t site);
    void Fire(NDIS_MINIPORT_TIMER* timer, uint64_t generation);

    Machine& machine_;
    std::map<const NDIS_MINIPORT_TIMER*, Entry> entries_;
};

}  // namespace emu::ndis
