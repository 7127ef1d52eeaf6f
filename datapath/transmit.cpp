// The transmit path. A send completes its packet as soon as the frame is copied and its
// request placed; the transfer itself completes later, one at the bus at a time.
//
// Locks: TxLock guards TxFreeList and TxFreeCount; TxSubmitLock guards TxInFlight and the
// hand-down-or-queue decision; TxQueueLock is taken only by the interlocked operations on
// TxIrpQueue, inside TxSubmitLock. TxLock is never held with the other two, and no lock is
// held across IoCallDriver: a bus may complete inside the call.
#include "datapath/transmit.h"

#include <cstring>

#include "datapath/bulk_request.h"
#include "datapath/descriptor_list.h"
#include "driver/adapter.h"
#include "driver/shared_fields.h"
#include "driver/handlers.h"
#include "driver/pool_tags.h"
#include "driver/result.h"
#include "usb/device_config.h"
#include "usb/urb_submit.h"

namespace {

// Any IRQL. True when a transfer of this length needs a zero-length follow-up.
bool NeedsFollowUp(ULONG transferLength) { return transferLength % BulkOutPacketSize == 0; }

// Any IRQL. The packet a send stored in the descriptor's slot.
NDIS_PACKET* SlotPacket(TransferDescriptor* descriptor) {
    return static_cast<NDIS_PACKET*>(*static_cast<PVOID*>(descriptor->PacketRef));
}

// DISPATCH_LEVEL, TxLock held. Pops a free descriptor, keeping TxFreeCount beside the list;
// null when there is none.
TransferDescriptor* PopFreeTxDescriptor(Adapter* adapter) QV_REQUIRES(adapter->TxLock) {
    adapter->TxFreeCount--;
    TransferDescriptor* descriptor = PopDescriptor(TxFree(adapter));
    if (descriptor == nullptr) adapter->TxFreeCount++;
    return descriptor;
}

// Up to DISPATCH_LEVEL. Takes the frame's descriptor and, when the frame needs one, its
// follow-up's, in one TxLock hold: a frame never goes down unless its follow-up is secured.
// The last free descriptor is kept for a follow-up. ResultSuccess, or ResultFailure with
// SendResourcesWanted set.
ULONG TakeTxDescriptors(Adapter* adapter, bool followUpNeeded, TransferDescriptor** frame,
                        TransferDescriptor** followUp) {
    *frame = nullptr;
    *followUp = nullptr;
    _disable();
    NdisAcquireSpinLock(&adapter->TxLock);
    if (adapter->TxFreeCount <= 1) {
        adapter->SendResourcesWanted = TRUE;
        NdisReleaseSpinLock(&adapter->TxLock);
        _enable();
        return ResultFailure;
    }
    TransferDescriptor* first = PopFreeTxDescriptor(adapter);
    TransferDescriptor* second = nullptr;
    if (first != nullptr && followUpNeeded) {
        second = PopFreeTxDescriptor(adapter);
        if (second == nullptr) {
            PushDescriptor(TxFree(adapter), first);
            adapter->TxFreeCount++;
            first = nullptr;
        }
    }
    // Set under the lock, so that no give-back deciding to resume sends can clear it unseen.
    if (first == nullptr) adapter->SendResourcesWanted = TRUE;
    NdisReleaseSpinLock(&adapter->TxLock);
    _enable();

    if (first == nullptr) return ResultFailure;
    *frame = first;
    *followUp = second;
    return ResultSuccess;
}

// DISPATCH_LEVEL, TxLock held. Whether NDIS is to be told now that refused sends may come
// again: a send was refused and every descriptor is free. Clears the flag when so. Deciding
// under the lock keeps a refusal made meanwhile on another processor from being cleared
// unseen, which would leave NDIS holding its sends back for good.
bool TakeResumeDecision(Adapter* adapter) QV_REQUIRES(adapter->TxLock) {
    if (!adapter->SendResourcesWanted ||
        adapter->TxFreeCount != static_cast<LONG>(adapter->TxDescCount)) {
        return false;
    }
    adapter->SendResourcesWanted = FALSE;
    return true;
}

// Up to DISPATCH_LEVEL. Gives the descriptors of a send that placed nothing back at the head
// of TxFreeList; no result.
void GiveBackTxDescriptors(Adapter* adapter, TransferDescriptor* frame,
                           TransferDescriptor* followUp) {
    NdisAcquireSpinLock(&adapter->TxLock);
    if (followUp != nullptr) {
        PushDescriptor(TxFree(adapter), followUp);
        adapter->TxFreeCount++;
    }
    PushDescriptor(TxFree(adapter), frame);
    adapter->TxFreeCount++;
    // A send refused meanwhile may have been waiting for exactly these.
    const bool resume = TakeResumeDecision(adapter);
    NdisReleaseSpinLock(&adapter->TxLock);
    if (resume) NdisMSendResourcesAvailable(adapter->MiniportAdapterHandle);
}

// Up to DISPATCH_LEVEL. The descriptor's bulk-out request, not yet sent; null when none.
IRP* PrepareTransmitRequest(Adapter* adapter, TransferDescriptor* descriptor) {
    BuildBulkTransferUrb(adapter, descriptor, TransmitPipe, descriptor->Length,
                         USBD_TRANSFER_DIRECTION_OUT);
    return PrepareUrbRequest(adapter, descriptor->Urb, TransmitComplete, descriptor);
}

// Up to DISPATCH_LEVEL. A queue entry holding irp, not yet queued; null when none.
TxQueueEntry* AllocateTxQueueEntry(IRP* irp) {
    TxQueueEntry* entry = static_cast<TxQueueEntry*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(TxQueueEntry), RequestPoolTag));
    if (entry != nullptr) entry->QueuedIrp = irp;
    return entry;
}

