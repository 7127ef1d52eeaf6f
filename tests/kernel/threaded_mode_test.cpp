// The threaded mode: several OS threads as processors, each with its own IRQL and locks, the
// driver's code running side by side, and virtual time that moves on only when every
// processor waits for work.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "emulator/kernel/processor.h"
#include "emulator/kernel/scheduler.h"
#include "platform/kernel.h"
#include "tests/support/machine_fixture.h"

namespace {

using qvtest::MachineFixture;
using ThreadedMode = MachineFixture;

constexpr int kProcessors = 4;

TEST_F(ThreadedMode, SpinLockExcludesDriverCodeOnOtherProcessors) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long shared = 0;  // changed only under the lock, by driver code running side by side
    int inside = 0;
    int most_inside = 0;
    std::set<int> processors_seen;
    constexpr int kRounds = 200;
    int done = 0;
    for (int round = 0; round < kRounds; ++round) {
        // Pinned round the processors, so that each one contends however the OS runs them.
        M().Clock().After(round % 7, "contender", [&] {
            processors_seen.insert(M().Cpu().Number());
            M().Cpu().CallDriver(DISPATCH_LEVEL, "contender", [&] {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                const int now_inside = __atomic_add_fetch(&inside, 1, __ATOMIC_SEQ_CST);
                if (now_inside > most_inside) most_inside = now_inside;
                const long before = shared;
                std::this_thread::yield();  // give another processor the chance to break in
                shared = before + 1;
                __atomic_sub_fetch(&inside, 1, __ATOMIC_SEQ_CST);
                KeReleaseSpinLock(&lock, old);
                EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            });
            ++done;
        }, false, round % kProcessors);
    }
    M().Clock().RunOnProcessors(kProcessors, [&] { return done == kRounds; });

