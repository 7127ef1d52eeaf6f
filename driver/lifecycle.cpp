// The adapter lifecycle handlers NDIS calls. Initialization refuses the adapter, so halt,
// shutdown and reset never find one to act on.
#include "driver/handlers.h"

// PASSIVE_LEVEL. NDIS_STATUS_FAILURE: the adapter is refused, and nothing is allocated.
NDIS_STATUS MiniportInitialize(NDIS_STATUS* /*OpenErrorStatus*/, UINT* /*SelectedMediumIndex*/,
                               NDIS_MEDIUM* /*MediumArray*/, UINT /*MediumArraySize*/,
                               NDIS_HANDLE /*MiniportAdapterHandle*/,
                               NDIS_HANDLE /*WrapperConfigurationContext*/) {
    return NDIS_STATUS_FAILURE;
}

// PASSIVE_LEVEL. Returns nothing; an adapter that was refused holds nothing to release.
void MiniportHalt(NDIS_HANDLE /*MiniportAdapterContext*/) {}

// PASSIVE_LEVEL. Returns nothing; there is no device to stop.
void MiniportShutdown(PVOID /*ShutdownContext*/) {}

// DISPATCH_LEVEL. NDIS_STATUS_NOT_SUPPORTED: the adapter is not reset; addresses unchanged.
NDIS_STATUS MiniportReset(BOOLEAN* AddressingReset, NDIS_HANDLE /*MiniportAdapterContext*/) {
    *AddressingReset = FALSE;
    return NDIS_STATUS_NOT_SUPPORTED;
}

// DISPATCH_LEVEL. FALSE: never asks NDIS for a reset.
BOOLEAN MiniportCheckForHang(NDIS_HANDLE /*MiniportAdapterContext*/) { return FALSE; }

// DISPATCH_LEVEL. Returns nothing: packets are indicated with NDIS_STATUS_RESOURCES, so the
// driver owns each again as soon as the indication returns.
void MiniportReturnPacket(NDIS_HANDLE /*MiniportAdapterContext*/, NDIS_PACKET* /*Packet*/) {}
