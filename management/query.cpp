// The query handler: every answer comes from a constant or from an Adapter field that other
// parts keep up to date, and is complete when the handler returns.
#include "management/query.h"

#include <cstring>

#include "core/adapter.h"
#include "core/shared_fields.h"

namespace {

constexpr NDIS_OID SupportedOids[] = {
    OID_GEN_SUPPORTED_LIST,         OID_GEN_HARDWARE_STATUS,
    OID_GEN_MEDIA_SUPPORTED,        OID_GEN_MEDIA_IN_USE,
    OID_GEN_MAXIMUM_LOOKAHEAD,      OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_MAXIMUM_TOTAL_SIZE,     OID_GEN_MAC_OPTIONS,
    OID_GEN_PROTOCOL_OPTIONS,       OID_GEN_LINK_SPEED,
    OID_GEN_TRANSMIT_BUFFER_SPACE,  OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,    OID_GEN_RECEIVE_BLOCK_SIZE,
    OID_GEN_VENDOR_ID,              OID_GEN_VENDOR_DESCRIPTION,
    OID_GEN_DRIVER_VERSION,         OID_GEN_CURRENT_PACKET_FILTER,
    OID_GEN_CURRENT_LOOKAHEAD,      OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,                 OID_GEN_XMIT_ERROR,
    OID_GEN_RCV_ERROR,              OID_GEN_RCV_NO_BUFFER,
    OID_GEN_RCV_CRC_ERROR,          OID_GEN_MEDIA_CONNECT_STATUS,
    OID_GEN_VENDOR_DRIVER_VERSION,  OID_GEN_MAXIMUM_SEND_PACKETS,
    OID_802_3_PERMANENT_ADDRESS,    OID_802_3_CURRENT_ADDRESS,
    OID_802_3_MULTICAST_LIST,       OID_802_3_MAXIMUM_LIST_SIZE,
    OID_802_3_RCV_ERROR_ALIGNMENT,  OID_802_3_XMIT_ONE_COLLISION,
    OID_802_3_XMIT_MORE_COLLISIONS, OID_802_3_XMIT_DEFERRED,
    OID_802_3_XMIT_MAX_COLLISIONS,  OID_802_3_RCV_OVERRUN,
    OID_802_3_XMIT_UNDERRUN,        OID_PNP_SET_POWER,
    OID_PNP_QUERY_POWER,            OID_PNP_ADD_WAKE_UP_PATTERN,
    OID_PNP_REMOVE_WAKE_UP_PATTERN, OID_PNP_ENABLE_WAKE_UP,
};
static_assert(sizeof(SupportedOids) == 176);

constexpr char VendorDescription[] = "QuorvelinNDIS 5.0 Miniport Driver";

constexpr ULONG MaximumLookahead = 1500;
constexpr ULONG MaximumFrameSize = 1500;
constexpr ULONG MaximumTotalSize = 1514;
constexpr ULONG BlockSize = 1514;
constexpr ULONG MacOptions = NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA |
                             NDIS_MAC_OPTION_RECEIVE_SERIALIZED |
                             NDIS_MAC_OPTION_TRANSFERS_NOT_PEND | NDIS_MAC_OPTION_NO_LOOPBACK |
                             NDIS_MAC_OPTION_FULL_DUPLEX;
constexpr ULONG Speed100Mbps = 1'000'000;  // in units of 100 b/s
constexpr ULONG Speed10Mbps = 100'000;
constexpr USHORT DriverVersion = 0x0500;        // NDIS 5.0
constexpr USHORT VendorDriverVersion = 0x010D;
constexpr ULONG MulticastListSize = 32;
constexpr ULONG PowerStateSupported = 1;

// Where an answer comes from: Source bytes of Length, or an integer copied into Value.
struct Answer {
    const void* Source;
    ULONG Length;
    ULONG Value;
    USHORT Short;
};

void Integer(Answer* answer, ULONG value) {
    answer->Value = value;
    answer->Source = &answer->Value;
    answer->Length = sizeof(ULONG);
}

// The answer's source and length; false, with the status in *refused, for a refused OID.
bool ChooseAnswer(Adapter* adapter, NDIS_OID oid, Answer* answer, NDIS_STATUS* refused) {
    switch (oid) {
    case OID_GEN_SUPPORTED_LIST:
        answer->Source = SupportedOids;
        answer->Length = sizeof(SupportedOids);
        return true;
    case OID_GEN_HARDWARE_STATUS: Integer(answer, NdisHardwareStatusReady); return true;
    case OID_GEN_MEDIA_SUPPORTED:
    case OID_GEN_MEDIA_IN_USE: Integer(answer, NdisMedium802_3); return true;
    case OID_GEN_MAXIMUM_LOOKAHEAD:
    case OID_GEN_CURRENT_LOOKAHEAD: Integer(answer, MaximumLookahead); return true;
    case OID_GEN_MAXIMUM_FRAME_SIZE: Integer(answer, MaximumFrameSize); return true;
    case OID_GEN_MAXIMUM_TOTAL_SIZE: Integer(answer, MaximumTotalSize); return true;
    case OID_GEN_MAC_OPTIONS: Integer(answer, MacOptions); return true;
    case OID_GEN_PROTOCOL_OPTIONS: Integer(answer, 0); return true;
    case OID_GEN_LINK_SPEED:
        Integer(answer, ReadShared(&adapter->LinkSpeed) == 2 ? Speed100Mbps : Speed10Mbps);
        return true;
    case OID_GEN_TRANSMIT_BUFFER_SPACE:
        Integer(answer, adapter->TxDescCount * BlockSize);
        return true;
    case OID_GEN_RECEIVE_BUFFER_SPACE:
        Integer(answer, adapter->RxDescCount * BlockSize);
        return true;
    case OID_GEN_TRANSMIT_BLOCK_SIZE:
    case OID_GEN_RECEIVE_BLOCK_SIZE: Integer(answer, BlockSize); return true;
    case OID_GEN_VENDOR_ID:
        // The OUI and the next byte, in address order.
        answer->Source = adapter->PermanentAddress;
        answer->Length = 4;
        return true;
    case OID_GEN_VENDOR_DESCRIPTION:
        answer->Source = VendorDescription;
        answer->Length = sizeof(VendorDescription);
        return true;
    case OID_GEN_DRIVER_VERSION:
        answer->Short = DriverVersion;
        answer->Source = &answer->Short;
        answer->Length = sizeof(USHORT);
        return true;
    case OID_GEN_VENDOR_DRIVER_VERSION:
        answer->Short = VendorDriverVersion;
        answer->Source = &answer->Short;
        answer->Length = sizeof(USHORT);
        return true;
    case OID_GEN_CURRENT_PACKET_FILTER: Integer(answer, adapter->PacketFilter); return true;
    case OID_GEN_XMIT_OK: Integer(answer, ReadShared(&adapter->XmitOk)); return true;
    case OID_GEN_RCV_OK: Integer(answer, ReadShared(&adapter->RcvOk)); return true;
    case OID_GEN_XMIT_ERROR: Integer(answer, ReadShared(&adapter->XmitError)); return true;
    case OID_GEN_RCV_ERROR:
    case OID_GEN_RCV_CRC_ERROR: Integer(answer, ReadShared(&adapter->RcvError)); return true;
    case OID_GEN_RCV_NO_BUFFER:
    case OID_802_3_XMIT_MORE_COLLISIONS:
    case OID_802_3_XMIT_MAX_COLLISIONS:
    case OID_802_3_RCV_OVERRUN: Integer(answer, 0); return true;
    case OID_GEN_MEDIA_CONNECT_STATUS:
        Integer(answer, ReadShared(&adapter->MediaState) == MediaDisconnected
                            ? NdisMediaStateDisconnected
                            : NdisMediaStateConnected);
        return true;
    case OID_GEN_MAXIMUM_SEND_PACKETS: Integer(answer, adapter->TxDescCount); return true;
    case OID_802_3_PERMANENT_ADDRESS:
        answer->Source = adapter->PermanentAddress;
        answer->Length = 6;
        return true;
    case OID_802_3_CURRENT_ADDRESS:
        answer->Source = adapter->CurrentAddress;
        answer->Length = 6;
        return true;
    case OID_802_3_MAXIMUM_LIST_SIZE: Integer(answer, MulticastListSize); return true;
    case OID_802_3_RCV_ERROR_ALIGNMENT:
        Integer(answer, ReadShared(&adapter->RcvAlignmentError));
        return true;
    case OID_802_3_XMIT_ONE_COLLISION:
        Integer(answer, ReadShared(&adapter->XmitOneCollision));
        return true;
    case OID_802_3_XMIT_DEFERRED: Integer(answer, ReadShared(&adapter->XmitDeferred)); return true;
    case OID_802_3_XMIT_UNDERRUN: Integer(answer, ReadShared(&adapter->XmitUnderrun)); return true;
    case OID_PNP_QUERY_POWER: Integer(answer, PowerStateSupported); return true;
    case OID_GEN_SUPPORTED_GUIDS:
    case OID_TCP_TASK_OFFLOAD:
    case OID_TCP_TASK_IPSEC_ADD_SA:
    case OID_TCP_TASK_IPSEC_DELETE_SA:
    case OID_PNP_CAPABILITIES:
        *refused = NDIS_STATUS_NOT_SUPPORTED;
        return false;
    default:  // set-only members of the list among them
        *refused = NDIS_STATUS_INVALID_OID;
        return false;
    }
}

}  // namespace

// DISPATCH_LEVEL. NDIS_STATUS_SUCCESS with the answer copied and *BytesWritten its length;
// NDIS_STATUS_INVALID_LENGTH with the shortfall in *BytesNeeded; NDIS_STATUS_NOT_SUPPORTED or
// NDIS_STATUS_INVALID_OID for a refused OID, with neither count written.
NDIS_STATUS NTAPI MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                           PVOID InformationBuffer, ULONG InformationBufferLength,
                                           ULONG* BytesWritten, ULONG* BytesNeeded) {
    Adapter* adapter = static_cast<Adapter*>(MiniportAdapterContext);
    Answer answer = {};
    NDIS_STATUS refused = NDIS_STATUS_INVALID_OID;
    if (!ChooseAnswer(adapter, Oid, &answer, &refused)) return refused;
    if (InformationBufferLength < answer.Length) {
        *BytesNeeded = answer.Length - InformationBufferLength;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    std::memcpy(InformationBuffer, answer.Source, answer.Length);
    *BytesWritten = answer.Length;
    return NDIS_STATUS_SUCCESS;
}
