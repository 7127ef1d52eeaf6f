// IRQL_CALL, IRQL_BALANCE, LOCK_STATE and LOCK_ORDER, each broken on purpose.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "emulator/kernel/processor.h"
#include "platform/io.h"
#include "platform/kernel.h"
#include "tests/support/machine_fixture.h"

// Outside the anonymous namespace so that reports can name them.
__attribute__((noinline)) void LockRulesTakeFirstThenSecond(KSPIN_LOCK* first, KSPIN_LOCK* second) {
    KIRQL old;
    KeAcquireSpinLock(first, &old);
    KeAcquireSpinLockAtDpcLevel(second);
    KeReleaseSpinLockFromDpcLevel(second);
    KeReleaseSpinLock(first, old);
}

__attribute__((noinline)) void LockRulesQueueUnderSecondWhileHoldingFirst(KSPIN_LOCK* first,
                                                                          KSPIN_LOCK* second) {
    LIST_ENTRY head, entry;
    InitializeListHead(&head);
    KIRQL old;
    KeAcquireSpinLock(first, &old);
    ExInterlockedInsertTailList(&head, &entry, second);
    KeReleaseSpinLock(first, old);
}

namespace {

using emu::Rule;
using IrqlAndLockRules = qvtest::MachineFixture;

TEST_F(IrqlAndLockRules, CallsOutsideTheirIrqlRangeAreReported) {
    Expect(Rule::IrqlCall);
    struct Case {
        const char* call;
        KIRQL irql;
        std::function<void()> make_call;
        bool reported;
    };
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    static KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    const Case cases[] = {
        {"KeDelayExecutionThread", DISPATCH_LEVEL,
         [] {
             LARGE_INTEGER interval{-10};
             KeDelayExecutionThread(KernelMode, FALSE, &interval);
         },
         true},
        {"KeWaitForSingleObject", DISPATCH_LEVEL,
         [] {
             LARGE_INTEGER timeout{-10};
             KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
         },
         true},
        {"KeWaitForSingleObject", DISPATCH_LEVEL,  // a zero time-out only polls
         [] {
             LARGE_INTEGER poll{0};
             KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll);
         },
         false},
        {"IoBuildDeviceIoControlRequest", DISPATCH_LEVEL,
         [] {
             DEVICE_OBJECT device{};
             device.StackSize = 1;
             IoCompleteRequest(IoBuildDeviceIoControlRequest(1, &device, nullptr, 0, nullptr, 0,
                                                             TRUE, &event, nullptr),
                               IO_NO_INCREMENT);
         },
         true},
        {"KeAcquireSpinLockAtDpcLevel", PASSIVE_LEVEL,
         [] {
             KeAcquireSpinLockAtDpcLevel(&lock);
             KeReleaseSpinLockFromDpcLevel(&lock);
         },
         true},
        {"ExAllocatePoolWithTag", DISPATCH_LEVEL + 1,
         [] { ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, 0x5A516261)); }, true},
        {"ExAllocatePoolWithTag", DISPATCH_LEVEL,
         [] { ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, 0x5A516261)); }, false},
    };
    for (const Case& c : cases) {
        const size_t before = Check().Of(Rule::IrqlCall).size();
        AtIrql(c.irql, c.make_call);
        const auto reports = Check().Of(Rule::IrqlCall);
        if (!c.reported) {
            EXPECT_EQ(reports.size(), before) << c.call << " at " << int(c.irql);
            continue;
        }
        ASSERT_GT(reports.size(), before) << c.call << " at " << int(c.irql);
        EXPECT_EQ(reports[before].call, c.call);
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IrqlAndLockRules, CallbackReturningUnbalancedIsReportedAndRepaired) {
    Expect(Rule::IrqlBalance);
    emu::Processor& cpu = M().Cpu();
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);

    cpu.CallDriver(PASSIVE_LEVEL, "MiniportInitialize", [] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    });
    ASSERT_EQ(Check().Of(Rule::IrqlBalance).size(), 1u);
    EXPECT_EQ(Check().Of(Rule::IrqlBalance)[0].call, "MiniportInitialize");
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    cpu.CallDriver(DISPATCH_LEVEL, "timer function", [&] { KeAcquireSpinLockAtDpcLevel(&lock); });
    ASSERT_EQ(Check().Of(Rule::IrqlBalance).size(), 2u);
    EXPECT_NE(Check().Of(Rule::IrqlBalance)[1].detail.find("still holds 1 lock"), std::string::npos);
    EXPECT_TRUE(cpu.Held().empty()) << "the forgotten lock is released so the run can go on";

    cpu.CallDriver(DISPATCH_LEVEL, "completion routine", [&] {
        KeAcquireSpinLockAtDpcLevel(&lock);
        KeReleaseSpinLockFromDpcLevel(&lock);
    });
    EXPECT_EQ(Check().Of(Rule::IrqlBalance).size(), 2u);
}

