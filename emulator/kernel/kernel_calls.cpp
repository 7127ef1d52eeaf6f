// The kernel services of platform/kernel.h: IRQL, spin locks, events, waits and delays on
// the virtual clock, pool and interlocked lists. Each checks the IRQL it is called at.
#include "emulator/kernel/kernel.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/processor.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/verifier/verifier.h"
#include "emulator/kernel/platform_lock.h"
#include "platform/kernel.h"

using emu::Kernel;

namespace {

// Values kept in a KSPIN_LOCK, so a dump of the driver's memory shows the lock's state.
constexpr KSPIN_LOCK kLockFree = 0x4B4C6672;  // "rfLK"
constexpr KSPIN_LOCK kLockHeld = 0x4B4C6468;  // "hdLK"
// Kept in KEVENT::Reserved by KeInitializeEvent.
constexpr ULONG_PTR kEventReady = 0x45564E54;  // "TNVE"

emu::Processor& Cpu() { return Kernel::Current().Cpu(); }
emu::Scheduler& Clock() { return Kernel::Current().Clock(); }

// A time-out in 100-ns units (negative relative, positive absolute from virtual time 0) as
// a virtual deadline in microseconds, rounded up.
uint64_t DeadlineFrom(const LARGE_INTEGER& timeout) {
    const uint64_t now = Clock().Now();
    if (timeout.QuadPart < 0) {
        uint64_t ticks = static_cast<uint64_t>(-(timeout.QuadPart + 1)) + 1;
        return now + (ticks + 9) / 10;
    }
    uint64_t absolute = (static_cast<uint64_t>(timeout.QuadPart) + 9) / 10;
    return absolute < now ? now : absolute;
}

emu::Processor::LockWord WordOf(KSPIN_LOCK* lock) { return {lock, kLockFree, kLockHeld}; }

bool TakeLock(KSPIN_LOCK* lock, const char* call, uintptr_t site) {
    return Cpu().Acquire(lock, call, site, WordOf(lock));
}

void DropLock(KSPIN_LOCK* lock, const char* call, uintptr_t site) {
    Cpu().Release(lock, call, site, WordOf(lock));
}

}  // namespace

// ---- IRQL -----------------------------------------------------------------------------------

KIRQL KeGetCurrentIrql() { return Cpu().Irql(); }

void KeRaiseIrql(KIRQL NewIrql, KIRQL* OldIrql) {
    EMU_PLATFORM_ENTRY();
    emu::Processor& cpu = Cpu();
    if (NewIrql < cpu.Irql())
        Kernel::Current().Check().Report(emu::Rule::IrqlCall, "KeRaiseIrql",
                                          "asked to raise from " + std::to_string(cpu.Irql()) +
                                              " to the lower " + std::to_string(NewIrql),
                                          EMU_CALLER());
    *OldIrql = cpu.Irql();
    cpu.SetIrql(NewIrql);
}

void KeLowerIrql(KIRQL NewIrql) {
    EMU_PLATFORM_ENTRY();
    emu::Processor& cpu = Cpu();
    if (NewIrql > cpu.Irql())
        Kernel::Current().Check().Report(emu::Rule::IrqlCall, "KeLowerIrql",
                                          "asked to lower from " + std::to_string(cpu.Irql()) +
                                              " to the higher " + std::to_string(NewIrql),
                                          EMU_CALLER());
    cpu.SetIrql(NewIrql);
}

void _disable() { Cpu().SetInterruptsEnabled(false); }
void _enable() { Cpu().SetInterruptsEnabled(true); }

// ---- Spin locks -----------------------------------------------------------------------------

void KeInitializeSpinLock(KSPIN_LOCK* SpinLock) {
    EMU_PLATFORM_ENTRY();
    Cpu().InitializeLock(SpinLock);
    *SpinLock = kLockFree;
}

void KeAcquireSpinLock(KSPIN_LOCK* SpinLock, KIRQL* OldIrql) {
    EMU_PLATFORM_ENTRY();
    emu::Processor& cpu = Cpu();
    cpu.CheckIrql("KeAcquireSpinLock", DISPATCH_LEVEL, PASSIVE_LEVEL, EMU_CALLER());
    TakeLock(SpinLock, "KeAcquireSpinLock", EMU_CALLER());
    *OldIrql = cpu.Irql();
    if (cpu.Irql() < DISPATCH_LEVEL) cpu.SetIrql(DISPATCH_LEVEL);
}

void KeReleaseSpinLock(KSPIN_LOCK* SpinLock, KIRQL OldIrql) {
    EMU_PLATFORM_ENTRY();
    emu::Processor& cpu = Cpu();
    cpu.CheckIrqlExactly("KeReleaseSpinLock", DISPATCH_LEVEL, EMU_CALLER());
    DropLock(SpinLock, "KeReleaseSpinLock", EMU_CALLER());
    cpu.SetIrql(OldIrql);
}

