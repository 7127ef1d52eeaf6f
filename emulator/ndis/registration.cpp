// Wrapper, registration and the per-adapter attributes a miniport gives NDIS.
#include <cstdio>
#include <string>

#include "emulator/kernel/kernel.h"
#include "emulator/kernel/processor.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/ndis.h"
#include "emulator/verifier/verifier.h"
#include "emulator/kernel/platform_lock.h"
#include "platform/ndis.h"

using emu::Kernel;
using emu::Rule;
using emu::ndis::Miniport;
using emu::ndis::Ndis;
using emu::ndis::Wrapper;

namespace {

Ndis& Hub() { return emu::ndis::Ndis::Current(); }

bool AtPassive(const char* call, uintptr_t site) {
    return Kernel::Current().Cpu().CheckIrql(call, PASSIVE_LEVEL, PASSIVE_LEVEL, site);
}

constexpr ULONG kKnownAttributes =
    NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT | NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT |
    NDIS_ATTRIBUTE_IGNORE_TOKEN_RING_ERRORS | NDIS_ATTRIBUTE_BUS_MASTER |
    NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER | NDIS_ATTRIBUTE_DESERIALIZE |
    NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND | NDIS_ATTRIBUTE_SURPRISE_REMOVE_OK |
    NDIS_ATTRIBUTE_NOT_CO_NDIS;

std::string Hex(ULONG value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", value);
    return text;
}

// The handlers NDIS cannot run an adapter without; empty when none is missing.
std::string MissingHandlers(const NDIS50_MINIPORT_CHARACTERISTICS& table) {
    std::string missing;
    auto need = [&missing](bool present, const char* name) {
        if (present) return;
        if (!missing.empty()) missing += ", ";
        missing += name;
    };
    need(table.InitializeHandler != nullptr, "InitializeHandler");
    need(table.HaltHandler != nullptr, "HaltHandler");
    need(table.QueryInformationHandler != nullptr, "QueryInformationHandler");
    need(table.SetInformationHandler != nullptr, "SetInformationHandler");
    need(table.ResetHandler != nullptr, "ResetHandler");
    need(table.SendHandler != nullptr || table.SendPacketsHandler != nullptr,
         "SendHandler or SendPacketsHandler");
    return missing;
}

}  // namespace

void NdisInitializeWrapper(NDIS_HANDLE* NdisWrapperHandle, PVOID SystemSpecific1,
                           PVOID SystemSpecific2, PVOID /*SystemSpecific3*/) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    AtPassive("NdisInitializeWrapper", site);
    Ndis& ndis = Hub();
    if (ndis.TakeWrapperFault() || SystemSpecific1 == nullptr) {
        *NdisWrapperHandle = nullptr;
        return;
    }
    *NdisWrapperHandle =
        ndis.NewWrapper(static_cast<DRIVER_OBJECT*>(SystemSpecific1), SystemSpecific2);
}

void NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, PVOID /*SystemSpecific*/) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    AtPassive("NdisTerminateWrapper", site);
    Wrapper* wrapper = Hub().FindWrapper(NdisWrapperHandle);
    if (wrapper == nullptr || wrapper->terminated) {
        Kernel::Current().Check().Report(Rule::Platform, "NdisTerminateWrapper",
                                          wrapper ? "wrapper already terminated"
                                                  : "not a wrapper handle",
                                          site);
        return;
    }
    wrapper->terminated = true;
}

NDIS_STATUS NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                  NDIS50_MINIPORT_CHARACTERISTICS* MiniportCharacteristics,
                                  UINT CharacteristicsLength) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    AtPassive("NdisMRegisterMiniport", site);
    Ndis& ndis = Hub();
    Wrapper* wrapper = ndis.FindWrapper(NdisWrapperHandle);
    if (wrapper == nullptr || wrapper->terminated) {
        Kernel::Current().Check().Report(Rule::Platform, "NdisMRegisterMiniport",
                                          "not a live wrapper handle", site);
        return NDIS_STATUS_FAILURE;
    }
    NDIS_STATUS forced;
    if (ndis.TakeRegistrationFault(&forced)) return forced;
    const NDIS50_MINIPORT_CHARACTERISTICS& table = *MiniportCharacteristics;
    if (table.MajorNdisVersion != 5 || table.MinorNdisVersion != 0) return NDIS_STATUS_BAD_VERSION;
    if (CharacteristicsLength != sizeof(NDIS50_MINIPORT_CHARACTERISTICS) ||
        !MissingHandlers(table).empty()) {
        return NDIS_STATUS_BAD_CHARACTERISTICS;
    }
    // NDIS keeps its own copy: the caller's table may live on its stack.
    wrapper->handlers = table;
    wrapper->registered = true;
    DRIVER_OBJECT* driver = wrapper->driver;
    driver->DriverExtension->AddDevice = emu::ndis::NdisAddDeviceEntry;
    driver->MajorFunction[IRP_MJ_PNP] = emu::ndis::NdisPnpDispatchEntry;
    return NDIS_STATUS_SUCCESS;
}

void NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                          UINT CheckForHangTimeInSeconds, ULONG AttributeFlags,
                          NDIS_INTERFACE_TYPE AdapterType) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    AtPassive("NdisMSetAttributesEx", site);
    Miniport* adapter = Hub().Use(MiniportAdapterHandle, "NdisMSetAttributesEx", site);
    if (adapter == nullptr) return;
    if (adapter->CurrentState() != Miniport::State::Initializing) {
        Kernel::Current().Check().Report(Rule::Platform, "NdisMSetAttributesEx",
                                          "called outside MiniportInitialize", site);
        return;
    }
    Kernel& kernel = Kernel::Current();
    if (adapter->AttributesSet()) {
        kernel.Check().Report(Rule::InitResult, "NdisMSetAttributesEx",
                              "called a second time in one MiniportInitialize", site);
    }
    if ((AttributeFlags & ~kKnownAttributes) != 0) {
        kernel.Check().Report(Rule::InitResult, "NdisMSetAttributesEx",
                              "unknown attribute flags " + Hex(AttributeFlags & ~kKnownAttributes),
                              site);
    }
    // NDIS knows an intermediate driver by this flag alone ("Restrictions on Intermediate
    // Drivers (NDIS 5.1)", learn.microsoft.com/previous-versions ff564091), and an
    // intermediate driver's virtual adapter comes from NdisIMInitializeDeviceInstanceEx,
    // never from a device's PnP start: a miniport for a physical device must not claim it.
    if ((AttributeFlags & NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER) != 0) {
        kernel.Check().Report(Rule::InitResult, "NdisMSetAttributesEx",
                              "NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER from the miniport of a "
                              "physical device NDIS started through PnP",
                              site);
        // An intermediate driver's miniport is deserialized ("Intermediate Driver Design
        // Concepts", learn.microsoft.com/windows-hardware/drivers/network).
        if ((AttributeFlags & NDIS_ATTRIBUTE_DESERIALIZE) == 0) {
            kernel.Check().Report(Rule::InitResult, "NdisMSetAttributesEx",
                                  "NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER without "
                                  "NDIS_ATTRIBUTE_DESERIALIZE",
                                  site);
        }
    }
    if (static_cast<unsigned>(AdapterType) > static_cast<unsigned>(NdisInterfacePNPBus)) {
        kernel.Check().Report(Rule::InitResult, "NdisMSetAttributesEx",
                              "unknown interface type " + std::to_string(AdapterType), site);
    }
    if (MiniportAdapterContext == nullptr) {
        kernel.Check().Report(Rule::InitResult, "NdisMSetAttributesEx",
                              "a null adapter context: every handler would get null", site);
    }
    adapter->SetAttributes(MiniportAdapterContext, CheckForHangTimeInSeconds, AttributeFlags,
                           AdapterType);
}

void NdisMGetDeviceProperty(NDIS_HANDLE MiniportAdapterHandle,
                            DEVICE_OBJECT** PhysicalDeviceObject,
                            DEVICE_OBJECT** FunctionalDeviceObject,
                            DEVICE_OBJECT** NextDeviceObject, PVOID /*AllocatedResources*/,
                            PVOID /*AllocatedResourcesTranslated*/) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    AtPassive("NdisMGetDeviceProperty", site);
    Miniport* adapter = Hub().Use(MiniportAdapterHandle, "NdisMGetDeviceProperty", site);
    if (adapter == nullptr) return;
    if (PhysicalDeviceObject) *PhysicalDeviceObject = adapter->PhysicalDevice();
    if (FunctionalDeviceObject) *FunctionalDeviceObject = adapter->FunctionalDevice();
    if (NextDeviceObject) *NextDeviceObject = adapter->NextDevice();
}

void NdisMRegisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle, PVOID ShutdownContext,
                                         ADAPTER_SHUTDOWN_HANDLER ShutdownHandler) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    AtPassive("NdisMRegisterAdapterShutdownHandler", site);
    Miniport* adapter = Hub().Use(MiniportHandle, "NdisMRegisterAdapterShutdownHandler", site);
    if (adapter == nullptr) return;
    adapter->RegisterShutdown(ShutdownHandler, ShutdownContext);
}

void NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    AtPassive("NdisMDeregisterAdapterShutdownHandler", site);
    Miniport* adapter = Hub().Use(MiniportHandle, "NdisMDeregisterAdapterShutdownHandler", site);
    if (adapter == nullptr) return;
    adapter->DeregisterShutdown();
}
