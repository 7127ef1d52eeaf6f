// Virtual time and the deterministic scheduler: one clock in microseconds and a time-ordered
// queue of deferred work that runs at DISPATCH_LEVEL when the clock reaches it.
//
// Interleaving mode: a second processor, reproducibly. At the start of a platform routine
// that driver code calls while holding no spin lock, the scheduler may run the next queued
// item there and then, at DISPATCH_LEVEL, as another processor would; when that item is not
// yet due the clock moves on to it (a bus that finishes sooner, a timer that fires now: in
// virtual time nothing falls due between two calls that do not wait). Whether it steps in
// at a boundary is drawn from a seed, so a failing schedule reproduces from its seed.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
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
    // work for the reader of the call; it is not kept, so queuing costs no string.
    Id At(uint64_t when_us, std::string_view what, std::function<void()> work,
          bool background = false);
    Id After(uint64_t delay_us, std::string_view what, std::function<void()> work,
             bool background = false);
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
    int stepping_in_ = 0;  // an item runs in between now: it is the other processor
    uint64_t interleaved_ = 0;
    uint64_t boundaries_ = 0;

    // Takes the first queued item off the queue and runs it at DISPATCH_LEVEL.
    void RunFirst();
};

}  // namespace emu
