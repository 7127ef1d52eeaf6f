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

namespace {

// Each returns what the caller builds on: the value before, or the value after a step.
TEST_F(LocksAndLists, InterlockedOperationsReturnWhatCallersBuildOn) {
    volatile LONG value = 5;
    EXPECT_EQ(InterlockedCompareExchange(&value, 9, 4), 5);
    EXPECT_EQ(value, 5) << "no match, no store";
    EXPECT_EQ(InterlockedCompareExchange(&value, 9, 5), 5);
    EXPECT_EQ(value, 9);
    EXPECT_EQ(InterlockedExchange(&value, -3), 9);
    EXPECT_EQ(value, -3);
    EXPECT_EQ(InterlockedIncrement(&value), -2);
    EXPECT_EQ(InterlockedDecrement(&value), -3);
    value = 0x7FFFFFFF;
    EXPECT_EQ(InterlockedIncrement(&value), static_cast<LONG>(0x80000000u)) << "wraps";
    EXPECT_EQ(InterlockedDecrement(&value), 0x7FFFFFFF);

    // Allowed at any level, with interrupts off too: no report.
    AtIrql(DISPATCH_LEVEL, [&value] {
        _disable();
        InterlockedIncrement(&value);
        _enable();
    });
    EXPECT_TRUE(Check().Clean());
}

}  // namespace
