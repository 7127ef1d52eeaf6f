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
    // Each abort's cancelled transfers and the abort itself come back in an order drawn from
    // this seed (a real bus promises none).
    uint32_t abort_seed = 1;
    // The bus acts as an EHCI controller (a short bulk IN packet is no error without
    // USBD_SHORT_TRANSFER_OK) rather than UHCI/OHCI.
    bool ehci = false;
};

// QVNET_INTERLEAVE=SEED, QVNET_TIMER_TICK=US[:SEED], QVNET_PROTOCOL_CALLBACKS=SEED|off,
// QVNET_ABORT_SEED=SEED and QVNET_HC=uhci|ehci; unset means the plain schedule (protocol
// callbacks on seed 1, aborts in seed 1's order, UHCI).
// Malformed values abort with a message rather than run a schedule nobody asked for.
ScheduleOptions ScheduleFromEnvironment();
void ApplySchedule(emu::Machine& machine, const ScheduleOptions& options);
// "interleaving (seed 3), timers on a 10000 us tick (seed 1)", or "one processor, exact
// timers"; then the abort seed and the EHCI model when not the defaults.
std::string DescribeSchedule(const ScheduleOptions& options);
// The environment that reproduces this schedule in a test run, e.g.
// "QVNET_INTERLEAVE=3 QVNET_TIMER_TICK=10000:1"; empty for the plain schedule.
std::string ReproduceWith(const ScheduleOptions& options);

}  // namespace qvtest
