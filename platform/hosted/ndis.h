// NDIS 5.0 miniport interface: registration, handler table, memory, spin locks, timers,
// configuration, packets and buffers, and the indications made through the adapter handle.
// One line above each call states the IRQL it may be called at and what it returns.
#pragma once

#include "platform/io.h"
#include "platform/kernel.h"
#include "platform/types.h"

using NDIS_STATUS = int32_t;
using NDIS_HANDLE = void*;
using NDIS_OID = ULONG;

constexpr NDIS_STATUS NDIS_STATUS_SUCCESS = 0x00000000;
constexpr NDIS_STATUS NDIS_STATUS_PENDING = 0x00000103;
constexpr NDIS_STATUS NDIS_STATUS_NOT_RECOGNIZED = 0x00010001;
constexpr NDIS_STATUS NDIS_STATUS_NOT_COPIED = 0x00010002;
constexpr NDIS_STATUS NDIS_STATUS_MEDIA_CONNECT = 0x4001000B;
constexpr NDIS_STATUS NDIS_STATUS_MEDIA_DISCONNECT = 0x4001000C;
constexpr NDIS_STATUS NDIS_STATUS_FAILURE = static_cast<NDIS_STATUS>(0xC0000001u);
constexpr NDIS_STATUS NDIS_STATUS_RESOURCES = static_cast<NDIS_STATUS>(0xC000009Au);
constexpr NDIS_STATUS NDIS_STATUS_NOT_SUPPORTED = static_cast<NDIS_STATUS>(0xC00000BBu);
constexpr NDIS_STATUS NDIS_STATUS_BAD_VERSION = static_cast<NDIS_STATUS>(0xC0010004u);
constexpr NDIS_STATUS NDIS_STATUS_BAD_CHARACTERISTICS = static_cast<NDIS_STATUS>(0xC0010005u);
constexpr NDIS_STATUS NDIS_STATUS_ADAPTER_NOT_FOUND = static_cast<NDIS_STATUS>(0xC0010006u);
constexpr NDIS_STATUS NDIS_STATUS_MULTICAST_FULL = static_cast<NDIS_STATUS>(0xC0010009u);
constexpr NDIS_STATUS NDIS_STATUS_INVALID_LENGTH = static_cast<NDIS_STATUS>(0xC0010014u);
constexpr NDIS_STATUS NDIS_STATUS_INVALID_DATA = static_cast<NDIS_STATUS>(0xC0010015u);
constexpr NDIS_STATUS NDIS_STATUS_BUFFER_TOO_SHORT = static_cast<NDIS_STATUS>(0xC0010016u);
constexpr NDIS_STATUS NDIS_STATUS_INVALID_OID = static_cast<NDIS_STATUS>(0xC0010017u);
constexpr NDIS_STATUS NDIS_STATUS_UNSUPPORTED_MEDIA = static_cast<NDIS_STATUS>(0xC0010019u);

enum NDIS_MEDIUM {
    NdisMedium802_3 = 0,
    NdisMedium802_5,
    NdisMediumFddi,
    NdisMediumWan,
    NdisMediumLocalTalk,
    NdisMediumDix,
    NdisMediumArcnetRaw,
    NdisMediumArcnet878_2,
    NdisMediumAtm,
    NdisMediumWirelessWan,
    NdisMediumIrda,
};

enum NDIS_INTERFACE_TYPE {
    NdisInterfaceInternal = 0,
    NdisInterfaceIsa,
    NdisInterfaceEisa,
    NdisInterfaceMca,
    NdisInterfaceTurboChannel,
    NdisInterfacePci,
    NdisInterfacePcMcia,
    NdisInterfaceCBus,
    NdisInterfaceMPIBus,
    NdisInterfaceMPSABus,
    NdisInterfaceProcessorInternal,
    NdisInterfaceInternalPowerBus,
    NdisInterfacePNPISABus,
    NdisInterfacePNPBus,
};

constexpr ULONG NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT = 0x01;
constexpr ULONG NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT = 0x02;
constexpr ULONG NDIS_ATTRIBUTE_IGNORE_TOKEN_RING_ERRORS = 0x04;
constexpr ULONG NDIS_ATTRIBUTE_BUS_MASTER = 0x08;
constexpr ULONG NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER = 0x10;
constexpr ULONG NDIS_ATTRIBUTE_DESERIALIZE = 0x20;
constexpr ULONG NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND = 0x40;
constexpr ULONG NDIS_ATTRIBUTE_SURPRISE_REMOVE_OK = 0x80;
constexpr ULONG NDIS_ATTRIBUTE_NOT_CO_NDIS = 0x100;

// ---- Packets and buffers --------------------------------------------------------------------

// A run of virtually contiguous memory; buffers chain through Next.
struct NDIS_BUFFER {
    NDIS_BUFFER* Next;
    PVOID StartVa;          // page-aligned start of the described memory
    ULONG ByteOffset;       // offset of the first byte from StartVa
    ULONG ByteCount;        // bytes described
    PVOID MappedSystemVa;   // address of the first byte
    NDIS_HANDLE Pool;       // the pool it came from (platform bookkeeping)
    ULONG BuiltLength;      // length it was allocated with (platform bookkeeping)
};

