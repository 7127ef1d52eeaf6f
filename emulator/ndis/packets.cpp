#include "emulator/ndis/packets.h"

#include <cstring>
#include <functional>

#include "emulator/kernel/kernel.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/processor.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/ndis.h"
#include "emulator/ndis/protocol.h"
#include "emulator/verifier/verifier.h"
#include "emulator/kernel/platform_lock.h"

namespace emu::ndis {

namespace {

constexpr size_t AlignUp(size_t value, size_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

bool Within(const void* address, const void* begin, size_t size) {
    std::less<> less;
    auto bytes = static_cast<const uint8_t*>(begin);
    return !less(address, begin) && less(address, bytes + size);
}

bool LentToAProtocol(const NDIS_PACKET* packet) {
    for (Miniport* adapter : Ndis::Current().Adapters()) {
        if (adapter->Edge().IsLent(packet)) return true;
    }
    return false;
}

}  // namespace

PacketLayout LayoutPacket(UINT reserved) {
    size_t oob = AlignUp(offsetof(NDIS_PACKET, ProtocolReserved) + reserved, 8);
    return PacketLayout{static_cast<USHORT>(oob),
                        AlignUp(oob + sizeof(NDIS_PACKET_OOB_DATA), 16)};
}

NDIS_PACKET* FormatPacket(void* memory, UINT reserved, NDIS_HANDLE pool) {
    PacketLayout layout = LayoutPacket(reserved);
    auto packet = static_cast<NDIS_PACKET*>(memory);
    // The reserved areas keep whatever they held, as on the real platform; only NDIS's own
    // parts start clean.
    std::memset(&packet->Private, 0, sizeof(packet->Private));
    packet->Private.Pool = pool;
    packet->Private.NdisPacketOobOffset = layout.oob_offset;
    std::memset(NDIS_OOB_DATA_FROM_PACKET(packet), 0, sizeof(NDIS_PACKET_OOB_DATA));
    return packet;
}

void FormatBuffer(NDIS_BUFFER* buffer, NDIS_HANDLE pool, void* address, UINT length) {
    auto where = reinterpret_cast<uintptr_t>(address);
    buffer->Next = nullptr;
    buffer->StartVa = reinterpret_cast<PVOID>(where & ~static_cast<uintptr_t>(PAGE_SIZE - 1));
    buffer->ByteOffset = static_cast<ULONG>(where & (PAGE_SIZE - 1));
    buffer->ByteCount = length;
    buffer->MappedSystemVa = address;
    buffer->Pool = pool;
    buffer->BuiltLength = length;
}

void Pools::ReportStillDrawn(const char* call, const char* what, const char* free_call,
                             size_t in_use, UINT count, uintptr_t site) {
    if (in_use == 0) return;
    kernel_.Check().Report(Rule::PoolLeak, call,
                            std::to_string(in_use) + " of the pool's " + std::to_string(count) +
                                " " + what + "s still drawn from it, never given back with " +
                                free_call,
                            site);
}

// ---- Packet pools -------------------------------------------------------------------------

NDIS_STATUS Pools::NewPacketPool(NDIS_HANDLE* handle, UINT count, UINT reserved,
                                 uintptr_t site) {
    auto pool = std::make_unique<PacketPool>();
    pool->count = count;
    pool->reserved = reserved;
    pool->layout = LayoutPacket(reserved);
    size_t size = static_cast<size_t>(count) * pool->layout.size;
    pool->memory = static_cast<uint8_t*>(kernel_.Memory().Allocate(
        size != 0 ? size : 1, kPacketPoolTag, "NdisAllocatePacketPool", site));
    if (pool->memory == nullptr) {
        *handle = nullptr;
        return NDIS_STATUS_RESOURCES;
    }
    pool->used.assign(count, false);
    *handle = pool.get();
    packet_pools_[pool.get()] = std::move(pool);
    return NDIS_STATUS_SUCCESS;
}

bool Pools::AnyLent(const PacketPool& pool) const {
    for (UINT i = 0; i < pool.count; ++i) {
        auto packet = reinterpret_cast<const NDIS_PACKET*>(pool.memory + i * pool.layout.size);
        if (pool.used[i] && LentToAProtocol(packet)) return true;
    }
    return false;
}

void Pools::FreePacketPool(NDIS_HANDLE handle, uintptr_t site) {
    auto it = packet_pools_.find(handle);
    if (it == packet_pools_.end()) {
        kernel_.Check().Report(Rule::PoolBadFree, "NdisFreePacketPool",
                                "not a live packet pool", site);
        return;
    }
    if (AnyLent(*it->second)) {
        kernel_.Check().Report(Rule::RecvOwnership, "NdisFreePacketPool",
                                "a packet of the pool is still lent to the protocol", site);
    }
    // Packets still drawn from the pool are leaked, not ended, by freeing it
    // ("NdisFreePacketPool function", learn.microsoft.com/previous-versions ff551995).
    ReportStillDrawn("NdisFreePacketPool", "packet", "NdisFreePacket",
                     PacketsInUse(handle), it->second->count, site);
    kernel_.Memory().Free(it->second->memory, "NdisFreePacketPool", site);
    packet_pools_.erase(it);
}

NDIS_STATUS Pools::AllocatePacket(NDIS_PACKET** packet, NDIS_HANDLE handle, uintptr_t site) {
    *packet = nullptr;
    auto it = packet_pools_.find(handle);
    if (it == packet_pools_.end()) {
        kernel_.Check().Report(Rule::Platform, "NdisAllocatePacket", "not a live packet pool",
                                site);
        return NDIS_STATUS_RESOURCES;
    }
    PacketPool& pool = *it->second;
    for (UINT i = 0; i < pool.count; ++i) {
        if (pool.used[i]) continue;
        pool.used[i] = true;
        *packet = FormatPacket(pool.memory + i * pool.layout.size, pool.reserved, handle);
        return NDIS_STATUS_SUCCESS;
    }
    return NDIS_STATUS_RESOURCES;
}

Pools::PacketPool* Pools::PoolOfPacket(const NDIS_PACKET* packet, size_t* index) const {
    for (const auto& [handle, pool] : packet_pools_) {
        size_t size = static_cast<size_t>(pool->count) * pool->layout.size;
        if (!Within(packet, pool->memory, size)) continue;
        size_t offset = reinterpret_cast<const uint8_t*>(packet) - pool->memory;
        if (offset % pool->layout.size != 0) return nullptr;
        *index = offset / pool->layout.size;
        return pool.get();
    }
    return nullptr;
}

void Pools::FreePacket(NDIS_PACKET* packet, uintptr_t site) {
    size_t index = 0;
    PacketPool* pool = PoolOfPacket(packet, &index);
    if (pool == nullptr || !pool->used[index]) {
        kernel_.Check().Report(Rule::PoolBadFree, "NdisFreePacket",
                                pool ? "packet already freed" : "not a packet from a live pool",
                                site);
        return;
    }
    if (LentToAProtocol(packet)) {
        kernel_.Check().Report(Rule::RecvOwnership, "NdisFreePacket",
                                "the packet is still lent to the protocol", site);
    }
    pool->used[index] = false;
}

bool Pools::IsAllocatedPacket(const NDIS_PACKET* packet) const {
    size_t index = 0;
    PacketPool* pool = PoolOfPacket(packet, &index);
    return pool != nullptr && pool->used[index];
}

size_t Pools::PacketsInUse(NDIS_HANDLE handle) const {
    auto it = packet_pools_.find(handle);
    if (it == packet_pools_.end()) return 0;
    size_t count = 0;
    for (bool used : it->second->used) count += used ? 1 : 0;
    return count;
}

std::vector<NDIS_PACKET*> Pools::DrawnPackets(NDIS_HANDLE handle) const {
    std::vector<NDIS_PACKET*> drawn;
    auto it = packet_pools_.find(handle);
    if (it == packet_pools_.end()) return drawn;
    const PacketPool& pool = *it->second;
    for (UINT i = 0; i < pool.count; ++i) {
        if (pool.used[i]) {
            drawn.push_back(reinterpret_cast<NDIS_PACKET*>(pool.memory + i * pool.layout.size));
        }
    }
    return drawn;
}

std::vector<NDIS_BUFFER*> Pools::DrawnBuffers(NDIS_HANDLE handle) const {
    std::vector<NDIS_BUFFER*> drawn;
    auto it = buffer_pools_.find(handle);
    if (it == buffer_pools_.end()) return drawn;
    const BufferPool& pool = *it->second;
    for (UINT i = 0; i < pool.count; ++i) {
        if (pool.used[i]) drawn.push_back(&pool.memory[i]);
    }
    return drawn;
}

// ---- Buffer pools -------------------------------------------------------------------------

NDIS_STATUS Pools::NewBufferPool(NDIS_HANDLE* handle, UINT count, uintptr_t site) {
    auto pool = std::make_unique<BufferPool>();
    pool->count = count;
    size_t size = static_cast<size_t>(count) * sizeof(NDIS_BUFFER);
    pool->memory = static_cast<NDIS_BUFFER*>(kernel_.Memory().Allocate(
        size != 0 ? size : 1, kBufferPoolTag, "NdisAllocateBufferPool", site));
    if (pool->memory == nullptr) {
        *handle = nullptr;
        return NDIS_STATUS_RESOURCES;
    }
    pool->used.assign(count, false);
    *handle = pool.get();
    buffer_pools_[pool.get()] = std::move(pool);
    return NDIS_STATUS_SUCCESS;
}

void Pools::FreeBufferPool(NDIS_HANDLE handle, uintptr_t site) {
    auto it = buffer_pools_.find(handle);
    if (it == buffer_pools_.end()) {
        kernel_.Check().Report(Rule::PoolBadFree, "NdisFreeBufferPool",
                                "not a live buffer pool", site);
        return;
    }
    // "NdisFreeBufferPool function" (learn.microsoft.com/previous-versions ff551984): each
    // buffer must be freed first, or its memory leaks.
    ReportStillDrawn("NdisFreeBufferPool", "buffer", "NdisFreeBuffer", BuffersInUse(handle),
                     it->second->count, site);
    kernel_.Memory().Free(it->second->memory, "NdisFreeBufferPool", site);
    buffer_pools_.erase(it);
}

NDIS_STATUS Pools::AllocateBuffer(NDIS_BUFFER** buffer, NDIS_HANDLE handle, PVOID address,
                                  UINT length, uintptr_t site) {
    *buffer = nullptr;
    auto it = buffer_pools_.find(handle);
    if (it == buffer_pools_.end()) {
        kernel_.Check().Report(Rule::Platform, "NdisAllocateBuffer", "not a live buffer pool",
                                site);
        return NDIS_STATUS_RESOURCES;
    }
    BufferPool& pool = *it->second;
    for (UINT i = 0; i < pool.count; ++i) {
        if (pool.used[i]) continue;
        pool.used[i] = true;
        FormatBuffer(&pool.memory[i], handle, address, length);
        *buffer = &pool.memory[i];
        return NDIS_STATUS_SUCCESS;
    }
    return NDIS_STATUS_RESOURCES;
}

Pools::BufferPool* Pools::PoolOfBuffer(const NDIS_BUFFER* buffer, size_t* index) const {
    for (const auto& [handle, pool] : buffer_pools_) {
        if (!Within(buffer, pool->memory, pool->count * sizeof(NDIS_BUFFER))) continue;
        size_t offset = reinterpret_cast<const uint8_t*>(buffer) -
                        reinterpret_cast<const uint8_t*>(pool->memory);
        if (offset % sizeof(NDIS_BUFFER) != 0) return nullptr;
        *index = offset / sizeof(NDIS_BUFFER);
        return pool.get();
    }
    return nullptr;
}

void Pools::FreeBuffer(NDIS_BUFFER* buffer, uintptr_t site) {
    size_t index = 0;
    BufferPool* pool = PoolOfBuffer(buffer, &index);
    if (pool == nullptr || !pool->used[index]) {
        kernel_.Check().Report(Rule::PoolBadFree, "NdisFreeBuffer",
                                pool ? "buffer already freed" : "not a buffer from a live pool",
                                site);
        return;
    }
    pool->used[index] = false;
}

size_t Pools::BuffersInUse(NDIS_HANDLE handle) const {
    auto it = buffer_pools_.find(handle);
    if (it == buffer_pools_.end()) return 0;
    size_t count = 0;
    for (bool used : it->second->used) count += used ? 1 : 0;
    return count;
}

}  // namespace emu::ndis

// ---- Platform routines --------------------------------------------------------------------

using emu::Kernel;

namespace {

emu::ndis::Pools& PoolTable(const char* call, uintptr_t site) {
    Kernel& kernel = Kernel::Current();
    kernel.Cpu().CheckIrql(call, DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    return emu::ndis::Ndis::Current().PoolTable();
}

}  // namespace

void NdisAllocatePacketPool(NDIS_STATUS* Status, NDIS_HANDLE* PoolHandle,
                            UINT NumberOfDescriptors, UINT ProtocolReservedLength) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    *Status = PoolTable("NdisAllocatePacketPool", site)
                  .NewPacketPool(PoolHandle, NumberOfDescriptors, ProtocolReservedLength, site);
}

void NdisFreePacketPool(NDIS_HANDLE PoolHandle) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    // "The driver must release any spin lock that it is holding before calling" it (learn.microsoft.com/windows-hardware/drivers/ddi/ndis/nf-ndis-ndisfreepacketpool).
    emu::Kernel::Current().Cpu().CheckNoLockHeld("NdisFreePacketPool", site);
    PoolTable("NdisFreePacketPool", site).FreePacketPool(PoolHandle, site);
}

