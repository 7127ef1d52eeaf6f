// Virtual time and the deterministic queue of deferred work.
#include "emulator/kernel/scheduler.h"

#include <limits>

#include "emulator/kernel/kernel.h"
#include "emulator/kernel/processor.h"
#include "emulator/verifier/verifier.h"
#include "platform/kernel.h"

namespace emu {

Scheduler::Id Scheduler::At(uint64_t when_us, std::string_view /*what*/,
                            std::function<void()> work, bool background) {
    if (when_us < now_us_) when_us = now_us_;
    Id id = next_id_++;
    if (spare_items_.empty()) {
        queue_.emplace(std::make_pair(when_us, id), Item{std::move(work), background});
        when_.emplace(id, when_us);
    } else {
        Queue::node_type item = std::move(spare_items_.back());
        spare_items_.pop_back();
        item.key() = std::make_pair(when_us, id);
        item.mapped() = Item{std::move(work), background};
        queue_.insert(std::move(item));
        When::node_type when = std::move(spare_whens_.back());
        spare_whens_.pop_back();
        when.key() = id;
        when.mapped() = when_us;
        when_.insert(std::move(when));
    }
    if (!background) ++foreground_;
    return id;
}

Scheduler::Id Scheduler::After(uint64_t delay_us, std::string_view what,
                               std::function<void()> work, bool background) {
    return At(now_us_ + delay_us, what, std::move(work), background);
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

void Scheduler::RunFirst() {
    auto first = queue_.begin();
    now_us_ = first->first.first;
    Item item = std::move(first->second);
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
    if (queue_.empty() || queue_.begin()->first.first > now_us_ + interleave_->options.horizon_us)
        return;
    ++stepping_in_;
    ++interleaved_;
    {
        Processor::OtherProcessor other(Kernel::Current().Cpu());
        RunFirst();
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

}  // namespace emu
