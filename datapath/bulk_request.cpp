// Bulk transfer URBs for both directions, built in the descriptor's own request area.
#include "datapath/bulk_request.h"

#include "core/adapter.h"
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
