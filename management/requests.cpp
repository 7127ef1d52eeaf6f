// The query and set handlers. No OID is answered yet: every request is refused.
#include "driver/handlers.h"

// DISPATCH_LEVEL. NDIS_STATUS_NOT_SUPPORTED; nothing is written.
NDIS_STATUS MiniportQueryInformation(NDIS_HANDLE /*MiniportAdapterContext*/, NDIS_OID /*Oid*/,
                                     PVOID /*InformationBuffer*/,
                                     ULONG /*InformationBufferLength*/, ULONG* BytesWritten,
                                     ULONG* BytesNeeded) {
    *BytesWritten = 0;
    *BytesNeeded = 0;
    return NDIS_STATUS_NOT_SUPPORTED;
}

// DISPATCH_LEVEL. NDIS_STATUS_NOT_SUPPORTED; nothing is read.
NDIS_STATUS MiniportSetInformation(NDIS_HANDLE /*MiniportAdapterContext*/, NDIS_OID /*Oid*/,
                                   PVOID /*InformationBuffer*/,
                                   ULONG /*InformationBufferLength*/, ULONG* BytesRead,
                                   ULONG* BytesNeeded) {
    *BytesRead = 0;
    *BytesNeeded = 0;
    return NDIS_STATUS_NOT_SUPPORTED;
}