// Up to DISPATCH_LEVEL. Frees an entry that was never queued, with its request; no result.
void FreeQueuedRequest(TxQueueEntry* entry) {
    IoFreeIrp(entry->QueuedIrp);
    ExFreePool(entry);
}

// DISPATCH_LEVEL, TxSubmitLock held. Decides who hands `irp` down, now that it is next: this
// context (TRUE; it then holds the turn), or the context already handing requests down, which
// takes it from TxNextIrp once its call returns (FALSE).
BOOLEAN TakeTurnToCallDown(Adapter* adapter, IRP* irp) QV_REQUIRES(adapter->TxSubmitLock) {
    if (adapter->TxCallingDown) {
        adapter->TxNextIrp = irp;
        return FALSE;
    }
    adapter->TxCallingDown = TRUE;
    return TRUE;
}

// Up to DISPATCH_LEVEL. Counts a finished request (completed, or ended unsent) out of
// TxInFlight and takes the first waiting one; returns it when this context is to hand it
// down, null when none waits or the context holding the turn will.
IRP* FinishRequest(Adapter* adapter) {
    TxQueueEntry* entry = nullptr;
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    KeAcquireSpinLockAtDpcLevel(&adapter->TxSubmitLock);
    adapter->TxInFlight--;
    if (adapter->TxInFlight > 0) {
        LIST_ENTRY* links = ExInterlockedRemoveHeadList(&adapter->TxIrpQueue,
                                                        &adapter->TxQueueLock);
        if (links != nullptr) entry = CONTAINING_RECORD(links, TxQueueEntry, Links);
    }
    IRP* next = nullptr;
    if (entry != nullptr && TakeTurnToCallDown(adapter, entry->QueuedIrp)) next = entry->QueuedIrp;
    KeReleaseSpinLockFromDpcLevel(&adapter->TxSubmitLock);
    KeLowerIrql(oldIrql);

    if (entry != nullptr) ExFreePool(entry);
    return next;
}

// Up to DISPATCH_LEVEL. Frees a waiting request that will not be sent and gives its
// descriptor back; no result. The caller counts it out of TxInFlight.
void EndUnsentRequest(Adapter* adapter, IRP* irp) {
    TransferDescriptor* descriptor =
        static_cast<TransferDescriptor*>(IoGetNextIrpStackLocation(irp)->Context);
    IoFreeIrp(irp);
    descriptor->Status = TransferFailed;
    ReturnTxDescriptor(adapter, descriptor);
}

// Up to DISPATCH_LEVEL, holding the turn. Hands `irp` down, then each request that became
// next meanwhile, one at a time, and gives the turn up when none is left. A bus that
// completes inside the call leaves the next request here instead of handing it down from its
// completion, so the stack stays flat however many wait. Once the device is being stopped,
// requests go no further: the pipe is aborted and then reset, and a request handed down in
// between would still be on it at the reset; each ends unsent instead.
void CallDownInTurn(Adapter* adapter, IRP* irp) {
    while (irp != nullptr) {
        if (adapter->Stopping) {
            EndUnsentRequest(adapter, irp);
            FinishRequest(adapter);  // the turn is ours: what comes next waits in TxNextIrp
        } else {
            IoCallDriver(adapter->NextDeviceObject, irp);
        }
        KIRQL oldIrql;
        KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
        KeAcquireSpinLockAtDpcLevel(&adapter->TxSubmitLock);
        irp = adapter->TxNextIrp;
        adapter->TxNextIrp = nullptr;
        if (irp == nullptr) adapter->TxCallingDown = FALSE;
        KeReleaseSpinLockFromDpcLevel(&adapter->TxSubmitLock);
        KeLowerIrql(oldIrql);
    }
}

