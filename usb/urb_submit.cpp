// Handing URBs to the next lower device object. The synchronous path waits on an event for
// at most 5 seconds; the asynchronous path leaves the request to its completion routine.
#include "usb/urb_submit.h"

#include "core/adapter.h"

namespace {

// PASSIVE_LEVEL. Sends a thread request built for Event and waits for it: ResultSuccess when
// it did not pend or completed in time, ResultTimeout when it had to be cancelled.
ULONG SendAndWait(Adapter* Adapter, IRP* Irp, KEVENT* Event) {
    if (IoCallDriver(Adapter->NextDeviceObject, Irp) != STATUS_PENDING) return ResultSuccess;

    LARGE_INTEGER timeout;
    timeout.QuadPart = SyncRequestTimeout;
    if (KeWaitForSingleObject(Event, Suspended, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT) {
        return ResultSuccess;
    }
    // The cancelled request still completes, writing the caller's event, status block and
    // URB; all live on the caller's stack, so wait for that before giving them up.
    IoCancelIrp(Irp);
    KeWaitForSingleObject(Event, Suspended, KernelMode, FALSE, nullptr);
    return ResultTimeout;
}

}  // namespace

// PASSIVE_LEVEL. ResultSuccess, ResultFailure (no request) or ResultTimeout.
ULONG SubmitUrbSync(Adapter* Adapter, URB* Urb) {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB,
                                             Adapter->NextDeviceObject, nullptr, 0, nullptr, 0,
                                             TRUE, &event, &ioStatus);
    if (irp == nullptr) return ResultFailure;

    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
    return SendAndWait(Adapter, irp, &event);
}

// PASSIVE_LEVEL. ResultSuccess, ResultFailure (no request) or ResultTimeout.
ULONG CyclePort(Adapter* Adapter, ULONG IoControlCode) {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    IRP* irp = IoBuildDeviceIoControlRequest(IoControlCode, Adapter->NextDeviceObject, nullptr,
                                             0, nullptr, 0, TRUE, &event, &ioStatus);
    if (irp == nullptr) return ResultFailure;

    LARGE_INTEGER delay;
    delay.QuadPart = CyclePortDelay;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    return SendAndWait(Adapter, irp, &event);
}

// Up to DISPATCH_LEVEL. The prepared request, or null when none can be allocated.
IRP* PrepareUrbRequest(Adapter* Adapter, URB* Urb, PIO_COMPLETION_ROUTINE CompletionRoutine,
                       PVOID Context) {
    IRP* irp = IoAllocateIrp(static_cast<CCHAR>(Adapter->IrpStackSize), FALSE);
    if (irp == nullptr) return nullptr;

    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(irp, CompletionRoutine, Context, TRUE, TRUE, TRUE);
    return irp;
}

// Up to DISPATCH_LEVEL. IoCallDriver's status, or SubmitNoRequest with nothing sent.
NTSTATUS SubmitUrbAsync(Adapter* Adapter, URB* Urb, PIO_COMPLETION_ROUTINE CompletionRoutine,
                        PVOID Context) {
    IRP* irp = PrepareUrbRequest(Adapter, Urb, CompletionRoutine, Context);
    if (irp == nullptr) return SubmitNoRequest;

    // From here on the request belongs to the completion routine, whatever the call returns.
    return IoCallDriver(Adapter->NextDeviceObject, irp);
}