struct NDIS_PACKET_OOB_DATA {
    ULONGLONG TimeToSend;
    ULONGLONG TimeSent;
    ULONGLONG TimeReceived;
    UINT HeaderSize;
    UINT SizeMediaSpecificInfo;
    PVOID MediaSpecificInformation;
    NDIS_STATUS Status;
};

struct NDIS_PACKET_PRIVATE {
    UINT PhysicalCount;
    UINT TotalLength;
    NDIS_BUFFER* Head;
    NDIS_BUFFER* Tail;
    NDIS_HANDLE Pool;
    UINT Count;
    ULONG Flags;
    BOOLEAN ValidCounts;
    UCHAR NdisPacketFlags;
    USHORT NdisPacketOobOffset;  // from the packet's start to its NDIS_PACKET_OOB_DATA
};

struct NDIS_PACKET {
    NDIS_PACKET_PRIVATE Private;
    UCHAR MiniportReserved[2 * sizeof(PVOID)];
    UCHAR WrapperReserved[2 * sizeof(PVOID)];
    UCHAR MiniportReservedEx[3 * sizeof(PVOID)];
    UCHAR ProtocolReserved[1];  // ProtocolReservedLength bytes, then the out-of-band data
};

inline NDIS_PACKET_OOB_DATA* NDIS_OOB_DATA_FROM_PACKET(NDIS_PACKET* Packet) {
    return reinterpret_cast<NDIS_PACKET_OOB_DATA*>(reinterpret_cast<UCHAR*>(Packet) +
                                                   Packet->Private.NdisPacketOobOffset);
}
inline void NDIS_SET_PACKET_HEADER_SIZE(NDIS_PACKET* Packet, UINT HeaderSize) {
    NDIS_OOB_DATA_FROM_PACKET(Packet)->HeaderSize = HeaderSize;
}
inline UINT NDIS_GET_PACKET_HEADER_SIZE(NDIS_PACKET* Packet) {
    return NDIS_OOB_DATA_FROM_PACKET(Packet)->HeaderSize;
}
inline void NDIS_SET_PACKET_STATUS(NDIS_PACKET* Packet, NDIS_STATUS Status) {
    NDIS_OOB_DATA_FROM_PACKET(Packet)->Status = Status;
}
inline NDIS_STATUS NDIS_GET_PACKET_STATUS(NDIS_PACKET* Packet) {
    return NDIS_OOB_DATA_FROM_PACKET(Packet)->Status;
}

// Up to DISPATCH_LEVEL. Address and length of the bytes a buffer describes.
void NdisQueryBuffer(NDIS_BUFFER* Buffer, PVOID* VirtualAddress, UINT* Length);
// Up to DISPATCH_LEVEL. Offset of the first byte within its page, and the length.
void NdisQueryBufferOffset(NDIS_BUFFER* Buffer, UINT* Offset, UINT* Length);
// Up to DISPATCH_LEVEL. Sets the length a buffer describes; never above its built length.
void NdisAdjustBufferLength(NDIS_BUFFER* Buffer, UINT Length);

constexpr ULONG PAGE_SIZE = 4096;
// Any IRQL. Pages spanned by the buffer's bytes.
inline ULONG NDIS_BUFFER_TO_SPAN_PAGES(NDIS_BUFFER* Buffer) {
    if (Buffer->ByteCount == 0) return 1;
    return (Buffer->ByteOffset % PAGE_SIZE + Buffer->ByteCount + PAGE_SIZE - 1) / PAGE_SIZE;
}
inline void NdisGetNextBuffer(NDIS_BUFFER* CurrentBuffer, NDIS_BUFFER** NextBuffer) {
    *NextBuffer = CurrentBuffer->Next;
}

// Any IRQL. The packet's counts, first buffer and total length; when the cached counts are
// not valid, walks the chain once and caches them.
inline void NdisQueryPacket(NDIS_PACKET* Packet, UINT* PhysicalBufferCount, UINT* BufferCount,
                            NDIS_BUFFER** FirstBuffer, UINT* TotalPacketLength) {
    if (!Packet->Private.ValidCounts) {
        UINT physical = 0, count = 0, total = 0;
        for (NDIS_BUFFER* b = Packet->Private.Head; b != nullptr; b = b->Next) {
            UINT offset = 0, length = 0;
            NdisQueryBufferOffset(b, &offset, &length);
            total += length;
            physical += NDIS_BUFFER_TO_SPAN_PAGES(b);
            ++count;
        }
        Packet->Private.PhysicalCount = physical;
        Packet->Private.Count = count;
        Packet->Private.TotalLength = total;
        Packet->Private.ValidCounts = TRUE;
    }
    if (PhysicalBufferCount) *PhysicalBufferCount = Packet->Private.PhysicalCount;
    if (BufferCount) *BufferCount = Packet->Private.Count;
    if (FirstBuffer) *FirstBuffer = Packet->Private.Head;
    if (TotalPacketLength) *TotalPacketLength = Packet->Private.TotalLength;
}

