// Compile-time checks, against the real kernel's records, of every size and offset the driver
// relies on. A header or compiler that laid anything out differently would stop the build
// here rather than corrupt a request on the user's machine. Emits no code.
//
// Where a value is the kernel's rather than the driver's own, it is the Windows 2000/XP x86
// layout: the records as the DDK's wdm.h and ndis.h of those releases declare them, laid out
// with 4-byte pointers and natural alignment (offsets as the kernel debugger's `dt` shows them
// on XP). The driver reads and writes these fields directly, through the DDK's macros and
// inline routines, so nothing but this file stands between a wrong header and a wrong access.
#include <cstddef>

#include "datapath/descriptors.h"
#include "platform/io.h"
#include "platform/ndis.h"
#include "platform/usb.h"

namespace {

// ---- URB forms: the driver writes sizeof(form) as each URB's header length -------------------

static_assert(sizeof(_URB_HEADER) == 16);
static_assert(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80);
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 80);
static_assert(sizeof(_URB_CONTROL_FEATURE_REQUEST) == 80);
static_assert(sizeof(_URB_CONTROL_GET_STATUS_REQUEST) == 80);
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == 72);
static_assert(sizeof(_URB_PIPE_REQUEST) == 24);
// One interface with its three pipes, as the bus driver builds it for the select request.
static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3) == 100);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 36);
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 16);
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8);
static_assert(offsetof(_URB_HEADER, Status) == 4);
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) == 24);
static_assert(offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 73);
static_assert(offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 74);

// USB descriptors as they come off the wire.
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);

// ---- The request packet and its stack locations ----------------------------------------------

// IoGetCurrentIrpStackLocation / IoGetNextIrpStackLocation read Tail.Overlay.
// CurrentStackLocation and step by sizeof(IO_STACK_LOCATION); IoAllocateIrp's packet is
// completed through IoStatus; the driver reads Cancel and StackCount nowhere else.
static_assert(sizeof(IRP) == 0x70);
static_assert(offsetof(IRP, MdlAddress) == 0x04);
static_assert(offsetof(IRP, AssociatedIrp) == 0x0C);
static_assert(offsetof(IRP, IoStatus) == 0x18);
static_assert(offsetof(IRP, IoStatus.Status) == 0x18);
static_assert(offsetof(IRP, IoStatus.Information) == 0x1C);
static_assert(offsetof(IRP, PendingReturned) == 0x21);
static_assert(offsetof(IRP, StackCount) == 0x22);
static_assert(offsetof(IRP, CurrentLocation) == 0x23);
static_assert(offsetof(IRP, Cancel) == 0x24);
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 0x60);

// IoSetCompletionRoutine writes CompletionRoutine, Context and Control; the copy to the next
// location copies everything before CompletionRoutine.
static_assert(sizeof(IO_STACK_LOCATION) == 0x24);
static_assert(offsetof(IO_STACK_LOCATION, MajorFunction) == 0x00);
static_assert(offsetof(IO_STACK_LOCATION, MinorFunction) == 0x01);
static_assert(offsetof(IO_STACK_LOCATION, Control) == 0x03);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument1) == 0x04);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 0x0C);
static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == 0x14);
static_assert(offsetof(IO_STACK_LOCATION, CompletionRoutine) == 0x1C);
static_assert(offsetof(IO_STACK_LOCATION, Context) == 0x20);
static_assert(SL_INVOKE_ON_CANCEL == 0x20 && SL_INVOKE_ON_SUCCESS == 0x40 &&
              SL_INVOKE_ON_ERROR == 0x80);
static_assert(IRP_MJ_INTERNAL_DEVICE_CONTROL == 0x0F && IRP_MJ_PNP == 0x1B);

// ---- The driver and device objects: the PnP hooks and the stack size of a new IRP ----------

static_assert(offsetof(DRIVER_OBJECT, DriverExtension) == 0x18);
static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == 0x38);
static_assert(offsetof(DRIVER_OBJECT, MajorFunction[IRP_MJ_PNP]) == 0xA4);
static_assert(offsetof(DRIVER_EXTENSION, AddDevice) == 0x04);
static_assert(offsetof(DEVICE_OBJECT, StackSize) == 0x30);

// ---- Buffers: NdisQueryBuffer, NdisGetNextBuffer and NdisAdjustBufferLength work on the MDL
// inline, mapping through MappedSystemVa when MdlFlags says it is mapped ---------------------

