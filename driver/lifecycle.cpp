// The adapter lifecycle handlers NDIS calls: initialize brings one adapter up, halt takes it
// down with everything given back, shutdown stops the device, reset clears the statistics,
// and the hang check drives the link monitor.
#include <cstring>

#include "controller/bring_up.h"
#include "controller/device_stop.h"
#include "controller/link_monitor.h"
#include "core/adapter.h"
#include "core/pool_tags.h"
#include "core/shared_fields.h"
#include "core/tracker.h"
#include "datapath/receive.h"
#include "datapath/transmit.h"
#include "driver/handlers.h"
#include "management/set_information.h"
#include "usb/device_config.h"

namespace {

// Deserialized only. This is a NIC driver: the time-out flags are for intermediate drivers
// (NIC drivers should not set them), and claiming to be an intermediate driver would make
// NDIS treat the device's adapter as a virtual one.
constexpr UINT AttributeFlags = NDIS_ATTRIBUTE_DESERIALIZE;
constexpr UINT DefaultHangCheckInterval = 0;  // NDIS's own: two seconds

// PASSIVE_LEVEL. The zeroed Adapter, tracked as its own first resource; null when it could not
// be allocated (nothing held then), with the allocation's status in *Status.
Adapter* NewAdapter(NDIS_STATUS* Status) {
    PVOID memory = nullptr;
    *Status = NdisAllocateMemoryWithTag(&memory, sizeof(Adapter), AdapterPoolTag);
    if (*Status != NDIS_STATUS_SUCCESS) return nullptr;
    std::memset(memory, 0, sizeof(Adapter));
    auto* adapter = static_cast<Adapter*>(memory);
    ResourceRecord* record = TrackResource(adapter);
    if (record == nullptr) {
        // Nothing else is held yet: the Adapter goes back as it came.
        NdisFreeMemory(memory, sizeof(Adapter), 0);
        *Status = NDIS_STATUS_RESOURCES;
        return nullptr;
    }
    record->Kind = ResourceMemory;
    record->Data.Memory.Length = sizeof(Adapter);
    record->Data.Memory.Address = adapter;
    return adapter;
}

// PASSIVE_LEVEL. Stops the device so that nothing of the adapter runs any more: a pended set
// is finished first (its work item writes registers), the receive timer is cancelled before
// the stop and again after it (a receive completing during the stop may have set it). The stop
// itself waits for a link-monitor pass in flight.
void StopAdapter(Adapter* adapter) {
    AwaitRequestWork(adapter);
    BOOLEAN cancelled = FALSE;
    NdisMCancelTimer(&adapter->RxIndicateTimer, &cancelled);
    StopDevice(adapter);
    NdisMCancelTimer(&adapter->RxIndicateTimer, &cancelled);
}

// PASSIVE_LEVEL. Every transmit descriptor free. During MiniportInitialize, before the
// adapter can send: TxFreeCount is set without TxLock.
void CountTxDescriptorsFree(Adapter* adapter) QV_NO_THREAD_SAFETY_ANALYSIS {
    adapter->TxFreeCount = static_cast<LONG>(adapter->TxDescCount);
}

}  // namespace

