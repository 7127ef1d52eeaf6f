// The transmit path: a send waits in order for free descriptors; its frame is copied behind a
// 2-byte length into one and sent on the bulk-out pipe, one request at the bus at a time, the
// others waiting in TxIrpQueue. The packet is completed with its frame's transfer.
#pragma once

#include "datapath/descriptors.h"
#include "platform/io.h"
#include "platform/kernel.h"
#include "platform/ndis.h"

struct Adapter;

// A bulk-out request waiting in TxIrpQueue; non-paged, under RequestPoolTag. It lives only
// while its request waits.
struct TxQueueEntry {
    LIST_ENTRY Links;
    IRP* QueuedIrp;
};

// The longest frame that fits behind the length word in one transfer buffer.
constexpr UINT MaxTransmitFrameLength = TransferBufferSize - 2;
// Shorter transfers go out padded to this length with whatever the buffer held.
constexpr ULONG MinTransmitLength = 60;
// A transfer that is a whole number of bus packets ends only at a zero-length transfer.
constexpr ULONG BulkOutPacketSize = 64;

// Up to DISPATCH_LEVEL. Copies the frame in Descriptor's slot into its buffer and hands its
// request down or queues it; with a FollowUp descriptor, that descriptor's zero-length
// request is placed right behind it, with no other transfer between. ResultSuccess when
// everything was placed; ResultFailure when nothing was (adapter not running, or no request
// or queue entry to be had), the descriptors then still the caller's.
ULONG SubmitTransmit(Adapter* Adapter, TransferDescriptor* Descriptor,
                     TransferDescriptor* FollowUp);

// Up to DISPATCH_LEVEL. Writes the length word and the frame of the packet in Descriptor's
// slot into its buffer and sets Length to the frame's length + 2; ResultSuccess.
ULONG CopyPacketToDescriptor(Adapter* Adapter, TransferDescriptor* Descriptor);

// Up to DISPATCH_LEVEL. Completion of a bulk-out request (Context: its descriptor): counts
// it, gives the descriptor back and hands the next waiting request down (a failed adapter
// still drains its queue through the bus, one request at a time); once the device is being
// stopped, every waiting request ends unsent instead. STATUS_MORE_PROCESSING_REQUIRED, the
// request having been freed here.
NTSTATUS NTAPI TransmitComplete(DEVICE_OBJECT* DeviceObject, IRP* Irp, PVOID Context);

// Up to DISPATCH_LEVEL, TxLock not held. Puts Descriptor at the tail of TxFreeList and hands
// waiting sends down when it lets them go; ResultSuccess.
ULONG ReturnTxDescriptor(Adapter* Adapter, TransferDescriptor* Descriptor);

// Up to DISPATCH_LEVEL, TxLock not held. Hands the waiting sends down in order while two
// descriptors are free, completing each; on an adapter that is not running each is completed
// with NDIS_STATUS_FAILURE instead. Returns at once when another context is doing it (it
// sees whatever was queued meanwhile). ResultSuccess.
ULONG SendWaitingPackets(Adapter* Adapter);

// Up to DISPATCH_LEVEL, TxLock not held. Completes every waiting send with Status, for halt
// and reset; ResultSuccess.
ULONG CompleteWaitingPackets(Adapter* Adapter, NDIS_STATUS Status);

// Up to DISPATCH_LEVEL. Sends one frame; an NDIS status.
NDIS_STATUS NTAPI MiniportSend(NDIS_HANDLE MiniportAdapterContext, NDIS_PACKET* Packet, UINT Flags);
