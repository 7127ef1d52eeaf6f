// NDIS memory, spin locks, sleeps and the logged release calls.
#include <gtest/gtest.h>

#include "emulator/kernel/pool.h"
#include "emulator/kernel/scheduler.h"
#include "tests/ndis/fake_miniport.h"

namespace {

using emu::Rule;
using Services = qvtest::NdisFixture;

constexpr ULONG kTag = 0x7673515A;  // "ZQsv"

TEST_F(Services, MemoryIsFreedWithItsLengthAndCanBeMadeToFail) {
    Expect(Rule::PoolBadFree);
    PVOID block = nullptr;
    ASSERT_EQ(NdisAllocateMemoryWithTag(&block, 100, kTag), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(M().Memory().Find(block)->tag, kTag);
    NdisFreeMemory(block, 99, 0);
    EXPECT_EQ(Check().Of(Rule::PoolBadFree).size(), 1u) << "the length given must match";

    Check().Allocations().FailTag(kTag, 1);
    PVOID failed = &block;
    EXPECT_EQ(NdisAllocateMemoryWithTag(&failed, 100, kTag), NDIS_STATUS_FAILURE);
    EXPECT_EQ(failed, nullptr);
}

TEST_F(Services, SpinLocksRaiseToDispatchAndFreeingEndsThem) {
    Expect(Rule::IrqlCall);
    Expect(Rule::LockState);
    NDIS_SPIN_LOCK lock;
    NdisAllocateSpinLock(&lock);
    NdisAcquireSpinLock(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    NdisReleaseSpinLock(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "back to the level saved at the acquire";
    AtIrql(DISPATCH_LEVEL, [&lock] {
        NdisDprAcquireSpinLock(&lock);
        NdisDprReleaseSpinLock(&lock);
    });
    EXPECT_TRUE(Check().Clean());

    // The Dpr forms need DISPATCH_LEVEL, both of them.
    NdisDprAcquireSpinLock(&lock);
    NdisDprReleaseSpinLock(&lock);
    EXPECT_EQ(Check().Of(Rule::IrqlCall).size(), 2u);

    NdisFreeSpinLock(&lock);
    NdisAcquireSpinLock(&lock);
    EXPECT_EQ(Check().Of(Rule::LockState).size(), 1u) << "a freed lock is not a lock";
    NdisReleaseSpinLock(&lock);
}

TEST_F(Services, SleepRunsQueuedWorkOnVirtualTime) {
    Expect(Rule::IrqlCall);
    uint64_t ran_at = 0;
    M().Clock().After(500, "other processor", [&] { ran_at = M().Clock().Now(); });
    NdisMSleep(1'000);
    EXPECT_EQ(ran_at, 500u);
    EXPECT_EQ(M().Clock().Now(), 1'000u);

    AtIrql(DISPATCH_LEVEL, [] { NdisMSleep(1'000); });
    EXPECT_EQ(Check().Of(Rule::IrqlCall).size(), 1u);
    EXPECT_EQ(M().Clock().Now(), 1'000u) << "no wait at DISPATCH_LEVEL";
}

TEST_F(Services, ReleaseCallsAreLoggedWithTheirArguments) {
    StartAdapter();
    int memory = 0;
    NDIS_MINIPORT_INTERRUPT interrupt{};
    NdisMFreeSharedMemory(fake.handle, 256, TRUE, &memory, PHYSICAL_ADDRESS{0x1000});
    NdisMDeregisterIoPortRange(fake.handle, 0x300, 32, &memory);
    NdisMDeregisterInterrupt(&interrupt);
    NdisMFreeMapRegisters(fake.handle);

    const auto& calls = N().ReleaseCalls();
    ASSERT_EQ(calls.size(), 4u);
    auto word = [](const void* p) { return reinterpret_cast<uintptr_t>(p); };
    EXPECT_EQ(calls[0].call, "NdisMFreeSharedMemory");
    EXPECT_EQ(calls[0].args, (std::vector<uintptr_t>{word(fake.handle), 256, 1, word(&memory), 0x1000}));
    EXPECT_EQ(calls[1].call, "NdisMDeregisterIoPortRange");
    EXPECT_EQ(calls[1].args, (std::vector<uintptr_t>{word(fake.handle), 0x300, 32, word(&memory)}));
    EXPECT_EQ(calls[2].call, "NdisMDeregisterInterrupt");
    EXPECT_EQ(calls[2].args, std::vector<uintptr_t>{word(&interrupt)});
    EXPECT_EQ(calls[3].call, "NdisMFreeMapRegisters");
}

}  // namespace
