// The interleaving mode: another processor's queued work steps in where driver code calls the
// platform holding no spin lock, drawn from a seed, so a race one processor never shows is
// caught and its schedule reproduces.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "emulator/machine.h"
#include "emulator/kernel/processor.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/verifier/verifier.h"
#include "platform/io.h"
#include "platform/kernel.h"
#include "tests/kernel/lower_device.h"
#include "tests/support/machine_fixture.h"

namespace {

using qvtest::CompletionProbe;
using qvtest::LowerDevice;
using Interleaving = qvtest::MachineFixture;

constexpr ULONG kTag = 'T' | ('s' << 8) | ('t' << 16) | ('1' << 24);

// Whenever it may, the other processor steps in.
emu::Scheduler::InterleaveOptions Always(uint32_t seed = 1) {
    emu::Scheduler::InterleaveOptions options;
    options.seed = seed;
    options.one_in = 1;
    return options;
}

struct Ran {
    uint64_t time_us;
    KIRQL irql;
};

TEST_F(Interleaving, WorkStepsInOnlyAtTheDriversOwnCallsHoldingNoLock) {
    M().Clock().Interleave(Always());
    std::vector<Ran> ran;
    auto queue = [&](uint64_t delay_us) {
        M().Clock().After(delay_us, "other processor's work",
                          [&] { ran.push_back({M().Clock().Now(), KeGetCurrentIrql()}); });
    };

    // Calls the test itself makes are the platform's, not the driver's: nothing steps in.
    queue(500);
    void* block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    EXPECT_TRUE(ran.empty());
    ExFreePool(block);
    EXPECT_TRUE(ran.empty());

    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    AtIrql(PASSIVE_LEVEL, [&] {
        // Not yet due, but the next thing queued: it runs now, at dispatch level, with the
        // clock moved on to it, and this processor is left as it was.
        void* memory = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
        ASSERT_EQ(ran.size(), 1u);
        EXPECT_EQ(ran[0].time_us, 500u);
        EXPECT_EQ(ran[0].irql, DISPATCH_LEVEL);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

        // Holding a spin lock, this processor is not to be overtaken (the other one would
        // spin on the lock it holds).
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        queue(100);
        ExFreePool(memory);
        memory = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
        EXPECT_EQ(ran.size(), 1u);
        KeReleaseSpinLock(&lock, old);
        ExFreePool(memory);
        EXPECT_EQ(ran.size(), 2u);

        // Far-off work (a periodic check seconds away) is not pulled in.
        queue(5'000'000);
        ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
        EXPECT_EQ(ran.size(), 2u);
    });
    EXPECT_EQ(M().Clock().Interleaved(), 2u);
}

// A driver-style mistake one processor never shows: the request is handed down and then
// cancelled as though its completion could not have run yet. On a second processor the
// completion, which frees the request, may come first.
void CancelAfterHandingDown(emu::Machine& machine, std::optional<uint32_t> seed) {
    if (seed) {
        emu::Scheduler::InterleaveOptions options;
        options.seed = *seed;
        machine.Clock().Interleave(options);
    }
    LowerDevice lower(machine);
    lower.Hold(true);
    CompletionProbe probe;  // frees the request
    machine.Cpu().CallDriver(DISPATCH_LEVEL, "driver routine", [&] {
        IRP* irp = qvtest::NewRequestFor(lower, &probe);
        IoCallDriver(lower.Device(), irp);
        // The bus finishes the transfer a millisecond later, from its own work.
        machine.Clock().After(1000, "bus completes", [&] {
            if (lower.Held() != nullptr) lower.Finish(STATUS_SUCCESS);
        });
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeLowerIrql(old);
        IoCancelIrp(irp);  // the mistake
    });
    machine.Clock().RunUntilIdle();
}

TEST(InterleavingSeeds, ARaceOneProcessorNeverShowsIsCaughtAndItsSeedReproducesIt) {
    {
        emu::Machine machine;
        CancelAfterHandingDown(machine, std::nullopt);
        EXPECT_TRUE(machine.Check().Clean()) << machine.Check().Summary();
    }
    std::optional<uint32_t> caught;
    std::string report;
    for (uint32_t seed = 1; seed <= 40 && !caught; ++seed) {
        emu::Machine machine;
        machine.Check().Expect(emu::Rule::IrpOnce);
        CancelAfterHandingDown(machine, seed);
        if (machine.Check().Saw(emu::Rule::IrpOnce)) {
            caught = seed;
            report = emu::Describe(machine.Check().Of(emu::Rule::IrpOnce).front());
        }
    }
    ASSERT_TRUE(caught.has_value()) << "no seed let the completion overtake the cancel";
    EXPECT_NE(report.find("IoCancelIrp"), std::string::npos) << report;
    EXPECT_NE(report.find("already freed"), std::string::npos) << report;

    emu::Machine again;
    again.Check().Expect(emu::Rule::IrpOnce);
    CancelAfterHandingDown(again, caught);
    ASSERT_TRUE(again.Check().Saw(emu::Rule::IrpOnce));
    EXPECT_EQ(emu::Describe(again.Check().Of(emu::Rule::IrpOnce).front()), report);
}

// The same seed and the same calls make the same schedule; another seed, another one.
std::vector<int> ScheduleOf(uint32_t seed) {
    emu::Machine machine;
    emu::Scheduler::InterleaveOptions options;
    options.seed = seed;
    machine.Clock().Interleave(options);
    std::vector<int> stepped_in_at;
    int call = 0;
    for (int i = 0; i < 40; ++i)
        machine.Clock().After(10 * i, "work", [&] { stepped_in_at.push_back(call); });
    machine.Cpu().CallDriver(DISPATCH_LEVEL, "driver routine", [&] {
        for (call = 0; call < 200; ++call) ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
    });
    return stepped_in_at;
}

TEST(InterleavingSeeds, TheSameSeedMakesTheSameSchedule) {
    const std::vector<int> first = ScheduleOf(7);
    EXPECT_EQ(first.size(), 40u);
    EXPECT_EQ(ScheduleOf(7), first);
    EXPECT_NE(ScheduleOf(8), first);
}

}  // namespace
