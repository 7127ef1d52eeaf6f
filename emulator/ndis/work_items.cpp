#include "emulator/ndis/work_items.h"

#include <cstdio>
#include <functional>
#include <iterator>

#include "emulator/kernel/kernel.h"
#include "emulator/kernel/processor.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/ndis.h"
#include "emulator/verifier/verifier.h"
#include "emulator/kernel/platform_lock.h"

namespace emu::ndis {

namespace {

// Named only for a report: looking a routine up by address is slow.
std::string Describe(const NDIS_WORK_ITEM* item, const WorkItems::Entry& entry) {
    char address[32];
    std::snprintf(address, sizeof(address), "%p", static_cast<const void*>(item));
    return "NDIS work item " + PlaceName(reinterpret_cast<uintptr_t>(entry.routine)) + " at " +
           address;
}

}  // namespace

WorkItems::~WorkItems() {
    // The scheduler outlives NDIS inside the machine.
    for (const auto& [item, entry] : entries_) {
        if (entry.item != 0) kernel_.Clock().Cancel(entry.item);
    }
}

void WorkItems::Initialize(NDIS_WORK_ITEM* item, NDIS_PROC routine, PVOID context,
                           uintptr_t site) {
    Entry& entry = entries_[item];
    if (entry.item != 0) {
        // Initialising sets the item's list link to null (NdisInitializeWorkItem's page,
        // learn.microsoft.com/previous-versions/windows/hardware/network/ff552258): done to a
        // queued item, it cuts the worker queue. Refused, so the run goes on.
        kernel_.Check().Report(Rule::LiveReinit, "NdisInitializeWorkItem",
                                Describe(item, entry) + " is still queued", site);
        return;
    }
    entry.routine = routine;
    entry.context = context;
    item->Routine = routine;
    item->Context = context;
    for (UCHAR& byte : item->WrapperReserved) byte = 0;
}

NDIS_STATUS WorkItems::Schedule(NDIS_WORK_ITEM* item, uintptr_t site) {
    auto it = entries_.find(item);
    if (it == entries_.end()) {
        kernel_.Check().Report(Rule::Platform, "NdisScheduleWorkItem",
                                "the work item was never initialised with NdisInitializeWorkItem "
                                "(or its memory was freed)",
                                site);
        return NDIS_STATUS_FAILURE;
    }
    Entry& entry = it->second;
    if (entry.item != 0) {
        // The worker queue links the item through its own memory: queued twice, it corrupts.
        kernel_.Check().Report(Rule::Platform, "NdisScheduleWorkItem",
                                Describe(item, entry) + " is already queued", site);
        return NDIS_STATUS_FAILURE;
    }
    entry.item = kernel_.Clock().After(0, "NDIS work item", [this, item] { Run(item); });
    return NDIS_STATUS_SUCCESS;
}

void WorkItems::Run(NDIS_WORK_ITEM* item) {
    auto it = entries_.find(item);
    if (it == entries_.end()) return;
    Entry& entry = it->second;
    entry.item = 0;
    ++entry.running;
    ++entry.runs;
    NDIS_PROC routine = entry.routine;
    PVOID context = entry.context;
    // A system worker thread: passive level, a driver call of its own.
    active_.push_back(Active{item, kernel_.Cpu().Number()});
    kernel_.Cpu().CallDriver(PASSIVE_LEVEL, "NDIS work item", [&] { routine(item, context); });
    for (auto a = active_.rbegin(); a != active_.rend(); ++a) {
        if (a->item == item && a->processor == kernel_.Cpu().Number()) {
            active_.erase(std::next(a).base());
            break;
        }
    }
    it = entries_.find(item);
    if (it != entries_.end()) --it->second.running;
}

bool WorkItems::InOwnRoutine(const NDIS_WORK_ITEM* item) const {
    const int processor = kernel_.Cpu().Number();
    for (auto a = active_.rbegin(); a != active_.rend(); ++a) {
        if (a->processor == processor) return a->item == item;
    }
    return false;
}

const WorkItems::Entry* WorkItems::Find(const NDIS_WORK_ITEM* item) const {
    auto it = entries_.find(item);
    return it == entries_.end() ? nullptr : &it->second;
}

std::vector<std::string> WorkItems::TakeLive() {
    std::vector<std::string> live;
    for (auto& [item, entry] : entries_) {
        if (entry.item != 0) {
            live.push_back(Describe(item, entry) + " is still queued; its routine will not run");
            kernel_.Clock().Cancel(entry.item);
            entry.item = 0;
        }
        if (entry.running != 0) live.push_back(Describe(item, entry) + " is still running");
    }
    return live;
}

std::string WorkItems::ReleaseRange(const void* begin, size_t size) {
    auto first = static_cast<const NDIS_WORK_ITEM*>(begin);
    auto end = reinterpret_cast<const NDIS_WORK_ITEM*>(static_cast<const uint8_t*>(begin) + size);
    auto in_range = [&](auto it) { return it != entries_.end() && std::less<>{}(it->first, end); };
    for (auto it = entries_.lower_bound(first); in_range(it); ++it) {
        // The pool refuses the free, so the item and its memory stay usable.
        if (it->second.item != 0) return "a queued NDIS work item";
        // The routine is responsible for releasing the item's storage ("NdisInitializeWorkItem",
        // learn.microsoft.com/previous-versions/ms921097): from inside it, the free is sound.
        if (it->second.running != 0 && !InOwnRoutine(it->first)) {
            return "an NDIS work item whose routine is running";
        }
    }
    for (auto it = entries_.lower_bound(first); in_range(it);) it = entries_.erase(it);
    return "";
}

}  // namespace emu::ndis

// ---- Platform routines --------------------------------------------------------------------

namespace {
constexpr KIRQL kHighestLevel = 31;
}

void NdisInitializeWorkItem(NDIS_WORK_ITEM* WorkItem, NDIS_PROC Routine, PVOID Context) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    emu::Kernel& kernel = emu::Kernel::Current();
    kernel.Cpu().CheckIrql("NdisInitializeWorkItem", kHighestLevel, PASSIVE_LEVEL, site);
    emu::ndis::Ndis::Current().WorkItemTable().Initialize(WorkItem, Routine, Context, site);
}

NDIS_STATUS NdisScheduleWorkItem(NDIS_WORK_ITEM* WorkItem) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    emu::Kernel& kernel = emu::Kernel::Current();
    if (!kernel.Cpu().CheckIrql("NdisScheduleWorkItem", DISPATCH_LEVEL, PASSIVE_LEVEL, site))
        return NDIS_STATUS_FAILURE;
    return emu::ndis::Ndis::Current().WorkItemTable().Schedule(WorkItem, site);
}
