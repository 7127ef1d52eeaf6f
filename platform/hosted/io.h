// The I/O manager: driver and device objects, I/O request packets with their stack
// locations, and the calls that send, complete, cancel and free them.
#pragma once

#include "platform/kernel.h"
#include "platform/types.h"

struct DEVICE_OBJECT;
struct DRIVER_OBJECT;
struct IRP;

using PDRIVER_DISPATCH = NTSTATUS (*)(DEVICE_OBJECT* DeviceObject, IRP* Irp);
using PDRIVER_ADD_DEVICE = NTSTATUS (*)(DRIVER_OBJECT* DriverObject,
                                         DEVICE_OBJECT* PhysicalDeviceObject);
using PIO_COMPLETION_ROUTINE = NTSTATUS (*)(DEVICE_OBJECT* DeviceObject, IRP* Irp,
                                             PVOID Context);
using PDRIVER_CANCEL = void (*)(DEVICE_OBJECT* DeviceObject, IRP* Irp);

// Major function codes.
constexpr UCHAR IRP_MJ_CREATE = 0x00;
constexpr UCHAR IRP_MJ_CLOSE = 0x02;
constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
constexpr UCHAR IRP_MJ_POWER = 0x16;
constexpr UCHAR IRP_MJ_SYSTEM_CONTROL = 0x17;
constexpr UCHAR IRP_MJ_PNP = 0x1B;
constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

// PnP minor function codes.
constexpr UCHAR IRP_MN_START_DEVICE = 0x00;
constexpr UCHAR IRP_MN_QUERY_REMOVE_DEVICE = 0x01;
constexpr UCHAR IRP_MN_REMOVE_DEVICE = 0x02;
constexpr UCHAR IRP_MN_CANCEL_REMOVE_DEVICE = 0x03;
constexpr UCHAR IRP_MN_STOP_DEVICE = 0x04;
constexpr UCHAR IRP_MN_QUERY_STOP_DEVICE = 0x05;
constexpr UCHAR IRP_MN_CANCEL_STOP_DEVICE = 0x06;
constexpr UCHAR IRP_MN_QUERY_DEVICE_RELATIONS = 0x07;
constexpr UCHAR IRP_MN_QUERY_INTERFACE = 0x08;
constexpr UCHAR IRP_MN_QUERY_CAPABILITIES = 0x09;
constexpr UCHAR IRP_MN_QUERY_RESOURCES = 0x0A;
constexpr UCHAR IRP_MN_QUERY_RESOURCE_REQUIREMENTS = 0x0B;
constexpr UCHAR IRP_MN_QUERY_DEVICE_TEXT = 0x0C;
constexpr UCHAR IRP_MN_FILTER_RESOURCE_REQUIREMENTS = 0x0D;
constexpr UCHAR IRP_MN_READ_CONFIG = 0x0F;
constexpr UCHAR IRP_MN_WRITE_CONFIG = 0x10;
constexpr UCHAR IRP_MN_EJECT = 0x11;
constexpr UCHAR IRP_MN_SET_LOCK = 0x12;
constexpr UCHAR IRP_MN_QUERY_ID = 0x13;
constexpr UCHAR IRP_MN_QUERY_PNP_DEVICE_STATE = 0x14;
constexpr UCHAR IRP_MN_QUERY_BUS_INFORMATION = 0x15;
constexpr UCHAR IRP_MN_DEVICE_USAGE_NOTIFICATION = 0x16;
constexpr UCHAR IRP_MN_SURPRISE_REMOVAL = 0x17;

// Stack location control flags: when the completion routine is invoked.
constexpr UCHAR SL_PENDING_RETURNED = 0x01;
constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

struct DRIVER_EXTENSION {
    DRIVER_OBJECT* DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
};

struct DRIVER_OBJECT {
    DEVICE_OBJECT* DeviceObject;
    DRIVER_EXTENSION* DriverExtension;
    PVOID DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

struct DEVICE_OBJECT {
    DRIVER_OBJECT* DriverObject;
    DEVICE_OBJECT* AttachedDevice;  // the device object layered above this one
    PVOID DeviceExtension;
    CCHAR StackSize;                // stack locations a request sent here needs
    ULONG Flags;
};

struct IO_STATUS_BLOCK {
    NTSTATUS Status;
    ULONG_PTR Information;
};

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            alignas(PVOID) ULONG OutputBufferLength;
            alignas(PVOID) ULONG InputBufferLength;
            alignas(PVOID) ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    DEVICE_OBJECT* DeviceObject;
    PVOID FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
};

