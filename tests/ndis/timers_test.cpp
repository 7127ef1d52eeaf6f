// Miniport timers on the virtual clock.
#include <gtest/gtest.h>

#include "emulator/kernel/scheduler.h"
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

}  // namespace
