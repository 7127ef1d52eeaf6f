// What a URB status means beyond the URB: the request status that goes with it, whether the
// transfer halts its endpoint, and the errno a usbmon capture shows for it.
#include "emulator/usbbus/bus.h"
#include "emulator/usbbus/trace.h"

namespace emu::usb {

NTSTATUS NtStatusFor(USBD_STATUS status) {
    switch (status) {
        case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
        case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
        case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
        // A request the bus driver could not make sense of.
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE: return STATUS_INVALID_PARAMETER;
        default: return STATUS_UNSUCCESSFUL;
    }
}

bool HaltsEndpoint(USBD_STATUS status) {
    switch (status) {
        case USBD_STATUS_SUCCESS:
        case USBD_STATUS_CANCELED:         // the client took it back
        case USBD_STATUS_DEVICE_GONE:      // no endpoint left to halt
        case USBD_STATUS_ENDPOINT_HALTED:  // halted already
            return false;
        default:
            return true;
    }
}

int32_t UsbmonStatus(USBD_STATUS status) {
    switch (status) {
        case USBD_STATUS_SUCCESS: return 0;
        case USBD_STATUS_CANCELED: return -2;  // ENOENT: unlinked
        case USBD_STATUS_STALL_PID:
        case USBD_STATUS_ENDPOINT_HALTED: return -32;  // EPIPE
        case USBD_STATUS_DEVICE_GONE: return -19;      // ENODEV
        case USBD_STATUS_DATA_OVERRUN:
        case USBD_STATUS_BABBLE_DETECTED: return -75;  // EOVERFLOW
        case USBD_STATUS_CRC: return -84;              // EILSEQ
        case USBD_STATUS_DEV_NOT_RESPONDING:
        case USBD_STATUS_XACT_ERROR: return -71;       // EPROTO
        case USBD_STATUS_BUFFER_OVERRUN: return -70;   // ECOMM
        case USBD_STATUS_ERROR_BUSY: return -16;       // EBUSY
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE: return -22;  // EINVAL
        case USBD_STATUS_DATA_UNDERRUN:
        case USBD_STATUS_ERROR_SHORT_TRANSFER: return -121;  // EREMOTEIO
        default: return -5;                                  // EIO
    }
}

}  // namespace emu::usb