void KeAcquireSpinLockAtDpcLevel(KSPIN_LOCK* SpinLock) {
    EMU_PLATFORM_ENTRY();
    Cpu().CheckIrqlExactly("KeAcquireSpinLockAtDpcLevel", DISPATCH_LEVEL, EMU_CALLER());
    TakeLock(SpinLock, "KeAcquireSpinLockAtDpcLevel", EMU_CALLER());
}

void KeReleaseSpinLockFromDpcLevel(KSPIN_LOCK* SpinLock) {
    EMU_PLATFORM_ENTRY();
    Cpu().CheckIrqlExactly("KeReleaseSpinLockFromDpcLevel", DISPATCH_LEVEL, EMU_CALLER());
    DropLock(SpinLock, "KeReleaseSpinLockFromDpcLevel", EMU_CALLER());
}

// ---- Events, waits and delays ---------------------------------------------------------------

void KeInitializeEvent(KEVENT* Event, EVENT_TYPE Type, BOOLEAN State) {
    EMU_PLATFORM_ENTRY();
    Event->Signaled = State ? 1 : 0;
    Event->Type = Type;
    Event->Reserved = kEventReady;
}

LONG KeSetEvent(KEVENT* Event, LONG /*Increment*/, BOOLEAN /*Wait*/) {
    EMU_PLATFORM_ENTRY();
    Cpu().CheckIrql("KeSetEvent", DISPATCH_LEVEL, PASSIVE_LEVEL, EMU_CALLER());
    LONG previous = Event->Signaled;
    Event->Signaled = 1;
    emu::race::Release(Event);  // the waiter goes on after what the setter did
    return previous;
}

void KeClearEvent(KEVENT* Event) {
    EMU_PLATFORM_ENTRY();
    Cpu().CheckIrql("KeClearEvent", DISPATCH_LEVEL, PASSIVE_LEVEL, EMU_CALLER());
    Event->Signaled = 0;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON /*WaitReason*/,
                               KPROCESSOR_MODE /*WaitMode*/, BOOLEAN /*Alertable*/,
                               LARGE_INTEGER* Timeout) {
    EMU_PLATFORM_ENTRY();
    constexpr const char* kCall = "KeWaitForSingleObject";
    const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    // A wait that may block is allowed up to APC_LEVEL; a zero time-out only polls, up to
    // DISPATCH_LEVEL (KeWaitForSingleObject's page, learn.microsoft.com/windows-hardware/
    // drivers/ddi/wdm/nf-wdm-kewaitforsingleobject).
    Cpu().CheckIrql(kCall, poll ? DISPATCH_LEVEL : APC_LEVEL, PASSIVE_LEVEL, EMU_CALLER());
    auto* event = static_cast<KEVENT*>(Object);
    if (event == nullptr || event->Reserved != kEventReady) {
        Kernel::Current().Check().Report(emu::Rule::Platform, kCall,
                                          "the object is not an initialised KEVENT", EMU_CALLER());
        return STATUS_TIMEOUT;
    }
    bool signalled = event->Signaled != 0;
    if (!signalled && !poll) {
        std::optional<uint64_t> deadline;
        if (Timeout != nullptr) deadline = DeadlineFrom(*Timeout);
        signalled = Clock().WaitFor([event] { return event->Signaled != 0; }, deadline, kCall);
    }
    if (!signalled) return STATUS_TIMEOUT;
    emu::race::Acquire(event);
    if (event->Type == SynchronizationEvent) event->Signaled = 0;
    return STATUS_SUCCESS;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE /*WaitMode*/, BOOLEAN /*Alertable*/,
                                LARGE_INTEGER* Interval) {
    EMU_PLATFORM_ENTRY();
    constexpr const char* kCall = "KeDelayExecutionThread";
    // Up to APC_LEVEL (KeDelayExecutionThread's page, learn.microsoft.com/windows-hardware/
    // drivers/ddi/wdm/nf-wdm-kedelayexecutionthread).
    Cpu().CheckIrql(kCall, APC_LEVEL, PASSIVE_LEVEL, EMU_CALLER());
    if (Interval == nullptr) {
        Kernel::Current().Check().Report(emu::Rule::Platform, kCall, "no interval given", EMU_CALLER());
        return STATUS_INVALID_PARAMETER;
    }
    Clock().WaitFor([] { return false; }, DeadlineFrom(*Interval), kCall);
    return STATUS_SUCCESS;
}

// ---- Pool -----------------------------------------------------------------------------------

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, size_t NumberOfBytes, ULONG Tag) {
    EMU_PLATFORM_ENTRY();
    constexpr const char* kCall = "ExAllocatePoolWithTag";
    Cpu().CheckIrql(kCall, PoolType == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, PASSIVE_LEVEL,
                    EMU_CALLER());
    return Kernel::Current().Memory().Allocate(NumberOfBytes, Tag, kCall, EMU_CALLER(),
                                               PoolType == PagedPool);
}

