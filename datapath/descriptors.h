// Transfer descriptors: their sizes, and carving them and their packets out at bring-up.
#pragma once

#include "core/descriptor_records.h"
#include "platform/usb.h"

struct Adapter;

constexpr ULONG ReceiveBufferLength = 1514;  // what a receive packet's NDIS buffer covers
// Room for the bulk transfer URB: 96 bytes, or the URB rounded up to 16 bytes where it is
// larger (on a 64-bit host).
constexpr ULONG RequestAreaSize32Bit = 96;
constexpr ULONG RequestAreaSize =
    ((sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) + 15) & ~15u) > RequestAreaSize32Bit
        ? ((sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) + 15) & ~15u)
        : RequestAreaSize32Bit;
// Descriptor record, request area and data buffer: one descriptor's share of the block. With
// 32-bit pointers that is 32 + 96 + 1536 = 1664 bytes.
constexpr ULONG DescriptorRecordSize = (sizeof(TransferDescriptor) + 15) & ~15u;
constexpr ULONG DescriptorFootprint = DescriptorRecordSize + RequestAreaSize + TransferBufferSize;
constexpr ULONG DescriptorFootprint32Bit = 1664;

// The most descriptors one block can hold: its size is passed to the allocator as 32 bits.
constexpr ULONG MaxDescriptorCount = 0xFFFFFFFFu / DescriptorFootprint;
// Receive packets describe an Ethernet frame whose header is this long.
constexpr UINT EthernetHeaderSize = 14;

// PASSIVE_LEVEL, during bring-up. Allocates the descriptor block and puts the transmit
// descriptors on TxFreeList (address order) and the receive ones on RxFreeList (reverse
// address order); ResultSuccess, or ResultFailure when the counts are too large for one block
// or it cannot be allocated.
ULONG CarveDescriptors(Adapter* Adapter);

// PASSIVE_LEVEL, after CarveDescriptors. Binds a packet slot to each transmit descriptor and
// a prebuilt packet with its buffer to each receive descriptor; ResultSuccess or
// ResultFailure.
ULONG AllocatePacketPools(Adapter* Adapter);
