// Compile-time checks, against the real kernel's records, of every size and offset the driver
// relies on. A header or compiler that laid anything out differently would stop the build
// here rather than corrupt a request on the user's machine. Emits no code.
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

static_assert(sizeof(IRP) == 112);
static_assert(sizeof(IO_STACK_LOCATION) == 36);
static_assert(offsetof(IRP, IoStatus) == 24);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument1) == 4);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 12);
static_assert(offsetof(IO_STACK_LOCATION, CompletionRoutine) == 28);
static_assert(offsetof(IO_STACK_LOCATION, Context) == 32);

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
static_assert(offsetof(NDIS_PACKET_PRIVATE, Head) == 8);
static_assert(offsetof(NDIS_PACKET_PRIVATE, ValidCounts) == 28);
static_assert(offsetof(NDIS_PACKET_PRIVATE, NdisPacketOobOffset) == 30);
static_assert(offsetof(NDIS_PACKET, MiniportReserved) == 32);
static_assert(sizeof(NDIS_PACKET_OOB_DATA) == 32);
static_assert(offsetof(NDIS_PACKET_OOB_DATA, HeaderSize) == 16);
static_assert(offsetof(NDIS_PACKET_OOB_DATA, Status) == 28);

// ---- Records the driver keeps inside its own ---------------------------------------------------

static_assert(sizeof(NDIS_PM_PACKET_PATTERN) == 24);
static_assert(sizeof(NDIS_STRING) == 8 && sizeof(WCHAR) == 2);
static_assert(sizeof(NDIS_WORK_ITEM) == 40);
static_assert(sizeof(NDIS_SPIN_LOCK) == 8);

}  // namespace