// Any IRQL. Puts Buffer at the front of the packet's chain; the cached counts become invalid.
inline void NdisChainBufferAtFront(NDIS_PACKET* Packet, NDIS_BUFFER* Buffer) {
    NDIS_BUFFER* tail = Buffer;
    while (tail->Next != nullptr) tail = tail->Next;
    tail->Next = Packet->Private.Head;
    if (Packet->Private.Head == nullptr) Packet->Private.Tail = tail;
    Packet->Private.Head = Buffer;
    Packet->Private.ValidCounts = FALSE;
}

// Any IRQL. Puts Buffer (and whatever is chained behind it) at the back of the packet's
// chain; the cached counts become invalid.
inline void NdisChainBufferAtBack(NDIS_PACKET* Packet, NDIS_BUFFER* Buffer) {
    NDIS_BUFFER* tail = Buffer;
    while (tail->Next != nullptr) tail = tail->Next;
    if (Packet->Private.Head != nullptr) {
        Packet->Private.Tail->Next = Buffer;
    } else {
        Packet->Private.Head = Buffer;
    }
    Packet->Private.Tail = tail;
    Packet->Private.ValidCounts = FALSE;
}

// Up to DISPATCH_LEVEL. Takes the first (last) buffer off the packet's chain; *Buffer is null
// when the chain is empty. The cached counts become invalid.
void NdisUnchainBufferAtFront(NDIS_PACKET* Packet, NDIS_BUFFER** Buffer);
void NdisUnchainBufferAtBack(NDIS_PACKET* Packet, NDIS_BUFFER** Buffer);

// Any IRQL. After a buffer of the chain changed length (NdisAdjustBufferLength does not touch
// the packet): finds the tail again and invalidates the cached counts, so the next
// NdisQueryPacket walks the chain.
inline void NdisRecalculatePacketCounts(NDIS_PACKET* Packet) {
    NDIS_BUFFER* tail = Packet->Private.Head;
    if (tail != nullptr) {
        while (tail->Next != nullptr) tail = tail->Next;
        Packet->Private.Tail = tail;
    }
    Packet->Private.ValidCounts = FALSE;
}

// Up to DISPATCH_LEVEL. A pool of NumberOfDescriptors packets, each with
// ProtocolReservedLength bytes of protocol area.
void NdisAllocatePacketPool(NDIS_STATUS* Status, NDIS_HANDLE* PoolHandle,
                            UINT NumberOfDescriptors, UINT ProtocolReservedLength);
// Up to DISPATCH_LEVEL. Frees the pool and every packet drawn from it.
void NdisFreePacketPool(NDIS_HANDLE PoolHandle);
// Up to DISPATCH_LEVEL. A packet with an empty chain; NDIS_STATUS_RESOURCES when the pool
// is used up.
void NdisAllocatePacket(NDIS_STATUS* Status, NDIS_PACKET** Packet, NDIS_HANDLE PoolHandle);
void NdisFreePacket(NDIS_PACKET* Packet);
// Up to DISPATCH_LEVEL. A pool of NumberOfDescriptors buffer descriptors.
void NdisAllocateBufferPool(NDIS_STATUS* Status, NDIS_HANDLE* PoolHandle,
                            UINT NumberOfDescriptors);
// Up to DISPATCH_LEVEL. Frees the pool and every buffer drawn from it.
void NdisFreeBufferPool(NDIS_HANDLE PoolHandle);
// Up to DISPATCH_LEVEL. A buffer describing Length bytes at VirtualAddress.
void NdisAllocateBuffer(NDIS_STATUS* Status, NDIS_BUFFER** Buffer, NDIS_HANDLE PoolHandle,
                        PVOID VirtualAddress, UINT Length);
void NdisFreeBuffer(NDIS_BUFFER* Buffer);

// ---- Miniport handler table -----------------------------------------------------------------

using W_CHECK_FOR_HANG_HANDLER = BOOLEAN (*)(NDIS_HANDLE MiniportAdapterContext);
using W_DISABLE_INTERRUPT_HANDLER = void (*)(NDIS_HANDLE MiniportAdapterContext);
using W_ENABLE_INTERRUPT_HANDLER = void (*)(NDIS_HANDLE MiniportAdapterContext);
using W_HALT_HANDLER = void (*)(NDIS_HANDLE MiniportAdapterContext);
using W_HANDLE_INTERRUPT_HANDLER = void (*)(NDIS_HANDLE MiniportAdapterContext);
using W_INITIALIZE_HANDLER = NDIS_STATUS (*)(NDIS_STATUS* OpenErrorStatus,
                                             UINT* SelectedMediumIndex,
                                             NDIS_MEDIUM* MediumArray, UINT MediumArraySize,
                                             NDIS_HANDLE MiniportAdapterHandle,
                                             NDIS_HANDLE WrapperConfigurationContext);
