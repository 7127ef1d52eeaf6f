// The USB bus driver interface: descriptors, URB forms, pipe information, the internal
// control codes and the configuration routines.
#pragma once

#include "platform/types.h"

// ---- Standard descriptors (USB wire layout) -------------------------------------------------

#pragma pack(push, 1)
struct USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
};
struct USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
};
struct USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
};
struct USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
};
#pragma pack(pop)
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);

constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 1;
constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 2;
constexpr UCHAR USB_STRING_DESCRIPTOR_TYPE = 3;
constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 4;
constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 5;

constexpr UCHAR USB_ENDPOINT_TYPE_MASK = 0x03;
constexpr UCHAR USB_ENDPOINT_TYPE_CONTROL = 0;
constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS = 1;
constexpr UCHAR USB_ENDPOINT_TYPE_BULK = 2;
constexpr UCHAR USB_ENDPOINT_TYPE_INTERRUPT = 3;
constexpr UCHAR USB_ENDPOINT_DIRECTION_IN = 0x80;

// Standard request codes and feature selectors.
constexpr UCHAR USB_REQUEST_GET_STATUS = 0;
constexpr UCHAR USB_REQUEST_CLEAR_FEATURE = 1;
constexpr UCHAR USB_REQUEST_SET_FEATURE = 3;
constexpr UCHAR USB_REQUEST_SET_ADDRESS = 5;
constexpr UCHAR USB_REQUEST_GET_DESCRIPTOR = 6;
constexpr UCHAR USB_REQUEST_GET_CONFIGURATION = 8;
constexpr UCHAR USB_REQUEST_SET_CONFIGURATION = 9;
constexpr USHORT USB_FEATURE_ENDPOINT_STALL = 0;
constexpr USHORT USB_FEATURE_REMOTE_WAKEUP = 1;

// ---- Pipes and interfaces -------------------------------------------------------------------

using USBD_PIPE_HANDLE = void*;
using USBD_CONFIGURATION_HANDLE = void*;
using USBD_INTERFACE_HANDLE = void*;
using USBD_STATUS = int32_t;

enum USBD_PIPE_TYPE {
    UsbdPipeTypeControl = 0,
    UsbdPipeTypeIsochronous = 1,
    UsbdPipeTypeBulk = 2,
    UsbdPipeTypeInterrupt = 3,
};

struct USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;
    ULONG PipeFlags;
};

struct USBD_INTERFACE_INFORMATION {
    USHORT Length;  // bytes, including every pipe entry
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
};

constexpr size_t GET_USBD_INTERFACE_SIZE(size_t NumberOfPipes) {
    return sizeof(USBD_INTERFACE_INFORMATION) +
           sizeof(USBD_PIPE_INFORMATION) * (NumberOfPipes == 0 ? 0 : NumberOfPipes - 1);
}

struct USBD_INTERFACE_LIST_ENTRY {
    USB_INTERFACE_DESCRIPTOR* InterfaceDescriptor;
    USBD_INTERFACE_INFORMATION* Interface;
};

// ---- URB forms ------------------------------------------------------------------------------

union URB;

struct _URB_HEADER {
    USHORT Length;    // bytes of the form the function uses
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

// Host controller scratch space inside transfer forms.
struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

struct _URB_SELECT_CONFIGURATION {
    _URB_HEADER Hdr;
    USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor;  // null: unconfigure
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;  // the first of the interfaces, each of its Length
};

struct _URB_PIPE_REQUEST {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PVOID TransferBufferMDL;
    URB* UrbLink;
    _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};

struct _URB_CONTROL_FEATURE_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved2;
    ULONG Reserved3;
    PVOID Reserved4;
    PVOID Reserved5;
    URB* UrbLink;
    _URB_HCD_AREA hca;
    USHORT Reserved0;
    USHORT FeatureSelector;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_CONTROL_GET_STATUS_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PVOID TransferBufferMDL;
    URB* UrbLink;
    _URB_HCD_AREA hca;
    UCHAR Reserved1[4];
    USHORT Index;
    USHORT Reserved2;
};

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PVOID TransferBufferMDL;
    URB* UrbLink;
    _URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;  // in: bytes to move; out: bytes moved
    PVOID TransferBuffer;
    PVOID TransferBufferMDL;
    URB* UrbLink;
    _URB_HCD_AREA hca;
};

union URB {
    _URB_HEADER UrbHeader;
    _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
    _URB_PIPE_REQUEST UrbPipeRequest;
    _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
    _URB_CONTROL_FEATURE_REQUEST UrbControlFeatureRequest;
    _URB_CONTROL_GET_STATUS_REQUEST UrbControlGetStatusRequest;
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
    _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
};

// The same figures on a 32-bit platform, for reference in tests and traces.
constexpr USHORT URB_SIZE_32BIT = 80;
constexpr USHORT URB_BULK_SIZE_32BIT = 72;
constexpr USHORT URB_PIPE_REQUEST_SIZE_32BIT = 24;

