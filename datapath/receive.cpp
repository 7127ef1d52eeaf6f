// The receive path. RxLock guards RxFreeList and RxReadyList; it is never held across a
// submission (a bus may complete inside the call) nor across an indication.
#include "datapath/receive.h"

#include <cstring>

#include "core/adapter.h"
#include "core/result.h"
#include "core/shared_fields.h"
#include "datapath/bulk_request.h"
#include "datapath/descriptor_list.h"
#include "usb/device_config.h"
#include "usb/urb_submit.h"

namespace {

// Up to DISPATCH_LEVEL, RxLock not held. Puts a descriptor that could not go on the pipe
// back among the idle ones; no result.
void GiveBackRxDescriptor(Adapter* adapter, TransferDescriptor* descriptor) {
    NdisAcquireSpinLock(&adapter->RxLock);
    PushDescriptor(RxFree(adapter), descriptor);
    NdisReleaseSpinLock(&adapter->RxLock);
}

// Up to DISPATCH_LEVEL. Sets Length for a good frame and counts it; anything else leaves
// Length at 0. No result.
void ClassifyReceivedTransfer(Adapter* adapter, TransferDescriptor* descriptor) {
    const ULONG received = descriptor->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (received == 0) return;  // nothing arrived
    // Too short to carry a trailer (or longer than the buffer): no status to trust.
    if (received < ReceiveOverhead || received > TransferBufferSize) {
        CountOne(&adapter->RcvError);
        return;
    }
    const UCHAR status = descriptor->Buffer[received - ReceiveStatusFromEnd];
    if ((status & ReceiveStatusBad) != 0) {
        if ((status & ReceiveStatusCrcError) != 0) CountOne(&adapter->RcvError);
        return;
    }
    const USHORT frameLength = static_cast<USHORT>(((received - 4) & 0xFFF) - 4);
    // The packet's buffer was built over ReceiveBufferLength bytes; a longer frame cannot be
    // indicated whole.
    if (frameLength > ReceiveBufferLength) {
        CountOne(&adapter->RcvError);
        return;
    }
    descriptor->Length = frameLength;
    CountOne(&adapter->RcvOk);
}

}  // namespace

