// Kernel services the driver uses: interrupt request levels, spin locks, events and waits,
// delays, pool and interlocked lists. One line above each call states the IRQL it may be
// called at and what it returns.
#pragma once

#include "platform/types.h"

// ---- Interrupt request levels -------------------------------------------------------------

constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;

// Any IRQL. The current processor's level.
KIRQL KeGetCurrentIrql();
// Any IRQL; NewIrql at or above the current level. Stores the level it replaced.
void KeRaiseIrql(KIRQL NewIrql, KIRQL* OldIrql);
// Any IRQL; NewIrql at or below the current level (the value KeRaiseIrql gave back).
void KeLowerIrql(KIRQL NewIrql);

// Any IRQL. Disable and enable the current processor's interrupts.
void _disable();
void _enable();

// ---- Spin locks ---------------------------------------------------------------------------

typedef ULONG_PTR KSPIN_LOCK QV_CAPABILITY("spin lock");

// Any IRQL. Makes the lock usable; it starts released.
void KeInitializeSpinLock(KSPIN_LOCK* SpinLock);
// Up to DISPATCH_LEVEL. Raises to DISPATCH_LEVEL and takes the lock; stores the old level.
void KeAcquireSpinLock(KSPIN_LOCK* SpinLock, KIRQL* OldIrql) QV_ACQUIRE(*SpinLock);
// DISPATCH_LEVEL, holding the lock. Releases it and returns to OldIrql.
void KeReleaseSpinLock(KSPIN_LOCK* SpinLock, KIRQL OldIrql) QV_RELEASE(*SpinLock);
// Exactly DISPATCH_LEVEL. Takes the lock without changing the level.
void KeAcquireSpinLockAtDpcLevel(KSPIN_LOCK* SpinLock) QV_ACQUIRE(*SpinLock);
// Exactly DISPATCH_LEVEL, holding the lock. Releases it without changing the level.
void KeReleaseSpinLockFromDpcLevel(KSPIN_LOCK* SpinLock) QV_RELEASE(*SpinLock);

// ---- Events, waits and delays -------------------------------------------------------------

enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
enum KWAIT_REASON { Executive = 0, Suspended = 5 };
enum KPROCESSOR_MODE : CHAR { KernelMode = 0, UserMode = 1 };

struct KEVENT {
    LONG Signaled;
    EVENT_TYPE Type;
    ULONG_PTR Reserved;  // the platform's own bookkeeping
};

// Any IRQL. Sets up the event in the given state.
void KeInitializeEvent(KEVENT* Event, EVENT_TYPE Type, BOOLEAN State);
// Up to DISPATCH_LEVEL. Signals the event; returns its previous state.
LONG KeSetEvent(KEVENT* Event, LONG Increment, BOOLEAN Wait);
// Up to DISPATCH_LEVEL. Returns the event to the not-signalled state.
void KeClearEvent(KEVENT* Event);
// PASSIVE_LEVEL when Timeout is null or non-zero (a zero time-out may be used up to
// DISPATCH_LEVEL). Waits for a KEVENT. Timeout in 100-ns units, negative = relative.
// Returns STATUS_SUCCESS when signalled, STATUS_TIMEOUT when the time ran out.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, LARGE_INTEGER* Timeout);
// PASSIVE_LEVEL. Waits the given interval (100-ns units, negative = relative).
// Returns STATUS_SUCCESS.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                LARGE_INTEGER* Interval);

// ---- Pool -----------------------------------------------------------------------------------

enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1 };

// Up to DISPATCH_LEVEL (NonPagedPool). A block of NumberOfBytes under a four-character tag,
// first character in the lowest byte; its contents are not zeroed. Null when none is left.
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, size_t NumberOfBytes, ULONG Tag);
// Up to DISPATCH_LEVEL. Frees a block from ExAllocatePoolWithTag.
void ExFreePool(PVOID P);

// ---- Interlocked lists ----------------------------------------------------------------------

// Any IRQL. An empty circular list.
inline void InitializeListHead(LIST_ENTRY* ListHead) {
    ListHead->Flink = ListHead;
    ListHead->Blink = ListHead;
}
inline bool IsListEmpty(const LIST_ENTRY* ListHead) { return ListHead->Flink == ListHead; }

// Up to DISPATCH_LEVEL. Appends Entry under Lock; returns the previous tail, or null when the
// list was empty.
LIST_ENTRY* ExInterlockedInsertTailList(LIST_ENTRY* ListHead, LIST_ENTRY* ListEntry,
                                        KSPIN_LOCK* Lock) QV_EXCLUDES(*Lock);
// Up to DISPATCH_LEVEL. Removes the head entry under Lock; null when the list is empty.
LIST_ENTRY* ExInterlockedRemoveHeadList(LIST_ENTRY* ListHead, KSPIN_LOCK* Lock)
    QV_EXCLUDES(*Lock);

// ---- Interlocked operations ---------------------------------------------------------------

// Any IRQL. Each is one indivisible step on a 32-bit value and returns, in order: the value
// before (ExChange stored only when it equalled Comperand), the value before, the new value,
// the new value.
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG ExChange, LONG Comperand);
LONG InterlockedExchange(LONG volatile* Target, LONG Value);
LONG InterlockedIncrement(LONG volatile* Addend);
LONG InterlockedDecrement(LONG volatile* Addend);
// Any IRQL. One indivisible exchange of a pointer; the pointer before.
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);
