// Bulk transfer URBs for both directions, and the prepared-but-unsent request of the
// transmit path: a send must hold every request it needs (a frame's and its follow-up's)
// before the first of them goes down, so it cannot use the one-call submission.
#include "datapath/bulk_request.h"

#include "driver/adapter.h"
#include "platform/usb.h"

// Any IRQL. Returns nothing.
void BuildBulkTransferUrb(Adapter* Adapter, TransferDescriptor* Descriptor, ULONG PipeIndex,
                          ULONG TransferLength, ULONG TransferFlags) {
    _URB_BULK_OR_INTERRUPT_TRANSFER* urb = &Descriptor->Urb->UrbBulkOrInterruptTransfer;
    urb->Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->PipeHandle = Adapter->InterfaceInfo->Pipes[PipeIndex].PipeHandle;
    urb->TransferBufferLength = TransferLength;
    urb->TransferBuffer = Descriptor->Buffer;
    urb->TransferBufferMDL = nullptr;
    urb->TransferFlags = TransferFlags;
    urb->UrbLink = nullptr;
}

// Up to DISPATCH_LEVEL. The prepared request, or null when none can be allocated.
IRP* PrepareBulkRequest(Adapter* Adapter, TransferDescriptor* Descriptor,
                        PIO_COMPLETION_ROUTINE CompletionRoutine) {
    IRP* irp = IoAllocateIrp(static_cast<CCHAR>(Adapter->IrpStackSize), FALSE);
    if (irp == nullptr) return nullptr;

    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = Descriptor->Urb;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    IoSetCompletionRoutine(irp, CompletionRoutine, Descriptor, TRUE, TRUE, TRUE);
    return irp;
}