// Up to DISPATCH_LEVEL. Places the frame's request, and the follow-up's right behind it, in
// one TxSubmitLock hold: the frame goes down when nothing is in flight and waits in
// TxIrpQueue otherwise. TxInFlight counts both before the lock is let go, so no completion
// can see it short of them; the call down comes after, outside the lock. ResultSuccess, or
// ResultFailure with nothing placed when the frame had to wait and no queue entry could be
// had.
ULONG HandDownOrQueue(Adapter* adapter, IRP* frameIrp, TxQueueEntry* followUpEntry) {
    TxQueueEntry* frameEntry = nullptr;
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    KeAcquireSpinLockAtDpcLevel(&adapter->TxSubmitLock);
    if (adapter->TxInFlight != 0) {
        // The frame has to wait: get its entry outside the lock, then decide again.
        KeReleaseSpinLockFromDpcLevel(&adapter->TxSubmitLock);
        frameEntry = AllocateTxQueueEntry(frameIrp);
        if (frameEntry == nullptr) {
            KeLowerIrql(oldIrql);
            return ResultFailure;
        }
        KeAcquireSpinLockAtDpcLevel(&adapter->TxSubmitLock);
    }

    IRP* handDown = nullptr;
    if (adapter->TxInFlight == 0) {
        if (TakeTurnToCallDown(adapter, frameIrp)) handDown = frameIrp;
    } else {
        ExInterlockedInsertTailList(&adapter->TxIrpQueue, &frameEntry->Links,
                                    &adapter->TxQueueLock);
        frameEntry = nullptr;
    }
    adapter->TxInFlight++;
    if (followUpEntry != nullptr) {
        ExInterlockedInsertTailList(&adapter->TxIrpQueue, &followUpEntry->Links,
                                    &adapter->TxQueueLock);
        adapter->TxInFlight++;
    }
    KeReleaseSpinLockFromDpcLevel(&adapter->TxSubmitLock);
    KeLowerIrql(oldIrql);

    // The queue emptied while the entry was being allocated: the frame went down instead.
    if (frameEntry != nullptr) ExFreePool(frameEntry);
    if (handDown != nullptr) CallDownInTurn(adapter, handDown);
    return ResultSuccess;
}

}  // namespace

// Up to DISPATCH_LEVEL. NDIS_STATUS_PENDING once the packet is completed here;
// NDIS_STATUS_RESOURCES (not completed) when too few descriptors are free;
// NDIS_STATUS_FAILURE (not completed) when the frame is too long or nothing could be sent.
NDIS_STATUS NTAPI MiniportSend(NDIS_HANDLE MiniportAdapterContext, NDIS_PACKET* Packet,
                               UINT Flags) {
    (void)Flags;
    Adapter* adapter = static_cast<Adapter*>(MiniportAdapterContext);

    UINT frameLength = 0;
    NdisQueryPacket(Packet, nullptr, nullptr, nullptr, &frameLength);
    // Refused before a descriptor is taken: it would not fit behind the length word.
    if (frameLength > MaxTransmitFrameLength) return NDIS_STATUS_FAILURE;

    TransferDescriptor* frame = nullptr;
    TransferDescriptor* followUp = nullptr;
    if (TakeTxDescriptors(adapter, NeedsFollowUp(frameLength + 2), &frame, &followUp) !=
        ResultSuccess) {
        return NDIS_STATUS_RESOURCES;
    }

    *static_cast<PVOID*>(frame->PacketRef) = Packet;
    if (SubmitTransmit(adapter, frame, followUp) != ResultSuccess) {
        GiveBackTxDescriptors(adapter, frame, followUp);
        return NDIS_STATUS_FAILURE;
    }

    // A frame handed to an adapter that has failed meanwhile did not go out.
    const NDIS_STATUS status =
        adapter->DeviceState == DeviceRunning ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE;
    NdisMSendComplete(adapter->MiniportAdapterHandle, Packet, status);
    return NDIS_STATUS_PENDING;
}

