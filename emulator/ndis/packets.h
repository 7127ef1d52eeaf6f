// Packet and buffer pools of a fixed capacity. Their memory comes from the machine's pool
// under the miniport's call site, so an unfreed pool is a leak and allocation faults reach
// pool creation too. A pool freed while packets or buffers drawn from it were never freed is
// a leak as well (POOL_LEAK, with the counts).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "platform/ndis.h"

namespace emu {
class Kernel;
}

namespace emu::ndis {

// Byte layout of a packet with `reserved` bytes of protocol area: where its out-of-band data
// starts, and the whole size.
struct PacketLayout {
    USHORT oob_offset;
    size_t size;
};
PacketLayout LayoutPacket(UINT reserved);
// Sets up a packet in `memory` (of LayoutPacket(reserved).size bytes): empty chain, zeroed
// private and out-of-band parts.
NDIS_PACKET* FormatPacket(void* memory, UINT reserved, NDIS_HANDLE pool);
// Describes `length` bytes at `address` the way NdisAllocateBuffer does.
void FormatBuffer(NDIS_BUFFER* buffer, NDIS_HANDLE pool, void* address, UINT length);

class Pools {
public:
    static constexpr ULONG kPacketPoolTag = 0x6B70444E;  // "NDpk"
    static constexpr ULONG kBufferPoolTag = 0x6662444E;  // "NDbf"

    explicit Pools(Kernel& kernel) : kernel_(kernel) {}

    NDIS_STATUS NewPacketPool(NDIS_HANDLE* handle, UINT count, UINT reserved, uintptr_t site);
    void FreePacketPool(NDIS_HANDLE handle, uintptr_t site);
    NDIS_STATUS AllocatePacket(NDIS_PACKET** packet, NDIS_HANDLE handle, uintptr_t site);
    void FreePacket(NDIS_PACKET* packet, uintptr_t site);

    NDIS_STATUS NewBufferPool(NDIS_HANDLE* handle, UINT count, uintptr_t site);
    void FreeBufferPool(NDIS_HANDLE handle, uintptr_t site);
    NDIS_STATUS AllocateBuffer(NDIS_BUFFER** buffer, NDIS_HANDLE handle, PVOID address,
                               UINT length, uintptr_t site);
    void FreeBuffer(NDIS_BUFFER* buffer, uintptr_t site);

    // A packet drawn from a live pool and not freed since.
    bool IsAllocatedPacket(const NDIS_PACKET* packet) const;
    size_t PacketsInUse(NDIS_HANDLE handle) const;
    size_t BuffersInUse(NDIS_HANDLE handle) const;
    // Test face: what is still drawn from a pool, for a fake miniport to give back.
    std::vector<NDIS_PACKET*> DrawnPackets(NDIS_HANDLE handle) const;
    std::vector<NDIS_BUFFER*> DrawnBuffers(NDIS_HANDLE handle) const;

private:
    struct PacketPool {
        uint8_t* memory = nullptr;
        UINT count = 0;
        UINT reserved = 0;
        PacketLayout layout{};
        std::vector<bool> used;
    };
    struct BufferPool {
        NDIS_BUFFER* memory = nullptr;
        UINT count = 0;
        std::vector<bool> used;
    };
    // The pool whose memory holds `packet`, and the packet's index in it.
    PacketPool* PoolOfPacket(const NDIS_PACKET* packet, size_t* index) const;
    BufferPool* PoolOfBuffer(const NDIS_BUFFER* buffer, size_t* index) const;
    bool AnyLent(const PacketPool& pool) const;
    // POOL_LEAK when a pool is freed with `in_use` of its `count` entries still drawn.
    void ReportStillDrawn(const char* call, const char* what, const char* free_call,
                          size_t in_use, UINT count, uintptr_t site);

    Kernel& kernel_;
    std::map<const void*, std::unique_ptr<PacketPool>> packet_pools_;  // by handle
    std::map<const void*, std::unique_ptr<BufferPool>> buffer_pools_;
};

}  // namespace emu::ndis
