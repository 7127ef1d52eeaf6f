// Virtual time and the deterministic scheduler: one clock in microseconds and a time-ordered
// queue of deferred work that runs at DISPATCH_LEVEL when the clock reaches it.
//
// Interleaving mode: a second processor, reproducibly. At the start of a platform routine
// that driver code calls while holding no spin lock, the scheduler may run the next queued
// item there and then, at DISPATCH_LEVEL, as another processor would; when that item is not
// yet due the clock moves on to it (a bus that finishes sooner, a timer that fires now: in
// virtual time nothing falls due between two calls that do not wait). Whether it steps in
// at a boundary is drawn from a seed, so a failing schedule reproduces from its seed.
//
// Threaded mode: real processors. RunOnProcessors runs the queue on several OS threads at once,
// each a processor of its own (emulator/kernel/processor.h), with the platform's state kept by
// one lock that the driver's code runs without (emulator/kernel/platform_lock.h). Items due
// now run on whichever processor takes them first, side by side; an item may also be pinned
// to one processor (a sender whose frames must leave in order). Virtual time still drives
// everything: the clock moves on to the next item only when every other processor waits for
// work, so that nothing falls due early while another processor is still inside a routine
// (a completion on its way would otherwise miss a time-out it had in fact beaten).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace emu {

class Scheduler {
public:
    using Id = uint64_t;

    uint64_t Now() const { return now_us_; }

    // Queue `work` to run at virtual time `when_us` (not before now). Items due at the same
    // time run in the order they were queued. Background items (periodic platform work such
    // as the hang check) do not keep the machine busy: Idle() ignores them. `what` names the
    // work for the reader of the call; it is not kept, so queuing costs no string. In the
    // threaded mode an item pinned to processor `cpu` runs only there (one processor runs
    // everything otherwise); a processor stepping in at a boundary never takes it.
    Id At(uint64_t when_us, std::string_view what, std::function<void()> work,
          bool background = false, int cpu = kAnyProcessor);
    // How many processors have stepped in, one inside the other, on this thread right now:
    // work that sees a different value from an earlier point is another processor's.
    static int SteppingIn() { return stepping_in_; }
    Id After(uint64_t delay_us, std::string_view what, std::function<void()> work,
             bool background = false, int cpu = kAnyProcessor);
    static constexpr int kAnyProcessor = -1;
    // Removes a queued item; false when it already ran or was cancelled.
    bool Cancel(Id id);
    bool Pending(Id id) const;

    // Runs every item due up to `until_us` (inclusive) at DISPATCH_LEVEL, moving the clock
    // to each item's time, then sets the clock to `until_us`. Returns the items run.
    size_t RunUntil(uint64_t until_us);
    size_t Advance(uint64_t delta_us) { return RunUntil(now_us_ + delta_us); }
    // Runs until no foreground item is queued, or the clock would pass now + limit_us.
    size_t RunUntilIdle(uint64_t limit_us = 60'000'000);
    bool Idle() const;
    std::optional<uint64_t> NextTime() const;

    // A passive-level wait: runs queued work (as another processor would) until `done`
    // holds, or the clock reaches `deadline_us`. Returns true when `done` held. With no
    // deadline and nothing left that could end the wait, reports a Platform violation and
    // returns false.
    bool WaitFor(const std::function<bool()>& done, std::optional<uint64_t> deadline_us,
                 const char* call);

    // Runs the next queued item if it is due by `limit_us`; false when there is none.
    bool RunNext(uint64_t limit_us);

    // ---- Threaded mode ----------------------------------------------------------------------
    // Runs queued work on `processors` OS threads (this one is processor 0) until `stop`
    // holds; `stop` is asked with the platform locked, between items. Returns when every
    // processor has finished the item it was running. The items run, in all.
    size_t RunOnProcessors(int processors, const std::function<bool()>& stop);
    bool Threaded() const { return threads_ != nullptr; }

    // ---- Interleaving mode ------------------------------------------------------------------
    struct InterleaveOptions {
        uint32_t seed = 1;
        // Chance of stepping in at a boundary: one in `one_in`.
        uint32_t one_in = 3;
        // How far ahead of now an item that is not yet due may be pulled in: about what a
        // transfer or a timer about to fire may come sooner by. Keeps boundaries from leaping
        // the clock over far-off work (the next clock tick, a periodic check) call by call.
        uint64_t horizon_us = 2'000;
    };
    void Interleave(InterleaveOptions options);
    void StopInterleaving() { interleave_.reset(); }
    bool Interleaving() const { return interleave_.has_value(); }
    std::optional<uint32_t> InterleaveSeed() const;
    // Items run in between so far, and the boundaries seen.
    uint64_t Interleaved() const { return interleaved_; }
    uint64_t Boundaries() const { return boundaries_; }
    // A boundary: the start of platform routine `call`, called by driver code holding no lock.
    void AtBoundary(const char* call);

private:
    struct Item {
        std::function<void()> work;
        bool background;
        int cpu;
    };
    uint64_t now_us_ = 0;
    Id next_id_ = 1;
    size_t foreground_ = 0;  // queued items that are not background
    using Queue = std::map<std::pair<uint64_t, Id>, Item>;
    using When = std::unordered_map<Id, uint64_t>;
    Queue queue_;
    When when_;
    // Nodes of items that ran or were cancelled, used again for the next ones: queuing a
    // frame's work then allocates no map node.
    std::vector<Queue::node_type> spare_items_;
    std::vector<When::node_type> spare_whens_;
    void Recycle(Queue::node_type item, When::node_type when);

    struct Interleaver {
        InterleaveOptions options;
        std::mt19937 rng;
    };
    std::optional<Interleaver> interleave_;
    // An item runs in between on this processor now: it is the other processor.
    static inline thread_local int stepping_in_ = 0;
    uint64_t interleaved_ = 0;
    uint64_t boundaries_ = 0;

    // Takes the first queued item off the queue and runs it at DISPATCH_LEVEL.
    void RunFirst() { RunItem(queue_.begin()); }
    void RunItem(Queue::iterator item);

    // A processor in a passive-level wait: what ends it, and when it times out.
    struct Waiter {
        const std::function<bool()>* done;
        std::optional<uint64_t> deadline_us;
    };
    struct Threads {
        std::condition_variable changed;  // an item ran or was queued, or the clock moved
        int busy = 0;                     // processors not waiting for work
        bool stopping = false;
        size_t ran = 0;
        const std::function<bool()>* stop = nullptr;
        // The innermost wait of each waiting processor (an outer one cannot go on before it).
        std::vector<const Waiter*> waiters;
        // Processors that have left the run (bit n: processor n), and which of them have a
        // pinned item running on another processor now.
        uint64_t left = 0;
        uint64_t pin_running = 0;
    };
    std::unique_ptr<Threads> threads_;
    // The first item due now that processor `cpu` may run, or the end.
    Queue::iterator DueFor(int cpu);
    bool RunDue();
    // How far the clock may move on now: not at all while another processor is at work or a
    // waiting one could go on (its wait ended, or its time-out came); else up to the earliest
    // time-out of those waiting.
    uint64_t ClockReach() const;
    // Moves the clock on to the next item (or `deadline`, if sooner) as far as ClockReach
    // allows; false when it may not move.
    bool MoveClockOn(std::optional<uint64_t> deadline = std::nullopt);
    void WaitForChange();
    void ProcessorLoop();
    void ProcessorThread();
    bool ThreadedWait(const std::function<bool()>& done, std::optional<uint64_t> deadline_us,
                      const char* call);
};

}  // namespace emu
