// IRQL, interrupt flag and spin lock bookkeeping of the one processor the driver runs on.
#include "emulator/kernel/processor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "emulator/kernel/kernel.h"
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

bool Processor::CheckIrql(const char* call, KIRQL max, KIRQL min, uintptr_t site) {
    if (in_driver_ && held_.empty() && boundary_) boundary_(call);
    if (irql_ <= max && irql_ >= min) return true;
    Check().Report(Rule::IrqlCall, call,
                   "called at IRQL " + std::to_string(irql_) + ", allowed " +
                       std::to_string(min) + ".." + std::to_string(max),
                   site);
    return false;
}

bool Processor::CheckIrqlExactly(const char* call, KIRQL level, uintptr_t site) {
    return CheckIrql(call, level, level, site);
}

void Processor::InitializeLock(const void* lock) {
    auto held = std::find(held_.begin(), held_.end(), lock);
    if (held != held_.end()) {
        Check().Report(Rule::LockState, "KeInitializeSpinLock",
                       "lock " + Hex(lock) + " initialised while held");
        held_.erase(held);
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

bool Processor::Acquire(const void* lock, const char* call, uintptr_t site) {
    if (!IsLockInitialized(lock)) {
        // Reported once; taking it as if initialised keeps one fault from cascading.
        Check().Report(Rule::LockState, call, "lock " + Hex(lock) + " was never initialised", site);
        initialized_.insert(lock);
    }
    if (std::find(held_.begin(), held_.end(), lock) != held_.end()) {
        Check().Report(Rule::LockState, call,
                       "lock " + Hex(lock) + " is already held by this processor (self-deadlock)",
                       site);
        return false;
    }
    for (const void* first : held_) {
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
    held_.push_back(lock);
    CheckGuards(lock, call, site);
    return true;
}

bool Processor::Release(const void* lock, const char* call, uintptr_t site) {
    auto held = std::find(held_.begin(), held_.end(), lock);
    if (held == held_.end()) {
        Check().Report(Rule::LockState, call, "lock " + Hex(lock) + " released but not held", site);
        return false;
    }
    held_.erase(held);
    KeepGuards(lock, call, site);
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
    return std::any_of(held_.begin(), held_.end(),
                       [&](const void* lock) { return Within(lock, begin, length); });
}

Processor::Frame Processor::Enter(KIRQL irql, const char* what) {
    // Reported once per chain, as it first goes too deep.
    if (++depth_ == kMostNestedCalls + 1)
        Check().Report(Rule::StackDepth, what,
                       "driver calls nested " + std::to_string(depth_) +
                           " deep on one processor; a kernel stack overflows long before a "
                           "chain that grows with the work queued");
    Frame frame{irql_, irql, held_, interrupts_enabled_, in_driver_};
    irql_ = irql;
    in_driver_ = true;
    return frame;
}

void Processor::Leave(const Frame& frame, const char* what) {
    --depth_;
    std::string wrong;
    if (irql_ != frame.called_irql)
        wrong += "returned at IRQL " + std::to_string(irql_) + ", called at " +
                 std::to_string(frame.called_irql) + "; ";
    size_t taken = 0;
    for (const void* lock : held_)
        if (std::find(frame.held.begin(), frame.held.end(), lock) == frame.held.end()) ++taken;
    if (taken != 0) wrong += "still holds " + std::to_string(taken) + " lock(s) it took; ";
    size_t dropped = 0;
    for (const void* lock : frame.held)
        if (std::find(held_.begin(), held_.end(), lock) == held_.end()) ++dropped;
    if (dropped != 0) wrong += "released " + std::to_string(dropped) + " lock(s) its caller held; ";
    if (interrupts_enabled_ != frame.interrupts) wrong += "changed the interrupt flag; ";
    if (!wrong.empty()) {
        wrong.resize(wrong.size() - 2);
        Check().Report(Rule::IrqlBalance, what, wrong);
        // Put the processor back as the caller left it so the run can go on.
        held_ = frame.held;
    }
    irql_ = frame.entry_irql;
    interrupts_enabled_ = frame.interrupts;
    in_driver_ = frame.in_driver;
}

}  // namespace emu
