// Resource tracker: every NDIS resource an adapter acquires during bring-up is recorded here,
// so that one walk can give everything back at halt or after a failed initialization.
#pragma once

#include "platform/ndis.h"

struct Adapter;

enum ResourceKind : ULONG {
    ResourceNone = 0,          // handed out, but its allocation then failed
    ResourceMemory = 1,
    ResourceSharedMemory = 2,
    ResourceIoPortRange = 3,
    ResourceInterrupt = 4,
    ResourceMapRegisters = 5,
    ResourcePacketPool = 6,
    ResourceBufferPool = 7,
    ResourceReceivePackets = 8,  // each receive packet and buffer, freed before their pools
};

struct ResourceRecord {
    ResourceRecord* Next;  // toward the tail; null at the tail
    ResourceRecord* Prev;  // toward the head; null at the head
    ULONG Kind;
    union {
        struct {
            ULONG Length;
            PVOID Address;
        } Memory;
        struct {
            ULONG Length;
            PVOID VirtualAddress;
            PHYSICAL_ADDRESS PhysicalAddress;
            BOOLEAN Cached;
        } SharedMemory;
        struct {
            NDIS_HANDLE AdapterHandle;
            UINT NumberOfPorts;
            UINT InitialPort;
            PVOID PortOffset;
        } IoPortRange;
        NDIS_MINIPORT_INTERRUPT Interrupt;
        struct {
            NDIS_HANDLE PoolHandle;
        } Pool;
        struct {
            PVOID Records;  // RxPacketRecord array, null entries never built
            ULONG Count;
        } ReceivePackets;
    } Data;
};

struct ResourceList {
    ResourceRecord* Head;
    ResourceRecord* Tail;
    ULONG Count;
};

// Records come in chunks of this many; the first record of a chunk records the chunk itself.
constexpr ULONG ResourceChunkRecords = 15;