using W_ISR_HANDLER = void (*)(BOOLEAN* InterruptRecognized,
                               BOOLEAN* QueueMiniportHandleInterrupt,
                               NDIS_HANDLE MiniportAdapterContext);
using W_QUERY_INFORMATION_HANDLER = NDIS_STATUS (*)(NDIS_HANDLE MiniportAdapterContext,
                                                    NDIS_OID Oid, PVOID InformationBuffer,
                                                    ULONG InformationBufferLength,
                                                    ULONG* BytesWritten, ULONG* BytesNeeded);
using W_RECONFIGURE_HANDLER = NDIS_STATUS (*)(NDIS_STATUS* OpenErrorStatus,
                                              NDIS_HANDLE MiniportAdapterContext,
                                              NDIS_HANDLE WrapperConfigurationContext);
using W_RESET_HANDLER = NDIS_STATUS (*)(BOOLEAN* AddressingReset,
                                        NDIS_HANDLE MiniportAdapterContext);
using W_SEND_HANDLER = NDIS_STATUS (*)(NDIS_HANDLE MiniportAdapterContext, NDIS_PACKET* Packet,
                                       UINT Flags);
using W_SET_INFORMATION_HANDLER = NDIS_STATUS (*)(NDIS_HANDLE MiniportAdapterContext,
                                                  NDIS_OID Oid, PVOID InformationBuffer,
                                                  ULONG InformationBufferLength,
                                                  ULONG* BytesRead, ULONG* BytesNeeded);
using W_TRANSFER_DATA_HANDLER = NDIS_STATUS (*)(NDIS_PACKET* Packet, UINT* BytesTransferred,
                                                NDIS_HANDLE MiniportAdapterContext,
                                                NDIS_HANDLE MiniportReceiveContext,
                                                UINT ByteOffset, UINT BytesToTransfer);
using W_RETURN_PACKET_HANDLER = void (*)(NDIS_HANDLE MiniportAdapterContext,
                                         NDIS_PACKET* Packet);
using W_SEND_PACKETS_HANDLER = void (*)(NDIS_HANDLE MiniportAdapterContext,
                                        NDIS_PACKET** PacketArray, UINT NumberOfPackets);
using W_ALLOCATE_COMPLETE_HANDLER = void (*)(NDIS_HANDLE MiniportAdapterContext,
                                             PVOID VirtualAddress,
                                             PHYSICAL_ADDRESS* PhysicalAddress, ULONG Length,
                                             PVOID Context);
using W_CO_CREATE_VC_HANDLER = NDIS_STATUS (*)(NDIS_HANDLE MiniportAdapterContext,
                                               NDIS_HANDLE NdisVcHandle,
                                               NDIS_HANDLE* MiniportVcContext);
using W_CO_DELETE_VC_HANDLER = NDIS_STATUS (*)(NDIS_HANDLE MiniportVcContext);
using W_CO_ACTIVATE_VC_HANDLER = NDIS_STATUS (*)(NDIS_HANDLE MiniportVcContext,
                                                 PVOID CallParameters);
using W_CO_DEACTIVATE_VC_HANDLER = NDIS_STATUS (*)(NDIS_HANDLE MiniportVcContext);
using W_CO_SEND_PACKETS_HANDLER = void (*)(NDIS_HANDLE MiniportVcContext,
                                           NDIS_PACKET** PacketArray, UINT NumberOfPackets);
using W_CO_REQUEST_HANDLER = NDIS_STATUS (*)(NDIS_HANDLE MiniportAdapterContext,
                                             NDIS_HANDLE MiniportVcContext,
                                             PVOID NdisRequest);

struct NDIS50_MINIPORT_CHARACTERISTICS {
    UCHAR MajorNdisVersion;
    UCHAR MinorNdisVersion;
    UINT Reserved;
    W_CHECK_FOR_HANG_HANDLER CheckForHangHandler;
    W_DISABLE_INTERRUPT_HANDLER DisableInterruptHandler;
    W_ENABLE_INTERRUPT_HANDLER EnableInterruptHandler;
    W_HALT_HANDLER HaltHandler;
    W_HANDLE_INTERRUPT_HANDLER HandleInterruptHandler;
    W_INITIALIZE_HANDLER InitializeHandler;
    W_ISR_HANDLER ISRHandler;
    W_QUERY_INFORMATION_HANDLER QueryInformationHandler;
    W_RECONFIGURE_HANDLER ReconfigureHandler;
    W_RESET_HANDLER ResetHandler;
    W_SEND_HANDLER SendHandler;
    W_SET_INFORMATION_HANDLER SetInformationHandler;
    W_TRANSFER_DATA_HANDLER TransferDataHandler;
    W_RETURN_PACKET_HANDLER ReturnPacketHandler;
    W_SEND_PACKETS_HANDLER SendPacketsHandler;
    W_ALLOCATE_COMPLETE_HANDLER AllocateCompleteHandler;
    W_CO_CREATE_VC_HANDLER CoCreateVcHandler;
    W_CO_DELETE_VC_HANDLER CoDeleteVcHandler;
    W_CO_ACTIVATE_VC_HANDLER CoActivateVcHandler;
    W_CO_DEACTIVATE_VC_HANDLER CoDeactivateVcHandler;
    W_CO_SEND_PACKETS_HANDLER CoSendPacketsHandler;
    W_CO_REQUEST_HANDLER CoRequestHandler;
};

