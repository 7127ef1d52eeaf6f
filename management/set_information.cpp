// The set handler. The packet filter and the wake-up patterns need register writes, which only
// PASSIVE_LEVEL allows while NDIS calls at DISPATCH_LEVEL: the handler checks the request and
// makes every choice and shadow change at once, then pends the request to a work item that
// writes the registers and completes it.
#include "management/set_information.h"

#include <cstring>

#include "controller/wake_patterns.h"
#include "core/adapter.h"
#include "core/shared_fields.h"
#include "usb/register_access.h"
#include "usb/registers.h"

namespace {

// SOURCE_ROUTING, SMT, ALL_LOCAL, GROUP, ALL_FUNCTIONAL, FUNCTIONAL and MAC_FRAME.
constexpr ULONG RefusedFilterBits = 0xF0D0;
constexpr UCHAR MacControl0AllMulticast = 0x02;
constexpr UCHAR MacControl2Promiscuous = 0x04;
constexpr ULONG RxControlSettleUs = 1000;
// A pass changes MacControl1 at most once per hang check: a second write is all it takes.
constexpr ULONG RxControlWriteAttempts = 3;
constexpr ULONG AwaitStepUs = 10'000;
constexpr ULONG AddressLength = 6;

// PASSIVE_LEVEL. Registers 0x00-0x02 from the shadows, then the settling time. The link
// monitor writes 0x01-0x02 too, from a pass on another processor, and either write may land
// last with what it copied before the other changed a shadow: whichever finds, once its write
// is done, that the Adapter now holds other values writes again, so the last write to land
// carries what the Adapter holds.
ULONG WriteRxControl(Adapter* adapter) {
    ULONG result = ResultFailure;
    for (ULONG attempt = 0; attempt < RxControlWriteAttempts; ++attempt) {
        adapter->RegWriteBuffer[0] = adapter->MacControl0;
        adapter->RegWriteBuffer[1] = ReadShared(&adapter->MacControl1);
        adapter->RegWriteBuffer[2] = adapter->MacControl2Shadow;
        result = WriteRegisters(adapter, 3, MacControl0);
        if (result != ResultSuccess) break;
        if (adapter->RegWriteBuffer[0] == adapter->MacControl0 &&
            adapter->RegWriteBuffer[1] == ReadShared(&adapter->MacControl1) &&
            adapter->RegWriteBuffer[2] == adapter->MacControl2Shadow) {
            break;
        }
    }
    NdisMSleep(RxControlSettleUs);
    return result;
}

// PASSIVE_LEVEL, on a system worker: the pended set's writes, its counts and its completion.
void NTAPI FinishPendedSet(NDIS_WORK_ITEM* /*WorkItem*/, PVOID Context) {
    Adapter* adapter = static_cast<Adapter*>(Context);
    ULONG result = ResultFailure;
    ULONG bytesRead = adapter->PendingLength;
    if (adapter->PendingOid == OID_GEN_CURRENT_PACKET_FILTER) {
        result = WriteRxControl(adapter);
        bytesRead = sizeof(ULONG);
    } else {
        result = WriteWakeRegisters(adapter);
        *adapter->PendingBytesNeeded = 0;
    }
    *adapter->PendingBytesRead = bytesRead;
    NdisMSetInformationComplete(adapter->MiniportAdapterHandle,
                                result == ResultSuccess ? NDIS_STATUS_SUCCESS
                                                        : NDIS_STATUS_FAILURE);
    // Last: once the count drops, a halt may release the Adapter.
    InterlockedDecrement(&adapter->RequestsInFlight);
}

NDIS_STATUS PendSet(Adapter* adapter, NDIS_OID oid, ULONG length, ULONG* bytesRead,
                    ULONG* bytesNeeded) {
    adapter->PendingOid = oid;
    adapter->PendingLength = length;
    adapter->PendingBytesRead = bytesRead;
    adapter->PendingBytesNeeded = bytesNeeded;
    InterlockedIncrement(&adapter->RequestsInFlight);
    if (NdisScheduleWorkItem(&adapter->RequestWorkItem) != NDIS_STATUS_SUCCESS) {
        InterlockedDecrement(&adapter->RequestsInFlight);
        return NDIS_STATUS_FAILURE;
    }
    return NDIS_STATUS_PENDING;
}

NDIS_STATUS SetPacketFilter(Adapter* adapter, const void* buffer, ULONG length,
                            ULONG* bytesRead, ULONG* bytesNeeded) {
    if (length != sizeof(ULONG)) {
        *bytesNeeded = sizeof(ULONG);
        return NDIS_STATUS_INVALID_LENGTH;
    }
    ULONG filter = 0;
    std::memcpy(&filter, buffer, sizeof filter);
    const ULONG previousFilter = adapter->PacketFilter;
    // Stored before it is judged: a refused filter is still what a query reports.
    adapter->PacketFilter = filter;
    if ((filter & RefusedFilterBits) != 0) return NDIS_STATUS_NOT_SUPPORTED;
    const UCHAR previousControl0 = adapter->MacControl0;
    const UCHAR previousControl2 = adapter->MacControl2Shadow;
    ApplyRxControl(adapter, RxControlFor(filter));
    const NDIS_STATUS status =
        PendSet(adapter, OID_GEN_CURRENT_PACKET_FILTER, length, bytesRead, bytesNeeded);
    if (status != NDIS_STATUS_PENDING) {
        // Never written: the next writer of these registers must not send it either.
        adapter->PacketFilter = previousFilter;
        adapter->MacControl0 = previousControl0;
        WriteShared(&adapter->MacControl2Shadow, previousControl2);
    }
    return status;
}

// Whether every byte a pattern request names lies within the `copied` bytes of it: the mask
// (at most one slot's 16 bytes) and, for an addition, each pattern byte the mask selects.
bool PatternRequestFits(const UCHAR* request, ULONG copied, bool addition) {
    NDIS_PM_PACKET_PATTERN header;
    std::memcpy(&header, request, sizeof header);
    if (header.MaskSize > WakeMaskSize) return false;
    if (WakePatternHeaderSize + header.MaskSize > copied) return false;
    if (!addition) return true;
    if (header.PatternOffset > copied) return false;
    const UCHAR* mask = request + WakePatternHeaderSize;
    for (ULONG frameByte = 0; frameByte < header.MaskSize * 8; ++frameByte) {
        const bool selected = (mask[frameByte / 8] >> (frameByte % 8) & 1) != 0;
        if (selected && header.PatternOffset + frameByte >= copied) return false;
    }
    return true;
}

NDIS_STATUS SetWakePattern(Adapter* adapter, NDIS_OID oid, const void* buffer, ULONG length,
                           ULONG* bytesRead, ULONG* bytesNeeded) {
    if (length < WakePatternHeaderSize) {
        *bytesNeeded = WakePatternHeaderSize;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    // A longer request is copied as far as the buffer holds; what it names must lie in that.
    const ULONG copied = length < WakePatternBufferSize ? length : WakePatternBufferSize;
    const bool addition = oid == OID_PNP_ADD_WAKE_UP_PATTERN;
    if (!PatternRequestFits(static_cast<const UCHAR*>(buffer), copied, addition)) {
        return NDIS_STATUS_INVALID_DATA;
    }
    std::memcpy(adapter->WakePatternBuffer, buffer, copied);
    const UCHAR previousControl = adapter->WakeControl;
    UCHAR previousMasks[WakeSlotCount][WakeMaskSize];
    std::memcpy(previousMasks, adapter->WakeMasks, sizeof previousMasks);
    if (addition) {
        AddWakePattern(adapter);
    } else {
        RemoveWakePattern(adapter);
    }
    const NDIS_STATUS status = PendSet(adapter, oid, length, bytesRead, bytesNeeded);
    if (status != NDIS_STATUS_PENDING) {
        // Nothing was written: a slot switched on here was never programmed, and the next
        // WakeControl write must not enable it.
        adapter->WakeControl = previousControl;
        std::memcpy(adapter->WakeMasks, previousMasks, sizeof previousMasks);
        adapter->WakeSlotStaged = 0;
    }
    return status;
}

}  // namespace

// Any IRQL.
ULONG RxControlFor(ULONG PacketFilter) {
    ULONG rxControl = 0;
    if ((PacketFilter & NDIS_PACKET_TYPE_MULTICAST) != 0) rxControl |= RxControlMulticast;
    if ((PacketFilter & NDIS_PACKET_TYPE_ALL_MULTICAST) != 0) rxControl |= RxControlAllMulticast;
    if ((PacketFilter & NDIS_PACKET_TYPE_BROADCAST) != 0) rxControl |= RxControlBroadcast;
    if ((PacketFilter & NDIS_PACKET_TYPE_PROMISCUOUS) != 0) {
        rxControl |= RxControlAllMulticast | RxControlPromiscuous | RxControlBroadcast;
    }
    return rxControl;
}

// Up to DISPATCH_LEVEL.
void ApplyRxControl(Adapter* Adapter, ULONG RxControl) {
    if ((RxControl & RxControlAllMulticast) != 0) {
        Adapter->MacControl0 |= MacControl0AllMulticast;
    } else {
        Adapter->MacControl0 &= static_cast<UCHAR>(~MacControl0AllMulticast);
    }
    const UCHAR control2 = (RxControl & RxControlPromiscuous) != 0 ? MacControl2Promiscuous : 0;
    WriteShared(&Adapter->MacControl2Shadow, control2);
}

// PASSIVE_LEVEL.
ULONG SetRxControl(Adapter* Adapter, ULONG RxControl) {
    ApplyRxControl(Adapter, RxControl);
    return WriteRxControl(Adapter);
}

// Any IRQL.
void InitializeRequestWork(Adapter* Adapter) {
    NdisInitializeWorkItem(&Adapter->RequestWorkItem, FinishPendedSet, Adapter);
}

// PASSIVE_LEVEL.
void AwaitRequestWork(Adapter* Adapter) {
    while (InterlockedCompareExchange(&Adapter->RequestsInFlight, 0, 0) != 0) {
        NdisMSleep(AwaitStepUs);
    }
}

// DISPATCH_LEVEL. The status by OID; NDIS_STATUS_PENDING for a packet filter or wake-up pattern
// that must be written, completed by the work item with NDIS_STATUS_SUCCESS, or
// NDIS_STATUS_FAILURE when a register write could not be sent or timed out.
NDIS_STATUS NTAPI MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                         PVOID InformationBuffer, ULONG InformationBufferLength,
                                         ULONG* BytesRead, ULONG* BytesNeeded) {
    Adapter* adapter = static_cast<Adapter*>(MiniportAdapterContext);
    const ULONG length = InformationBufferLength;
    switch (Oid) {
    case OID_GEN_CURRENT_PACKET_FILTER:
        return SetPacketFilter(adapter, InformationBuffer, length, BytesRead, BytesNeeded);
    case OID_GEN_CURRENT_LOOKAHEAD:
        // Nothing is stored; a value of fewer than four bytes is not one.
        if (length < sizeof(ULONG)) {
            *BytesNeeded = sizeof(ULONG);
            return NDIS_STATUS_INVALID_LENGTH;
        }
        *BytesRead = sizeof(ULONG);
        return NDIS_STATUS_SUCCESS;
    case OID_802_3_MULTICAST_LIST:
        // Accepted, never programmed: the hash registers pass every group from bring-up on.
        if (length % AddressLength != 0) {
            *BytesNeeded = AddressLength;
            return NDIS_STATUS_INVALID_LENGTH;
        }
        *BytesRead = length;
        return NDIS_STATUS_SUCCESS;
    case OID_PNP_SET_POWER:
        return NDIS_STATUS_NOT_SUPPORTED;
    case OID_PNP_ADD_WAKE_UP_PATTERN:
    case OID_PNP_REMOVE_WAKE_UP_PATTERN:
        return SetWakePattern(adapter, Oid, InformationBuffer, length, BytesRead, BytesNeeded);
    case OID_PNP_ENABLE_WAKE_UP:
        *BytesRead = length;
        *BytesNeeded = 0;
        return NDIS_STATUS_SUCCESS;
    default:
        return NDIS_STATUS_INVALID_OID;
    }
}
