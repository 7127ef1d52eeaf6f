// The processors the driver runs on: each one's IRQL, interrupt flag and the spin locks it
// holds, with the checks of IRQL_CALL, IRQL_BALANCE, LOCK_STATE and LOCK_ORDER. The
// deterministic mode has one; the threaded mode adds one per OS thread (AttachThread), each
// with its own state, while what is known of the locks (initialised, their order, the fields
// they guard) is the machine's.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "emulator/kernel/platform_lock.h"
#include "platform/kernel.h"
#include "platform/types.h"

namespace emu {

// The word a spin lock keeps its state in, and the values it holds free and held. The word is
// set to `held` by the processor that takes the lock; in the threaded mode a processor that
// finds it held spins, as on real hardware, with the platform let go.
struct SpinLockWord {
    KSPIN_LOCK* word = nullptr;
    KSPIN_LOCK free = 0;
    KSPIN_LOCK held = 1;
};

class Processor {
public:
    KIRQL Irql() const { return State().irql; }
    void SetIrql(KIRQL irql) { State().irql = irql; }
    bool InterruptsEnabled() const { return State().interrupts_enabled; }
    void SetInterruptsEnabled(bool on) { State().interrupts_enabled = on; }

    // Threaded mode: makes the calling OS thread a processor of its own (passive level, no
    // lock held), until DetachThread. Its number, from 1 (the thread that made the machine is
    // processor 0).
    int AttachThread();
    void DetachThread();
    // The number of the processor the calling thread is.
    int Number() const { return State().number; }

    // IRQL_CALL: reports when the current IRQL lies outside [min, max] for `call`.
    // Returns true when the call may go on. Every platform routine starts here, so this is
    // also the boundary at which another processor may step in (see SetBoundaryHook).
    bool CheckIrql(const char* call, KIRQL max, KIRQL min = 0, uintptr_t site = 0);
    // IRQL_CALL for calls that need exactly `level`.
    bool CheckIrqlExactly(const char* call, KIRQL level, uintptr_t site = 0);
    // LOCK_STATE for calls whose pages require every spin lock released first (the NDIS
    // pool and buffer frees take the pool's own lock and may call back into the system).
    // The call still goes on, as it would on Windows.
    void CheckNoLockHeld(const char* call, uintptr_t site = 0);

    // Spin lock bookkeeping, keyed by the lock's address.
    void InitializeLock(const void* lock);
    void ForgetLocksIn(const void* begin, size_t length);  // memory freed
    bool IsLockInitialized(const void* lock) const;
    using LockWord = SpinLockWord;
    // LOCK_STATE (self-deadlock, uninitialised) and LOCK_ORDER; returns false when the
    // acquisition must not go on: a self-deadlock. An uninitialised lock is reported once,
    // then taken, so the caller's release does not cascade into more reports.
    bool Acquire(const void* lock, const char* call, uintptr_t site = 0, LockWord word = {});
    // LOCK_STATE (not held); returns false when the release was refused. The word is set free
    // after the bookkeeping.
    bool Release(const void* lock, const char* call, uintptr_t site = 0, LockWord word = {});
    const std::vector<const void*>& Held() const { return State().held; }
    // A call and the driver address it came from, named only when a report needs it.
    struct SeenAt {
        const char* call;
        uintptr_t site;
    };

    // LOCK_GUARD: memory that only code holding `lock` may change (a driver record's fields
    // that the lock guards). Its bytes are kept at every release and compared at the next
    // acquisition; a difference was written while nobody held the lock.
    void GuardWithLock(const void* lock, const void* begin, size_t size, std::string what);
    bool HoldsAnyIn(const void* begin, size_t length) const;

    // Called at the start of a platform routine that driver code called while this processor
    // holds no spin lock: the moment another processor's work may run in between.
    void SetBoundaryHook(std::function<void(const char* call)> hook) { boundary_ = std::move(hook); }
    // Whether the code running now is the driver's (a handler, completion routine, timer
    // function) rather than the platform's own.
    bool InDriver() const { return State().in_driver; }