    EXPECT_EQ(shared, kRounds);
    EXPECT_EQ(most_inside, 1);
    EXPECT_GT(processors_seen.size(), 1u) << "the work ran on one processor only";
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(ThreadedMode, PinnedWorkRunsOnItsProcessorInOrder) {
    std::vector<int> order;
    bool elsewhere = false;
    for (int i = 0; i < 50; ++i) {
        M().Clock().After(0, "pinned", [&, i] {
            if (M().Cpu().Number() != 2) elsewhere = true;
            order.push_back(i);
        }, false, 2);
    }
    M().Clock().RunOnProcessors(kProcessors, [&] { return order.size() == 50; });

    EXPECT_FALSE(elsewhere);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(order[i], i);
}

// A waiter on processor 0 gives a completion 2 ms; the completion, due after 1 ms on processor
// 1, takes 50 ms of real time before it sets the event. Pinned apart, the waiter cannot run the
// completion itself.
struct SlowCompletion {
    explicit SlowCompletion(emu::Machine& machine) {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        machine.Clock().After(0, "waiter", [this, &machine] {
            machine.Cpu().CallDriver(PASSIVE_LEVEL, "waiter", [this] {
                LARGE_INTEGER timeout{-20'000};  // 2 ms
                waited = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
            });
            finished = true;
        }, false, 0);
        machine.Clock().After(1'000, "slow completion", [this, &machine] {
            machine.Cpu().CallDriver(DISPATCH_LEVEL, "slow completion", [this] {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                KeSetEvent(&event, 0, FALSE);
            });
        }, false, 1);
    }
    KEVENT event;
    NTSTATUS waited = STATUS_PENDING;
    bool finished = false;
};

// A completion that takes real time on one processor must not let another's wait time out:
// virtual time stays put while any processor is still inside a routine. The waiter and the
// completion are pinned apart, so that the waiter cannot run the completion itself.
TEST_F(ThreadedMode, ClockWaitsForAProcessorStillAtWork) {
    SlowCompletion race(M());
    M().Clock().After(10'000, "later work", [] {});
    M().Clock().RunOnProcessors(2, [&] { return race.finished; });

    EXPECT_EQ(race.waited, STATUS_SUCCESS);
}

// The same while a third processor's driver code crosses boundaries where queued work steps
// in: stepping in may not pull later work forward past the busy processor either.
TEST_F(ThreadedMode, SteppingInDoesNotMoveTheClockPastAProcessorAtWork) {
    M().Clock().Interleave({.seed = 1, .one_in = 1});
    for (uint64_t at = 1'500; at < 100'000; at += 500) M().Clock().At(at, "later work", [] {});
    SlowCompletion race(M());
    M().Clock().After(1'000, "busy driver code", [&] {
        M().Cpu().CallDriver(DISPATCH_LEVEL, "busy driver code", [&] {
            LONG calls = 0;
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(40);
            while (std::chrono::steady_clock::now() < until) InterlockedIncrement(&calls);
        });
    }, false, 2);
    M().Clock().RunOnProcessors(3, [&] { return race.finished; });

    EXPECT_EQ(race.waited, STATUS_SUCCESS);
}

// A wait that ends (its event set, or its time-out come) holds the clock until its processor
// goes on: the others, busy with a stream of short work, must not carry time past it while it
// wakes. It returns at the very time its event was set, or at its time-out.
TEST_F(ThreadedMode, ClockDoesNotPassAWaitThatEnded) {
    struct Case {
        const char* name;
        bool set;
    };
    for (const Case& c : {Case{"event set", true}, Case{"timed out", false}}) {
        SCOPED_TRACE(c.name);
        constexpr int kWaits = 10;
        constexpr uint64_t kTimeout = 2'000;
        KEVENT event;
        int waits = 0;
        std::vector<uint64_t> late;  // how long past its end each wait came back
        std::function<void()> wait_once = [&] {
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            const uint64_t start = M().Clock().Now();
            if (c.set) {
                M().Clock().After(1'000, "set", [&] { KeSetEvent(&event, 0, FALSE); }, false, 1);
            }
            M().Cpu().CallDriver(PASSIVE_LEVEL, "waiter", [&] {
                LARGE_INTEGER timeout{-static_cast<LONGLONG>(kTimeout) * 10};
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
            });
            late.push_back(M().Clock().Now() - start - (c.set ? 1'000 : kTimeout));
            if (++waits < kWaits) M().Clock().After(0, "waiter", wait_once, false, 0);
        };
        M().Clock().After(0, "waiter", wait_once, false, 0);
        std::function<void()> tick = [&] {
            if (waits < kWaits) M().Clock().After(10, "tick", tick, false, 1);
        };
        M().Clock().After(0, "tick", tick, false, 1);
        M().Clock().RunOnProcessors(2, [&] { return waits == kWaits; });

        EXPECT_EQ(late, std::vector<uint64_t>(kWaits, 0));
    }
}

// The run is told to stop while one processor waits for work pinned to another: that
// processor stays until the wait has ended, or the wait (and the run) would never end.
TEST_F(ThreadedMode, AStopLetsAWaitEndThatNeedsAnotherProcessorsWork) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    bool waiting = false;
    bool finished = false;
    M().Clock().After(0, "waiter", [&] {
        waiting = true;
        M().Cpu().CallDriver(PASSIVE_LEVEL, "waiter", [&] {
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                      STATUS_SUCCESS);
        });
        finished = true;
    }, false, 1);
    M().Clock().After(1'000, "set", [&] { KeSetEvent(&event, 0, FALSE); }, false, 0);

    M().Clock().RunOnProcessors(2, [&] { return waiting; });

    EXPECT_TRUE(finished);
    EXPECT_EQ(M().Clock().Now(), 1'000u);
}

TEST_F(ThreadedMode, WaitThatNothingCanEndIsReported) {
    Expect(emu::Rule::Platform);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    bool finished = false;
    M().Clock().After(0, "waiter", [&] {
        M().Cpu().CallDriver(PASSIVE_LEVEL, "waiter", [&] {
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                      STATUS_TIMEOUT);
        });
        finished = true;
    });
    M().Clock().RunOnProcessors(3, [&] { return finished; });
    EXPECT_TRUE(Check().Saw(emu::Rule::Platform));
}

}  // namespace
