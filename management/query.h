// The query handler, answered from constants and Adapter fields.
#pragma once

#include "platform/ndis.h"

// DISPATCH_LEVEL. Answers a query OID; an NDIS status.
NDIS_STATUS NTAPI MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                           PVOID InformationBuffer, ULONG InformationBufferLength,
                                           ULONG* BytesWritten, ULONG* BytesNeeded);