TEST_F(IrqlAndLockRules, MisusedLocksAreReportedWithoutHanging) {
    Expect(Rule::LockState);
    struct Case {
        const char* detail;
        std::function<void(KSPIN_LOCK*)> misuse;
    };
    const Case cases[] = {
        {"never initialised",
         [](KSPIN_LOCK* lock) {
             KIRQL old;
             KeAcquireSpinLock(lock, &old);
             KeReleaseSpinLock(lock, old);
         }},
        {"self-deadlock",
         [](KSPIN_LOCK* lock) {
             KeInitializeSpinLock(lock);
             KIRQL old;
             KeAcquireSpinLock(lock, &old);
             KeAcquireSpinLockAtDpcLevel(lock);
             KeReleaseSpinLock(lock, old);
         }},
        {"released but not held",
         [](KSPIN_LOCK* lock) {
             KeInitializeSpinLock(lock);
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             KeReleaseSpinLock(lock, old);
         }},
    };
    for (const Case& c : cases) {
        KSPIN_LOCK lock = 0;
        const size_t before = Check().Of(Rule::LockState).size();
        c.misuse(&lock);
        const auto reports = Check().Of(Rule::LockState);
        ASSERT_EQ(reports.size(), before + 1) << c.detail;
        EXPECT_NE(reports.back().detail.find(c.detail), std::string::npos) << reports.back().detail;
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        EXPECT_TRUE(M().Cpu().Held().empty());
    }
}

TEST_F(IrqlAndLockRules, LocksTakenInBothOrdersAreReportedWithBothPlaces) {
    Expect(Rule::LockOrder);
    KSPIN_LOCK first, second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);

    LockRulesQueueUnderSecondWhileHoldingFirst(&first, &second);
    LockRulesTakeFirstThenSecond(&first, &second);  // same order again: fine
    EXPECT_FALSE(Check().Saw(Rule::LockOrder));

    LockRulesTakeFirstThenSecond(&second, &first);
    const auto reports = Check().Of(Rule::LockOrder);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].detail.find("LockRulesTakeFirstThenSecond"), std::string::npos) << reports[0].detail;
    EXPECT_NE(reports[0].detail.find("LockRulesQueueUnderSecondWhileHoldingFirst"), std::string::npos)
        << reports[0].detail;

    LockRulesTakeFirstThenSecond(&second, &first);
    EXPECT_EQ(Check().Of(Rule::LockOrder).size(), 1u) << "one report per pair of locks";
}

// A record's fields guarded by a lock: a driver that writes one without taking the lock (a
// list updated from a completion on another processor, say) is reported at the next
// acquisition, with where the lock was last let go; writes under the lock are not.
struct GuardedRecord {
    KSPIN_LOCK lock;
    LONG count;
    LONG unguarded;
};

void TakeAndLeave(GuardedRecord* record, LONG add) {
    KIRQL old;
    KeAcquireSpinLock(&record->lock, &old);
    record->count += add;
    KeReleaseSpinLock(&record->lock, old);
}

TEST_F(IrqlAndLockRules, AGuardedFieldWrittenWithoutItsLockIsReported) {
    Expect(Rule::LockGuard);
    GuardedRecord record{};
    KeInitializeSpinLock(&record.lock);
    M().Cpu().GuardWithLock(&record.lock, &record.count, sizeof(record.count), "count");

    TakeAndLeave(&record, 1);
    record.unguarded = 5;
    TakeAndLeave(&record, 1);
    EXPECT_FALSE(Check().Saw(Rule::LockGuard));

    record.count--;  // the mistake
    TakeAndLeave(&record, 1);
    ASSERT_EQ(Check().Of(Rule::LockGuard).size(), 1u);
    const emu::Violation report = Check().Of(Rule::LockGuard)[0];
    EXPECT_EQ(report.call, "KeAcquireSpinLock");
    EXPECT_NE(report.detail.find("count changed while lock"), std::string::npos) << report.detail;
    EXPECT_NE(report.detail.find("KeReleaseSpinLock at"), std::string::npos) << report.detail;
    EXPECT_FALSE(report.place.empty());

    TakeAndLeave(&record, 1);
    EXPECT_EQ(Check().Of(Rule::LockGuard).size(), 1u) << "reported once per change";
}

}  // namespace