void NdisAllocatePacket(NDIS_STATUS* Status, NDIS_PACKET** Packet, NDIS_HANDLE PoolHandle) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    *Status = PoolTable("NdisAllocatePacket", site).AllocatePacket(Packet, PoolHandle, site);
}

void NdisFreePacket(NDIS_PACKET* Packet) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    PoolTable("NdisFreePacket", site).FreePacket(Packet, site);
}

void NdisAllocateBufferPool(NDIS_STATUS* Status, NDIS_HANDLE* PoolHandle,
                            UINT NumberOfDescriptors) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    *Status = PoolTable("NdisAllocateBufferPool", site)
                  .NewBufferPool(PoolHandle, NumberOfDescriptors, site);
}

void NdisFreeBufferPool(NDIS_HANDLE PoolHandle) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    // "The driver must release any spin lock that it is holding before calling" it (learn.microsoft.com/previous-versions/ms921060(v=msdn.10)).
    emu::Kernel::Current().Cpu().CheckNoLockHeld("NdisFreeBufferPool", site);
    PoolTable("NdisFreeBufferPool", site).FreeBufferPool(PoolHandle, site);
}

void NdisAllocateBuffer(NDIS_STATUS* Status, NDIS_BUFFER** Buffer, NDIS_HANDLE PoolHandle,
                        PVOID VirtualAddress, UINT Length) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    *Status = PoolTable("NdisAllocateBuffer", site)
                  .AllocateBuffer(Buffer, PoolHandle, VirtualAddress, Length, site);
}

