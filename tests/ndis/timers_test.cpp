// Miniport timers on the virtual clock.
#include <gtest/gtest.h>

#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/ndis.h"
#include "emulator/ndis/timers.h"
#include "tests/ndis/fake_miniport.h"

namespace {

using Timers = qvtest::NdisFixture;

TEST_F(Timers, RunOncePerSettingAtDispatchOnVirtualTime) {
    StartAdapter();
    NDIS_MINIPORT_TIMER* timer = &fake.timer;

    NdisMSetTimer(timer, 0);
    EXPECT_TRUE(fake.timer_runs.empty()) << "a 0 ms setting still runs later, not in the call";
    Advance(0);
    EXPECT_EQ(fake.timer_runs, std::vector<uint64_t>{0});
    EXPECT_EQ(fake.irql["timer"], DISPATCH_LEVEL);

    // Setting a pending timer again moves its one run.
    NdisSetTimer(timer, 10);
    Advance(5'000);
    NdisMSetTimer(timer, 10);
    Advance(9'999);
    EXPECT_EQ(fake.timer_runs.size(), 1u);
    Advance(1);
    EXPECT_EQ(fake.timer_runs, (std::vector<uint64_t>{0, 15'000}));

    BOOLEAN cancelled = FALSE;
    NdisMCancelTimer(timer, &cancelled);
    EXPECT_FALSE(cancelled) << "nothing was pending after the run";
    NdisMSetTimer(timer, 10);
    NdisMCancelTimer(timer, &cancelled);
    EXPECT_TRUE(cancelled);
    Advance(50'000);
    EXPECT_EQ(fake.timer_runs.size(), 2u);
}

TEST_F(Timers, FreeingMemoryThatHoldsASetTimerIsRefused) {
    Expect(emu::Rule::PoolBadFree);
    StartAdapter();
    const UINT size = sizeof(NDIS_MINIPORT_TIMER) + 16;
    PVOID block = nullptr;
    ASSERT_EQ(NdisAllocateMemoryWithTag(&block, size, 0x6D74515A), NDIS_STATUS_SUCCESS);
    auto* timer = reinterpret_cast<NDIS_MINIPORT_TIMER*>(static_cast<UCHAR*>(block) + 16);
    NdisMInitializeTimer(timer, fake.handle, qvtest::FakeMiniport::TimerFunction, &fake);
    NdisMSetTimer(timer, 10);

    NdisFreeMemory(block, size, 0);
    EXPECT_EQ(Check().Of(emu::Rule::PoolBadFree).size(), 1u);
    Advance(10'000);
    EXPECT_EQ(fake.timer_runs.size(), 1u) << "the refused free left the timer working";
    NdisFreeMemory(block, size, 0);
    EXPECT_EQ(Check().Of(emu::Rule::PoolBadFree).size(), 1u);
}

// As on Windows: a setting expires at its due time and then queues the function. From then
// on a cancel is too late: it returns FALSE and the function still runs.
TEST_F(Timers, ACancelAfterExpiryReturnsFalseAndTheFunctionStillRuns) {
    StartAdapter();
    NDIS_MINIPORT_TIMER* timer = &fake.timer;
    NdisMSetTimer(timer, 10);
    ASSERT_TRUE(M().Clock().RunNext(10'000));  // the expiry, and nothing more
    EXPECT_TRUE(fake.timer_runs.empty());

    BOOLEAN cancelled = TRUE;
    NdisMCancelTimer(timer, &cancelled);
    EXPECT_FALSE(cancelled);
    NdisMSetTimer(timer, 10);  // set again meanwhile: the queued run is not moved
    Advance(0);
    EXPECT_EQ(fake.timer_runs, std::vector<uint64_t>{10'000});
    Advance(10'000);
    EXPECT_EQ(fake.timer_runs, (std::vector<uint64_t>{10'000, 20'000}));
}

// The driver-style mistake that split shows: taking a FALSE from the cancel for "not set" and
// freeing the timer's memory while its function waits to run.
TEST_F(Timers, FreeingATimerWhoseFunctionIsQueuedIsRefused) {
    Expect(emu::Rule::PoolBadFree);
    StartAdapter();
    const UINT size = sizeof(NDIS_MINIPORT_TIMER);
    PVOID block = nullptr;
    ASSERT_EQ(NdisAllocateMemoryWithTag(&block, size, 0x6D74515A), NDIS_STATUS_SUCCESS);
    auto* timer = static_cast<NDIS_MINIPORT_TIMER*>(block);
    NdisMInitializeTimer(timer, fake.handle, qvtest::FakeMiniport::TimerFunction, &fake);
    NdisMSetTimer(timer, 0);
    ASSERT_TRUE(M().Clock().RunNext(0));  // expired; the function is queued

    BOOLEAN cancelled = TRUE;
    NdisMCancelTimer(timer, &cancelled);
    EXPECT_FALSE(cancelled);
    NdisFreeMemory(block, size, 0);
    ASSERT_EQ(Check().Of(emu::Rule::PoolBadFree).size(), 1u);
    EXPECT_NE(Check().Of(emu::Rule::PoolBadFree)[0].detail.find("queued"), std::string::npos);
    Advance(0);
    EXPECT_EQ(fake.timer_runs.size(), 1u);
    NdisFreeMemory(block, size, 0);
}

// On a clock tick a timer expires at the first tick at or after its due time, a little
// later by the tick's own latency; even a 0 ms setting waits for the next tick.
TEST_F(Timers, OnAClockTickSettingsExpireAtTheNextTick) {
    for (uint64_t tick : {uint64_t{10'000}, uint64_t{15'625}}) {
        SCOPED_TRACE(tick);
        M().Ndis().TimerTable().RoundToTick(emu::ndis::Timers::ClockTick{tick, 3});
        if (fake.handle == nullptr) StartAdapter();
        fake.timer_runs.clear();
        std::vector<uint64_t> due;
        for (UINT ms : {0u, 0u, 7u, 25u, 40u}) {
            due.push_back(M().Clock().Now() + ms * 1000);
            NdisMSetTimer(&fake.timer, ms);
            Advance(100'000);
        }
        ASSERT_EQ(fake.timer_runs.size(), due.size());
        std::vector<uint64_t> phases;
        for (size_t i = 0; i < due.size(); ++i) {
            const uint64_t ran = fake.timer_runs[i];
            EXPECT_GE(ran, due[i]);
            EXPECT_LT(ran, due[i] + tick + tick / 10 + 1);
            phases.push_back(ran % tick);
        }
        // All on one grid, give or take the latency: never an exact setting's time.
        for (uint64_t phase : phases) {
            const uint64_t offset = (phase + tick - phases[0] % tick) % tick;
            EXPECT_TRUE(offset <= tick / 10 || offset >= tick - tick / 10) << phase;
        }
        EXPECT_NE(fake.timer_runs[0], due[0]) << "a 0 ms setting waited for a tick";
    }
}

}  // namespace
