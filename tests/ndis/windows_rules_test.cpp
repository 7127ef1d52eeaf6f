// What Windows holds a miniport to beyond IRQL ranges: no live timer or work item initialised
// again, no spin lock held across the frees that take the pool's own, no paged pool touched at
// DISPATCH_LEVEL, no shutdown handler left behind at the halt, and a shutdown handler that may
// be called at any IRQL after a crash. Each wrong pattern is caught; the patterns Windows
// accepts (waits at APC_LEVEL, any pool tag) pass.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "emulator/kernel/pool.h"
#include "emulator/machine.h"
#include "emulator/kernel/processor.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/ndis.h"
#include "platform/kernel.h"
#include "tests/ndis/fake_miniport.h"

namespace {

using emu::Rule;
using WindowsRules = qvtest::NdisFixture;

TEST_F(WindowsRules, InitialisingASetTimerOrAQueuedWorkItemIsRefusedAndReported) {
    Expect(Rule::LiveReinit);
    StartAdapter();

    NdisMSetTimer(&fake.timer, 10);
    NdisMInitializeTimer(&fake.timer, fake.handle, qvtest::FakeMiniport::TimerFunction, &fake);
    ASSERT_EQ(Check().Of(Rule::LiveReinit).size(), 1u);
    EXPECT_EQ(Check().Of(Rule::LiveReinit)[0].call, "NdisMInitializeTimer");
    Advance(10'000);
    EXPECT_EQ(fake.timer_runs.size(), 1u) << "the refused initialisation left the setting alone";
    // Once it has run the timer is idle, and initialising it again is sound.
    NdisMInitializeTimer(&fake.timer, fake.handle, qvtest::FakeMiniport::TimerFunction, &fake);
    EXPECT_EQ(Check().Of(Rule::LiveReinit).size(), 1u);

    ASSERT_EQ(NdisScheduleWorkItem(&fake.work_item), NDIS_STATUS_SUCCESS);
    NdisInitializeWorkItem(&fake.work_item, qvtest::FakeMiniport::WorkRoutine, &fake);
    ASSERT_EQ(Check().Of(Rule::LiveReinit).size(), 2u);
    EXPECT_EQ(Check().Of(Rule::LiveReinit)[1].call, "NdisInitializeWorkItem");
    M().Clock().RunUntilIdle();
    EXPECT_EQ(fake.work_runs.size(), 1u) << "the queued item still ran, once";
    NdisInitializeWorkItem(&fake.work_item, qvtest::FakeMiniport::WorkRoutine, &fake);
    EXPECT_EQ(Check().Of(Rule::LiveReinit).size(), 2u);
}

// The pool frees whose pages ask for every spin lock to be released first: under a lock they
// are reported; with none held they are not.
TEST_F(WindowsRules, PoolFreesUnderASpinLockAreReported) {
    Expect(Rule::LockState);
    StartAdapter();
    NDIS_SPIN_LOCK lock;
    NdisAllocateSpinLock(&lock);
    // The three frees, each run once under the lock and once with none held.
    for (bool under_lock : {true, false}) {
        SCOPED_TRACE(under_lock ? "under a lock" : "no lock held");
        const size_t before = Check().Of(Rule::LockState).size();
        NDIS_STATUS status;
        NDIS_HANDLE buffers;
        NDIS_HANDLE packets;
        NdisAllocateBufferPool(&status, &buffers, 1);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
        NdisAllocatePacketPool(&status, &packets, 1, 16);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
        static UCHAR data[8];
        NDIS_BUFFER* buffer;
        NdisAllocateBuffer(&status, &buffer, buffers, data, sizeof data);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);

        auto maybe_locked = [&](auto free) {
            if (under_lock) NdisAcquireSpinLock(&lock);
            free();
            if (under_lock) NdisReleaseSpinLock(&lock);
        };
        maybe_locked([&] { NdisFreeBuffer(buffer); });
        maybe_locked([&] { NdisFreeBufferPool(buffers); });
        maybe_locked([&] { NdisFreePacketPool(packets); });

        const auto reports = Check().Of(Rule::LockState);
        if (!under_lock) {
            EXPECT_EQ(reports.size(), before);
            continue;
        }
        ASSERT_EQ(reports.size(), before + 3);
        EXPECT_EQ(reports[before].call, "NdisFreeBuffer");
        EXPECT_EQ(reports[before + 1].call, "NdisFreeBufferPool");
        EXPECT_EQ(reports[before + 2].call, "NdisFreePacketPool");
    }
    NdisFreeSpinLock(&lock);
}

// Paged pool may be paged out: freeing it at DISPATCH_LEVEL, or taking a spin lock that lies
// in it, is reported; both at PASSIVE_LEVEL, and nonpaged pool anywhere up to DISPATCH_LEVEL,
// are not.
TEST_F(WindowsRules, PagedPoolFreedOrTouchedAtDispatchIsReported) {
    Expect(Rule::IrqlCall);
    constexpr ULONG kTag = 0x5A516261;
    struct Case {
        const char* name;
        POOL_TYPE type;
        KIRQL irql;
        bool reported;
    };
    const Case frees[] = {
        {"paged at dispatch", PagedPool, DISPATCH_LEVEL, true},
        {"paged at APC", PagedPool, APC_LEVEL, false},
        {"nonpaged at dispatch", NonPagedPool, DISPATCH_LEVEL, false},
    };
    for (const Case& c : frees) {
        SCOPED_TRACE(c.name);
        const size_t before = Check().Of(Rule::IrqlCall).size();
        void* block = ExAllocatePoolWithTag(c.type, 16, kTag);
        ASSERT_NE(block, nullptr);
        AtIrql(c.irql, [&] { ExFreePool(block); });
        EXPECT_EQ(Check().Of(Rule::IrqlCall).size(), before + (c.reported ? 1 : 0));
        EXPECT_EQ(M().Memory().Find(block), nullptr) << "the free went through";
    }

    for (POOL_TYPE type : {PagedPool, NonPagedPool}) {
        const size_t before = Check().Of(Rule::IrqlCall).size();
        auto* lock = static_cast<KSPIN_LOCK*>(ExAllocatePoolWithTag(type, sizeof(KSPIN_LOCK), kTag));
        KeInitializeSpinLock(lock);
        KIRQL old;
        KeAcquireSpinLock(lock, &old);
        KeReleaseSpinLock(lock, old);
        ExFreePool(lock);
        const auto reports = Check().Of(Rule::IrqlCall);
        if (type == NonPagedPool) {
            EXPECT_EQ(reports.size(), before);
            continue;
        }
        ASSERT_EQ(reports.size(), before + 1);
        EXPECT_NE(reports.back().detail.find("paged pool"), std::string::npos) << reports.back().detail;
    }
}

// Waits that may block are allowed up to APC_LEVEL, and no further.
TEST_F(WindowsRules, DelaysAndTimedWaitsAtApcLevelPass) {
    Expect(Rule::IrqlCall);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    for (KIRQL irql : {APC_LEVEL, DISPATCH_LEVEL}) {
        const size_t before = Check().Of(Rule::IrqlCall).size();
        AtIrql(irql, [&] {
            LARGE_INTEGER interval{-10};
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
            LARGE_INTEGER timeout{-10};
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        });
        EXPECT_EQ(Check().Of(Rule::IrqlCall).size(), before + (irql == APC_LEVEL ? 0 : 2))
            << "at IRQL " << int(irql);
    }
}

// A halt that leaves its shutdown handler registered is reported, and NDIS calls the handler
// no more; one that deregisters it passes.
TEST_F(WindowsRules, AShutdownHandlerLeftRegisteredAtTheHaltIsReported) {
    Expect(Rule::TimerAtHalt);
    static int calls;
    calls = 0;
    fake.on_initialize = [](NDIS_HANDLE handle) {
        NdisMRegisterAdapterShutdownHandler(handle, nullptr, +[](PVOID) { ++calls; });
    };
    StartAdapter();
    Pnp(IRP_MN_STOP_DEVICE);

    const auto reports = Check().Of(Rule::TimerAtHalt);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].detail.find("shutdown handler"), std::string::npos) << reports[0].detail;
    EXPECT_EQ(N().ShutdownMachine(), 0);
    EXPECT_EQ(calls, 0);
}

