// The data buffer fields of the URB forms that move data, found by function.
#pragma once

#include <cstddef>

#include "platform/usb.h"

namespace emu::usb {

struct BufferView {
    PVOID* buffer = nullptr;   // TransferBuffer
    PVOID* mdl = nullptr;      // TransferBufferMDL
    ULONG* length = nullptr;   // TransferBufferLength
    explicit operator bool() const { return buffer != nullptr; }
};

inline BufferView BufferOf(URB* urb) {
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& r = urb->UrbControlDescriptorRequest;
            return {&r.TransferBuffer, &r.TransferBufferMDL, &r.TransferBufferLength};
        }
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE: {
            auto& r = urb->UrbControlGetStatusRequest;
            return {&r.TransferBuffer, &r.TransferBufferMDL, &r.TransferBufferLength};
        }
        case URB_FUNCTION_VENDOR_DEVICE: {
            auto& r = urb->UrbControlVendorClassRequest;
            return {&r.TransferBuffer, &r.TransferBufferMDL, &r.TransferBufferLength};
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            auto& r = urb->UrbBulkOrInterruptTransfer;
            return {&r.TransferBuffer, &r.TransferBufferMDL, &r.TransferBufferLength};
        }
        default:
            return {};
    }
}

// Smallest header length each known function's form needs; 0 for an unknown function.
inline size_t FormSize(USHORT function) {
    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION: return sizeof(_URB_SELECT_CONFIGURATION);
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_RESET_PIPE: return sizeof(_URB_PIPE_REQUEST);
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            return sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: return sizeof(_URB_CONTROL_FEATURE_REQUEST);
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
            return sizeof(_URB_CONTROL_GET_STATUS_REQUEST);
        case URB_FUNCTION_VENDOR_DEVICE: return sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        default: return 0;
    }
}

}  // namespace emu::usb
