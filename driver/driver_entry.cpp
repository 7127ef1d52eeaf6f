// DriverEntry: registers the miniport's handler table with NDIS, then hooks the driver
// object. Runs once, at load.
#include "driver/driver_entry.h"

#include "driver/handlers.h"
#include "platform/ndis.h"

namespace {

// PASSIVE_LEVEL. Fills Table with the NDIS 5.0 handler set; returns nothing. The device is
// reached only over USB, so every interrupt slot stays empty, and frames go one per call
// through SendHandler.
DISCARDABLE_CODE
void BuildHandlerTable(NDIS50_MINIPORT_CHARACTERISTICS* Table) {
    *Table = NDIS50_MINIPORT_CHARACTERISTICS{};
    Table->MajorNdisVersion = 5;
    Table->MinorNdisVersion = 0;
    Table->CheckForHangHandler = MiniportCheckForHang;
    Table->HaltHandler = MiniportHalt;
    Table->InitializeHandler = MiniportInitialize;
    Table->QueryInformationHandler = MiniportQueryInformation;
    Table->ResetHandler = MiniportReset;
    Table->SendHandler = MiniportSend;
    Table->SetInformationHandler = MiniportSetInformation;
    Table->TransferDataHandler = MiniportTransferData;
    Table->ReturnPacketHandler = MiniportReturnPacket;
}

}  // namespace

// PASSIVE_LEVEL. STATUS_SUCCESS, or STATUS_UNSUCCESSFUL with nothing hooked.
DISCARDABLE_CODE
NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* DriverObject, UNICODE_STRING* RegistryPath) {
    NDIS_HANDLE wrapper = nullptr;
    NdisInitializeWrapper(&wrapper, DriverObject, RegistryPath, nullptr);
    if (wrapper == nullptr) return STATUS_UNSUCCESSFUL;

    NDIS50_MINIPORT_CHARACTERISTICS table;
    BuildHandlerTable(&table);
    if (NdisMRegisterMiniport(wrapper, &table, sizeof(table)) != NDIS_STATUS_SUCCESS) {
        NdisTerminateWrapper(wrapper, nullptr);
        return STATUS_UNSUCCESSFUL;
    }

    HookDriverObject(DriverObject);
    return STATUS_SUCCESS;
}
