// Control transfers on the default pipe: the setup stage each URB function becomes, the
// device's answer, and what a selected configuration opens.
#include <algorithm>
#include <cstddef>

#include "emulator/kernel/kernel.h"
#include "emulator/usbbus/bus.h"
#include "emulator/usbbus/configuration_set.h"
#include "emulator/usbbus/urb_view.h"
#include "emulator/verifier/verifier.h"

namespace emu::usb {

namespace {

constexpr uint8_t kHostToDevice = 0x00;
constexpr uint8_t kDeviceToHost = 0x80;
constexpr uint8_t kVendor = 0x40;
constexpr size_t kFirstInterface = offsetof(_URB_SELECT_CONFIGURATION, Interface);

USBD_INTERFACE_INFORMATION* InterfaceAt(URB* urb, size_t offset) {
    return reinterpret_cast<USBD_INTERFACE_INFORMATION*>(reinterpret_cast<uint8_t*>(urb) + offset);
}

}  // namespace

std::optional<USBD_STATUS> Bus::BuildControl(URB* urb, Transfer& transfer) {
    transfer.kind = Kind::Control;
    transfer.pipe = &default_pipe_;
    Setup& setup = transfer.setup;
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            const auto& r = urb->UrbControlDescriptorRequest;
            setup = {kDeviceToHost, USB_REQUEST_GET_DESCRIPTOR,
                     static_cast<uint16_t>(r.DescriptorType << 8 | r.Index), r.LanguageId, 0};
            break;
        }
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: {
            const auto& r = urb->UrbControlFeatureRequest;
            const bool set = urb->UrbHeader.Function == URB_FUNCTION_SET_FEATURE_TO_DEVICE;
            setup = {kHostToDevice, set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE,
                     r.FeatureSelector, r.Index, 0};
            return std::nullopt;
        }
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE: {
            const auto& r = urb->UrbControlGetStatusRequest;
            setup = {kDeviceToHost, USB_REQUEST_GET_STATUS, 0, r.Index, 0};
            break;
        }
        case URB_FUNCTION_VENDOR_DEVICE: {
            const auto& r = urb->UrbControlVendorClassRequest;
            const bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            setup = {static_cast<uint8_t>((in ? kDeviceToHost : kHostToDevice) | kVendor |
                                          r.RequestTypeReservedBits),
                     r.Request, r.Value, r.Index, 0};
            if (!in && (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0) {
                ReportPipe("USBD_SHORT_TRANSFER_OK on an OUT control transfer");
                return USBD_STATUS_INVALID_PARAMETER;
            }
            break;
        }
    }
    BufferView view = BufferOf(urb);
    if (*view.length > 0xFFFF) {
        kernel_.Check().Report(Rule::UrbForm, "IoCallDriver",
                                "a control transfer of " + std::to_string(*view.length) +
                                    " bytes does not fit wLength");
        return USBD_STATUS_INVALID_PARAMETER;
    }
    setup.length = static_cast<uint16_t>(*view.length);
    return CheckBuffer(*view.buffer, *view.length, *view.mdl != nullptr);
}

