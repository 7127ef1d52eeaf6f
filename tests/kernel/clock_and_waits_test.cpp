// Virtual time: waits, delays and deferred work run on the clock, never on real time.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "emulator/kernel/processor.h"
#include "emulator/kernel/scheduler.h"
#include "platform/kernel.h"
#include "tests/support/machine_fixture.h"

namespace {

using qvtest::MachineFixture;
using ClockAndWaits = MachineFixture;

LARGE_INTEGER Relative(LONGLONG hundred_ns) { return LARGE_INTEGER{-hundred_ns}; }

TEST_F(ClockAndWaits, FiveSecondWaitTimesOutInVirtualTimeOnly) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(50'000'000);

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    const auto real = std::chrono::steady_clock::now() - started;

    EXPECT_EQ(M().Clock().Now(), 5'000'000u);
    EXPECT_LT(real, std::chrono::milliseconds(500));
}

TEST_F(ClockAndWaits, WorkQueuedDuringAWaitRunsAtDispatchAndEndsIt) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KIRQL seen = 0xFF;
    M().Clock().After(3'000, "completion", [&] {
        seen = KeGetCurrentIrql();
        KeSetEvent(&event, 0, FALSE);
    });
    LARGE_INTEGER timeout = Relative(50'000'000);

    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(M().Clock().Now(), 3'000u);
    EXPECT_EQ(seen, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(event.Signaled, 0) << "a synchronization event resets when a wait is satisfied";
}

TEST_F(ClockAndWaits, SignalledNotificationEventStaysSignalled) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
    KeClearEvent(&event);
    LARGE_INTEGER poll{0};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(M().Clock().Now(), 0u);
}

TEST_F(ClockAndWaits, TimeoutsRoundUpToWholeMicroseconds) {
    struct Case {
        LONGLONG timeout;    // 100-ns units as the caller passes them
        uint64_t start_us;
        uint64_t end_us;
    };
    const Case cases[] = {
        {-1, 0, 1},                // 100 ns relative
        {-15, 10, 12},             // 1.5 us relative
        {-10'000, 20, 1'020},      // 1 ms relative
        {25'000, 2'000, 2'500},    // absolute, from virtual time zero
        {25'000, 4'000, 4'000},    // absolute and already past
    };
    for (const Case& c : cases) {
        M().Clock().RunUntil(c.start_us);
        ASSERT_EQ(M().Clock().Now(), c.start_us);
        LARGE_INTEGER interval{c.timeout};
        EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
        EXPECT_EQ(M().Clock().Now(), c.end_us) << "timeout " << c.timeout;
    }
}

TEST_F(ClockAndWaits, ItemsRunInTimeThenQueueOrderAndCanBeCancelled) {
    std::vector<std::string> ran;
    auto log = [&](std::string name) { return [&ran, name] { ran.push_back(name); }; };
    emu::Scheduler& clock = M().Clock();
    clock.At(30, "c", log("c"));
    clock.At(10, "a1", log("a1"));
    const auto dropped = clock.At(10, "x", log("x"));
    clock.At(10, "a2", log("a2"));
    clock.At(20, "b", log("b"));
    EXPECT_TRUE(clock.Cancel(dropped));
    EXPECT_FALSE(clock.Cancel(dropped));

    EXPECT_EQ(clock.RunUntil(25), 3u);
    EXPECT_EQ(clock.Now(), 25u);
    EXPECT_EQ(clock.RunUntilIdle(), 1u);
    EXPECT_EQ(ran, (std::vector<std::string>{"a1", "a2", "b", "c"}));
}

TEST_F(ClockAndWaits, BackgroundWorkNeitherKeepsTheMachineBusyNorEndsAWait) {
    int ticks = 0;
    std::function<void()> tick = [&] {
        ++ticks;
        M().Clock().After(2'000'000, "hang check", tick, true);
    };
    M().Clock().After(2'000'000, "hang check", tick, true);
    EXPECT_TRUE(M().Clock().Idle());
    EXPECT_EQ(M().Clock().RunUntilIdle(), 0u);

    Expect(emu::Rule::Platform);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    EXPECT_NE(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(Check().Of(emu::Rule::Platform).size(), 1u);
    EXPECT_NE(Check().Of(emu::Rule::Platform)[0].detail.find("never end"), std::string::npos);

    // A timed wait lets background work run on the way.
    LARGE_INTEGER five_seconds = Relative(50'000'000);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &five_seconds), STATUS_TIMEOUT);
    EXPECT_EQ(ticks, 2);
}

}  // namespace
