// The transfer descriptor's records, which the Adapter holds lists of and the tracker frees:
// each bulk transfer, in either direction, runs through one descriptor bound for the
// adapter's life to a request area (where its URB is built) and a data buffer.
#pragma once

#include "platform/ndis.h"
#include "platform/usb.h"

struct Adapter;

struct TransferDescriptor {
    TransferDescriptor* Next;  // toward the tail of the list it is on; null at the tail
    TransferDescriptor* Prev;  // toward the head; null at the head
    PVOID PacketRef;           // transmit: its TxPacketSlots entry; receive: its RxPacketRecord
    struct Adapter* Adapter;   // the owning adapter
    ULONG Status;              // last transfer: TransferSucceeded or TransferFailed
    ULONG Length;              // transmit: transfer length; receive: frame length, 0 = none
    URB* Urb;                  // the descriptor's request area
    UCHAR* Buffer;             // the descriptor's data buffer
};

// Head, tail and count; null-terminated both ways. Appended at the tail, pushed at the head,
// popped from the head; never unlinked from the middle.
struct DescriptorList {
    TransferDescriptor* Head;
    TransferDescriptor* Tail;
    ULONG Count;
};

// One per receive descriptor: its prebuilt packet and the NDIS buffer over its data. The
// packet comes first, so the record's address is a one-entry packet array.
struct RxPacketRecord {
    NDIS_PACKET* Packet;
    NDIS_BUFFER* NdisBuffer;
};

// A descriptor's data buffer: one bulk transfer at most.
constexpr ULONG TransferBufferSize = 1536;

// Outcome of a descriptor's last transfer.
constexpr ULONG TransferSucceeded = 1;
constexpr ULONG TransferFailed = 2;
