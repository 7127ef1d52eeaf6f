// Spin locks move the IRQL as their callers rely on; interlocked lists keep FIFO order.
#include <gtest/gtest.h>

#include "platform/kernel.h"
#include "tests/support/machine_fixture.h"

namespace {

using LocksAndLists = qvtest::MachineFixture;

TEST_F(LocksAndLists, SpinLockRaisesToDispatchAndRestores) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = 0xFF;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(LocksAndLists, InterlockedListIsFirstInFirstOut) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    LIST_ENTRY head;
    InitializeListHead(&head);
    LIST_ENTRY entries[3];

    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &entries[0], &lock), nullptr) << "was empty";
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &entries[1], &lock), &entries[0]);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &entries[2], &lock), &entries[1]);
    for (LIST_ENTRY& expected : entries) EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &expected);
    EXPECT_TRUE(IsListEmpty(&head));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
