// The processor the driver runs on: its IRQL, its interrupt flag and the spin locks it holds,
// with the checks of IRQL_CALL, IRQL_BALANCE, LOCK_STATE and LOCK_ORDER.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/types.h"

namespace emu {

class Processor {
public:
    KIRQL Irql() const { return irql_; }
    void SetIrql(KIRQL irql) { irql_ = irql; }
    bool InterruptsEnabled() const { return interrupts_enabled_; }
    void SetInterruptsEnabled(bool on) { interrupts_enabled_ = on; }

    // IRQL_CALL: reports when the current IRQL lies outside [min, max] for `call`.
    // Returns true when the call may go on.
    bool CheckIrql(const char* call, KIRQL max, KIRQL min = 0, uintptr_t site = 0);
    // IRQL_CALL for calls that need exactly `level`.
    bool CheckIrqlExactly(const char* call, KIRQL level, uintptr_t site = 0);

    // Spin lock bookkeeping, keyed by the lock's address.
    void InitializeLock(const void* lock);
    void ForgetLocksIn(const void* begin, size_t length);  // memory freed
    bool IsLockInitialized(const void* lock) const;
    // LOCK_STATE (self-deadlock, uninitialised) and LOCK_ORDER; returns false when the
    // acquisition must not go on: a self-deadlock. An uninitialised lock is reported once,
    // then taken, so the caller's release does not cascade into more reports.
    bool Acquire(const void* lock, const char* call, uintptr_t site = 0);
    // LOCK_STATE (not held); returns false when the release was refused.
    bool Release(const void* lock, const char* call, uintptr_t site = 0);
    const std::vector<const void*>& Held() const { return held_; }
    bool HoldsAnyIn(const void* begin, size_t length) const;

    // Calls back into the driver at `irql` (a handler, completion routine, timer function or
    // work item named `what`) and checks IRQL_BALANCE on return: the same IRQL, no lock
    // taken inside still held. Restores the entry state afterwards.
    template <class F>
    auto CallDriver(KIRQL irql, const char* what, F&& callback) {
        Frame frame = Enter(irql);
        if constexpr (std::is_void_v<decltype(callback())>) {
            callback();
            Leave(frame, what);
        } else {
            auto result = callback();
            Leave(frame, what);
            return result;
        }
    }

private:
    struct Frame {
        KIRQL entry_irql;
        KIRQL called_irql;
        std::vector<const void*> held;  // locks held on entry
        bool interrupts;
    };
    Frame Enter(KIRQL irql);
    void Leave(const Frame& frame, const char* what);

    KIRQL irql_ = 0;
    bool interrupts_enabled_ = true;
    std::set<const void*> initialized_;
    std::vector<const void*> held_;
    // LOCK_ORDER: for each ordered pair (first held, then taken) the place it was seen.
    std::map<std::pair<const void*, const void*>, std::string> order_;
};

}  // namespace emu