TEST_F(WindowsRules, AHaltThatDeregistersItsShutdownHandlerPasses) {
    fake.on_initialize = [](NDIS_HANDLE handle) {
        NdisMRegisterAdapterShutdownHandler(handle, nullptr, +[](PVOID) {});
    };
    fake.on_halt = [this] { NdisMDeregisterAdapterShutdownHandler(fake.handle); };
    StartAdapter();
    Pnp(IRP_MN_STOP_DEVICE);
    EXPECT_EQ(fake.halts, 1);
}

// After a crash NDIS calls the handler at HIGH_LEVEL with interrupts off, where a handler that
// still sleeps is reported (the driver's own handler passes there: tests/driver).
TEST_F(WindowsRules, TheCrashShutdownRunsTheHandlerAtHighLevel) {
    Expect(Rule::IrqlCall);
    static KIRQL irql;
    static bool interrupts;
    fake.on_initialize = [](NDIS_HANDLE handle) {
        NdisMRegisterAdapterShutdownHandler(handle, nullptr, +[](PVOID) {
            irql = KeGetCurrentIrql();
            interrupts = emu::Machine::Current().Cpu().InterruptsEnabled();
            NdisMSleep(10);
        });
    };
    fake.on_halt = [this] { NdisMDeregisterAdapterShutdownHandler(fake.handle); };
    StartAdapter();

    EXPECT_EQ(N().ShutdownMachine(emu::ndis::Ndis::ShutdownKind::Crash), 1);
    EXPECT_EQ(irql, 31);
    EXPECT_FALSE(interrupts);
    EXPECT_TRUE(M().Cpu().InterruptsEnabled()) << "restored afterwards";
    const auto reports = Check().Of(Rule::IrqlCall);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].call, "NdisMSleep");
}

}  // namespace