// Up to DISPATCH_LEVEL. ResultSuccess when pending at the bus, else ResultFailure.
ULONG SubmitReceive(Adapter* Adapter, TransferDescriptor* Descriptor) {
    if (Adapter->DeviceState != DeviceRunning) {
        GiveBackRxDescriptor(Adapter, Descriptor);
        return ResultFailure;
    }
    BuildBulkTransferUrb(Adapter, Descriptor, ReceivePipe, TransferBufferSize,
                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    const NTSTATUS status =
        SubmitUrbAsync(Adapter, Descriptor->Urb, ReceiveComplete, Descriptor);
    if (status == SubmitNoRequest) {
        // Reception must not stop for good: once every descriptor is idle, the timer's
        // restart submits again (and comes back here if it fails once more).
        GiveBackRxDescriptor(Adapter, Descriptor);
        NdisSetTimer(&Adapter->RxIndicateTimer, ReceiveRetryDelayMs);
        return ResultFailure;
    }
    // Anything but pending: the bus has completed it already, and ReceiveComplete has run.
    if (status != STATUS_PENDING) return ResultFailure;
    return ResultSuccess;
}

// Up to DISPATCH_LEVEL. STATUS_MORE_PROCESSING_REQUIRED: the request is freed here.
NTSTATUS NTAPI ReceiveComplete(DEVICE_OBJECT* DeviceObject, IRP* Irp, PVOID Context) {
    (void)DeviceObject;
    TransferDescriptor* descriptor = static_cast<TransferDescriptor*>(Context);
    Adapter* adapter = descriptor->Adapter;

    // Stopping or failed: the request is the driver's own, so it ends here, and nothing more
    // goes on the pipe. The descriptor stays on no list.
    if (adapter->DeviceState != DeviceRunning) {
        IoFreeIrp(Irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    descriptor->Length = 0;
    descriptor->Status = TransferFailed;
    if (Irp->IoStatus.Status != STATUS_SUCCESS) {
        adapter->DeviceState = DeviceFailed;
    } else {
        ClassifyReceivedTransfer(adapter, descriptor);
        descriptor->Status = TransferSucceeded;
    }
    IoFreeIrp(Irp);

    if (descriptor->Status != TransferSucceeded) return STATUS_MORE_PROCESSING_REQUIRED;
    if (descriptor->Length != 0) {
        QueueReceivedDescriptor(adapter, descriptor);
    } else {
        // Nothing to indicate: the same descriptor goes straight back on the pipe.
        SubmitReceive(adapter, descriptor);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Up to DISPATCH_LEVEL. ResultSuccess.
ULONG QueueReceivedDescriptor(Adapter* Adapter, TransferDescriptor* Descriptor) {
    NdisAcquireSpinLock(&Adapter->RxLock);
    AppendDescriptor(RxReady(Adapter), Descriptor);
    TransferDescriptor* next = PopDescriptor(RxFree(Adapter));
    NdisReleaseSpinLock(&Adapter->RxLock);

    // With none idle the pipe rests until the timer has indicated everything and restarts it.
    if (next != nullptr) SubmitReceive(Adapter, next);
    NdisSetTimer(&Adapter->RxIndicateTimer, 0);
    return ResultSuccess;
}

// DISPATCH_LEVEL. Returns nothing.
void NTAPI RxIndicateTimerFunction(PVOID SystemSpecific1, PVOID FunctionContext,
                                   PVOID SystemSpecific2, PVOID SystemSpecific3) {
    (void)SystemSpecific1;
    (void)SystemSpecific2;
    (void)SystemSpecific3;
    Adapter* adapter = static_cast<Adapter*>(FunctionContext);

    NdisAcquireSpinLock(&adapter->RxLock);
    // Another processor is indicating already: it takes what is parked now too, since it
    // looks at the list again under the lock before it stops. Indicating here as well would
    // let a later frame overtake an earlier one.
    if (adapter->RxIndicating) {
        NdisReleaseSpinLock(&adapter->RxLock);
        return;
    }
    adapter->RxIndicating = TRUE;
    while (adapter->RxReadyList.Head != nullptr) {
        _disable();
        TransferDescriptor* descriptor = PopDescriptor(RxReady(adapter));
        _enable();

        RxPacketRecord* record = static_cast<RxPacketRecord*>(descriptor->PacketRef);
        NdisAdjustBufferLength(record->NdisBuffer, descriptor->Length);
        // The packet caches its total length; without this NDIS would see an earlier frame's.
        NdisRecalculatePacketCounts(record->Packet);
        // NDIS copies what it needs during the call; the packet is ours again afterwards.
        NDIS_SET_PACKET_STATUS(record->Packet, NDIS_STATUS_RESOURCES);
        NdisReleaseSpinLock(&adapter->RxLock);
        NdisMIndicateReceivePacket(adapter->MiniportAdapterHandle, &record->Packet, 1);
        NdisAcquireSpinLock(&adapter->RxLock);

        // Idle only now that the indication is over, so no transfer can reuse its buffer
        // while NDIS reads the frame.
        _disable();
        AppendDescriptor(RxFree(adapter), descriptor);
        _enable();
    }

    // Every descriptor idle means none is on the pipe: start it again.
    TransferDescriptor* restart = nullptr;
    if (adapter->RxFreeList.Count >= adapter->RxDescCount) {
        restart = PopDescriptor(RxFree(adapter));
    }
    adapter->RxIndicating = FALSE;
    NdisReleaseSpinLock(&adapter->RxLock);
    if (restart != nullptr) SubmitReceive(adapter, restart);
}

// DISPATCH_LEVEL. NDIS_STATUS_SUCCESS: the copy never pends.
NDIS_STATUS NTAPI MiniportTransferData(NDIS_PACKET* Packet, UINT* BytesTransferred,
                                       NDIS_HANDLE MiniportAdapterContext,
                                       NDIS_HANDLE MiniportReceiveContext, UINT ByteOffset,
                                       UINT BytesToTransfer) {
    (void)MiniportAdapterContext;
    *BytesTransferred = 0;
    // The receive context is the frame's first byte; the data asked for follows its header.
    const UCHAR* source =
        static_cast<const UCHAR*>(MiniportReceiveContext) + EthernetHeaderSize + ByteOffset;
    UINT remaining = BytesToTransfer;

    NDIS_BUFFER* buffer = nullptr;
    NdisQueryPacket(Packet, nullptr, nullptr, &buffer, nullptr);
    while (buffer != nullptr && remaining != 0) {
        PVOID address = nullptr;
        UINT length = 0;
        NdisQueryBuffer(buffer, &address, &length);
        const UINT count = remaining < length ? remaining : length;
        if (count != 0) memcpy(address, source, count);
        source += count;
        remaining -= count;
        *BytesTransferred += count;
        // A statement, not an expression, on the real platform.
        NdisGetNextBuffer(buffer, &buffer);
    }
    return NDIS_STATUS_SUCCESS;
}
