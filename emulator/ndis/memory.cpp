// NDIS memory, spin locks and sleeps.
#include <cstdint>

#include "emulator/kernel/kernel.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/processor.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/verifier/verifier.h"
#include "emulator/kernel/platform_lock.h"
#include "platform/ndis.h"

using emu::Kernel;
using emu::Processor;

NDIS_STATUS NdisAllocateMemoryWithTag(PVOID* VirtualAddress, UINT Length, ULONG Tag) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel& kernel = Kernel::Current();
    kernel.Cpu().CheckIrql("NdisAllocateMemoryWithTag", DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    *VirtualAddress = kernel.Memory().Allocate(Length, Tag, "NdisAllocateMemoryWithTag", site);
    return *VirtualAddress != nullptr ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE;
}

void NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT /*MemoryFlags*/) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel& kernel = Kernel::Current();
    kernel.Cpu().CheckIrql("NdisFreeMemory", DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    kernel.Memory().Free(VirtualAddress, "NdisFreeMemory", site, Length);
}

void NdisAllocateSpinLock(NDIS_SPIN_LOCK* SpinLock) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Processor& cpu = Kernel::Current().Cpu();
    cpu.CheckIrql("NdisAllocateSpinLock", DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    SpinLock->SpinLock = 0;
    SpinLock->OldIrql = PASSIVE_LEVEL;
    cpu.InitializeLock(&SpinLock->SpinLock);
}

void NdisFreeSpinLock(NDIS_SPIN_LOCK* SpinLock) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel& kernel = Kernel::Current();
    Processor& cpu = kernel.Cpu();
    cpu.CheckIrql("NdisFreeSpinLock", DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    if (cpu.HoldsAnyIn(SpinLock, sizeof(*SpinLock))) {
        kernel.Check().Report(emu::Rule::LockState, "NdisFreeSpinLock", "the lock is held",
                               site);
    }
    // A freed lock is uninitialised again: taking it later is reported.
    cpu.ForgetLocksIn(SpinLock, sizeof(*SpinLock));
}

namespace {

emu::Processor::LockWord WordOf(NDIS_SPIN_LOCK* lock) { return {&lock->SpinLock, 0, 1}; }

}  // namespace

void NdisAcquireSpinLock(NDIS_SPIN_LOCK* SpinLock) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Processor& cpu = Kernel::Current().Cpu();
    cpu.CheckIrql("NdisAcquireSpinLock", DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    KIRQL old = cpu.Irql();
    // A refused acquisition (self-deadlock, uninitialised) leaves the lock's saved level
    // alone: its holder still needs it.
    if (!cpu.Acquire(&SpinLock->SpinLock, "NdisAcquireSpinLock", site, WordOf(SpinLock))) return;
    if (old < DISPATCH_LEVEL) cpu.SetIrql(DISPATCH_LEVEL);
    SpinLock->OldIrql = old;
}

void NdisReleaseSpinLock(NDIS_SPIN_LOCK* SpinLock) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Processor& cpu = Kernel::Current().Cpu();
    cpu.CheckIrqlExactly("NdisReleaseSpinLock", DISPATCH_LEVEL, site);
    // Read before the lock goes: the next holder writes its own level there.
    const KIRQL old = SpinLock->OldIrql;
    if (!cpu.Release(&SpinLock->SpinLock, "NdisReleaseSpinLock", site, WordOf(SpinLock))) return;
    cpu.SetIrql(old);
}

void NdisDprAcquireSpinLock(NDIS_SPIN_LOCK* SpinLock) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Processor& cpu = Kernel::Current().Cpu();
    cpu.CheckIrqlExactly("NdisDprAcquireSpinLock", DISPATCH_LEVEL, site);
    if (!cpu.Acquire(&SpinLock->SpinLock, "NdisDprAcquireSpinLock", site, WordOf(SpinLock)))
        return;
    SpinLock->OldIrql = DISPATCH_LEVEL;
}

void NdisDprReleaseSpinLock(NDIS_SPIN_LOCK* SpinLock) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Processor& cpu = Kernel::Current().Cpu();
    cpu.CheckIrqlExactly("NdisDprReleaseSpinLock", DISPATCH_LEVEL, site);
    cpu.Release(&SpinLock->SpinLock, "NdisDprReleaseSpinLock", site, WordOf(SpinLock));
}

void NdisMSleep(ULONG MicrosecondsToSleep) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel& kernel = Kernel::Current();
    if (!kernel.Cpu().CheckIrql("NdisMSleep", PASSIVE_LEVEL, PASSIVE_LEVEL, site)) return;
    emu::Scheduler& clock = kernel.Clock();
    uint64_t deadline = clock.Now() + MicrosecondsToSleep;
    // Other processors' work (completions, timers) goes on while this thread sleeps.
    clock.WaitFor([&clock, deadline] { return clock.Now() >= deadline; }, deadline, "NdisMSleep");
}