// ---- Registration ---------------------------------------------------------------------------

// PASSIVE_LEVEL. Creates the wrapper for this driver; *NdisWrapperHandle is null on failure.
// SystemSpecific1 is the driver object, SystemSpecific2 the registry path.
void NdisInitializeWrapper(NDIS_HANDLE* NdisWrapperHandle, PVOID SystemSpecific1,
                           PVOID SystemSpecific2, PVOID SystemSpecific3);
// PASSIVE_LEVEL. Releases a wrapper whose registration failed or is no longer wanted.
void NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific);
// PASSIVE_LEVEL. Checks the version and the required handlers and registers them; on success
// the driver object holds NDIS's own AddDevice and IRP_MJ_PNP routines.
// NDIS_STATUS_SUCCESS, NDIS_STATUS_BAD_VERSION or NDIS_STATUS_BAD_CHARACTERISTICS.
NDIS_STATUS NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                  NDIS50_MINIPORT_CHARACTERISTICS* MiniportCharacteristics,
                                  UINT CharacteristicsLength);
// PASSIVE_LEVEL, inside MiniportInitialize, once. Stores the adapter context and attributes;
// a hang-check interval of 0 means 2 seconds.
void NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                          UINT CheckForHangTimeInSeconds, ULONG AttributeFlags,
                          NDIS_INTERFACE_TYPE AdapterType);
// PASSIVE_LEVEL. The adapter's physical, functional and next lower device objects.
void NdisMGetDeviceProperty(NDIS_HANDLE MiniportAdapterHandle,
                            DEVICE_OBJECT** PhysicalDeviceObject,
                            DEVICE_OBJECT** FunctionalDeviceObject,
                            DEVICE_OBJECT** NextDeviceObject, PVOID AllocatedResources,
                            PVOID AllocatedResourcesTranslated);

// ---- Memory, spin locks, waits --------------------------------------------------------------

// Up to DISPATCH_LEVEL. Non-paged memory under Tag, not zeroed. NDIS_STATUS_SUCCESS, or
// NDIS_STATUS_FAILURE with *VirtualAddress null.
NDIS_STATUS NdisAllocateMemoryWithTag(PVOID* VirtualAddress, UINT Length, ULONG Tag);
// Up to DISPATCH_LEVEL. Frees memory from NdisAllocateMemoryWithTag; Length as allocated.
void NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);

struct QV_CAPABILITY("spin lock") NDIS_SPIN_LOCK {
    KSPIN_LOCK SpinLock;
    KIRQL OldIrql;
};
// Up to DISPATCH_LEVEL.
void NdisAllocateSpinLock(NDIS_SPIN_LOCK* SpinLock);
void NdisFreeSpinLock(NDIS_SPIN_LOCK* SpinLock);
// Up to DISPATCH_LEVEL. Raises to DISPATCH_LEVEL and takes the lock.
void NdisAcquireSpinLock(NDIS_SPIN_LOCK* SpinLock) QV_ACQUIRE(*SpinLock);
void NdisReleaseSpinLock(NDIS_SPIN_LOCK* SpinLock) QV_RELEASE(*SpinLock);
// Exactly DISPATCH_LEVEL.
void NdisDprAcquireSpinLock(NDIS_SPIN_LOCK* SpinLock) QV_ACQUIRE(*SpinLock);
void NdisDprReleaseSpinLock(NDIS_SPIN_LOCK* SpinLock) QV_RELEASE(*SpinLock);

// PASSIVE_LEVEL. Waits at least the given number of microseconds.
void NdisMSleep(ULONG MicrosecondsToSleep);

// ---- Timers ---------------------------------------------------------------------------------

using PNDIS_TIMER_FUNCTION = void (*)(PVOID SystemSpecific1, PVOID FunctionContext,
                                      PVOID SystemSpecific2, PVOID SystemSpecific3);

struct NDIS_MINIPORT_TIMER {
    PNDIS_TIMER_FUNCTION MiniportTimerFunction;
    PVOID MiniportTimerContext;
    NDIS_HANDLE MiniportAdapterHandle;
    ULONG_PTR Reserved[4];  // the platform's own bookkeeping
};

// PASSIVE_LEVEL. Binds the timer to its function and context.
void NdisMInitializeTimer(NDIS_MINIPORT_TIMER* Timer, NDIS_HANDLE MiniportAdapterHandle,
                          PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext);