// Up to DISPATCH_LEVEL. ResultSuccess when every request was placed, ResultFailure when none.
ULONG SubmitTransmit(Adapter* Adapter, TransferDescriptor* Descriptor,
                     TransferDescriptor* FollowUp) {
    if (Adapter->DeviceState != DeviceRunning) return ResultFailure;

    CopyPacketToDescriptor(Adapter, Descriptor);
    if (Descriptor->Length < MinTransmitLength) Descriptor->Length = MinTransmitLength;
    IRP* frameIrp = PrepareTransmitRequest(Adapter, Descriptor);
    if (frameIrp == nullptr) return ResultFailure;

    // Everything the follow-up needs is had before anything goes down.
    TxQueueEntry* followUpEntry = nullptr;
    if (FollowUp != nullptr) {
        FollowUp->Length = 0;
        IRP* followUpIrp = PrepareTransmitRequest(Adapter, FollowUp);
        if (followUpIrp != nullptr) {
            followUpEntry = AllocateTxQueueEntry(followUpIrp);
            if (followUpEntry == nullptr) IoFreeIrp(followUpIrp);
        }
        if (followUpEntry == nullptr) {
            IoFreeIrp(frameIrp);
            return ResultFailure;
        }
    }

    if (HandDownOrQueue(Adapter, frameIrp, followUpEntry) != ResultSuccess) {
        IoFreeIrp(frameIrp);
        if (followUpEntry != nullptr) FreeQueuedRequest(followUpEntry);
        return ResultFailure;
    }
    return ResultSuccess;
}

// Up to DISPATCH_LEVEL. ResultSuccess.
ULONG CopyPacketToDescriptor(Adapter* Adapter, TransferDescriptor* Descriptor) {
    (void)Adapter;
    NDIS_BUFFER* buffer = nullptr;
    UINT frameLength = 0;
    NdisQueryPacket(SlotPacket(Descriptor), nullptr, nullptr, &buffer, &frameLength);

    // Bounded by the transfer buffer whatever the chain claims.
    UCHAR* out = Descriptor->Buffer + 2;
    UINT room = MaxTransmitFrameLength;
    while (buffer != nullptr && room != 0) {
        PVOID address = nullptr;
        UINT length = 0;
        NdisQueryBuffer(buffer, &address, &length);
        if (length > room) length = room;
        if (length != 0) memcpy(out, address, length);
        out += length;
        room -= length;
        // A statement, not an expression, on the real platform.
        NdisGetNextBuffer(buffer, &buffer);
    }

    Descriptor->Length = frameLength + 2;
    Descriptor->Buffer[0] = static_cast<UCHAR>(frameLength & 0xFF);
    Descriptor->Buffer[1] = static_cast<UCHAR>((frameLength >> 8) & 0xFF);
    return ResultSuccess;
}

// Up to DISPATCH_LEVEL. STATUS_MORE_PROCESSING_REQUIRED: the request is freed here.
NTSTATUS NTAPI TransmitComplete(DEVICE_OBJECT* DeviceObject, IRP* Irp, PVOID Context) {
    (void)DeviceObject;
    TransferDescriptor* descriptor = static_cast<TransferDescriptor*>(Context);
    Adapter* adapter = descriptor->Adapter;

    if (Irp->IoStatus.Status == STATUS_SUCCESS) {
        descriptor->Status = TransferSucceeded;
        CountOne(&adapter->XmitOk);
    } else {
        descriptor->Status = TransferFailed;
        adapter->DeviceState = DeviceFailed;
    }
    IoFreeIrp(Irp);
    ReturnTxDescriptor(adapter, descriptor);

    // The next waiting request goes down from here unless a context inside IoCallDriver
    // holds the turn (this completion then came inside its call) and takes it over.
    IRP* next = FinishRequest(adapter);
    if (next != nullptr) CallDownInTurn(adapter, next);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Up to DISPATCH_LEVEL. ResultSuccess.
ULONG ReturnTxDescriptor(Adapter* Adapter, TransferDescriptor* Descriptor) {
    NdisAcquireSpinLock(&Adapter->TxLock);
    AppendDescriptor(TxFree(Adapter), Descriptor);
    Adapter->TxFreeCount++;
    const bool resume = TakeResumeDecision(Adapter);
    NdisReleaseSpinLock(&Adapter->TxLock);
    // NDIS is told only when every descriptor is back, outside the lock: it may send at once.
    if (resume) NdisMSendResourcesAvailable(Adapter->MiniportAdapterHandle);
    return ResultSuccess;
}
