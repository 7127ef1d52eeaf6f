#include "emulator/ndis/timers.h"

#include <cstdio>
#include <functional>

#include "emulator/kernel/kernel.h"
#include "emulator/kernel/processor.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/ndis.h"
#include "emulator/verifier/verifier.h"
#include "emulator/kernel/platform_lock.h"

namespace emu::ndis {

namespace {

std::string Address(const void* address) {
    char text[32];
    std::snprintf(text, sizeof(text), "%p", address);
    return text;
}

// Named only for a report: looking a function up by address costs as much as a bring-up's
// worth of requests.
std::string Describe(const NDIS_MINIPORT_TIMER* timer, const Timers::Entry& entry) {
    return "NDIS timer " + PlaceName(reinterpret_cast<uintptr_t>(entry.function)) + " at " +
           Address(timer);
}

}  // namespace

void Timers::Initialize(NDIS_MINIPORT_TIMER* timer, Miniport* owner,
                        PNDIS_TIMER_FUNCTION function, PVOID context, uintptr_t site) {
    Entry& entry = entries_[timer];
    if (entry.item != 0 || entry.dpc != 0) {
        // A set timer is linked into the system timer queue through its own memory, and one
        // timer object is queued at most once (NdisMInitializeTimer's page,
        // learn.microsoft.com/previous-versions/ms921129): initialising it there corrupts the
        // queue. Refused, so the run goes on.
        kernel_.Check().Report(Rule::LiveReinit, "NdisMInitializeTimer",
                                Describe(timer, entry) +
                                    (entry.item != 0 ? " is still set" : " has its function queued"),
                                site);
        return;
    }
    entry.dpc = 0;
    entry.owner = owner;
    entry.function = function;
    entry.context = context;
    entry.item = 0;
    ++entry.generation;
    timer->MiniportTimerFunction = function;
    timer->MiniportTimerContext = context;
    timer->MiniportAdapterHandle = owner->Handle();
    for (ULONG_PTR& word : timer->Reserved) word = 0;
}

Timers::Entry* Timers::Lookup(NDIS_MINIPORT_TIMER* timer, const char* call, uintptr_t site) {
    auto it = entries_.find(timer);
    if (it == entries_.end()) {
        kernel_.Check().Report(Rule::Platform, call,
                                "timer " + Address(timer) + " was never initialised with "
                                "NdisMInitializeTimer (or its memory was freed)",
                                site);
        return nullptr;
    }
    if (Ndis::Current().Use(it->second.owner->Handle(), call, site) == nullptr) return nullptr;
    return &it->second;
}

void Timers::RoundToTick(std::optional<ClockTick> tick) {
    if (!tick) {
        rounding_.reset();
        return;
    }
    if (tick->tick_us == 0) tick->tick_us = 1;
    std::mt19937 rng(tick->seed);
    const uint64_t phase = rng() % tick->tick_us;
    rounding_ = Rounding{*tick, phase, rng};
}

uint64_t Timers::DueTime(uint64_t delay_us) {
    const uint64_t due = kernel_.Clock().Now() + delay_us;
    if (!rounding_) return due;
    // Timers expire at the first clock tick at or after their due time; the tick's own
    // interrupt and DPC latency add a little on top.
    const uint64_t tick = rounding_->tick.tick_us;
    const uint64_t phase = rounding_->phase_us;
    uint64_t ticks = due <= phase ? 0 : (due - phase + tick - 1) / tick;
    const uint64_t jitter = rounding_->rng() % (tick / 10 + 1);
    return phase + ticks * tick + jitter;
}

void Timers::Set(NDIS_MINIPORT_TIMER* timer, UINT milliseconds, const char* call,
                 uintptr_t site) {
    Entry* entry = Lookup(timer, call, site);
    if (entry == nullptr) return;
    Scheduler& clock = kernel_.Clock();
    if (entry->item != 0) clock.Cancel(entry->item);
    uint64_t generation = ++entry->generation;
    // Even a 0 ms setting expires later, from the queue, never inside the call.
    entry->item = clock.At(DueTime(static_cast<uint64_t>(milliseconds) * 1000), "NDIS timer",
                           [this, timer, generation] { Expire(timer, generation); });
}

bool Timers::Cancel(NDIS_MINIPORT_TIMER* timer, const char* call, uintptr_t site) {
    Entry* entry = Lookup(timer, call, site);
    // Expired already: its function is queued, or has run, and goes on regardless.
    if (entry == nullptr || entry->item == 0) return false;
    kernel_.Clock().Cancel(entry->item);
    entry->item = 0;
    ++entry->generation;
    return true;
}

void Timers::Expire(NDIS_MINIPORT_TIMER* timer, uint64_t generation) {
    auto it = entries_.find(timer);
    if (it == entries_.end() || it->second.generation != generation) return;
    Entry& entry = it->second;
    entry.item = 0;
    if (entry.dpc != 0) return;  // still queued from an earlier expiry: it runs once
    entry.dpc = kernel_.Clock().At(kernel_.Clock().Now(), "NDIS timer",
                                    [this, timer] { Run(timer); });
}

void Timers::Run(NDIS_MINIPORT_TIMER* timer) {
    auto it = entries_.find(timer);
    if (it == entries_.end()) return;
    Entry& entry = it->second;
    entry.dpc = 0;
    if (entry.owner->Ended()) {
        kernel_.Check().Report(Rule::NoCallsAfterHalt, "NDIS timer",
                                Describe(timer, entry) + " came due after the adapter was " +
                                    StateName(entry.owner->CurrentState()) +
                                    "; its function was not called");
        return;
    }
    entry.running = true;
    ++entry.runs;
    PNDIS_TIMER_FUNCTION function = entry.function;
    PVOID context = entry.context;
    kernel_.Cpu().CallDriver(DISPATCH_LEVEL, "NDIS timer function",
                              [&] { function(nullptr, context, nullptr, nullptr); });
    // The function may have freed the timer's memory, and with it the entry.
    it = entries_.find(timer);
    if (it != entries_.end()) it->second.running = false;
}

const Timers::Entry* Timers::Find(const NDIS_MINIPORT_TIMER* timer) const {
    auto it = entries_.find(timer);
    return it == entries_.end() ? nullptr : &it->second;
}

std::vector<std::string> Timers::LiveOf(const Miniport* owner) const {
    std::vector<std::string> live;
    for (const auto& [timer, entry] : entries_) {
        if (entry.owner != owner) continue;
        if (entry.item != 0) live.push_back(Describe(timer, entry) + " is still set");
        if (entry.dpc != 0)
            live.push_back(Describe(timer, entry) + " has expired and its function is queued");
        if (entry.running) live.push_back(Describe(timer, entry) + " is still running");
    }
    return live;
}

std::string Timers::ReleaseRange(const void* begin, size_t size) {
    auto first = static_cast<const NDIS_MINIPORT_TIMER*>(begin);
    auto end = reinterpret_cast<const NDIS_MINIPORT_TIMER*>(static_cast<const uint8_t*>(begin) + size);
    auto in_range = [&](auto it) { return it != entries_.end() && std::less<>{}(it->first, end); };
    for (auto it = entries_.lower_bound(first); in_range(it); ++it) {
        // The pool refuses the free, so the timer and its memory stay usable.
        if (it->second.item != 0) return "a set NDIS timer";
        if (it->second.dpc != 0) return "an NDIS timer whose function is queued";
    }
    for (auto it = entries_.lower_bound(first); in_range(it);) it = entries_.erase(it);
    return "";
}

}  // namespace emu::ndis

