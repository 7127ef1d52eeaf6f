// Configuring the USB device: its device objects, descriptors, the one configuration with
// its three pipes, and the remote wake-up feature.
#include "usb/device_config.h"

#include <cstring>

#include "core/adapter.h"
#include "core/tracker.h"
#include "usb/urb_submit.h"

namespace {

constexpr ULONG BulkMaximumTransferSize = TransferBufferSize;

// PASSIVE_LEVEL. Reads descriptor Type (index 0) into Buffer; when Read is given, it receives
// the number of bytes the device sent. SubmitUrbSync's result.
ULONG ReadDescriptor(Adapter* Adapter, UCHAR Type, PVOID Buffer, ULONG Length,
                     ULONG* Read = nullptr) {
    URB urb;
    memset(&urb, 0, sizeof(urb));
    _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb.UrbControlDescriptorRequest;
    request.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request.DescriptorType = Type;
    request.Index = 0;
    request.LanguageId = 0;
    request.TransferBuffer = Buffer;
    request.TransferBufferLength = Length;
    const ULONG result = SubmitUrbSync(Adapter, &urb);
    if (Read != nullptr) *Read = request.TransferBufferLength;
    return result;
}

// PASSIVE_LEVEL. Reads the 2-byte device status into RegReadBuffer. SubmitUrbSync's result.
ULONG ReadDeviceStatus(Adapter* Adapter) {
    URB urb;
    memset(&urb, 0, sizeof(urb));
    _URB_CONTROL_GET_STATUS_REQUEST& request = urb.UrbControlGetStatusRequest;
    request.Hdr.Length = sizeof(_URB_CONTROL_GET_STATUS_REQUEST);
    request.Hdr.Function = URB_FUNCTION_GET_STATUS_FROM_DEVICE;
    request.Index = 0;
    request.TransferBuffer = Adapter->RegReadBuffer;
    request.TransferBufferLength = 2;
    return SubmitUrbSync(Adapter, &urb);
}

constexpr UCHAR EndpointDirectionIn = 0x80;

// Any IRQL. Whether the selected interface's pipes are bulk in, bulk out and interrupt: the
// data path reads from the first and writes to the second.
bool PipesHaveRequiredTypes(const USBD_INTERFACE_INFORMATION* Interface) {
    return (Interface->Pipes[ReceivePipe].EndpointAddress & EndpointDirectionIn) != 0 &&
           (Interface->Pipes[TransmitPipe].EndpointAddress & EndpointDirectionIn) == 0 &&
           Interface->Pipes[ReceivePipe].PipeType == UsbdPipeTypeBulk &&
           Interface->Pipes[TransmitPipe].PipeType == UsbdPipeTypeBulk &&
           Interface->Pipes[InterruptPipe].PipeType == UsbdPipeTypeInterrupt;
}

// PASSIVE_LEVEL. Sends Request, the select-configuration URB built for one interface whose
// information lies at Interface inside it, and keeps the configuration handle and a tracked
// copy of the interface information. ResultSuccess or ResultFailure.
ULONG SendSelectConfiguration(Adapter* Adapter, URB* Request,
                              USBD_INTERFACE_INFORMATION* Interface) {
    // The data path reads every pipe entry from the kept copy, so its length must cover them.
    if (Interface == nullptr || Interface->NumberOfPipes != RequiredPipeCount ||
        Interface->Length < GET_USBD_INTERFACE_SIZE(RequiredPipeCount)) {
        return ResultFailure;
    }
    Interface->Pipes[ReceivePipe].MaximumTransferSize = BulkMaximumTransferSize;
    Interface->Pipes[ReceivePipe].PipeFlags = 0;
    Interface->Pipes[TransmitPipe].MaximumTransferSize = BulkMaximumTransferSize;
    Interface->Pipes[TransmitPipe].PipeFlags = 0;

    Request->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    Request->UrbHeader.Length = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, RequiredPipeCount);
    Request->UrbSelectConfiguration.ConfigurationDescriptor = Adapter->ConfigDescriptor;
    if (SubmitUrbSync(Adapter, Request) != ResultSuccess) return ResultFailure;
    // The configuration stays selected on the device even when its pipes are refused here.
    if (!PipesHaveRequiredTypes(Interface)) return ResultFailure;

    Adapter->ConfigurationHandle = Request->UrbSelectConfiguration.ConfigurationHandle;
    PVOID copy = nullptr;
    if (AllocateTrackedMemory(Adapter, &copy, Interface->Length) != ResultSuccess) {
        return ResultFailure;
    }
    memcpy(copy, Interface, Interface->Length);
    Adapter->InterfaceInfo = static_cast<USBD_INTERFACE_INFORMATION*>(copy);
    return ResultSuccess;
}

