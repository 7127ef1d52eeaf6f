#include "tests/support/harness/stand_in_lifecycle.h"

#include <cstring>

#include "datapath/descriptor_list.h"
#include "datapath/descriptors.h"
#include "datapath/receive.h"
#include "driver/adapter.h"
#include "driver/pool_tags.h"
#include "driver/tracker.h"
#include "emulator/device/controller.h"
#include "emulator/device/registers.h"
#include "usb/device_config.h"

namespace qvtest {

namespace {

constexpr ULONG kAttributeFlags = 0x33;  // ignore timeouts, intermediate, deserialized

// The allocated and tracked Adapter, or null (nothing held) when either step fails.
Adapter* NewTrackedAdapter() {
    PVOID memory = nullptr;
    if (NdisAllocateMemoryWithTag(&memory, sizeof(Adapter), AdapterPoolTag) !=
        NDIS_STATUS_SUCCESS) {
        return nullptr;
    }
    std::memset(memory, 0, sizeof(Adapter));
    auto* adapter = static_cast<Adapter*>(memory);
    ResourceRecord* record = TrackResource(adapter);
    if (record == nullptr) {
        NdisFreeMemory(memory, sizeof(Adapter), 0);
        return nullptr;
    }
    record->Kind = ResourceMemory;
    record->Data.Memory.Length = sizeof(Adapter);
    record->Data.Memory.Address = adapter;
    return adapter;
}

// The USB configuration, the descriptors and the packet pools; ResultSuccess or
// ResultFailure at the first step that fails.
ULONG BuildDataPath(Adapter* adapter) {
    if (ConfigureUsbDevice(adapter) != ResultSuccess) return ResultFailure;
    if (CarveDescriptors(adapter) != ResultSuccess) return ResultFailure;
    return AllocatePacketPools(adapter);
}

// What the later bring-up will program through the driver: the station address, and the
// transmitter and receiver on.
void EnableController(emu::device::Controller& controller, const MacAddress& station) {
    namespace reg = emu::device::reg;
    for (size_t i = 0; i < station.size(); ++i) {
        controller.SetRegister(static_cast<uint8_t>(reg::StationAddress + i), station[i]);
    }
    controller.SetRegister(reg::MacControl0, reg::kReceiveEnable | reg::kTransmitEnable);
}

}  // namespace

NDIS_STATUS AssembleRunningAdapter(NDIS_STATUS* /*open_error*/, UINT* selected_medium,
                                   NDIS_MEDIUM* media, UINT media_count, NDIS_HANDLE handle,
                                   NDIS_HANDLE configuration, const StandInSettings& settings,
                                   Adapter** assembled) {
    *assembled = nullptr;
    UINT medium = 0;
    while (medium < media_count && media[medium] != NdisMedium802_3) ++medium;
    if (medium == media_count) return NDIS_STATUS_UNSUPPORTED_MEDIA;
    *selected_medium = medium;

    Adapter* adapter = NewTrackedAdapter();
    if (adapter == nullptr) return NDIS_STATUS_FAILURE;
    adapter->MiniportAdapterHandle = handle;
    adapter->WrapperConfigurationContext = configuration;
    NdisMSetAttributesEx(handle, adapter, 0, kAttributeFlags, NdisInterfaceInternal);
    NdisAllocateSpinLock(&adapter->TxLock);
    NdisAllocateSpinLock(&adapter->RxLock);

    KeInitializeSpinLock(&adapter->TxSubmitLock);
    KeInitializeSpinLock(&adapter->TxQueueLock);
    InitializeListHead(&adapter->TxIrpQueue);
    adapter->TxDescCount = settings.tx_descriptors;
    adapter->RxDescCount = settings.rx_descriptors;
    if (BuildDataPath(adapter) != ResultSuccess) {
        NdisFreeSpinLock(&adapter->TxLock);
        NdisFreeSpinLock(&adapter->RxLock);
        ReleaseAllResources(adapter);
        return NDIS_STATUS_RESOURCES;
    }

    NdisMInitializeTimer(&adapter->RxIndicateTimer, handle, RxIndicateTimerFunction, adapter);
    adapter->TxFreeCount = static_cast<LONG>(adapter->TxDescCount);
    if (settings.controller != nullptr) {
        EnableController(*settings.controller, settings.station_address);
    }
    adapter->DeviceState = DeviceRunning;
    if (settings.first_receive) {
        // No transfer exists yet, so the first pop needs no lock.
        TransferDescriptor* first = PopDescriptor(&adapter->RxFreeList);
        if (first != nullptr) SubmitReceive(adapter, first);
    }
    adapter->Initialized = TRUE;
    *assembled = adapter;
    return NDIS_STATUS_SUCCESS;
}

void DismantleAdapter(Adapter* adapter) {
    BOOLEAN cancelled = FALSE;
    NdisMCancelTimer(&adapter->RxIndicateTimer, &cancelled);
    StopDevice(adapter);
    NdisFreeSpinLock(&adapter->TxLock);
    NdisFreeSpinLock(&adapter->RxLock);
    ReleaseAllResources(adapter);
}

}  // namespace qvtest