static_assert(sizeof(MDL) == 0x1C);
static_assert(offsetof(MDL, Next) == 0x00);
static_assert(offsetof(MDL, Size) == 0x04);
static_assert(offsetof(MDL, MdlFlags) == 0x06);
static_assert(offsetof(MDL, MappedSystemVa) == 0x0C);
static_assert(offsetof(MDL, StartVa) == 0x10);
static_assert(offsetof(MDL, ByteCount) == 0x14);
static_assert(offsetof(MDL, ByteOffset) == 0x18);
static_assert(MDL_MAPPED_TO_SYSTEM_VA == 0x01 && MDL_SOURCE_IS_NONPAGED_POOL == 0x04);

// ---- Transfer descriptors: 32 + 96 + 1536 = 1664 bytes each ---------------------------------

static_assert(sizeof(TransferDescriptor) == 32);
static_assert(DescriptorRecordSize == 32);
static_assert(RequestAreaSize == RequestAreaSize32Bit && RequestAreaSize == 96);
static_assert(sizeof(URB) <= RequestAreaSize, "any URB form fits a request area");
static_assert(DescriptorFootprint == DescriptorFootprint32Bit && DescriptorFootprint == 1664);

// ---- The handler table: the flat record is the kernel's nested one, field by field ----------

using Nested = QvnetDdkNdis50MiniportCharacteristics;
using Flat = NDIS50_MINIPORT_CHARACTERISTICS;
static_assert(sizeof(Flat) == 96 && sizeof(Flat) == sizeof(Nested));
static_assert(sizeof(Flat) == sizeof(NDIS_MINIPORT_CHARACTERISTICS));
#define QVNET_SAME_FIELD(flat, nested) \
    static_assert(offsetof(Flat, flat) == offsetof(Nested, nested))
QVNET_SAME_FIELD(MajorNdisVersion, Ndis40Chars.Ndis30Chars.MajorNdisVersion);
QVNET_SAME_FIELD(MinorNdisVersion, Ndis40Chars.Ndis30Chars.MinorNdisVersion);
QVNET_SAME_FIELD(Reserved, Ndis40Chars.Ndis30Chars.Reserved);
QVNET_SAME_FIELD(CheckForHangHandler, Ndis40Chars.Ndis30Chars.CheckForHangHandler);
QVNET_SAME_FIELD(DisableInterruptHandler, Ndis40Chars.Ndis30Chars.DisableInterruptHandler);
QVNET_SAME_FIELD(EnableInterruptHandler, Ndis40Chars.Ndis30Chars.EnableInterruptHandler);
QVNET_SAME_FIELD(HaltHandler, Ndis40Chars.Ndis30Chars.HaltHandler);
QVNET_SAME_FIELD(HandleInterruptHandler, Ndis40Chars.Ndis30Chars.HandleInterruptHandler);
QVNET_SAME_FIELD(InitializeHandler, Ndis40Chars.Ndis30Chars.InitializeHandler);
QVNET_SAME_FIELD(ISRHandler, Ndis40Chars.Ndis30Chars.ISRHandler);
QVNET_SAME_FIELD(QueryInformationHandler, Ndis40Chars.Ndis30Chars.QueryInformationHandler);
QVNET_SAME_FIELD(ReconfigureHandler, Ndis40Chars.Ndis30Chars.ReconfigureHandler);
QVNET_SAME_FIELD(ResetHandler, Ndis40Chars.Ndis30Chars.ResetHandler);
QVNET_SAME_FIELD(SendHandler, Ndis40Chars.Ndis30Chars.SendHandler);
QVNET_SAME_FIELD(SetInformationHandler, Ndis40Chars.Ndis30Chars.SetInformationHandler);
QVNET_SAME_FIELD(TransferDataHandler, Ndis40Chars.Ndis30Chars.TransferDataHandler);
QVNET_SAME_FIELD(ReturnPacketHandler, Ndis40Chars.ReturnPacketHandler);
QVNET_SAME_FIELD(SendPacketsHandler, Ndis40Chars.SendPacketsHandler);
QVNET_SAME_FIELD(AllocateCompleteHandler, Ndis40Chars.AllocateCompleteHandler);
QVNET_SAME_FIELD(CoCreateVcHandler, CoCreateVcHandler);
QVNET_SAME_FIELD(CoDeleteVcHandler, CoDeleteVcHandler);
QVNET_SAME_FIELD(CoActivateVcHandler, CoActivateVcHandler);
QVNET_SAME_FIELD(CoDeactivateVcHandler, CoDeactivateVcHandler);
QVNET_SAME_FIELD(CoSendPacketsHandler, CoSendPacketsHandler);
QVNET_SAME_FIELD(CoRequestHandler, CoRequestHandler);
#undef QVNET_SAME_FIELD

