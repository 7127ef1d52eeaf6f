// The Adapter: the one record that describes a device from MiniportInitialize to
// MiniportHalt. Every handler, timer and completion reaches its state through it. Fields are
// grouped by the subsystem that owns them; the record starts zeroed.
#pragma once

#include "core/descriptor_records.h"
#include "core/resources.h"
#include "core/result.h"
#include "platform/io.h"
#include "platform/kernel.h"
#include "platform/ndis.h"
#include "platform/usb.h"

// DeviceState values.
constexpr ULONG DeviceNotRunning = 0;
constexpr ULONG DeviceRunning = 12;
constexpr ULONG DeviceStopped = 14;
constexpr ULONG DeviceFailed = 18;

// MediaState values.
constexpr ULONG MediaConnected = 5;
constexpr ULONG MediaDisconnected = 6;

constexpr ULONG RegisterStagingSize = 20;
constexpr ULONG WakePatternBufferSize = 168;
constexpr ULONG WakeSlotCount = 3;
constexpr ULONG WakeMaskSize = 16;

struct Adapter {
    // ---- Configuration values ------------------------------------------------------------
    ULONG TxDescCount;
    ULONG RxDescCount;
    ULONG MediaType;      // 0 auto, 1 10/half, 2 10/full, 3 100/half, 4 100/full
    ULONG MediaSel;       // 0 detect, 1 or 2: the PHY's MII address
    ULONG MagicPkt;
    ULONG LinkWakeup;
    ULONG FlowControl;    // 0 = program flow control at start
    ULONG FlowControlTx;
    ULONG FlowControlRx;

    // ---- Descriptor lists and transmit bookkeeping ---------------------------------------
    DescriptorList TxFreeList QV_GUARDED_BY(TxLock);
    DescriptorList RxFreeList QV_GUARDED_BY(RxLock);
    DescriptorList RxReadyList QV_GUARDED_BY(RxLock);
    LONG TxFreeCount QV_GUARDED_BY(TxLock);  // a send needs it above 1
    // Bulk-out requests handed down or queued, not yet completed.
    LONG TxInFlight QV_GUARDED_BY(TxSubmitLock);
    LIST_ENTRY TxIrpQueue;     // TxQueueEntry records waiting for the one in flight
    // Under TxSubmitLock: a context is handing bulk-out requests down, one after another. A
    // request that becomes next while it is inside IoCallDriver (a bus completing inside the
    // call) is left in TxNextIrp for it, so completions never nest one per waiting request.
    BOOLEAN TxCallingDown QV_GUARDED_BY(TxSubmitLock);
    IRP* TxNextIrp QV_GUARDED_BY(TxSubmitLock);
    BOOLEAN ZeroLengthPending;
    // Sends waiting for descriptors, oldest first, linked through the packets'
    // MiniportReserved. A deserialized miniport keeps its own queue: NDIS never offers a
    // refused send again.
    NDIS_PACKET* TxWaitHead QV_GUARDED_BY(TxLock);
    NDIS_PACKET* TxWaitTail QV_GUARDED_BY(TxLock);
    // A context is handing waiting sends down; only one does, so they reach the bus in order.
    BOOLEAN TxPumping QV_GUARDED_BY(TxLock);
    PVOID* TxPacketSlots;      // one packet pointer per transmit descriptor
    RxPacketRecord* RxPacketRecords;
    // Under RxLock: a run of RxIndicateTimerFunction is indicating. The timer's function may
    // run on two processors at once; only one indicates, so frames go up in arrival order.
    BOOLEAN RxIndicating QV_GUARDED_BY(RxLock);
    NDIS_HANDLE RxPacketPool;
    NDIS_HANDLE RxBufferPool;

    // ---- Statistics ----------------------------------------------------------------------
    ULONG RcvOk;
    ULONG RcvError;
    ULONG RcvAlignmentError;
    ULONG XmitOk;
    ULONG XmitError;
    ULONG XmitUnderrun;
    ULONG XmitOneCollision;
    ULONG XmitDeferred;

    // ---- Station addresses ---------------------------------------------------------------
    UCHAR PermanentAddress[6];
    UCHAR CurrentAddress[6];