std::optional<USBD_STATUS> Bus::BuildSelectConfiguration(URB* urb, Transfer& transfer) {
    transfer.kind = Kind::Control;
    transfer.pipe = &default_pipe_;
    transfer.setup = {kHostToDevice, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0};
    const auto& select = urb->UrbSelectConfiguration;
    if (select.ConfigurationDescriptor == nullptr) return std::nullopt;  // unconfigure

    const auto device_config = ParseConfigurationSet(device_->ConfigurationSet());
    const uint8_t value = select.ConfigurationDescriptor->bConfigurationValue;
    if (!device_config || device_config->value != value) return USBD_STATUS_INVALID_PARAMETER;
    size_t offset = kFirstInterface;
    for (unsigned i = 0; i < select.ConfigurationDescriptor->bNumInterfaces; ++i) {
        if (offset + GET_USBD_INTERFACE_SIZE(0) > urb->UrbHeader.Length) {
            ReportForm("select-configuration header length " +
                       std::to_string(urb->UrbHeader.Length) + " leaves no room for interface " +
                       std::to_string(i));
            return USBD_STATUS_INVALID_PARAMETER;
        }
        const USBD_INTERFACE_INFORMATION* info = InterfaceAt(urb, offset);
        const InterfaceInfo* real = device_config->Find(info->InterfaceNumber, info->AlternateSetting);
        if (real == nullptr) {
            ReportForm("the device has no interface " + std::to_string(info->InterfaceNumber) +
                       " alternate " + std::to_string(info->AlternateSetting));
            return USBD_STATUS_INVALID_PARAMETER;
        }
        const size_t needed = GET_USBD_INTERFACE_SIZE(real->endpoints.size());
        if (info->Length < needed || offset + info->Length > urb->UrbHeader.Length) {
            ReportForm("interface information of " + std::to_string(info->Length) +
                       " bytes where " + std::to_string(real->endpoints.size()) +
                       " pipes need " + std::to_string(needed) + ", within a header length of " +
                       std::to_string(urb->UrbHeader.Length));
            return USBD_STATUS_INVALID_PARAMETER;
        }
        // No pipe can be opened for an endpoint that moves no bytes per packet.
        for (const EndpointInfo& endpoint : real->endpoints) {
            const bool isochronous =
                (endpoint.attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS;
            if (endpoint.max_packet == 0 && !isochronous) return USBD_STATUS_INVALID_PARAMETER;
        }
        if (info->Reserved != 0) {
            ReportForm("interface " + std::to_string(info->InterfaceNumber) +
                       " information with its Reserved byte not zero");
            return USBD_STATUS_INVALID_PARAMETER;
        }
        for (size_t p = 0; p < real->endpoints.size(); ++p) {
            if (info->Pipes[p].PipeFlags != 0) {
                ReportForm("pipe " + std::to_string(p) + " of interface " +
                           std::to_string(info->InterfaceNumber) + " with PipeFlags " +
                           std::to_string(info->Pipes[p].PipeFlags) +
                           ", which this bus does not take");
                return USBD_STATUS_INVALID_PARAMETER;
            }
        }
        offset += info->Length;
    }
    transfer.setup.value = value;
    return std::nullopt;
}

Bus::Outcome Bus::RunControl(Transfer& transfer) {
    const Setup& setup = transfer.setup;
    std::span<const uint8_t> out;
    BufferView view = transfer.urb != nullptr ? BufferOf(transfer.urb) : BufferView{};
    if (!setup.DeviceToHost() && setup.length > 0)
        out = {static_cast<const uint8_t*>(*view.buffer), setup.length};
    ControlAnswer answer = device_->Control(setup, out);
    if (answer.stall) return {USBD_STATUS_STALL_PID};
    Outcome outcome;
    if (setup.DeviceToHost()) {
        answer.data.resize(std::min<size_t>(answer.data.size(), setup.length));
        outcome.length = static_cast<uint32_t>(answer.data.size());
        outcome.in_data = std::move(answer.data);
    } else {
        outcome.length = setup.length;
    }
    return outcome;
}

void Bus::ApplyAction(Transfer& transfer) {
    if (transfer.action == Action::ResetPipe) {
        transfer.target->halted = false;
    } else if (transfer.action == Action::SelectConfiguration) {
        ApplySelectConfiguration(transfer);
    }
}

USBD_PIPE_HANDLE Bus::NewHandle() {
    next_handle_ += 0x10;
    return reinterpret_cast<USBD_PIPE_HANDLE>(next_handle_);
}

void Bus::ApplySelectConfiguration(Transfer& transfer) {
    RetirePipes(USBD_STATUS_CANCELED);
    URB* urb = transfer.urb;
    auto& select = urb->UrbSelectConfiguration;
    if (select.ConfigurationDescriptor == nullptr) {
        configuration_ = nullptr;
        return;
    }
    const auto device_config = ParseConfigurationSet(device_->ConfigurationSet());
    configuration_ = NewHandle();
    select.ConfigurationHandle = configuration_;
    size_t offset = kFirstInterface;
    for (unsigned i = 0; i < select.ConfigurationDescriptor->bNumInterfaces; ++i) {
        USBD_INTERFACE_INFORMATION* info = InterfaceAt(urb, offset);
        const InterfaceInfo* real = device_config->Find(info->InterfaceNumber, info->AlternateSetting);
        info->InterfaceHandle = NewHandle();
        info->Class = real->interface_class;
        info->SubClass = real->subclass;
        info->Protocol = real->protocol;
        info->NumberOfPipes = static_cast<ULONG>(real->endpoints.size());
        for (size_t p = 0; p < real->endpoints.size(); ++p) {
            const EndpointInfo& endpoint = real->endpoints[p];
            USBD_PIPE_INFORMATION& entry = info->Pipes[p];
            auto pipe = std::make_unique<Pipe>();
            pipe->handle = NewHandle();
            pipe->endpoint = endpoint.address;
            pipe->type = endpoint.attributes & USB_ENDPOINT_TYPE_MASK;
            pipe->max_packet = endpoint.max_packet;
            pipe->interval = endpoint.interval;
            pipe->max_transfer = entry.MaximumTransferSize;  // as the client asked
            entry.MaximumPacketSize = endpoint.max_packet;
            entry.EndpointAddress = endpoint.address;
            entry.Interval = endpoint.interval;
            entry.PipeType = static_cast<USBD_PIPE_TYPE>(pipe->type);
            entry.PipeHandle = pipe->handle;
            open_pipes_[pipe->handle] = pipe.get();
            pipes_.push_back(std::move(pipe));
        }
        offset += info->Length;
    }
}

void Bus::RetirePipes(USBD_STATUS pending_status) {
    std::vector<uint64_t> ending;
    for (auto& [handle, pipe] : open_pipes_) {
        pipe->valid = false;
        ending.insert(ending.end(), pipe->queue.begin(), pipe->queue.end());
    }
    open_pipes_.clear();
    configuration_ = nullptr;
    for (uint64_t id : ending) Finish(id, {pending_status});
}

}  // namespace emu::usb