// Select-configuration request size for one interface with NumberOfPipes pipes.
constexpr USHORT GET_SELECT_CONFIGURATION_REQUEST_SIZE(size_t NumberOfInterfaces,
                                                       size_t NumberOfPipes) {
    return static_cast<USHORT>(sizeof(_URB_SELECT_CONFIGURATION) +
                               (NumberOfInterfaces - 1) * GET_USBD_INTERFACE_SIZE(0) +
                               sizeof(USBD_PIPE_INFORMATION) *
                                   (NumberOfPipes == 0 ? 0 : NumberOfPipes - 1));
}

// URB functions.
constexpr USHORT URB_FUNCTION_SELECT_CONFIGURATION = 0x0000;
constexpr USHORT URB_FUNCTION_ABORT_PIPE = 0x0002;
constexpr USHORT URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
constexpr USHORT URB_FUNCTION_SET_FEATURE_TO_DEVICE = 0x000D;
constexpr USHORT URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE = 0x0010;
constexpr USHORT URB_FUNCTION_GET_STATUS_FROM_DEVICE = 0x0013;
constexpr USHORT URB_FUNCTION_VENDOR_DEVICE = 0x0017;
constexpr USHORT URB_FUNCTION_RESET_PIPE = 0x001E;

// Transfer flags.
constexpr ULONG USBD_TRANSFER_DIRECTION_OUT = 0;
constexpr ULONG USBD_TRANSFER_DIRECTION_IN = 1;
constexpr ULONG USBD_SHORT_TRANSFER_OK = 2;

// URB status codes. Those with both high bits set are errors of the transfer itself; those
// with only the top bit set are the bus driver refusing the request.
constexpr USBD_STATUS USBD_STATUS_SUCCESS = 0;
constexpr USBD_STATUS USBD_STATUS_PENDING = 0x40000000;
constexpr USBD_STATUS USBD_STATUS_CRC = static_cast<USBD_STATUS>(0xC0000001u);
constexpr USBD_STATUS USBD_STATUS_STALL_PID = static_cast<USBD_STATUS>(0xC0000004u);
constexpr USBD_STATUS USBD_STATUS_DEV_NOT_RESPONDING = static_cast<USBD_STATUS>(0xC0000005u);
constexpr USBD_STATUS USBD_STATUS_DATA_OVERRUN = static_cast<USBD_STATUS>(0xC0000008u);
constexpr USBD_STATUS USBD_STATUS_DATA_UNDERRUN = static_cast<USBD_STATUS>(0xC0000009u);
constexpr USBD_STATUS USBD_STATUS_BUFFER_OVERRUN = static_cast<USBD_STATUS>(0xC000000Cu);
constexpr USBD_STATUS USBD_STATUS_XACT_ERROR = static_cast<USBD_STATUS>(0xC0000011u);
constexpr USBD_STATUS USBD_STATUS_BABBLE_DETECTED = static_cast<USBD_STATUS>(0xC0000012u);
constexpr USBD_STATUS USBD_STATUS_ENDPOINT_HALTED = static_cast<USBD_STATUS>(0xC0000030u);
constexpr USBD_STATUS USBD_STATUS_DEVICE_GONE = static_cast<USBD_STATUS>(0xC0007000u);
constexpr USBD_STATUS USBD_STATUS_CANCELED = static_cast<USBD_STATUS>(0xC0010000u);
constexpr USBD_STATUS USBD_STATUS_INVALID_URB_FUNCTION = static_cast<USBD_STATUS>(0x80000200u);
constexpr USBD_STATUS USBD_STATUS_INVALID_PARAMETER = static_cast<USBD_STATUS>(0x80000300u);
constexpr USBD_STATUS USBD_STATUS_ERROR_BUSY = static_cast<USBD_STATUS>(0x80000400u);
constexpr USBD_STATUS USBD_STATUS_REQUEST_FAILED = static_cast<USBD_STATUS>(0x80000500u);
constexpr USBD_STATUS USBD_STATUS_INVALID_PIPE_HANDLE = static_cast<USBD_STATUS>(0x80000600u);
// A short IN transfer without USBD_SHORT_TRANSFER_OK.
constexpr USBD_STATUS USBD_STATUS_ERROR_SHORT_TRANSFER = static_cast<USBD_STATUS>(0x80000900u);

// Internal device control codes, sent with IRP_MJ_INTERNAL_DEVICE_CONTROL.
constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB = 0x00220003;
constexpr ULONG IOCTL_INTERNAL_USB_CYCLE_PORT = 0x0022001F;

// ---- Configuration routines -----------------------------------------------------------------

// Up to DISPATCH_LEVEL. The first interface descriptor at or after StartPosition, within the
// set's wTotalLength, that matches every criterion not -1; null when there is none.
USB_INTERFACE_DESCRIPTOR* USBD_ParseConfigurationDescriptorEx(
    USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);
// Up to DISPATCH_LEVEL. A select-configuration URB for the interfaces of InterfaceList (ended
// by a null descriptor), allocated from non-paged pool and freed with ExFreePool; each
// entry's Interface then points at its information inside the URB, with NumberOfPipes and
// MaximumTransferSize filled in. Null when it cannot be built.
URB* USBD_CreateConfigurationRequestEx(USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor,
                                       USBD_INTERFACE_LIST_ENTRY* InterfaceList);