// PASSIVE_LEVEL. NDIS_STATUS_SUCCESS with the adapter running; NDIS_STATUS_UNSUPPORTED_MEDIA
// without 802.3 in MediumArray; the allocation's status when the Adapter cannot be had;
// NDIS_STATUS_RESOURCES when the bring-up fails (everything acquired is given back).
PAGEABLE_CODE
NDIS_STATUS NTAPI MiniportInitialize(NDIS_STATUS* /*OpenErrorStatus*/, UINT* SelectedMediumIndex,
                                     NDIS_MEDIUM* MediumArray, UINT MediumArraySize,
                                     NDIS_HANDLE MiniportAdapterHandle,
                                     NDIS_HANDLE WrapperConfigurationContext) {
    UINT medium = 0;
    while (medium < MediumArraySize && MediumArray[medium] != NdisMedium802_3) ++medium;
    if (medium == MediumArraySize) return NDIS_STATUS_UNSUPPORTED_MEDIA;
    *SelectedMediumIndex = medium;

    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    Adapter* adapter = NewAdapter(&status);
    if (adapter == nullptr) return status;
    adapter->MiniportAdapterHandle = MiniportAdapterHandle;
    adapter->WrapperConfigurationContext = WrapperConfigurationContext;
    NdisMSetAttributesEx(MiniportAdapterHandle, adapter, DefaultHangCheckInterval,
                         AttributeFlags, NdisInterfaceInternal);
    NdisAllocateSpinLock(&adapter->TxLock);
    NdisAllocateSpinLock(&adapter->RxLock);

    if (InitializeController(adapter) != ResultSuccess) {
        NdisFreeSpinLock(&adapter->TxLock);
        NdisFreeSpinLock(&adapter->RxLock);
        ReleaseAllResources(adapter);
        return NDIS_STATUS_RESOURCES;
    }

    NdisMRegisterAdapterShutdownHandler(MiniportAdapterHandle, adapter, MiniportShutdown);
    NdisMInitializeTimer(&adapter->RxIndicateTimer, MiniportAdapterHandle,
                         RxIndicateTimerFunction, adapter);
    InitializeRequestWork(adapter);
    CountTxDescriptorsFree(adapter);
    // Its result is not needed: a start without a free receive descriptor cannot happen with
    // the receive descriptor minimum.
    StartController(adapter);
    adapter->Initialized = TRUE;
    return NDIS_STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Nothing of the adapter runs, or is held, once it returns.
PAGEABLE_CODE
void NTAPI MiniportHalt(NDIS_HANDLE MiniportAdapterContext) {
    Adapter* adapter = static_cast<Adapter*>(MiniportAdapterContext);
    StopAdapter(adapter);
    // Sends still waiting for descriptors will never go out; each is completed before halt
    // returns, since no NDIS call for the adapter may come after it.
    CompleteWaitingPackets(adapter, NDIS_STATUS_FAILURE);
    NdisMDeregisterAdapterShutdownHandler(adapter->MiniportAdapterHandle);
    NdisFreeSpinLock(&adapter->TxLock);
    NdisFreeSpinLock(&adapter->RxLock);
    ReleaseAllResources(adapter);
}

// PASSIVE_LEVEL normally; after a crash NDIS may call it at a raised IRQL, where nothing may
// wait: the device is then only marked stopped, so nothing new is started. Frees nothing.
void NTAPI MiniportShutdown(PVOID ShutdownContext) {
    Adapter* adapter = static_cast<Adapter*>(ShutdownContext);
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        adapter->Stopping = TRUE;
        adapter->DeviceState = DeviceStopped;
        return;
    }
    StopAdapter(adapter);
}

// DISPATCH_LEVEL. NDIS_STATUS_SUCCESS: the statistics are cleared and the sends waiting for
// descriptors are failed (NDIS keeps no queue of a deserialized miniport's sends, so what the
// driver holds is the driver's to give back); the controller and the transfers are left as
// they are, and the addresses are unchanged.
NDIS_STATUS NTAPI MiniportReset(BOOLEAN* AddressingReset, NDIS_HANDLE MiniportAdapterContext) {
    Adapter* adapter = static_cast<Adapter*>(MiniportAdapterContext);
    *AddressingReset = FALSE;
    CompleteWaitingPackets(adapter, NDIS_STATUS_FAILURE);
    WriteShared(&adapter->RcvOk, 0);
    WriteShared(&adapter->RcvError, 0);
    WriteShared(&adapter->RcvAlignmentError, 0);
    WriteShared(&adapter->XmitOk, 0);
    WriteShared(&adapter->XmitError, 0);
    WriteShared(&adapter->XmitUnderrun, 0);
    WriteShared(&adapter->XmitOneCollision, 0);
    WriteShared(&adapter->XmitDeferred, 0);
    return NDIS_STATUS_SUCCESS;
}

// DISPATCH_LEVEL. FALSE: the link monitor reports media changes itself, and the adapter never
// asks NDIS for a reset.
BOOLEAN NTAPI MiniportCheckForHang(NDIS_HANDLE MiniportAdapterContext) {
    StartLinkPoll(static_cast<Adapter*>(MiniportAdapterContext));
    return FALSE;
}

// DISPATCH_LEVEL. Returns nothing: packets are indicated with NDIS_STATUS_RESOURCES, so the
// driver owns each again as soon as the indication returns.
void NTAPI MiniportReturnPacket(NDIS_HANDLE /*MiniportAdapterContext*/, NDIS_PACKET* /*Packet*/) {}
