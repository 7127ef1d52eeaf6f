// IRQL, interrupt flag and spin lock bookkeeping of the processors the driver runs on.
#include "emulator/kernel/processor.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "emulator/kernel/kernel.h"
#include "emulator/kernel/pool.h"
#include "emulator/verifier/verifier.h"

namespace emu {

static Verifier& Check() { return Kernel::Current().Check(); }

static std::string Hex(const void* address) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%p", address);
    return buffer;
}

// Naming a code address is slow (dladdr and demangling), so it waits for a report.
static std::string Describe(const Processor::SeenAt& seen) {
    return std::string(seen.call) + " at " + PlaceName(seen.site);
}

static bool Within(const void* address, const void* begin, size_t length) {
    auto a = reinterpret_cast<uintptr_t>(address);
    auto b = reinterpret_cast<uintptr_t>(begin);
    return a >= b && a < b + length;
}

int Processor::AttachThread() {
    others_.push_back(std::make_unique<CpuState>());
    others_.back()->number = static_cast<int>(others_.size());
    current_ = others_.back().get();
    return current_->number;
}

void Processor::DetachThread() {
    CpuState* state = current_;
    current_ = nullptr;
    others_.erase(std::remove_if(others_.begin(), others_.end(),
                                 [state](const auto& other) { return other.get() == state; }),
                  others_.end());
}

bool Processor::CheckIrql(const char* call, KIRQL max, KIRQL min, uintptr_t site) {
    const CpuState& cpu = State();
    if (cpu.in_driver && cpu.held.empty() && boundary_) boundary_(call);
    const KIRQL irql = cpu.irql;
    if (irql <= max && irql >= min) return true;
    Check().Report(Rule::IrqlCall, call,
                   "called at IRQL " + std::to_string(irql) + ", allowed " +
                       std::to_string(min) + ".." + std::to_string(max),
                   site);
    return false;
}

bool Processor::CheckIrqlExactly(const char* call, KIRQL level, uintptr_t site) {
    return CheckIrql(call, level, level, site);
}

void Processor::CheckNoLockHeld(const char* call, uintptr_t site) {
    const size_t held = State().held.size();
    if (held == 0) return;
    Check().Report(Rule::LockState, call,
                   "called holding " + std::to_string(held) +
                       " spin lock(s); it must be called with none held",
                   site);
}

bool Processor::HeldHere(const void* lock) const {
    const std::vector<const void*>& held = State().held;
    return std::find(held.begin(), held.end(), lock) != held.end();
}

void Processor::InitializeLock(const void* lock) {
    std::vector<const void*>& locks = State().held;
    auto held = std::find(locks.begin(), locks.end(), lock);
    if (held != locks.end()) {
        Check().Report(Rule::LockState, "KeInitializeSpinLock",
                       "lock " + Hex(lock) + " initialised while held");
        locks.erase(held);
    }
    initialized_.insert(lock);
}

void Processor::ForgetLocksIn(const void* begin, size_t length) {
    for (auto it = initialized_.begin(); it != initialized_.end();)
        it = Within(*it, begin, length) ? initialized_.erase(it) : std::next(it);
    for (auto it = guards_.begin(); it != guards_.end();) {
        if (Within(it->first, begin, length)) {
            it = guards_.erase(it);
            continue;
        }
        auto& ranges = it->second.ranges;
        ranges.erase(std::remove_if(ranges.begin(), ranges.end(),
                                    [&](const Guarded& g) { return Within(g.begin, begin, length); }),
                     ranges.end());
        ++it;
    }
    for (auto it = order_.begin(); it != order_.end();) {
        bool stale = Within(it->first.first, begin, length) || Within(it->first.second, begin, length);
        it = stale ? order_.erase(it) : std::next(it);
    }
}

bool Processor::IsLockInitialized(const void* lock) const { return initialized_.count(lock) != 0; }

// Threaded mode: another processor may hold the lock; wait for its word to come free, with the
// platform let go so that the holder can go on.
void Processor::SpinFor(LockWord word) {
    std::atomic_ref<KSPIN_LOCK> state(*word.word);
    KSPIN_LOCK expected = word.free;
    if (state.compare_exchange_strong(expected, word.held, std::memory_order_acquire)) return;
    PlatformReleased spinning;
    for (unsigned spins = 1;; ++spins) {
        expected = word.free;
        if (state.load(std::memory_order_relaxed) == word.free &&
            state.compare_exchange_weak(expected, word.held, std::memory_order_acquire))
            return;
        if (spins % 64 == 0) std::this_thread::yield();  // the holder may share our core
    }
}

