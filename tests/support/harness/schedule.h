// How the hosted machine schedules the work of "other processors": the interleaving mode and
// timers rounded to a clock tick. Tests take it from the environment, the qvnet command from
// its options; a failing run names what reproduces it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace emu {
class Machine;
}

namespace qvtest {

struct ScheduleOptions {
    // Another processor steps in at platform-call boundaries, drawn from this seed.
    std::optional<uint32_t> interleave_seed;
    // NDIS timers expire on a clock tick of this many microseconds (10000, 15625), with a
    // phase and jitter drawn from `timer_seed`.
    std::optional<uint64_t> timer_tick_us;
    uint32_t timer_seed = 1;
    // The protocol above the adapter sends a share of its frames from inside the next send
    // completion or indication, drawn from this seed; nullopt sends each at once.
    std::optional<uint32_t> callback_seed = kDefaultCallbackSeed;
    static constexpr uint32_t kDefaultCallbackSeed = 1;
};

// QVNET_INTERLEAVE=SEED, QVNET_TIMER_TICK=US[:SEED] and QVNET_PROTOCOL_CALLBACKS=SEED|off;
// unset means the plain schedule (with protocol callbacks on the default seed).
// Malformed values abort with a message rather than run a schedule nobody asked for.
ScheduleOptions ScheduleFromEnvironment();
void ApplySchedule(emu::Machine& machine, const ScheduleOptions& options);
// "interleaving (seed 3), timers on a 10000 us tick (seed 1)", or "one processor, exact
// timers".
std::string DescribeSchedule(const ScheduleOptions& options);
// The environment that reproduces this schedule in a test run, e.g.
// "QVNET_INTERLEAVE=3 QVNET_TIMER_TICK=10000:1"; empty for the plain schedule.
std::string ReproduceWith(const ScheduleOptions& options);

}  // namespace qvtest