    // ---- Device, link and media state ----------------------------------------------------
    ULONG DeviceState;
    // Set by StopDevice before it sends anything and never cleared. A transfer aborted by the
    // stop may still set DeviceState to 18 afterwards, so the stop is remembered apart.
    BOOLEAN Stopping;
    BOOLEAN Initialized;
    ULONG MediaState;
    ULONG LinkSpeed;            // 1 = 10 Mb/s, 2 = 100 Mb/s
    ULONG DuplexMode;           // 1 = half, 2 = full
    UCHAR PhyAddress;
    UCHAR ActivePhy;
    UCHAR PhyModel;
    USHORT LinkPartnerAbility;
    USHORT LinkMonitorState;
    // 1 while a pass is in flight; set by compare-exchange, so two starters never both win.
    LONG volatile LinkMonitorBusy;
    UCHAR LinkMonitorStuckChecks;  // hang checks that found the same pass still in flight
    // The register sequence a pass started and has not yet seen through (a PHY switch, or
    // MonitorMacControlWritten); 0 when none. The next pass sends it again.
    USHORT LinkMonitorRedo;

    // ---- USB objects ---------------------------------------------------------------------
    DEVICE_OBJECT* PhysicalDeviceObject;
    DEVICE_OBJECT* FunctionalDeviceObject;
    DEVICE_OBJECT* NextDeviceObject;
    UCHAR IrpStackSize;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    USHORT VendorId;
    USHORT ProductId;
    USB_CONFIGURATION_DESCRIPTOR* ConfigDescriptor;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION* InterfaceInfo;

    // ---- Register staging ----------------------------------------------------------------
    UCHAR RegReadBuffer[RegisterStagingSize];
    UCHAR RegWriteBuffer[RegisterStagingSize];
    UCHAR AsyncRegBuffer[4];
    URB* AsyncWriteUrb;
    URB* AsyncReadUrb;
    // The link monitor's request in flight, until its completion claims it. A halt that
    // gives up waiting takes it instead and cancels it; AsyncCancelGate then decides which of
    // the two frees it (the second to get there).
    IRP* volatile AsyncIrp;
    LONG volatile AsyncCancelGate;

    // ---- Controller shadows --------------------------------------------------------------
    UCHAR MacControl0;
    UCHAR MacControl1;
    // Register 0x02, which follows MacControl1 in every two-byte write of it: the packet
    // filter's bits (all-multicast, promiscuous), so a media change keeps them.
    UCHAR MacControl2Shadow;
    UCHAR FlowControlTxSetting;
    UCHAR FlowControlRxSetting;
    UCHAR Reg80Shadow;
    UCHAR WakeControl;
    UCHAR WakeMasks[WakeSlotCount][WakeMaskSize];
    UCHAR WakePatternBuffer[WakePatternBufferSize];
    // A slot image chosen at DISPATCH_LEVEL for the request's work item to write: the slot
    // plus one, 0 when none is waiting.
    UCHAR WakeSlotStaged;
    UCHAR WakeSlotImage[19];

    // ---- NDIS objects and requests -------------------------------------------------------
    NDIS_HANDLE MiniportAdapterHandle;
    NDIS_HANDLE WrapperConfigurationContext;
    ULONG PacketFilter;
    // The set request pended to a work item, which does its register writes at PASSIVE_LEVEL
    // and completes it. RequestsInFlight counts sets from their scheduling until their work
    // item has completed them (a count: the next set may be scheduled before the work item
    // that completed the last one has returned).
    NDIS_WORK_ITEM RequestWorkItem;
    NDIS_OID PendingOid;
    ULONG PendingLength;
    ULONG* PendingBytesRead;
    ULONG* PendingBytesNeeded;
    LONG volatile RequestsInFlight;
    NDIS_SPIN_LOCK TxLock;       // TxFreeList, TxFreeCount, the waiting sends
    NDIS_SPIN_LOCK RxLock;       // RxFreeList, RxReadyList
    KSPIN_LOCK TxSubmitLock;     // TxInFlight and the hand-down-or-queue decision
    KSPIN_LOCK TxQueueLock;      // given to the interlocked operations on TxIrpQueue
    NDIS_MINIPORT_TIMER RxIndicateTimer;

    // ---- Resource tracker ----------------------------------------------------------------
    ResourceList ResourcesInUse;
    ResourceList ResourcesFree;
    ULONG ResourceCount;
};

// The descriptor lists, for code that holds their lock. The analysis checks the lock at each
// use of these, which it cannot through a plain pointer to a list.
inline DescriptorList* TxFree(Adapter* adapter) QV_REQUIRES(adapter->TxLock) {
    return &adapter->TxFreeList;
}
inline DescriptorList* RxFree(Adapter* adapter) QV_REQUIRES(adapter->RxLock) {
    return &adapter->RxFreeList;
}
inline DescriptorList* RxReady(Adapter* adapter) QV_REQUIRES(adapter->RxLock) {
    return &adapter->RxReadyList;
}
