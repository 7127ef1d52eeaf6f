// The transmit path. A send joins the waiting sends; they are handed down in order as
// descriptors allow, one transfer at the bus at a time, and each packet is completed with the
// outcome of its own frame's transfer: success once the bus has taken it, failure when it
// failed, was aborted or never went down. A packet completed sooner would be reported sent
// when an unplug or a halt then loses its frame.
//
// Locks: TxLock guards TxFreeList, TxFreeCount and the waiting sends; TxSubmitLock guards
// TxInFlight and the hand-down-or-queue decision; TxQueueLock is taken only by the
// interlocked operations on TxIrpQueue, inside TxSubmitLock. TxLock is never held with the
// other two, and no lock is held across IoCallDriver: a bus may complete inside the call.
#include "datapath/transmit.h"

#include <cstring>

#include "core/adapter.h"
#include "core/pool_tags.h"
#include "core/result.h"
#include "core/shared_fields.h"
#include "datapath/bulk_request.h"
#include "datapath/descriptor_list.h"
#include "usb/device_config.h"
#include "usb/urb_submit.h"

namespace {

// Any IRQL. True when a transfer of this length needs a zero-length follow-up.
bool NeedsFollowUp(ULONG transferLength) { return transferLength % BulkOutPacketSize == 0; }

// Any IRQL. The packet a send stored in the descriptor's slot; null for a follow-up.
NDIS_PACKET* SlotPacket(TransferDescriptor* descriptor) {
    return static_cast<NDIS_PACKET*>(*static_cast<PVOID*>(descriptor->PacketRef));
}

// Any IRQL. Takes the packet out of the slot of a descriptor whose transfer has ended, before
// the descriptor goes back to the free list and another send fills the slot.
NDIS_PACKET* TakeSlotPacket(TransferDescriptor* descriptor) {
    NDIS_PACKET* packet = SlotPacket(descriptor);
    *static_cast<PVOID*>(descriptor->PacketRef) = nullptr;
    return packet;
}

// DISPATCH_LEVEL, TxLock held. Pops a free descriptor, keeping TxFreeCount beside the list;
// null when there is none.
TransferDescriptor* PopFreeTxDescriptor(Adapter* adapter) QV_REQUIRES(adapter->TxLock) {
    adapter->TxFreeCount--;
    TransferDescriptor* descriptor = PopDescriptor(TxFree(adapter));
    if (descriptor == nullptr) adapter->TxFreeCount++;
    return descriptor;
}

// Any IRQL. The link from a waiting packet to the one behind it, kept in MiniportReserved
// (copied, as the area need not be aligned for a pointer).
NDIS_PACKET* NextWaiting(NDIS_PACKET* packet) {
    NDIS_PACKET* next = nullptr;
    memcpy(&next, packet->MiniportReserved, sizeof(next));
    return next;
}
void SetNextWaiting(NDIS_PACKET* packet, NDIS_PACKET* next) {
    memcpy(packet->MiniportReserved, &next, sizeof(next));
}

// DISPATCH_LEVEL, TxLock held. Puts the packet at the tail of the waiting sends.
void AppendWaiting(Adapter* adapter, NDIS_PACKET* packet) QV_REQUIRES(adapter->TxLock) {
    SetNextWaiting(packet, nullptr);
    if (adapter->TxWaitTail == nullptr) {
        adapter->TxWaitHead = packet;
    } else {
        SetNextWaiting(adapter->TxWaitTail, packet);
    }
    adapter->TxWaitTail = packet;
}

// DISPATCH_LEVEL, TxLock held. Takes the oldest waiting send off the queue.
NDIS_PACKET* RemoveWaiting(Adapter* adapter) QV_REQUIRES(adapter->TxLock) {
    NDIS_PACKET* packet = adapter->TxWaitHead;
    if (packet == nullptr) return nullptr;
    adapter->TxWaitHead = NextWaiting(packet);
    if (adapter->TxWaitHead == nullptr) adapter->TxWaitTail = nullptr;
    return packet;
}

// DISPATCH_LEVEL, TxLock held. Takes the frame's descriptor and, when the frame needs one, its
// follow-up's together: a frame never goes down unless its follow-up is secured. The last
// free descriptor is kept for a follow-up, so every frame needs two free. False, taking
// nothing, when they are not there.
bool TakeTxDescriptors(Adapter* adapter, bool followUpNeeded, TransferDescriptor** frame,
                       TransferDescriptor** followUp) QV_REQUIRES(adapter->TxLock) {
    *frame = nullptr;
    *followUp = nullptr;
    if (adapter->TxFreeCount <= 1) return false;
    TransferDescriptor* first = PopFreeTxDescriptor(adapter);
    if (first == nullptr) return false;
    if (followUpNeeded) {
        TransferDescriptor* second = PopFreeTxDescriptor(adapter);
        if (second == nullptr) {
            PushDescriptor(TxFree(adapter), first);
            adapter->TxFreeCount++;
            return false;
        }
        *followUp = second;
    }
    *frame = first;
    return true;
}

// Up to DISPATCH_LEVEL. Gives the descriptors of a send that placed nothing back at the head
// of TxFreeList; no result. Called only by the context handing waiting sends down, which
// looks at the queue again itself.
void GiveBackTxDescriptors(Adapter* adapter, TransferDescriptor* frame,
                           TransferDescriptor* followUp) {
    NdisAcquireSpinLock(&adapter->TxLock);
    if (followUp != nullptr) {
        PushDescriptor(TxFree(adapter), followUp);
        adapter->TxFreeCount++;
    }
    PushDescriptor(TxFree(adapter), frame);
    adapter->TxFreeCount++;
    NdisReleaseSpinLock(&adapter->TxLock);
}

// Up to DISPATCH_LEVEL, no transmit lock held. Copies the packet into the frame's descriptor
// and places its requests. True when they are placed: the frame's completion then completes
// the packet. False when nothing was placed (the descriptors are free again): the caller
// fails the packet.
bool TransmitPacket(Adapter* adapter, NDIS_PACKET* packet, TransferDescriptor* frame,
                    TransferDescriptor* followUp) {
    *static_cast<PVOID*>(frame->PacketRef) = packet;
    if (followUp != nullptr) *static_cast<PVOID*>(followUp->PacketRef) = nullptr;
    if (SubmitTransmit(adapter, frame, followUp) != ResultSuccess) {
        *static_cast<PVOID*>(frame->PacketRef) = nullptr;
        GiveBackTxDescriptors(adapter, frame, followUp);
        return false;
    }
    return true;
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

// Up to DISPATCH_LEVEL. Frees a waiting request that will not be sent, gives its descriptor
// back and fails its packet; no result. The caller counts it out of TxInFlight.
void EndUnsentRequest(Adapter* adapter, IRP* irp) {
    TransferDescriptor* descriptor =
        static_cast<TransferDescriptor*>(IoGetNextIrpStackLocation(irp)->Context);
    IoFreeIrp(irp);
    descriptor->Status = TransferFailed;
    NDIS_PACKET* packet = TakeSlotPacket(descriptor);
    ReturnTxDescriptor(adapter, descriptor);
    if (packet != nullptr) {
        NdisMSendComplete(adapter->MiniportAdapterHandle, packet, NDIS_STATUS_FAILURE);
    }
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

// Up to DISPATCH_LEVEL. NDIS_STATUS_PENDING: the packet joins the waiting sends and is
// completed once its frame's transfer has ended or the frame has failed, perhaps before this
// returns.
// NDIS_STATUS_FAILURE (not completed) when the frame is too long for one transfer.
NDIS_STATUS NTAPI MiniportSend(NDIS_HANDLE MiniportAdapterContext, NDIS_PACKET* Packet,
                               UINT Flags) {
    (void)Flags;
    Adapter* adapter = static_cast<Adapter*>(MiniportAdapterContext);

    UINT frameLength = 0;
    NdisQueryPacket(Packet, nullptr, nullptr, nullptr, &frameLength);
    // Refused before it waits: it would not fit behind the length word.
    if (frameLength > MaxTransmitFrameLength) return NDIS_STATUS_FAILURE;

    // Always behind the ones already waiting, so that frames keep their order.
    NdisAcquireSpinLock(&adapter->TxLock);
    AppendWaiting(adapter, Packet);
    NdisReleaseSpinLock(&adapter->TxLock);
    SendWaitingPackets(adapter);
    return NDIS_STATUS_PENDING;
}

// Up to DISPATCH_LEVEL. ResultSuccess.
ULONG SendWaitingPackets(Adapter* Adapter) {
    NdisAcquireSpinLock(&Adapter->TxLock);
    if (Adapter->TxPumping) {
        // That context sees what was just queued or given back before it stops.
        NdisReleaseSpinLock(&Adapter->TxLock);
        return ResultSuccess;
    }
    Adapter->TxPumping = TRUE;
    for (;;) {
        NDIS_PACKET* packet = Adapter->TxWaitHead;
        if (packet == nullptr) break;
        TransferDescriptor* frame = nullptr;
        TransferDescriptor* followUp = nullptr;
        if (Adapter->DeviceState == DeviceRunning) {
            UINT frameLength = 0;
            NdisQueryPacket(packet, nullptr, nullptr, nullptr, &frameLength);
            // Stopping here is decided under the lock that every give-back takes: one
            // returning a descriptor now finds TxPumping clear and carries on itself.
            if (!TakeTxDescriptors(Adapter, NeedsFollowUp(frameLength + 2), &frame, &followUp))
                break;
        }
        RemoveWaiting(Adapter);
        NdisReleaseSpinLock(&Adapter->TxLock);

        // A stopped or failed adapter sends nothing more: what waits fails at once. No lock
        // is held at the completion: the protocol may send again from inside the call.
        if (frame == nullptr || !TransmitPacket(Adapter, packet, frame, followUp)) {
            NdisMSendComplete(Adapter->MiniportAdapterHandle, packet, NDIS_STATUS_FAILURE);
        }
        NdisAcquireSpinLock(&Adapter->TxLock);
    }
    Adapter->TxPumping = FALSE;
    NdisReleaseSpinLock(&Adapter->TxLock);
    return ResultSuccess;
}

// Up to DISPATCH_LEVEL. ResultSuccess.
ULONG CompleteWaitingPackets(Adapter* Adapter, NDIS_STATUS Status) {
    NdisAcquireSpinLock(&Adapter->TxLock);
    NDIS_PACKET* packet = Adapter->TxWaitHead;
    Adapter->TxWaitHead = nullptr;
    Adapter->TxWaitTail = nullptr;
    NdisReleaseSpinLock(&Adapter->TxLock);
    while (packet != nullptr) {
        NDIS_PACKET* next = NextWaiting(packet);
        NdisMSendComplete(Adapter->MiniportAdapterHandle, packet, Status);
        packet = next;
    }
    return ResultSuccess;
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

    const bool sent = Irp->IoStatus.Status == STATUS_SUCCESS;
    if (sent) {
        descriptor->Status = TransferSucceeded;
        CountOne(&adapter->XmitOk);
    } else {
        descriptor->Status = TransferFailed;
        adapter->DeviceState = DeviceFailed;
    }
    IoFreeIrp(Irp);
    NDIS_PACKET* packet = TakeSlotPacket(descriptor);
    ReturnTxDescriptor(adapter, descriptor);

    // The next waiting request goes down from here unless a context inside IoCallDriver
    // holds the turn (this completion then came inside its call) and takes it over.
    IRP* next = FinishRequest(adapter);
    if (next != nullptr) CallDownInTurn(adapter, next);
    // Last, with no lock held: the protocol may send again from inside the call.
    if (packet != nullptr) {
        NdisMSendComplete(adapter->MiniportAdapterHandle, packet,
                          sent ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Up to DISPATCH_LEVEL. ResultSuccess.
ULONG ReturnTxDescriptor(Adapter* Adapter, TransferDescriptor* Descriptor) {
    NdisAcquireSpinLock(&Adapter->TxLock);
    AppendDescriptor(TxFree(Adapter), Descriptor);
    Adapter->TxFreeCount++;
    const bool waiting = Adapter->TxWaitHead != nullptr && !Adapter->TxPumping;
    NdisReleaseSpinLock(&Adapter->TxLock);
    // Outside the lock: sending completes packets, and the protocol may send from there.
    if (waiting) SendWaitingPackets(Adapter);
    return ResultSuccess;
}