// An I/O request packet. Its StackCount stack locations follow the record in memory.
// CurrentLocation counts from StackCount + 1 (none taken yet) down to 1.
struct IRP {
    USHORT Size;
    IO_STATUS_BLOCK IoStatus;
    CCHAR StackCount;
    CCHAR CurrentLocation;
    BOOLEAN PendingReturned;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    PDRIVER_CANCEL CancelRoutine;
    IO_STATUS_BLOCK* UserIosb;  // thread requests: written at completion
    KEVENT* UserEvent;          // thread requests: signalled at completion
    IO_STACK_LOCATION* CurrentStackLocation;
    PVOID DriverContext[4];     // for the driver that currently owns the request
};

// ---- Stack location helpers (any IRQL) ------------------------------------------------------

inline IO_STACK_LOCATION* IoGetCurrentIrpStackLocation(IRP* Irp) {
    return Irp->CurrentStackLocation;
}
inline IO_STACK_LOCATION* IoGetNextIrpStackLocation(IRP* Irp) {
    return Irp->CurrentStackLocation - 1;
}
// Copies everything but the completion routine and its context to the next location.
inline void IoCopyCurrentIrpStackLocationToNext(IRP* Irp) {
    IO_STACK_LOCATION* current = IoGetCurrentIrpStackLocation(Irp);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = current->MajorFunction;
    next->MinorFunction = current->MinorFunction;
    next->Flags = current->Flags;
    next->Parameters = current->Parameters;
    next->DeviceObject = current->DeviceObject;
    next->FileObject = current->FileObject;
    next->Control = 0;
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
}
inline void IoSkipCurrentIrpStackLocation(IRP* Irp) {
    Irp->CurrentLocation++;
    Irp->CurrentStackLocation++;
}
inline void IoSetCompletionRoutine(IRP* Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                   PVOID Context, BOOLEAN InvokeOnSuccess,
                                   BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
// Any IRQL. Marks the current stack location pending. A dispatch routine that returns
// STATUS_PENDING calls it first; a completion routine that lets the completion go on calls it
// when Irp->PendingReturned, so that its own dispatch routine may return the lower driver's
// STATUS_PENDING. Without a completion routine the mark passes up by itself.
inline void IoMarkIrpPending(IRP* Irp) { IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED; }

// ---- Requests -------------------------------------------------------------------------------

// Up to DISPATCH_LEVEL. Passes the request to DeviceObject's dispatch routine for the next
// stack location's major function; returns that routine's status: STATUS_PENDING for a request
// marked pending, or else the status the request was completed with.
NTSTATUS IoCallDriver(DEVICE_OBJECT* DeviceObject, IRP* Irp);
// Up to DISPATCH_LEVEL. A request with StackSize stack locations, owned by the caller, who
// frees it with IoFreeIrp; null when none can be had.
IRP* IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
// Up to DISPATCH_LEVEL. Frees a request from IoAllocateIrp that no driver holds; never a
// thread request, which the I/O manager frees.
void IoFreeIrp(IRP* Irp);
// Up to DISPATCH_LEVEL. Marks the request cancelled and calls its cancel routine, if any;
// TRUE when a cancel routine was called.
BOOLEAN IoCancelIrp(IRP* Irp);
// Up to DISPATCH_LEVEL; used by the driver that holds the request. Runs the completion
// routines of the drivers above, from the current location up. A routine that returns
// STATUS_MORE_PROCESSING_REQUIRED stops there; its driver then holds the request and completes
// it again to go on above it (a thread request stopped by its maker's routine is finished by
// that second completion).
void IoCompleteRequest(IRP* Irp, CCHAR PriorityBoost);
// Up to DISPATCH_LEVEL; used by the driver that holds the request. Sets the routine that
// IoCancelIrp calls; returns the previous one.
PDRIVER_CANCEL IoSetCancelRoutine(IRP* Irp, PDRIVER_CANCEL CancelRoutine);
// PASSIVE_LEVEL. A thread request for a device I/O control code, addressed to DeviceObject:
// the next stack location gets IRP_MJ_INTERNAL_DEVICE_CONTROL (InternalDeviceIoControl TRUE)
// or IRP_MJ_DEVICE_CONTROL, the code and the buffer lengths. At completion the I/O manager
// writes *IoStatusBlock, signals Event and frees the request. Null when none can be had.
IRP* IoBuildDeviceIoControlRequest(ULONG IoControlCode, DEVICE_OBJECT* DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength,
                                   PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, KEVENT* Event,
                                   IO_STATUS_BLOCK* IoStatusBlock);

constexpr CCHAR IO_NO_INCREMENT = 0;