void NdisFreeBuffer(NDIS_BUFFER* Buffer) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    // "The driver must release any spin lock that it is holding before calling" it (learn.microsoft.com/previous-versions/ms892700(v=msdn.10)).
    emu::Kernel::Current().Cpu().CheckNoLockHeld("NdisFreeBuffer", site);
    PoolTable("NdisFreeBuffer", site).FreeBuffer(Buffer, site);
}

void NdisQueryBuffer(NDIS_BUFFER* Buffer, PVOID* VirtualAddress, UINT* Length) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel::Current().Cpu().CheckIrql("NdisQueryBuffer", DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    if (VirtualAddress != nullptr) *VirtualAddress = Buffer->MappedSystemVa;
    *Length = Buffer->ByteCount;
}

void NdisQueryBufferOffset(NDIS_BUFFER* Buffer, UINT* Offset, UINT* Length) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel::Current().Cpu().CheckIrql("NdisQueryBufferOffset", DISPATCH_LEVEL, PASSIVE_LEVEL,
                                       site);
    *Offset = Buffer->ByteOffset;
    *Length = Buffer->ByteCount;
}

void NdisAdjustBufferLength(NDIS_BUFFER* Buffer, UINT Length) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel& kernel = Kernel::Current();
    kernel.Cpu().CheckIrql("NdisAdjustBufferLength", DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    if (Length > Buffer->BuiltLength) {
        // Whoever reads the buffer next would read past the memory it was built over.
        kernel.Check().Report(emu::Rule::RecvOwnership, "NdisAdjustBufferLength",
                               std::to_string(Length) + " bytes, above the " +
                                   std::to_string(Buffer->BuiltLength) +
                                   " the buffer was built with",
                               site);
        // Reported; the buffer still describes only the memory it was built over, so that no
        // reader runs past it.
        Length = Buffer->BuiltLength;
    }
    // The packets chaining this buffer keep their cached counts (NdisRecalculatePacketCounts).
    Buffer->ByteCount = Length;
}

