// The resource tracker. Records come from chunks of 15; each chunk is recorded as memory in
// its own first record, pushed before any record carved from it is handed out, so every
// record of a chunk lies nearer the head of ResourcesInUse than the chunk's record.
#include "core/tracker.h"

#include <cstring>

#include "core/adapter.h"
#include "core/descriptor_records.h"
#include "core/pool_tags.h"

ULONG ChunkPoolTag = FirstChunkPoolTag;
ULONG MemoryPoolTag = FirstMemoryPoolTag;

namespace {

constexpr ULONG ChunkSize = ResourceChunkRecords * sizeof(ResourceRecord);

// Any IRQL. The head of List, unlinked; null when the list is empty.
ResourceRecord* TakeHead(ResourceList* List) {
    ResourceRecord* record = List->Head;
    if (record == nullptr) return nullptr;
    List->Head = record->Next;
    if (List->Head == nullptr) {
        List->Tail = nullptr;
    } else {
        List->Head->Prev = nullptr;
    }
    List->Count--;
    return record;
}

// Any IRQL. Puts Record at the head of List. Returns nothing.
void PushHead(ResourceList* List, ResourceRecord* Record) {
    Record->Prev = nullptr;
    Record->Next = List->Head;
    if (List->Head == nullptr) {
        List->Tail = Record;
    } else {
        List->Head->Prev = Record;
    }
    List->Head = Record;
    List->Count++;
}

// Any IRQL. Puts Record at the tail of List. Returns nothing.
void AppendTail(ResourceList* List, ResourceRecord* Record) {
    Record->Next = nullptr;
    Record->Prev = List->Tail;
    if (List->Tail == nullptr) {
        List->Head = Record;
    } else {
        List->Tail->Next = Record;
    }
    List->Tail = Record;
    List->Count++;
}

// PASSIVE_LEVEL. Allocates a zeroed chunk, puts its records on ResourcesFree and records the
// chunk in its own first record on ResourcesInUse. ResultSuccess or ResultFailure.
ULONG AddRecordChunk(Adapter* Adapter) {
    PVOID chunk = nullptr;
    NDIS_STATUS status = NdisAllocateMemoryWithTag(&chunk, ChunkSize, ChunkPoolTag);
    ChunkPoolTag++;
    if (status != NDIS_STATUS_SUCCESS || chunk == nullptr) return ResultFailure;

    memset(chunk, 0, ChunkSize);
    ResourceRecord* records = static_cast<ResourceRecord*>(chunk);
    for (ULONG i = 0; i < ResourceChunkRecords; ++i) {
        AppendTail(&Adapter->ResourcesFree, &records[i]);
    }
    ResourceRecord* own = TakeHead(&Adapter->ResourcesFree);
    own->Kind = ResourceMemory;
    own->Data.Memory.Length = ChunkSize;
    own->Data.Memory.Address = chunk;
    PushHead(&Adapter->ResourcesInUse, own);
    return ResultSuccess;
}

// PASSIVE_LEVEL. Frees each receive buffer and packet that was built, the buffer unchained
// first: freeing the pools alone would leak them. Returns nothing.
void FreeReceivePackets(ResourceRecord* Record) {
    RxPacketRecord* records = static_cast<RxPacketRecord*>(Record->Data.ReceivePackets.Records);
    for (ULONG i = 0; i < Record->Data.ReceivePackets.Count; ++i) {
        NDIS_PACKET* packet = records[i].Packet;
        if (packet != nullptr) {
            NDIS_BUFFER* chained = nullptr;
            NdisUnchainBufferAtFront(packet, &chained);
            NdisFreePacket(packet);
            records[i].Packet = nullptr;
        }
        if (records[i].NdisBuffer != nullptr) {
            NdisFreeBuffer(records[i].NdisBuffer);
            records[i].NdisBuffer = nullptr;
        }
    }
}

// PASSIVE_LEVEL. Gives back what Record holds, by its kind. Returns nothing.
PAGEABLE_CODE
void ReleaseRecord(NDIS_HANDLE MiniportAdapterHandle, ResourceRecord* Record) {
    switch (Record->Kind) {
        case ResourceMemory:
            NdisFreeMemory(Record->Data.Memory.Address, Record->Data.Memory.Length, 0);
            break;
        case ResourceSharedMemory:
            NdisMFreeSharedMemory(MiniportAdapterHandle, Record->Data.SharedMemory.Length,
                                  Record->Data.SharedMemory.Cached,
                                  Record->Data.SharedMemory.VirtualAddress,
                                  Record->Data.SharedMemory.PhysicalAddress);
            break;
        case ResourceIoPortRange:
            NdisMDeregisterIoPortRange(Record->Data.IoPortRange.AdapterHandle,
                                       Record->Data.IoPortRange.InitialPort,
                                       Record->Data.IoPortRange.NumberOfPorts,
                                       Record->Data.IoPortRange.PortOffset);
            break;
        case ResourceInterrupt:
            NdisMDeregisterInterrupt(&Record->Data.Interrupt);
            break;
        case ResourceMapRegisters:
            NdisMFreeMapRegisters(MiniportAdapterHandle);
            break;
        case ResourcePacketPool:
            NdisFreePacketPool(Record->Data.Pool.PoolHandle);
            break;
        case ResourceBufferPool:
            NdisFreeBufferPool(Record->Data.Pool.PoolHandle);
            break;
        case ResourceReceivePackets:
            FreeReceivePackets(Record);
            break;
        default:  // ResourceNone: its allocation failed, there is nothing to give back
            break;
    }
}

// Any IRQL. Whether Record holds the memory of the Adapter itself.
bool HoldsAdapter(const ResourceRecord* Record, const Adapter* Adapter) {
    return Record->Kind == ResourceMemory && Record->Data.Memory.Address == Adapter;
}

}  // namespace