// Up to DISPATCH_LEVEL. One run of the function at DISPATCH_LEVEL after the delay; setting a
// pending timer again moves its run.
void NdisSetTimer(NDIS_MINIPORT_TIMER* Timer, UINT MillisecondsToDelay);
void NdisMSetTimer(NDIS_MINIPORT_TIMER* Timer, UINT MillisecondsToDelay);
// Up to DISPATCH_LEVEL. Stops a pending run; *TimerCancelled is TRUE when one was pending.
void NdisMCancelTimer(NDIS_MINIPORT_TIMER* Timer, BOOLEAN* TimerCancelled);

// ---- Shutdown handler -----------------------------------------------------------------------

using ADAPTER_SHUTDOWN_HANDLER = void (*)(PVOID ShutdownContext);
// PASSIVE_LEVEL.
void NdisMRegisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle, PVOID ShutdownContext,
                                         ADAPTER_SHUTDOWN_HANDLER ShutdownHandler);
// PASSIVE_LEVEL.
void NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle);

// ---- Configuration --------------------------------------------------------------------------

enum NDIS_PARAMETER_TYPE {
    NdisParameterInteger = 0,
    NdisParameterHexInteger = 1,
    NdisParameterString = 2,
    NdisParameterMultiString = 3,
    NdisParameterBinary = 4,
};

using NDIS_STRING = UNICODE_STRING;

// Initializer of an NDIS_STRING naming a constant keyword:
//     NDIS_STRING keyword = NDIS_STRING_CONST("TxPacketDesc");
// The platform never writes through Buffer.
#define NDIS_STRING_CONST(x) \
    { static_cast<USHORT>(sizeof(u##x) - sizeof(WCHAR)), static_cast<USHORT>(sizeof(u##x)), \
      const_cast<WCHAR*>(u##x) }

// Up to DISPATCH_LEVEL. Points Destination at the terminated string Source (null gives an
// empty string); nothing is copied.
void NdisInitUnicodeString(NDIS_STRING* Destination, const WCHAR* Source);

struct BINARY_DATA {
    USHORT Length;
    PVOID Buffer;
};

struct NDIS_CONFIGURATION_PARAMETER {
    NDIS_PARAMETER_TYPE ParameterType;
    union {
        ULONG IntegerData;
        NDIS_STRING StringData;
        BINARY_DATA BinaryData;
    } ParameterData;
};

// PASSIVE_LEVEL. Opens the adapter's configuration.
void NdisOpenConfiguration(NDIS_STATUS* Status, NDIS_HANDLE* ConfigurationHandle,
                           NDIS_HANDLE WrapperConfigurationContext);
// PASSIVE_LEVEL. Reads one keyword. Asked as NdisParameterInteger (decimal) or
// NdisParameterHexInteger, a text value is converted; a stored number comes back as
// NdisParameterInteger whatever type was asked. NDIS_STATUS_FAILURE, with *ParameterValue
// untouched, when the keyword is absent or its text is not a number of the asked base. The
// parameter stays valid until the configuration is closed.
void NdisReadConfiguration(NDIS_STATUS* Status, NDIS_CONFIGURATION_PARAMETER** ParameterValue,
                           NDIS_HANDLE ConfigurationHandle, NDIS_STRING* Keyword,
                           NDIS_PARAMETER_TYPE ParameterType);
// PASSIVE_LEVEL. The address in the "NetworkAddress" keyword, a text of 12 hex digits, as 6
// bytes valid until the configuration is closed. NDIS_STATUS_FAILURE when the keyword is absent
// or is not such a text.
void NdisReadNetworkAddress(NDIS_STATUS* Status, PVOID* NetworkAddress,
                            UINT* NetworkAddressLength, NDIS_HANDLE ConfigurationHandle);
// PASSIVE_LEVEL.
void NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle);

// ---- Indications through the adapter handle -------------------------------------------------

// Up to DISPATCH_LEVEL. Packets with status NDIS_STATUS_RESOURCES are copied during the call and
// are the miniport's again when it returns; others are lent until MiniportReturnPacket.
void NdisMIndicateReceivePacket(NDIS_HANDLE MiniportAdapterHandle, NDIS_PACKET** ReceivePackets,
                                UINT NumberOfPackets);
// Up to DISPATCH_LEVEL. Completes a send that MiniportSend pended.
void NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_PACKET* Packet,
                       NDIS_STATUS Status);
// Up to DISPATCH_LEVEL. NDIS offers the refused packets again.
void NdisMSendResourcesAvailable(NDIS_HANDLE MiniportAdapterHandle);
// Up to DISPATCH_LEVEL, once MiniportInitialize has returned. Each status is followed by
// NdisMIndicateStatusComplete before the next status and before the halt ends.
void NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus,
                         PVOID StatusBuffer, UINT StatusBufferSize);
void NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle);
// Up to DISPATCH_LEVEL. Ends a reset that MiniportReset returned NDIS_STATUS_PENDING for; only
// then, and once.
void NdisMResetComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status,
                        BOOLEAN AddressingReset);

