// Transfer descriptors and packet pools: made once at bring-up, so that neither path
// allocates a buffer, a URB area or a packet per frame.
#include "datapath/descriptors.h"

#include "core/adapter.h"
#include "core/result.h"
#include "core/tracker.h"
#include "datapath/descriptor_list.h"

namespace {

// PASSIVE_LEVEL. Binds the descriptor to its owner, request area and buffer; no result.
void BindDescriptor(Adapter* adapter, TransferDescriptor* descriptor, UCHAR* requestArea,
                    UCHAR* buffer) {
    descriptor->Adapter = adapter;
    descriptor->Urb = reinterpret_cast<URB*>(requestArea);
    descriptor->Buffer = buffer;
}

}  // namespace

// PASSIVE_LEVEL. ResultSuccess, or ResultFailure (counts too large, or no memory).
ULONG CarveDescriptors(Adapter* Adapter) {
    const ULONG txCount = Adapter->TxDescCount;
    const ULONG rxCount = Adapter->RxDescCount;
    // The block's size must fit the allocator's 32-bit length.
    if (txCount > MaxDescriptorCount || rxCount > MaxDescriptorCount - txCount) {
        return ResultFailure;
    }
    const ULONG count = txCount + rxCount;

    PVOID block = nullptr;
    const ULONG result = AllocateTrackedMemory(Adapter, &block, count * DescriptorFootprint);
    if (result != ResultSuccess) return result;

    // Three consecutive arrays: records, request areas, data buffers.
    UCHAR* base = static_cast<UCHAR*>(block);
    UCHAR* record = base;
    UCHAR* requestArea = base + count * DescriptorRecordSize;
    UCHAR* buffer = requestArea + count * RequestAreaSize;

    for (ULONG i = 0; i < count; ++i) {
        TransferDescriptor* descriptor = reinterpret_cast<TransferDescriptor*>(record);
        if (i < txCount) {
            AppendDescriptor(&Adapter->TxFreeList, descriptor);
        } else {
            // Pushed, so the first receive transfer uses the block's last descriptor.
            PushDescriptor(&Adapter->RxFreeList, descriptor);
        }
        BindDescriptor(Adapter, descriptor, requestArea, buffer);
        record += DescriptorRecordSize;
        requestArea += RequestAreaSize;
        buffer += TransferBufferSize;
    }
    return ResultSuccess;
}

