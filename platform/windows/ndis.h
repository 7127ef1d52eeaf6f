// The real NDIS 5.0 miniport interface, from the DDK headers (see ddk.h), and the few
// declarations the driver writes the same way on both platforms.
#pragma once

#include <cstddef>

#include "platform/windows/types.h"

// The NDIS 5.0 handler table as a flat record. In C++ the DDK nests the 3.0 and 4.0 sets as
// members (Ndis40Chars.Ndis30Chars.HaltHandler); NDIS reads the same bytes either way, and the
// checks below prove the two layouts equal field by field.
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

// PASSIVE_LEVEL. Registers the flat handler table; the kernel's call takes the nested form.
inline NDIS_STATUS NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                         NDIS50_MINIPORT_CHARACTERISTICS* MiniportCharacteristics,
                                         UINT CharacteristicsLength) {
    return NdisMRegisterMiniport(
        NdisWrapperHandle,
        reinterpret_cast<NDIS_MINIPORT_CHARACTERISTICS*>(MiniportCharacteristics),
        CharacteristicsLength);
}

// Up to DISPATCH_LEVEL. The driver sets its miniport timers with NdisSetTimer; for a miniport
// timer that is the kernel's NdisMSetTimer, which knows the timer's own record.
inline void NdisSetTimer(NDIS_MINIPORT_TIMER* Timer, UINT MillisecondsToDelay) {
    NdisMSetTimer(Timer, MillisecondsToDelay);
}

// Any IRQL. Prepares the item to run Routine with Context. The kernel is built with stdcall as
// its default convention, so NDIS calls a work item's routine as stdcall, although the DDK's
// NDIS_PROC names no convention (which the cross compiler would take as cdecl).
#undef NdisInitializeWorkItem
inline void NdisInitializeWorkItem(NDIS_WORK_ITEM* WorkItem,
                                   void(NTAPI* Routine)(NDIS_WORK_ITEM*, PVOID), PVOID Context) {
    WorkItem->Context = Context;
    WorkItem->Routine = reinterpret_cast<NDIS_PROC>(Routine);
}

// Initializer of an NDIS_STRING naming a constant keyword (the DDK has none in C++ form):
//     NDIS_STRING keyword = NDIS_STRING_CONST("TxPacketDesc");
// NDIS never writes through Buffer.
#define NDIS_STRING_CONST(x) \
    { static_cast<USHORT>(sizeof(L##x) - sizeof(WCHAR)), static_cast<USHORT>(sizeof(L##x)), \
      const_cast<PWSTR>(L##x) }
