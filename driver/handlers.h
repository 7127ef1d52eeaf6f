// The NDIS miniport handlers the driver registers, with the platform's signatures. The
// adapter context NDIS passes to each is the Adapter.
#pragma once

#include "platform/ndis.h"

// PASSIVE_LEVEL. Creates, brings up and starts the adapter; an NDIS status.
NDIS_STATUS NTAPI MiniportInitialize(NDIS_STATUS* OpenErrorStatus, UINT* SelectedMediumIndex,
                                     NDIS_MEDIUM* MediumArray, UINT MediumArraySize,
                                     NDIS_HANDLE MiniportAdapterHandle,
                                     NDIS_HANDLE WrapperConfigurationContext);
// PASSIVE_LEVEL. Stops the device and releases every resource, the Adapter last.
void NTAPI MiniportHalt(NDIS_HANDLE MiniportAdapterContext);
// PASSIVE_LEVEL. Stops the device; frees nothing. Registered per adapter, not in the table.
void NTAPI MiniportShutdown(PVOID ShutdownContext);
// DISPATCH_LEVEL. Resets the adapter's software state; an NDIS status.
NDIS_STATUS NTAPI MiniportReset(BOOLEAN* AddressingReset, NDIS_HANDLE MiniportAdapterContext);
// DISPATCH_LEVEL. Starts a link poll; FALSE (never asks NDIS for a reset).
BOOLEAN NTAPI MiniportCheckForHang(NDIS_HANDLE MiniportAdapterContext);
// DISPATCH_LEVEL. Nothing to do: indicated packets are the driver's again at once.
void NTAPI MiniportReturnPacket(NDIS_HANDLE MiniportAdapterContext, NDIS_PACKET* Packet);
// DISPATCH_LEVEL. Answers a query OID; an NDIS status.
NDIS_STATUS NTAPI MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                           PVOID InformationBuffer, ULONG InformationBufferLength,
                                           ULONG* BytesWritten, ULONG* BytesNeeded);
// DISPATCH_LEVEL. Handles a set OID; an NDIS status.
NDIS_STATUS NTAPI MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                         PVOID InformationBuffer, ULONG InformationBufferLength,
                                         ULONG* BytesRead, ULONG* BytesNeeded);
// Up to DISPATCH_LEVEL. Sends one frame; an NDIS status (defined with the transmit path).
NDIS_STATUS NTAPI MiniportSend(NDIS_HANDLE MiniportAdapterContext, NDIS_PACKET* Packet, UINT Flags);
// DISPATCH_LEVEL. Copies received data for a lookahead indication; an NDIS status (defined
// with the receive path).
NDIS_STATUS NTAPI MiniportTransferData(NDIS_PACKET* Packet, UINT* BytesTransferred,
                                       NDIS_HANDLE MiniportAdapterContext,
                                       NDIS_HANDLE MiniportReceiveContext, UINT ByteOffset,
                                       UINT BytesToTransfer);