// ---- Packets: the private part NdisQueryPacket reads, the out-of-band data the driver sets ---

static_assert(sizeof(NDIS_PACKET_PRIVATE) == 32);
static_assert(offsetof(NDIS_PACKET_PRIVATE, PhysicalCount) == 0);
static_assert(offsetof(NDIS_PACKET_PRIVATE, TotalLength) == 4);
static_assert(offsetof(NDIS_PACKET_PRIVATE, Head) == 8);
static_assert(offsetof(NDIS_PACKET_PRIVATE, Tail) == 12);
static_assert(offsetof(NDIS_PACKET_PRIVATE, Count) == 20);
static_assert(offsetof(NDIS_PACKET_PRIVATE, ValidCounts) == 28);
static_assert(offsetof(NDIS_PACKET_PRIVATE, NdisPacketOobOffset) == 30);
static_assert(offsetof(NDIS_PACKET, MiniportReserved) == 32);
// NDIS_SET_PACKET_HEADER_SIZE and NDIS_SET_PACKET_STATUS write here, at the packet's
// NdisPacketOobOffset.
static_assert(sizeof(NDIS_PACKET_OOB_DATA) == 32);
static_assert(offsetof(NDIS_PACKET_OOB_DATA, TimeReceived) == 8);
static_assert(offsetof(NDIS_PACKET_OOB_DATA, HeaderSize) == 16);
static_assert(offsetof(NDIS_PACKET_OOB_DATA, SizeMediaSpecificInfo) == 20);
static_assert(offsetof(NDIS_PACKET_OOB_DATA, MediaSpecificInformation) == 24);
static_assert(offsetof(NDIS_PACKET_OOB_DATA, Status) == 28);

// ---- The miniport block: the NdisM... macros of the NDIS 5 ndis.h call these handlers of
// NDIS_MINIPORT_BLOCK directly (the image check models the same offsets) -------------------

// Used today: 0xE8 (NdisMIndicateReceivePacket), 0xEC (NdisMSendComplete), 0xF0
// (NdisMSendResourcesAvailable), 0x17C/0x180 (NdisMIndicateStatus, ...StatusComplete), 0x18C
// (NdisMSetInformationComplete); the rest are the neighbours a new macro would reach.
using Block = NDIS_MINIPORT_BLOCK;
static_assert(offsetof(Block, PacketIndicateHandler) == 0xE8);
static_assert(offsetof(Block, SendCompleteHandler) == 0xEC);
static_assert(offsetof(Block, SendResourcesHandler) == 0xF0);
static_assert(offsetof(Block, ResetCompleteHandler) == 0xF4);
static_assert(offsetof(Block, EthRxIndicateHandler) == 0x164);
static_assert(offsetof(Block, StatusHandler) == 0x17C);
static_assert(offsetof(Block, StatusCompleteHandler) == 0x180);
static_assert(offsetof(Block, TDCompleteHandler) == 0x184);
static_assert(offsetof(Block, QueryCompleteHandler) == 0x188);
static_assert(offsetof(Block, SetCompleteHandler) == 0x18C);

// ---- Records the kernel fills in inside the driver's own: the size it writes ----------------

// NdisMInitializeTimer initializes a KTIMER (0x28) and a KDPC (0x20) followed by the timer
// function, its context, the miniport and the deferred-timer link.
static_assert(sizeof(NDIS_MINIPORT_TIMER) == 0x58);
static_assert(offsetof(NDIS_MINIPORT_TIMER, Dpc) == 0x28);
static_assert(offsetof(NDIS_MINIPORT_TIMER, MiniportTimerFunction) == 0x48);
// The inline NdisInitializeWorkItem writes Context and Routine.
static_assert(offsetof(NDIS_WORK_ITEM, Context) == 0 && offsetof(NDIS_WORK_ITEM, Routine) == 4);

// ---- Other records the driver keeps inside its own ------------------------------------------

static_assert(sizeof(NDIS_PM_PACKET_PATTERN) == 24);
static_assert(sizeof(NDIS_STRING) == 8 && sizeof(WCHAR) == 2);
static_assert(sizeof(NDIS_WORK_ITEM) == 40);
static_assert(sizeof(NDIS_SPIN_LOCK) == 8);

}  // namespace