// ---- Platform routines --------------------------------------------------------------------

using emu::Kernel;

void NdisMInitializeTimer(NDIS_MINIPORT_TIMER* Timer, NDIS_HANDLE MiniportAdapterHandle,
                          PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel& kernel = Kernel::Current();
    kernel.Cpu().CheckIrql("NdisMInitializeTimer", PASSIVE_LEVEL, PASSIVE_LEVEL, site);
    emu::ndis::Miniport* adapter =
        emu::ndis::Ndis::Current().Use(MiniportAdapterHandle, "NdisMInitializeTimer", site);
    if (adapter == nullptr) return;
    emu::ndis::Ndis::Current().TimerTable().Initialize(Timer, adapter, TimerFunction, FunctionContext, site);
}

void NdisSetTimer(NDIS_MINIPORT_TIMER* Timer, UINT MillisecondsToDelay) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel& kernel = Kernel::Current();
    kernel.Cpu().CheckIrql("NdisSetTimer", DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    emu::ndis::Ndis::Current().TimerTable().Set(Timer, MillisecondsToDelay, "NdisSetTimer", site);
}

void NdisMSetTimer(NDIS_MINIPORT_TIMER* Timer, UINT MillisecondsToDelay) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel& kernel = Kernel::Current();
    kernel.Cpu().CheckIrql("NdisMSetTimer", DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    emu::ndis::Ndis::Current().TimerTable().Set(Timer, MillisecondsToDelay, "NdisMSetTimer", site);
}

void NdisMCancelTimer(NDIS_MINIPORT_TIMER* Timer, BOOLEAN* TimerCancelled) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel& kernel = Kernel::Current();
    kernel.Cpu().CheckIrql("NdisMCancelTimer", DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    bool cancelled = emu::ndis::Ndis::Current().TimerTable().Cancel(Timer, "NdisMCancelTimer", site);
    if (TimerCancelled != nullptr) *TimerCancelled = cancelled ? TRUE : FALSE;
}
