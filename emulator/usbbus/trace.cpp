// The trace hook's records: what each submission and completion of a control or data
// transfer looks like to a usbmon capture.
#include "emulator/kernel/kernel.h"
#include "emulator/usbbus/bus.h"
#include "emulator/usbbus/trace.h"
#include "emulator/usbbus/urb_view.h"

namespace emu::usb {

void Bus::Trace(char type, const Transfer& transfer, const Outcome* outcome) {
    if (!trace_hook_) return;
    if (transfer.kind != Kind::Control && transfer.kind != Kind::Data) return;
    if (transfer.pipe == nullptr) return;  // refused before it had a pipe
    TraceRecord record;
    // The data buffer goes from record to record, so tracing a frame allocates nothing.
    record.data.swap(trace_data_);
    record.data.clear();
    record.id = transfer.id;
    record.type = type;
    record.device = address_;
    record.bus = kBusNumber;
    record.time_us = kernel_.Clock().Now();
    BufferView view = transfer.urb != nullptr ? BufferOf(transfer.urb) : BufferView{};
    const auto* buffer = view ? static_cast<const uint8_t*>(*view.buffer) : nullptr;
    bool in = false;
    uint32_t requested = 0;
    if (transfer.kind == Kind::Control) {
        record.transfer_type = kTransferControl;
        in = transfer.setup.DeviceToHost();
        record.endpoint = in ? USB_ENDPOINT_DIRECTION_IN : 0;
        requested = transfer.setup.length;
        if (type != 'C') {
            record.has_setup = true;
            record.setup = transfer.setup.Bytes();
        }
    } else {
        record.transfer_type = transfer.pipe->type == USB_ENDPOINT_TYPE_INTERRUPT
                                   ? kTransferInterrupt
                                   : kTransferBulk;
        record.endpoint = transfer.pipe->endpoint;
        in = transfer.pipe->In();
        requested = view ? *view.length : 0;
    }
    if (type == 'S') {
        record.status = kStatusInProgress;
        record.length = requested;
        if (!in && buffer != nullptr) record.data.assign(buffer, buffer + requested);
    } else if (type == 'E') {
        record.status = UsbmonStatus(outcome->status);
        record.length = requested;
    } else {
        record.status = UsbmonStatus(outcome->status);
        record.length = outcome->length;
        if (in) record.data.assign(outcome->in_data.begin(), outcome->in_data.end());
    }
    trace_hook_(record);
    trace_data_.swap(record.data);
}

}  // namespace emu::usb
