// Virtual time and the deterministic queue of deferred work.
#include "emulator/kernel/scheduler.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <mutex>
#include <thread>

#include "emulator/kernel/kernel.h"
#include "emulator/kernel/platform_lock.h"
#include "emulator/kernel/processor.h"
#include "emulator/verifier/verifier.h"
#include "platform/kernel.h"

namespace emu {

Scheduler::Id Scheduler::At(uint64_t when_us, std::string_view /*what*/,
                            std::function<void()> work, bool background, int cpu) {
    if (when_us < now_us_) when_us = now_us_;
    Id id = next_id_++;
    if (spare_items_.empty()) {
        queue_.emplace(std::make_pair(when_us, id), Item{std::move(work), background, cpu});
        when_.emplace(id, when_us);
    } else {
        Queue::node_type item = std::move(spare_items_.back());
        spare_items_.pop_back();
        item.key() = std::make_pair(when_us, id);
        item.mapped() = Item{std::move(work), background, cpu};
        queue_.insert(std::move(item));
        When::node_type when = std::move(spare_whens_.back());
        spare_whens_.pop_back();
        when.key() = id;
        when.mapped() = when_us;
        when_.insert(std::move(when));
    }
    if (!background) ++foreground_;
    race::Release(race::ItemToken(id));  // the item runs after what its queuer did
    if (threads_) threads_->changed.notify_all();
    return id;
}

Scheduler::Id Scheduler::After(uint64_t delay_us, std::string_view what,
                               std::function<void()> work, bool background, int cpu) {
    return At(now_us_ + delay_us, what, std::move(work), background, cpu);
}

bool Scheduler::Cancel(Id id) {
    auto found = when_.find(id);
    if (found == when_.end()) return false;
    auto item = queue_.find(std::make_pair(found->second, id));
    if (!item->second.background) --foreground_;
    Queue::node_type node = queue_.extract(item);
    node.mapped().work = nullptr;  // what it holds goes now, as with an erase
    Recycle(std::move(node), when_.extract(found));
    return true;
}

void Scheduler::Recycle(Queue::node_type item, When::node_type when) {
    constexpr size_t kSpareKept = 64;
    if (spare_items_.size() >= kSpareKept || item.empty() || when.empty()) return;
    spare_items_.push_back(std::move(item));
    spare_whens_.push_back(std::move(when));
}

bool Scheduler::Pending(Id id) const { return when_.count(id) != 0; }

bool Scheduler::Idle() const { return foreground_ == 0; }

std::optional<uint64_t> Scheduler::NextTime() const {
    if (queue_.empty()) return std::nullopt;
    return queue_.begin()->first.first;
}

bool Scheduler::RunNext(uint64_t limit_us) {
    if (queue_.empty() || queue_.begin()->first.first > limit_us) return false;
    RunFirst();
    return true;
}

void Scheduler::RunItem(Queue::iterator first) {
    if (first->first.first > now_us_) now_us_ = first->first.first;
    Item item = std::move(first->second);
    race::Acquire(race::ItemToken(first->first.second));
    When::node_type when = when_.extract(first->first.second);
    Recycle(queue_.extract(first), std::move(when));
    if (!item.background) --foreground_;

    // Deferred work runs as a DPC would: at DISPATCH_LEVEL, platform code until it calls
    // into the driver.
    Processor& cpu = Kernel::Current().Cpu();
    Processor::PlatformScope platform(cpu);
    KIRQL entry = cpu.Irql();
    cpu.SetIrql(DISPATCH_LEVEL);
    item.work();
    cpu.SetIrql(entry);
    if (threads_) {
        ++threads_->ran;
        threads_->changed.notify_all();
    }
}

void Scheduler::Interleave(InterleaveOptions options) {
    if (options.one_in == 0) options.one_in = 1;
    interleave_ = Interleaver{options, std::mt19937(options.seed)};
}

std::optional<uint32_t> Scheduler::InterleaveSeed() const {
    if (!interleave_) return std::nullopt;
    return interleave_->options.seed;
}

void Scheduler::AtBoundary(const char* /*call*/) {
    // One other processor: the work it runs is not itself stepped into.
    if (!interleave_ || stepping_in_ != 0) return;
    ++boundaries_;
    if (interleave_->rng() % interleave_->options.one_in != 0) return;
    // Work pinned to a processor is that processor's own, in its order: the one stepping in
    // is another.
    auto first = queue_.begin();
    while (first != queue_.end() && first->second.cpu != kAnyProcessor) ++first;
    if (first == queue_.end()) return;
    uint64_t horizon = interleave_->options.horizon_us;
    if (threads_) {
        // The clock moves no further than ClockReach allows (another processor may be inside
        // the very completion a time-out is waiting for), nor past work due sooner that only
        // another processor may run.
        const uint64_t reach = std::min(ClockReach(), std::max(*NextTime(), now_us_));
        horizon = std::min(horizon, reach - now_us_);
    }
    if (first->first.first > now_us_ + horizon) return;
    ++stepping_in_;
    ++interleaved_;
    {
        Processor::OtherProcessor other(Kernel::Current().Cpu());
        RunItem(first);
    }
    --stepping_in_;
}

size_t Scheduler::RunUntil(uint64_t until_us) {
    size_t ran = 0;
    while (RunNext(until_us)) ++ran;
    if (until_us > now_us_) now_us_ = until_us;
    return ran;
}

size_t Scheduler::RunUntilIdle(uint64_t limit_us) {
    uint64_t deadline = now_us_ + limit_us;
    size_t ran = 0;
    while (!Idle() && RunNext(deadline)) ++ran;
    return ran;
}

bool Scheduler::WaitFor(const std::function<bool()>& done, std::optional<uint64_t> deadline_us,
                        const char* call) {
    if (threads_) return ThreadedWait(done, deadline_us, call);
    const uint64_t limit = deadline_us ? *deadline_us : std::numeric_limits<uint64_t>::max();
    for (;;) {
        if (done()) return true;
        if (!deadline_us && Idle()) {
            Kernel::Current().Check().Report(
                Rule::Platform, call,
                "wait can never end: nothing is queued that could satisfy it");
            return false;
        }
        if (!RunNext(limit)) {
            if (limit > now_us_) now_us_ = limit;
            return done();
        }
    }
}

// ---- Threaded mode ------------------------------------------------------------------------------

Scheduler::Queue::iterator Scheduler::DueFor(int cpu) {
    for (auto item = queue_.begin(); item != queue_.end() && item->first.first <= now_us_;
         ++item) {
        const int pin = item->second.cpu;
        if (pin == kAnyProcessor || pin == cpu) return item;
        // A processor that has left the run leaves its pinned work to those still in a wait,
        // which may be waiting for just that; one item at a time, so it keeps its order.
        const uint64_t bit = uint64_t{1} << pin;
        if ((threads_->left & bit) != 0 && (threads_->pin_running & bit) == 0) return item;
    }
    return queue_.end();
}

bool Scheduler::RunDue() {
    const int cpu = Kernel::Current().Cpu().Number();
    auto item = DueFor(cpu);
    if (item == queue_.end()) return false;
    const int pin = item->second.cpu;
    const uint64_t adopted = pin == kAnyProcessor || pin == cpu ? 0 : uint64_t{1} << pin;
    threads_->pin_running |= adopted;
    RunItem(item);
    threads_->pin_running &= ~adopted;
    return true;
}

uint64_t Scheduler::ClockReach() const {
    if (threads_->busy != 1) return now_us_;  // another processor is still at work
    uint64_t reach = std::numeric_limits<uint64_t>::max();
    for (const Waiter* waiter : threads_->waiters) {
        // Its processor is about to go on; time must not pass it by while it wakes.
        if ((*waiter->done)()) return now_us_;
        if (waiter->deadline_us) reach = std::min(reach, std::max(*waiter->deadline_us, now_us_));
    }
    return reach;
}

bool Scheduler::MoveClockOn(std::optional<uint64_t> deadline) {
    constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
    uint64_t next = std::min(NextTime().value_or(kNever), deadline.value_or(kNever));
    next = std::min(next, ClockReach());
    if (next == kNever || next <= now_us_) return false;  // nothing queued, due, or allowed
    now_us_ = next;
    threads_->changed.notify_all();
    return true;
}

void Scheduler::WaitForChange() {
    // The platform lock is this thread's, taken through PlatformLock; the wait lends it out.
    std::unique_lock<std::mutex> lock(PlatformLock::Mutex(), std::adopt_lock);
    --threads_->busy;
    if (threads_->busy == 0) threads_->changed.notify_all();
    threads_->changed.wait_for(lock, std::chrono::milliseconds(1));
    ++threads_->busy;
    lock.release();
}

void Scheduler::ProcessorLoop() {
    for (;;) {
        if (!threads_->stopping && (*threads_->stop)()) {
            threads_->stopping = true;
            threads_->changed.notify_all();
        }
        if (threads_->stopping) {
            // Its pinned work passes to whoever is still waiting (see DueFor).
            threads_->left |= uint64_t{1} << Kernel::Current().Cpu().Number();
            threads_->changed.notify_all();
            return;
        }
        if (RunDue() || MoveClockOn()) continue;
        WaitForChange();
    }
}

void Scheduler::ProcessorThread() {
    PlatformLock::Enter();
    Processor& cpu = Kernel::Current().Cpu();
    cpu.AttachThread();
    ++threads_->busy;
    ProcessorLoop();
    --threads_->busy;
    threads_->changed.notify_all();
    cpu.DetachThread();
    PlatformLock::Leave();
}

size_t Scheduler::RunOnProcessors(int processors, const std::function<bool()>& stop) {
    if (processors < 1) processors = 1;
    threads_ = std::make_unique<Threads>();
    threads_->stop = &stop;
    PlatformLock::SetThreaded(true);
    // Started before this thread takes the lock: the start of a thread is an edge that
    // ThreadSanitizer must see.
    std::vector<std::thread> others;
    for (int n = 1; n < processors; ++n) others.emplace_back([this] { ProcessorThread(); });
    PlatformLock::Enter();
    ++threads_->busy;
    ProcessorLoop();
    --threads_->busy;
    threads_->changed.notify_all();
    {
        PlatformReleased joining;
        for (std::thread& other : others) other.join();
    }
    const size_t ran = threads_->ran;
    threads_.reset();
    PlatformLock::Leave();
    PlatformLock::SetThreaded(false);
    return ran;
}

bool Scheduler::ThreadedWait(const std::function<bool()>& done,
                             std::optional<uint64_t> deadline_us, const char* call) {
    // Known to the others while it lasts, in place of this processor's outer wait if any.
    static thread_local const Waiter* innermost = nullptr;
    const Waiter self{&done, deadline_us};
    struct Registration {
        std::vector<const Waiter*>& waiters;
        const Waiter* outer;
        const Waiter* self;
        Registration(std::vector<const Waiter*>& list, const Waiter* mine)
            : waiters(list), outer(innermost), self(mine) {
            if (outer != nullptr) std::erase(waiters, outer);
            waiters.push_back(self);
            innermost = self;
        }
        ~Registration() {
            std::erase(waiters, self);
            if (outer != nullptr) waiters.push_back(outer);
            innermost = outer;
        }
    } registration(threads_->waiters, &self);
    for (;;) {
        if (done()) return true;
        if (deadline_us && now_us_ >= *deadline_us) return done();
        if (RunDue() || MoveClockOn(deadline_us)) continue;
        if (!deadline_us && threads_->busy == 1 && Idle()) {
            Kernel::Current().Check().Report(
                Rule::Platform, call,
                "wait can never end: nothing is queued that could satisfy it");
            return false;
        }
        WaitForChange();
    }
}

}  // namespace emu
