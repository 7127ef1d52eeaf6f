// The set handler, and its work that needs PASSIVE_LEVEL: the receive-control registers, and
// the wake-up registers, written from an NDIS work item that completes the pended request.
#pragma once

#include "platform/ndis.h"
#include "platform/types.h"

struct Adapter;

// RxControl bits built from the packet filter; only 0x10 and 0x04 reach the controller.
constexpr ULONG RxControlMulticast = 0x01;
constexpr ULONG RxControlBroadcast = 0x02;
constexpr ULONG RxControlPromiscuous = 0x04;
constexpr ULONG RxControlAllMulticast = 0x10;

// Any IRQL. The receive-control word for an accepted packet filter.
ULONG RxControlFor(ULONG PacketFilter);

// Up to DISPATCH_LEVEL. Sets the MacControl0 and register 0x02 shadows from RxControl.
void ApplyRxControl(Adapter* Adapter, ULONG RxControl);

// PASSIVE_LEVEL. ApplyRxControl, then registers 0x00-0x02 written from the shadows in one
// write, then 1 ms. ResultSuccess, or ResultFailure when the write could not be sent or timed
// out.
ULONG SetRxControl(Adapter* Adapter, ULONG RxControl);

// Any IRQL, once, before the first set request. Prepares the work item that pended sets use.
void InitializeRequestWork(Adapter* Adapter);

// PASSIVE_LEVEL, during halt and shutdown. Returns once no pended set is left to finish.
void AwaitRequestWork(Adapter* Adapter);

// DISPATCH_LEVEL. Handles a set OID; an NDIS status.
NDIS_STATUS NTAPI MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                         PVOID InformationBuffer, ULONG InformationBufferLength,
                                         ULONG* BytesRead, ULONG* BytesNeeded);