// ---- Information requests -------------------------------------------------------------------

// Object identifiers the miniport answers or refuses.
constexpr NDIS_OID OID_GEN_SUPPORTED_LIST = 0x00010101;
constexpr NDIS_OID OID_GEN_HARDWARE_STATUS = 0x00010102;
constexpr NDIS_OID OID_GEN_MEDIA_SUPPORTED = 0x00010103;
constexpr NDIS_OID OID_GEN_MEDIA_IN_USE = 0x00010104;
constexpr NDIS_OID OID_GEN_MAXIMUM_LOOKAHEAD = 0x00010105;
constexpr NDIS_OID OID_GEN_MAXIMUM_FRAME_SIZE = 0x00010106;
constexpr NDIS_OID OID_GEN_LINK_SPEED = 0x00010107;
constexpr NDIS_OID OID_GEN_TRANSMIT_BUFFER_SPACE = 0x00010108;
constexpr NDIS_OID OID_GEN_RECEIVE_BUFFER_SPACE = 0x00010109;
constexpr NDIS_OID OID_GEN_TRANSMIT_BLOCK_SIZE = 0x0001010A;
constexpr NDIS_OID OID_GEN_RECEIVE_BLOCK_SIZE = 0x0001010B;
constexpr NDIS_OID OID_GEN_VENDOR_ID = 0x0001010C;
constexpr NDIS_OID OID_GEN_VENDOR_DESCRIPTION = 0x0001010D;
constexpr NDIS_OID OID_GEN_CURRENT_PACKET_FILTER = 0x0001010E;
constexpr NDIS_OID OID_GEN_CURRENT_LOOKAHEAD = 0x0001010F;
constexpr NDIS_OID OID_GEN_DRIVER_VERSION = 0x00010110;
constexpr NDIS_OID OID_GEN_MAXIMUM_TOTAL_SIZE = 0x00010111;
constexpr NDIS_OID OID_GEN_PROTOCOL_OPTIONS = 0x00010112;
constexpr NDIS_OID OID_GEN_MAC_OPTIONS = 0x00010113;
constexpr NDIS_OID OID_GEN_MEDIA_CONNECT_STATUS = 0x00010114;
constexpr NDIS_OID OID_GEN_MAXIMUM_SEND_PACKETS = 0x00010115;
constexpr NDIS_OID OID_GEN_VENDOR_DRIVER_VERSION = 0x00010116;
constexpr NDIS_OID OID_GEN_SUPPORTED_GUIDS = 0x00010117;
constexpr NDIS_OID OID_GEN_XMIT_OK = 0x00020101;
constexpr NDIS_OID OID_GEN_RCV_OK = 0x00020102;
constexpr NDIS_OID OID_GEN_XMIT_ERROR = 0x00020103;
constexpr NDIS_OID OID_GEN_RCV_ERROR = 0x00020104;
constexpr NDIS_OID OID_GEN_RCV_NO_BUFFER = 0x00020105;
constexpr NDIS_OID OID_GEN_RCV_CRC_ERROR = 0x0002020D;
constexpr NDIS_OID OID_802_3_PERMANENT_ADDRESS = 0x01010101;
constexpr NDIS_OID OID_802_3_CURRENT_ADDRESS = 0x01010102;
constexpr NDIS_OID OID_802_3_MULTICAST_LIST = 0x01010103;
constexpr NDIS_OID OID_802_3_MAXIMUM_LIST_SIZE = 0x01010104;
constexpr NDIS_OID OID_802_3_RCV_ERROR_ALIGNMENT = 0x01020101;
constexpr NDIS_OID OID_802_3_XMIT_ONE_COLLISION = 0x01020102;
constexpr NDIS_OID OID_802_3_XMIT_MORE_COLLISIONS = 0x01020103;
constexpr NDIS_OID OID_802_3_XMIT_DEFERRED = 0x01020201;
constexpr NDIS_OID OID_802_3_XMIT_MAX_COLLISIONS = 0x01020202;
constexpr NDIS_OID OID_802_3_RCV_OVERRUN = 0x01020203;
constexpr NDIS_OID OID_802_3_XMIT_UNDERRUN = 0x01020204;
constexpr NDIS_OID OID_TCP_TASK_OFFLOAD = 0xFC010201;
constexpr NDIS_OID OID_TCP_TASK_IPSEC_ADD_SA = 0xFC010202;
constexpr NDIS_OID OID_TCP_TASK_IPSEC_DELETE_SA = 0xFC010203;
constexpr NDIS_OID OID_PNP_CAPABILITIES = 0xFD010100;
constexpr NDIS_OID OID_PNP_SET_POWER = 0xFD010101;
constexpr NDIS_OID OID_PNP_QUERY_POWER = 0xFD010102;
constexpr NDIS_OID OID_PNP_ADD_WAKE_UP_PATTERN = 0xFD010103;
constexpr NDIS_OID OID_PNP_REMOVE_WAKE_UP_PATTERN = 0xFD010104;
constexpr NDIS_OID OID_PNP_WAKE_UP_PATTERN_LIST = 0xFD010105;
constexpr NDIS_OID OID_PNP_ENABLE_WAKE_UP = 0xFD010106;