// PASSIVE_LEVEL. Selects the configuration with Interface as its one interface. The request
// built for it is freed on every way out. ResultSuccess or ResultFailure.
ULONG SelectConfiguration(Adapter* Adapter, USB_INTERFACE_DESCRIPTOR* Interface) {
    USBD_INTERFACE_LIST_ENTRY list[2] = {{Interface, nullptr}, {nullptr, nullptr}};
    URB* request = USBD_CreateConfigurationRequestEx(Adapter->ConfigDescriptor, list);
    if (request == nullptr) return ResultFailure;

    ULONG result = SendSelectConfiguration(Adapter, request, list[0].Interface);
    ExFreePool(request);
    return result;
}

}  // namespace

// PASSIVE_LEVEL. SubmitUrbSync's result.
ULONG SendRemoteWakeupFeature(Adapter* Adapter, USHORT Function) {
    URB urb;
    memset(&urb, 0, sizeof(urb));
    _URB_CONTROL_FEATURE_REQUEST& request = urb.UrbControlFeatureRequest;
    request.Hdr.Length = sizeof(_URB_CONTROL_FEATURE_REQUEST);
    request.Hdr.Function = Function;
    request.FeatureSelector = USB_FEATURE_REMOTE_WAKEUP;
    request.Index = 0;
    return SubmitUrbSync(Adapter, &urb);
}

// PASSIVE_LEVEL. ResultSuccess, or ResultFailure when NDIS gave no next device object.
ULONG GetDeviceObjects(Adapter* Adapter) {
    NdisMGetDeviceProperty(Adapter->MiniportAdapterHandle, &Adapter->PhysicalDeviceObject,
                           &Adapter->FunctionalDeviceObject, &Adapter->NextDeviceObject,
                           nullptr, nullptr);
    // Every request goes to the next device object; without one nothing can be sent.
    return Adapter->NextDeviceObject != nullptr ? ResultSuccess : ResultFailure;
}

// PASSIVE_LEVEL. ResultSuccess or ResultFailure; a failure undoes nothing on the device, and
// the tracked buffers stay with the tracker.
ULONG ConfigureUsbDevice(Adapter* Adapter) {
    if (GetDeviceObjects(Adapter) != ResultSuccess) return ResultFailure;
    Adapter->IrpStackSize = static_cast<UCHAR>(Adapter->NextDeviceObject->StackSize + 1);

    USB_DEVICE_DESCRIPTOR* device = &Adapter->DeviceDescriptor;
    if (ReadDescriptor(Adapter, USB_DEVICE_DESCRIPTOR_TYPE, device, sizeof(*device)) !=
        ResultSuccess) {
        return ResultFailure;
    }
    Adapter->VendorId = device->idVendor;
    Adapter->ProductId = device->idProduct;
    // The URB's own status is not looked at, so a read that moved no data shows as an
    // all-zero descriptor: the device did not enumerate properly.
    if (device->idVendor == 0 && device->idProduct == 0 && device->bLength == 0) {
        CyclePort(Adapter, IOCTL_INTERNAL_USB_CYCLE_PORT);
        return ResultFailure;
    }

    PVOID buffer = nullptr;
    if (AllocateTrackedMemory(Adapter, &buffer, ConfigDescriptorBufferSize) != ResultSuccess) {
        return ResultFailure;
    }
    Adapter->ConfigDescriptor = static_cast<USB_CONFIGURATION_DESCRIPTOR*>(buffer);
    ULONG read = 0;
    if (ReadDescriptor(Adapter, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer,
                       ConfigDescriptorBufferSize, &read) != ResultSuccess) {
        return ResultFailure;
    }
    // Only the bytes read may be parsed: a set longer than the buffer, or one the device sent
    // short of the wTotalLength it claims, is cut to them, so that no descriptor is made of
    // the zeroes beyond.
    if (Adapter->ConfigDescriptor->wTotalLength > read) {
        Adapter->ConfigDescriptor->wTotalLength = static_cast<USHORT>(read);
    }

    USB_INTERFACE_DESCRIPTOR* interface = USBD_ParseConfigurationDescriptorEx(
        Adapter->ConfigDescriptor, Adapter->ConfigDescriptor, -1, -1, -1, -1, -1);
    if (interface == nullptr) return ResultFailure;
    // The request names one interface; the bus reads as many as the configuration declares.
    if (Adapter->ConfigDescriptor->bNumInterfaces != 1) return ResultFailure;
    if (SelectConfiguration(Adapter, interface) != ResultSuccess) return ResultFailure;

    if (SendRemoteWakeupFeature(Adapter, URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE) != ResultSuccess) {
        return ResultFailure;
    }
    return ReadDeviceStatus(Adapter) == ResultSuccess ? ResultSuccess : ResultFailure;
}
