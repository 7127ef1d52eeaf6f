// The NDIS miniport handlers the driver registers, with the platform's signatures. The
// adapter context NDIS passes to each is the Adapter. The lifecycle's are declared here; the
// others with the folder that defines them, included here so the table sees them all.
#pragma once

#include "datapath/receive.h"
#include "datapath/transmit.h"
#include "management/query.h"
#include "management/set_information.h"
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