namespace {

// PASSIVE_LEVEL. Gives each transmit descriptor, in list order, its own entry of
// TxPacketSlots; ResultSuccess or ResultFailure. During MiniportInitialize, before anything
// else can reach the list: it walks it without TxLock.
ULONG AllocateTxPacketSlots(Adapter* adapter) QV_NO_THREAD_SAFETY_ANALYSIS {
    // No transmit descriptors, nothing to bind; a zero-length allocation is not allowed.
    if (adapter->TxDescCount == 0) return ResultSuccess;

    PVOID slots = nullptr;
    if (AllocateTrackedMemory(adapter, &slots, adapter->TxDescCount * sizeof(PVOID)) !=
        ResultSuccess) {
        return ResultFailure;
    }
    adapter->TxPacketSlots = static_cast<PVOID*>(slots);

    ULONG k = 0;
    for (TransferDescriptor* d = adapter->TxFreeList.Head; d != nullptr; d = d->Next) {
        d->PacketRef = &adapter->TxPacketSlots[k++];
    }
    return ResultSuccess;
}

// PASSIVE_LEVEL. The receive packet and buffer pools, each tracked once it exists;
// ResultSuccess or ResultFailure.
ULONG AllocateRxPools(Adapter* adapter) {
    ResourceRecord* packetPoolRecord = TrackResource(adapter);
    if (packetPoolRecord == nullptr) return ResultFailure;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NdisAllocatePacketPool(&status, &adapter->RxPacketPool, adapter->RxDescCount, 0);
    if (status != NDIS_STATUS_SUCCESS) return ResultFailure;
    packetPoolRecord->Kind = ResourcePacketPool;
    packetPoolRecord->Data.Pool.PoolHandle = adapter->RxPacketPool;

    ResourceRecord* bufferPoolRecord = TrackResource(adapter);
    if (bufferPoolRecord == nullptr) return ResultFailure;
    status = NDIS_STATUS_FAILURE;
    NdisAllocateBufferPool(&status, &adapter->RxBufferPool, adapter->RxDescCount);
    if (status != NDIS_STATUS_SUCCESS) return ResultFailure;
    bufferPoolRecord->Kind = ResourceBufferPool;
    bufferPoolRecord->Data.Pool.PoolHandle = adapter->RxBufferPool;
    return ResultSuccess;
}

// PASSIVE_LEVEL. One receive packet over the first ReceiveBufferLength bytes of the
// descriptor's buffer; ResultSuccess or ResultFailure. Each packet and buffer is noted in the
// record as soon as it exists, so that the tracker frees it (before its pool) even when the
// rest of the bring-up fails.
ULONG BuildReceivePacket(Adapter* adapter, TransferDescriptor* descriptor,
                         RxPacketRecord* record) {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NDIS_PACKET* packet = nullptr;
    NdisAllocatePacket(&status, &packet, adapter->RxPacketPool);
    if (status != NDIS_STATUS_SUCCESS) return ResultFailure;
    record->Packet = packet;

    status = NDIS_STATUS_FAILURE;
    NDIS_BUFFER* buffer = nullptr;
    NdisAllocateBuffer(&status, &buffer, adapter->RxBufferPool, descriptor->Buffer,
                       ReceiveBufferLength);
    if (status != NDIS_STATUS_SUCCESS) return ResultFailure;
    record->NdisBuffer = buffer;

    NDIS_SET_PACKET_HEADER_SIZE(packet, EthernetHeaderSize);
    NdisChainBufferAtFront(packet, buffer);
    descriptor->PacketRef = record;
    return ResultSuccess;
}

// PASSIVE_LEVEL. A record with its packet for each receive descriptor, in list order;
// ResultSuccess or ResultFailure. During MiniportInitialize, before anything else can reach
// the list: it walks it without RxLock (and allocates as it goes, which a spin lock forbids).
ULONG AllocateRxPackets(Adapter* adapter) QV_NO_THREAD_SAFETY_ANALYSIS {
    PVOID records = nullptr;
    if (AllocateTrackedMemory(adapter, &records,
                              adapter->RxDescCount * sizeof(RxPacketRecord)) != ResultSuccess) {
        return ResultFailure;
    }
    adapter->RxPacketRecords = static_cast<RxPacketRecord*>(records);

    // Tracked after the records and the pools, so the newest-first release frees the packets
    // and buffers while both still exist.
    ResourceRecord* packets = TrackResource(adapter);
    if (packets == nullptr) return ResultFailure;
    packets->Kind = ResourceReceivePackets;
    packets->Data.ReceivePackets.Records = records;
    packets->Data.ReceivePackets.Count = adapter->RxDescCount;

    RxPacketRecord* record = adapter->RxPacketRecords;
    for (TransferDescriptor* d = adapter->RxFreeList.Head; d != nullptr; d = d->Next) {
        if (BuildReceivePacket(adapter, d, record++) != ResultSuccess) return ResultFailure;
    }
    return ResultSuccess;
}

}  // namespace

// PASSIVE_LEVEL. ResultSuccess or ResultFailure; what was allocated stays tracked.
ULONG AllocatePacketPools(Adapter* Adapter) {
    if (AllocateTxPacketSlots(Adapter) != ResultSuccess) return ResultFailure;
    if (AllocateRxPools(Adapter) != ResultSuccess) return ResultFailure;
    return AllocateRxPackets(Adapter);
}