void ExFreePool(PVOID P) {
    EMU_PLATFORM_ENTRY();
    emu::Pool& pool = Kernel::Current().Memory();
    // ExFreePoolWithTag's page (learn.microsoft.com/windows-hardware/drivers/ddi/wdm/
    // nf-wdm-exfreepoolwithtag): memory freed at DISPATCH_LEVEL must have come from a
    // non-paged pool type, so paged pool is freed at APC_LEVEL at most.
    const emu::Pool::Block* block = pool.Find(P);
    const bool paged = block != nullptr && block->paged;
    Cpu().CheckIrql(paged ? "ExFreePool of paged pool" : "ExFreePool",
                    paged ? APC_LEVEL : DISPATCH_LEVEL, PASSIVE_LEVEL, EMU_CALLER());
    pool.Free(P, "ExFreePool", EMU_CALLER());
}

// ---- Interlocked lists ----------------------------------------------------------------------

namespace {

// Runs `operation` holding `lock` at raised IRQL, through the same bookkeeping as a spin lock,
// so lock order and self-deadlock cover the interlocked calls too.
template <class F>
LIST_ENTRY* UnderLock(KSPIN_LOCK* lock, const char* call, uintptr_t site, F operation) {
    emu::Processor& cpu = Cpu();
    cpu.CheckIrql(call, DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    const KIRQL entry = cpu.Irql();
    if (entry < DISPATCH_LEVEL) cpu.SetIrql(DISPATCH_LEVEL);
    const bool took = TakeLock(lock, call, site);
    LIST_ENTRY* result = operation();
    if (took) DropLock(lock, call, site);
    cpu.SetIrql(entry);
    return result;
}

}  // namespace

LIST_ENTRY* ExInterlockedInsertTailList(LIST_ENTRY* ListHead, LIST_ENTRY* ListEntry,
                                        KSPIN_LOCK* Lock) {
    EMU_PLATFORM_ENTRY();
    return UnderLock(Lock, "ExInterlockedInsertTailList", EMU_CALLER(), [&]() -> LIST_ENTRY* {
        LIST_ENTRY* tail = ListHead->Blink;
        LIST_ENTRY* previous = tail == ListHead ? nullptr : tail;
        ListEntry->Flink = ListHead;
        ListEntry->Blink = tail;
        tail->Flink = ListEntry;
        ListHead->Blink = ListEntry;
        return previous;
    });
}

LIST_ENTRY* ExInterlockedRemoveHeadList(LIST_ENTRY* ListHead, KSPIN_LOCK* Lock) {
    EMU_PLATFORM_ENTRY();
    return UnderLock(Lock, "ExInterlockedRemoveHeadList", EMU_CALLER(), [&]() -> LIST_ENTRY* {
        LIST_ENTRY* first = ListHead->Flink;
        if (first == ListHead) return nullptr;
        ListHead->Flink = first->Flink;
        first->Flink->Blink = ListHead;
        return first;
    });
}

// ---- Interlocked operations -----------------------------------------------------------------

// Indivisible on every processor, as the locked instructions are. Each is also a boundary:
// another processor may step in just before it, which is where a race on the value would show.
namespace {

constexpr KIRQL kAnyIrql = 31;

void InterlockedEntry(const char* call, uintptr_t site) {
    Cpu().CheckIrql(call, kAnyIrql, PASSIVE_LEVEL, site);
}

}  // namespace

LONG InterlockedCompareExchange(LONG volatile* Destination, LONG ExChange, LONG Comperand) {
    EMU_PLATFORM_ENTRY();
    InterlockedEntry("InterlockedCompareExchange", EMU_CALLER());
    LONG before = Comperand;
    emu::DriverAccess driver;
    __atomic_compare_exchange_n(const_cast<LONG*>(Destination), &before, ExChange, false,
                                __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return before;
}

LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    EMU_PLATFORM_ENTRY();
    InterlockedEntry("InterlockedExchange", EMU_CALLER());
    emu::DriverAccess driver;
    return __atomic_exchange_n(const_cast<LONG*>(Target), Value, __ATOMIC_SEQ_CST);
}

PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    EMU_PLATFORM_ENTRY();
    InterlockedEntry("InterlockedExchangePointer", EMU_CALLER());
    emu::DriverAccess driver;
    return __atomic_exchange_n(const_cast<PVOID*>(Target), Value, __ATOMIC_SEQ_CST);
}

LONG InterlockedIncrement(LONG volatile* Addend) {
    EMU_PLATFORM_ENTRY();
    InterlockedEntry("InterlockedIncrement", EMU_CALLER());
    // Wraps as the processor's instruction does.
    emu::DriverAccess driver;
    return __atomic_add_fetch(const_cast<LONG*>(Addend), 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile* Addend) {
    EMU_PLATFORM_ENTRY();
    InterlockedEntry("InterlockedDecrement", EMU_CALLER());
    emu::DriverAccess driver;
    return __atomic_sub_fetch(const_cast<LONG*>(Addend), 1, __ATOMIC_SEQ_CST);
}