bool Processor::Acquire(const void* lock, const char* call, uintptr_t site, LockWord word) {
    if (!IsLockInitialized(lock)) {
        // Reported once; taking it as if initialised keeps one fault from cascading.
        Check().Report(Rule::LockState, call, "lock " + Hex(lock) + " was never initialised", site);
        initialized_.insert(lock);
        if (word.word != nullptr) std::atomic_ref<KSPIN_LOCK>(*word.word).store(word.free);
    }
    // Held at DISPATCH_LEVEL, where a page fault is fatal: the lock's storage must be
    // resident (NdisAllocateSpinLock's page, learn.microsoft.com/previous-versions/windows/
    // hardware/network/ff550793, asks for nonpaged storage).
    if (Kernel::Current().Memory().IsPaged(lock))
        Check().Report(Rule::IrqlCall, call,
                       "lock " + Hex(lock) + " lies in paged pool and is touched at DISPATCH_LEVEL",
                       site);
    if (HeldHere(lock)) {
        Check().Report(Rule::LockState, call,
                       "lock " + Hex(lock) + " is already held by this processor (self-deadlock)",
                       site);
        return false;
    }
    if (word.word != nullptr) {
        if (PlatformLock::Threaded())
            SpinFor(word);
        else
            std::atomic_ref<KSPIN_LOCK>(*word.word).store(word.held, std::memory_order_relaxed);
    }
    race::Acquire(lock);  // after everything the previous holder did
    std::vector<const void*>& locks = State().held;
    for (const void* first : locks) {
        auto pair = std::make_pair(first, lock);
        if (!order_.try_emplace(pair, SeenAt{call, site}).second) continue;
        auto reverse = order_.find(std::make_pair(lock, first));
        if (reverse != order_.end()) {
            Check().Report(Rule::LockOrder, call,
                           "lock " + Hex(lock) + " taken while holding " + Hex(first) + " (" +
                               Describe(SeenAt{call, site}) + "), but elsewhere " + Hex(first) +
                               " was taken while holding " + Hex(lock) + " (" +
                               Describe(reverse->second) + ")",
                           site);
        }
    }
    locks.push_back(lock);
    CheckGuards(lock, call, site);
    return true;
}

bool Processor::Release(const void* lock, const char* call, uintptr_t site, LockWord word) {
    std::vector<const void*>& locks = State().held;
    auto held = std::find(locks.begin(), locks.end(), lock);
    if (held == locks.end()) {
        Check().Report(Rule::LockState, call, "lock " + Hex(lock) + " released but not held", site);
        return false;
    }
    locks.erase(held);
    KeepGuards(lock, call, site);
    race::Release(lock);
    if (word.word != nullptr)
        std::atomic_ref<KSPIN_LOCK>(*word.word).store(word.free, std::memory_order_release);
    return true;
}

void Processor::GuardWithLock(const void* lock, const void* begin, size_t size, std::string what) {
    const auto* bytes = static_cast<const uint8_t*>(begin);
    guards_[lock].ranges.push_back(
        Guarded{bytes, size, std::move(what), std::vector<uint8_t>(bytes, bytes + size)});
}

void Processor::CheckGuards(const void* lock, const char* call, uintptr_t site) {
    auto found = guards_.find(lock);
    if (found == guards_.end()) return;
    for (Guarded& guarded : found->second.ranges) {
        if (std::memcmp(guarded.kept.data(), guarded.begin, guarded.size) == 0) continue;
        Check().Report(Rule::LockGuard, call,
                       guarded.what + " changed while lock " + Hex(lock) +
                           " was free (last released " +
                           (found->second.released_by == nullptr
                                ? std::string("before the check began")
                                : std::string("by ") + found->second.released_by + " at " +
                                      PlaceName(found->second.released_at)) +
                           "); it was written without the lock",
                       site);
        guarded.kept.assign(guarded.begin, guarded.begin + guarded.size);
    }
}

void Processor::KeepGuards(const void* lock, const char* call, uintptr_t site) {
    auto found = guards_.find(lock);
    if (found == guards_.end()) return;
    for (Guarded& guarded : found->second.ranges)
        guarded.kept.assign(guarded.begin, guarded.begin + guarded.size);
    found->second.released_by = call;
    found->second.released_at = site;
}

bool Processor::HoldsAnyIn(const void* begin, size_t length) const {
    auto holds = [&](const CpuState& cpu) {
        return std::any_of(cpu.held.begin(), cpu.held.end(),
                           [&](const void* lock) { return Within(lock, begin, length); });
    };
    return holds(main_) ||
           std::any_of(others_.begin(), others_.end(), [&](const auto& other) { return holds(*other); });
}

Processor::Frame Processor::Enter(KIRQL irql, const char* what) {
    CpuState& cpu = State();
    // Reported once per chain, as it first goes too deep.
    if (++cpu.depth == kMostNestedCalls + 1)
        Check().Report(Rule::StackDepth, what,
                       "driver calls nested " + std::to_string(cpu.depth) +
                           " deep on one processor; a kernel stack overflows long before a "
                           "chain that grows with the work queued");
    Frame frame{cpu.irql, irql, cpu.held, cpu.interrupts_enabled, cpu.in_driver};
    cpu.irql = irql;
    cpu.in_driver = true;
    return frame;
}

void Processor::Leave(const Frame& frame, const char* what) {
    CpuState& cpu = State();
    std::vector<const void*>& locks = cpu.held;
    --cpu.depth;
    std::string wrong;
    if (cpu.irql != frame.called_irql)
        wrong += "returned at IRQL " + std::to_string(cpu.irql) + ", called at " +
                 std::to_string(frame.called_irql) + "; ";
    size_t taken = 0;
    for (const void* lock : locks)
        if (std::find(frame.held.begin(), frame.held.end(), lock) == frame.held.end()) ++taken;
    if (taken != 0) wrong += "still holds " + std::to_string(taken) + " lock(s) it took; ";
    size_t dropped = 0;
    for (const void* lock : frame.held)
        if (std::find(locks.begin(), locks.end(), lock) == locks.end()) ++dropped;
    if (dropped != 0) wrong += "released " + std::to_string(dropped) + " lock(s) its caller held; ";
    if (cpu.interrupts_enabled != frame.interrupts) wrong += "changed the interrupt flag; ";
    if (!wrong.empty()) {
        wrong.resize(wrong.size() - 2);
        Check().Report(Rule::IrqlBalance, what, wrong);
        // Put the processor back as the caller left it so the run can go on.
        locks = frame.held;
    }
    cpu.irql = frame.entry_irql;
    cpu.interrupts_enabled = frame.interrupts;
    cpu.in_driver = frame.in_driver;
}

}  // namespace emu