    // Marks platform code running on behalf of a call: platform routines it calls on its own
    // are no boundaries (its state may be half-updated there).
    class PlatformScope {
    public:
        explicit PlatformScope(Processor& cpu) : cpu_(cpu), was_(cpu.State().in_driver) {
            cpu.State().in_driver = false;
        }
        ~PlatformScope() { cpu_.State().in_driver = was_; }
        PlatformScope(const PlatformScope&) = delete;
        PlatformScope& operator=(const PlatformScope&) = delete;

    private:
        Processor& cpu_;
        bool was_;
    };

    // Another processor's state while its work runs in between: dispatch level, interrupts
    // on, platform code. Restores this processor's state afterwards.
    class OtherProcessor {
    public:
        explicit OtherProcessor(Processor& cpu)
            : cpu_(cpu), irql_(cpu.State().irql), interrupts_(cpu.State().interrupts_enabled),
              depth_(cpu.State().depth), scope_(cpu) {
            cpu.State().irql = DISPATCH_LEVEL;
            cpu.State().interrupts_enabled = true;
            cpu.State().depth = 0;  // its own stack
        }
        ~OtherProcessor() {
            cpu_.State().irql = irql_;
            cpu_.State().interrupts_enabled = interrupts_;
            cpu_.State().depth = depth_;
        }
        OtherProcessor(const OtherProcessor&) = delete;
        OtherProcessor& operator=(const OtherProcessor&) = delete;

    private:
        Processor& cpu_;
        KIRQL irql_;
        bool interrupts_;
        int depth_;
        PlatformScope scope_;
    };

    // STACK_DEPTH: driver callbacks (handlers, completion routines, ...) nested on one
    // processor. A real kernel stack (12 KB on x86) holds a few dozen frames of a driver's
    // own; a chain that nests once per queued request overflows it.
    static constexpr int kMostNestedCalls = 96;
    int NestedCalls() const { return State().depth; }

    // Calls back into the driver at `irql` (a handler, completion routine, timer function or
    // work item named `what`) and checks IRQL_BALANCE on return: the same IRQL, no lock
    // taken inside still held. Restores the entry state afterwards. The driver's code runs
    // with the platform lock let go (threaded mode).
    template <class F>
    auto CallDriver(KIRQL irql, const char* what, F&& callback) {
        Frame frame = Enter(irql, what);
        if constexpr (std::is_void_v<decltype(callback())>) {
            {
                PlatformReleased driver_runs;
                callback();
            }
            Leave(frame, what);
        } else {
            auto result = [&] {
                PlatformReleased driver_runs;
                return callback();
            }();
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
        bool in_driver;
    };
    Frame Enter(KIRQL irql, const char* what);
    void Leave(const Frame& frame, const char* what);

    // What each processor has of its own.
    struct CpuState {
        KIRQL irql = 0;
        bool interrupts_enabled = true;
        bool in_driver = false;
        int depth = 0;
        int number = 0;
        std::vector<const void*> held;
    };
    CpuState main_;
    std::vector<std::unique_ptr<CpuState>> others_;
    // Set on an OS thread attached as a processor; the thread that made the machine has none.
    static inline thread_local CpuState* current_ = nullptr;
    CpuState& State() { return current_ != nullptr ? *current_ : main_; }
    const CpuState& State() const { return current_ != nullptr ? *current_ : main_; }
    bool HeldHere(const void* lock) const;
    void SpinFor(LockWord word);

    std::function<void(const char*)> boundary_;
    std::set<const void*> initialized_;
    struct Guarded {
        const uint8_t* begin;
        size_t size;
        std::string what;
        std::vector<uint8_t> kept;  // as the last holder left it
    };
    struct LockGuards {
        std::vector<Guarded> ranges;
        const char* released_by = nullptr;  // the call that last let the lock go, and where
        uintptr_t released_at = 0;
    };
    std::map<const void*, LockGuards> guards_;
    void CheckGuards(const void* lock, const char* call, uintptr_t site);
    void KeepGuards(const void* lock, const char* call, uintptr_t site);
    // LOCK_ORDER: for each ordered pair (first held, then taken) the place it was seen.
    std::map<std::pair<const void*, const void*>, SeenAt> order_;
};

}  // namespace emu
