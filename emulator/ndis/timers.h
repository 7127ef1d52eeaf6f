// NDIS miniport timers on the virtual clock, as the kernel runs them: a setting expires at its
// due time, and expiry queues the timer's function (its DPC) to run at DISPATCH_LEVEL. A
// cancel stops a setting only before it expires: once the function is queued, cancel returns
// FALSE and the function still runs. A timer expiring again while its function is still
// queued runs it once.
//
// Optionally due times are rounded up to a clock tick (10 ms or 15.625 ms on real machines)
// with a seeded phase and jitter, so that even a 0 ms setting waits for the next tick.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/ndis.h"

namespace emu {
class Kernel;
}

namespace emu::ndis {

class Miniport;

class Timers {
public:
    struct Entry {
        Miniport* owner = nullptr;
        PNDIS_TIMER_FUNCTION function = nullptr;
        PVOID context = nullptr;
        uint64_t item = 0;        // scheduler item of the pending expiry; 0 = none
        uint64_t dpc = 0;         // scheduler item of the queued function; 0 = none
        uint64_t generation = 0;  // bumped by every setting and cancel
        bool running = false;
        uint64_t runs = 0;
    };

    struct ClockTick {
        uint64_t tick_us = 10'000;
        uint32_t seed = 1;
    };

    explicit Timers(Kernel& kernel) : kernel_(kernel) {}

    // Rounds every later setting's due time up to the next clock tick (nullopt: exact).
    void RoundToTick(std::optional<ClockTick> tick);

    // LIVE_REINIT, and nothing changed, when the timer is set or its function queued.
    void Initialize(NDIS_MINIPORT_TIMER* timer, Miniport* owner, PNDIS_TIMER_FUNCTION function,
                    PVOID context, uintptr_t site = 0);
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
    void Expire(NDIS_MINIPORT_TIMER* timer, uint64_t generation);
    void Run(NDIS_MINIPORT_TIMER* timer);
    uint64_t DueTime(uint64_t delay_us);

    Kernel& kernel_;
    struct Rounding {
        ClockTick tick;
        uint64_t phase_us;
        std::mt19937 rng;
    };
    std::optional<Rounding> rounding_;
    std::map<const NDIS_MINIPORT_TIMER*, Entry> entries_;
};

}  // namespace emu::ndis