// OID_GEN_HARDWARE_STATUS and OID_GEN_MEDIA_CONNECT_STATUS answers.
constexpr ULONG NdisHardwareStatusReady = 0;
constexpr ULONG NdisMediaStateConnected = 0;
constexpr ULONG NdisMediaStateDisconnected = 1;

// OID_GEN_MAC_OPTIONS bits.
constexpr ULONG NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA = 0x00000001;
constexpr ULONG NDIS_MAC_OPTION_RECEIVE_SERIALIZED = 0x00000002;
constexpr ULONG NDIS_MAC_OPTION_TRANSFERS_NOT_PEND = 0x00000004;
constexpr ULONG NDIS_MAC_OPTION_NO_LOOPBACK = 0x00000008;
constexpr ULONG NDIS_MAC_OPTION_FULL_DUPLEX = 0x00000010;

// OID_GEN_CURRENT_PACKET_FILTER bits.
constexpr ULONG NDIS_PACKET_TYPE_DIRECTED = 0x00000001;
constexpr ULONG NDIS_PACKET_TYPE_MULTICAST = 0x00000002;
constexpr ULONG NDIS_PACKET_TYPE_ALL_MULTICAST = 0x00000004;
constexpr ULONG NDIS_PACKET_TYPE_BROADCAST = 0x00000008;
constexpr ULONG NDIS_PACKET_TYPE_SOURCE_ROUTING = 0x00000010;
constexpr ULONG NDIS_PACKET_TYPE_PROMISCUOUS = 0x00000020;
constexpr ULONG NDIS_PACKET_TYPE_SMT = 0x00000040;
constexpr ULONG NDIS_PACKET_TYPE_ALL_LOCAL = 0x00000080;
constexpr ULONG NDIS_PACKET_TYPE_GROUP = 0x00001000;
constexpr ULONG NDIS_PACKET_TYPE_ALL_FUNCTIONAL = 0x00002000;
constexpr ULONG NDIS_PACKET_TYPE_FUNCTIONAL = 0x00004000;
constexpr ULONG NDIS_PACKET_TYPE_MAC_FRAME = 0x00008000;

// OID_PNP_ADD_WAKE_UP_PATTERN and OID_PNP_REMOVE_WAKE_UP_PATTERN: this header, then MaskSize
// mask bytes; the pattern bytes lie PatternOffset bytes from the header's start.
struct NDIS_PM_PACKET_PATTERN {
    ULONG Priority;
    ULONG Reserved;
    ULONG MaskSize;
    ULONG PatternOffset;
    ULONG PatternSize;
    ULONG PatternFlags;
};
static_assert(sizeof(NDIS_PM_PACKET_PATTERN) == 24);

// Up to DISPATCH_LEVEL. Ends a query or set that the handler returned NDIS_STATUS_PENDING
// for, once; the handler's BytesWritten/BytesRead and BytesNeeded are written before the call.
void NdisMQueryInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status);
void NdisMSetInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status);

// ---- Work items -----------------------------------------------------------------------------

struct NDIS_WORK_ITEM;
using NDIS_PROC = void (*)(NDIS_WORK_ITEM* WorkItem, PVOID Context);
// Lives in the caller's memory from NdisScheduleWorkItem until its routine has returned.
struct NDIS_WORK_ITEM {
    PVOID Context;
    NDIS_PROC Routine;
    UCHAR WrapperReserved[8 * sizeof(PVOID)];
};

// Any IRQL. Prepares the item to run Routine with Context.
void NdisInitializeWorkItem(NDIS_WORK_ITEM* WorkItem, NDIS_PROC Routine, PVOID Context);
// Up to DISPATCH_LEVEL. NDIS_STATUS_SUCCESS: the routine runs once, soon, at PASSIVE_LEVEL on
// a system worker, where it may wait; the item may be scheduled again once it has started.
NDIS_STATUS NdisScheduleWorkItem(NDIS_WORK_ITEM* WorkItem);

// ---- Release calls for adapter resources ----------------------------------------------------

// The interrupt object a miniport registers; held inside the driver's own record.
struct NDIS_MINIPORT_INTERRUPT {
    PVOID InterruptObject;
    KSPIN_LOCK DpcCountLock;
    PVOID Reserved[6];
};

// PASSIVE_LEVEL.
void NdisMFreeSharedMemory(NDIS_HANDLE MiniportAdapterHandle, ULONG Length, BOOLEAN Cached,
                           PVOID VirtualAddress, PHYSICAL_ADDRESS PhysicalAddress);
void NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort,
                                UINT NumberOfPorts, PVOID PortOffset);
void NdisMDeregisterInterrupt(NDIS_MINIPORT_INTERRUPT* Interrupt);
void NdisMFreeMapRegisters(NDIS_HANDLE MiniportAdapterHandle);