// PASSIVE_LEVEL. A zeroed record on ResourcesInUse, or null when no chunk could be had.
ResourceRecord* TrackResource(Adapter* Adapter) {
    if (Adapter->ResourcesFree.Head == nullptr && AddRecordChunk(Adapter) != ResultSuccess) {
        return nullptr;
    }
    ResourceRecord* record = TakeHead(&Adapter->ResourcesFree);
    PushHead(&Adapter->ResourcesInUse, record);
    Adapter->ResourceCount++;
    return record;
}

// PASSIVE_LEVEL. ResultSuccess with zeroed tracked memory in *Address, or ResultFailure with
// null there.
ULONG AllocateTrackedMemory(Adapter* Adapter, PVOID* Address, ULONG Length) {
    *Address = nullptr;
    // The record comes first, so a failed allocation still uses one up (as ResourceNone).
    ResourceRecord* record = TrackResource(Adapter);
    if (record == nullptr) return ResultFailure;

    PVOID memory = nullptr;
    NDIS_STATUS status = NdisAllocateMemoryWithTag(&memory, Length, MemoryPoolTag);
    MemoryPoolTag++;
    if (status != NDIS_STATUS_SUCCESS || memory == nullptr) return ResultFailure;

    memset(memory, 0, Length);
    record->Kind = ResourceMemory;
    record->Data.Memory.Length = Length;
    record->Data.Memory.Address = memory;
    *Address = memory;
    return ResultSuccess;
}

// PASSIVE_LEVEL. Releases everything tracked, newest first; the Adapter is gone afterwards.
PAGEABLE_CODE
void ReleaseAllResources(Adapter* Adapter) {
    const LONG steps = static_cast<LONG>(Adapter->ResourceCount);
    if (steps <= 0) return;
    const NDIS_HANDLE adapterHandle = Adapter->MiniportAdapterHandle;

    // Once the Adapter's own memory is released its lists are gone with it: the rest of the
    // chain is followed from this local instead.
    bool adapterReleased = false;
    ResourceRecord* rest = nullptr;

    for (LONG step = 0; step < steps; ++step) {
        ResourceRecord* record;
        if (adapterReleased) {
            record = rest;
            if (record == nullptr) break;
            rest = record->Next;
        } else {
            record = TakeHead(&Adapter->ResourcesInUse);
            if (record == nullptr) break;
            if (HoldsAdapter(record, Adapter)) {
                rest = Adapter->ResourcesInUse.Head;
                adapterReleased = true;
            }
        }
        ReleaseRecord(adapterHandle, record);
    }

    // What is left are the uncounted chunk records (and, had more than one chunk's worth of
    // records been handed out, the oldest records with the Adapter among them). Each record's
    // Next is read before it is released, since a chunk's record lies inside the chunk.
    ResourceRecord* record = adapterReleased ? rest : Adapter->ResourcesInUse.Head;
    while (record != nullptr) {
        ResourceRecord* next = record->Next;
        ReleaseRecord(adapterHandle, record);
        record = next;
    }
}
