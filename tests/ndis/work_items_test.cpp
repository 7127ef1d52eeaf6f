// NDIS work items: each schedule runs the routine once at PASSIVE_LEVEL on a system worker,
// where it may sleep and wait; the item's memory and the adapter's end are checked against
// items still queued or running (POOL_BAD_FREE, TIMER_AT_HALT).
#include <gtest/gtest.h>

#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/ndis.h"
#include "emulator/ndis/work_items.h"
#include "platform/kernel.h"
#include "tests/ndis/fake_miniport.h"

namespace {

using emu::Rule;
using WorkItems = qvtest::NdisFixture;

TEST_F(WorkItems, EachScheduleRunsTheRoutineOnceAtPassiveWhereItMayWait) {
    StartAdapter();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::vector<NTSTATUS> waits;
    fake.on_work = [&] {
        NdisMSleep(2'000);
        // Signalled by queued work at DISPATCH_LEVEL, as a transfer's completion would be:
        // the worker's wait lets it run.
        M().Clock().After(3'000, "signal", [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10'000 * 100;  // 100 ms, relative
        waits.push_back(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout));
        KeClearEvent(&event);
        if (fake.work_runs.size() == 1) NdisScheduleWorkItem(&fake.work_item);  // once more
    };
    const uint64_t start = M().Clock().Now();

    AtIrql(DISPATCH_LEVEL,
           [&] { EXPECT_EQ(NdisScheduleWorkItem(&fake.work_item), NDIS_STATUS_SUCCESS); });
    EXPECT_TRUE(fake.work_runs.empty()) << "the routine runs later, never inside the call";
    M().Clock().RunUntilIdle();

    EXPECT_EQ(fake.work_runs, (std::vector<uint64_t>{start, start + 5'000}));
    EXPECT_EQ(waits, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS}));
    EXPECT_EQ(fake.irql["work item"], PASSIVE_LEVEL);
    EXPECT_EQ(N().WorkItemTable().Find(&fake.work_item)->runs, 2u);
}

// Freeing a queued item is refused, from outside or from its own routine after it queued
// itself again; the routine freeing its own item's storage (its job) is not.
TEST_F(WorkItems, FreeingAQueuedItemIsRefusedButItsOwnRoutineMayFreeIt) {
    Expect(Rule::PoolBadFree);
    StartAdapter();
    enum class Free { Outside, RoutineAfterRequeue, Routine };
    struct Case {
        const char* name;
        Free free;
        bool refused;
    };
    const Case cases[] = {
        {"queued, freed from outside", Free::Outside, true},
        {"queued again by its routine, then freed there", Free::RoutineAfterRequeue, true},
        {"freed by its own routine", Free::Routine, false},
    };
    size_t reports = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const UINT size = sizeof(NDIS_WORK_ITEM) + 8;
        PVOID block = nullptr;
        ASSERT_EQ(NdisAllocateMemoryWithTag(&block, size, 0x6B77515A), NDIS_STATUS_SUCCESS);
        auto* item = reinterpret_cast<NDIS_WORK_ITEM*>(static_cast<UCHAR*>(block) + 8);
        NdisInitializeWorkItem(item, qvtest::FakeMiniport::WorkRoutine, &fake);
        fake.work_runs.clear();
        bool freed_once = false;
        fake.on_work = [&] {
            if (c.free == Free::Outside || freed_once) return;
            freed_once = true;
            if (c.free == Free::RoutineAfterRequeue) NdisScheduleWorkItem(item);
            NdisFreeMemory(block, size, 0);
        };
        NdisScheduleWorkItem(item);
        if (c.free == Free::Outside) NdisFreeMemory(block, size, 0);
        Advance(0);

        const auto all = Check().Of(Rule::PoolBadFree);
        if (c.refused) ++reports;
        ASSERT_EQ(all.size(), reports);
        if (c.refused) {
            EXPECT_EQ(all.back().call, "NdisFreeMemory");
            EXPECT_NE(all.back().detail.find("a queued NDIS work item"), std::string::npos)
                << all.back().detail;
            EXPECT_FALSE(fake.work_runs.empty()) << "the refused free left the item working";
            Advance(0);  // a requeued run goes by
            fake.on_work = nullptr;
            NdisFreeMemory(block, size, 0);
            EXPECT_EQ(Check().Of(Rule::PoolBadFree).size(), reports);
        } else {
            EXPECT_EQ(fake.work_runs.size(), 1u);
        }
        EXPECT_EQ(N().WorkItemTable().Find(item), nullptr) << "forgotten with its memory";
    }
    // Every block is gone: a free that had been refused would show as a leak at the halt.
    Pnp(IRP_MN_STOP_DEVICE);
}

// A halt that leaves its work item queued (the routine would call into a miniport that let
// go of the adapter: it does not run), and one that comes while the routine still runs.
TEST_F(WorkItems, AnItemQueuedOrRunningWhenTheAdapterIsHaltedIsReported) {
    Expect(Rule::TimerAtHalt);
    StartAdapter();
    fake.on_halt = [&] { NdisScheduleWorkItem(&fake.work_item); };
    Adapter().Halt();
    auto reports = Check().Of(Rule::TimerAtHalt);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].call, "after MiniportHalt");
    EXPECT_NE(reports[0].detail.find("NDIS work item qvtest::FakeMiniport::WorkRoutine"),
              std::string::npos)
        << reports[0].detail;
    EXPECT_NE(reports[0].detail.find("is still queued"), std::string::npos);
    M().Clock().RunUntilIdle();
    EXPECT_TRUE(fake.work_runs.empty());

    // The second adapter's start: its routine sleeps across a surprise halt.
    fake.on_halt = nullptr;
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE).final, STATUS_SUCCESS);
    fake.on_work = [] { NdisMSleep(10'000); };
    M().Clock().After(1'000, "removal", [&] { Adapter().Halt(); });
    NdisScheduleWorkItem(&fake.work_item);
    M().Clock().RunUntilIdle();
    reports = Check().Of(Rule::TimerAtHalt);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[1].detail.find("is still running"), std::string::npos) << reports[1].detail;
    EXPECT_EQ(fake.work_runs.size(), 1u);
}

}  // namespace