void NdisUnchainBufferAtFront(NDIS_PACKET* Packet, NDIS_BUFFER** Buffer) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel::Current().Cpu().CheckIrql("NdisUnchainBufferAtFront", DISPATCH_LEVEL,
                                       PASSIVE_LEVEL, site);
    NDIS_BUFFER* first = Packet->Private.Head;
    *Buffer = first;
    if (first == nullptr) return;
    Packet->Private.Head = first->Next;
    if (Packet->Private.Head == nullptr) Packet->Private.Tail = nullptr;
    first->Next = nullptr;
    Packet->Private.ValidCounts = FALSE;
}

void NdisUnchainBufferAtBack(NDIS_PACKET* Packet, NDIS_BUFFER** Buffer) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel::Current().Cpu().CheckIrql("NdisUnchainBufferAtBack", DISPATCH_LEVEL,
                                       PASSIVE_LEVEL, site);
    NDIS_BUFFER* previous = nullptr;
    NDIS_BUFFER* last = Packet->Private.Head;
    *Buffer = nullptr;
    if (last == nullptr) return;
    while (last->Next != nullptr) {
        previous = last;
        last = last->Next;
    }
    if (previous == nullptr) {
        Packet->Private.Head = nullptr;
    } else {
        previous->Next = nullptr;
    }
    Packet->Private.Tail = previous;
    Packet->Private.ValidCounts = FALSE;
    *Buffer = last;
}
