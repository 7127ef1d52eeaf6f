// The checks every URB passes before the bus accepts it (URB_FORM, URB_PIPE). A failed check
// is reported and the URB is refused with the status a bus driver would give.
#include <cstdio>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/pool.h"
#include "emulator/usbbus/bus.h"
#include "emulator/usbbus/urb_view.h"
#include "emulator/verifier/verifier.h"

namespace emu::usb {

namespace {

std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

}  // namespace

void Bus::ReportForm(std::string detail) {
    machine_.Check().Report(Rule::UrbForm, "IoCallDriver", std::move(detail));
}

void Bus::ReportPipe(std::string detail) {
    machine_.Check().Report(Rule::UrbPipe, "IoCallDriver", std::move(detail));
}

std::optional<USBD_STATUS> Bus::CheckForm(const URB* urb) {
    const USHORT function = urb->UrbHeader.Function;
    const size_t needed = FormSize(function);
    if (needed == 0) {
        ReportForm("unknown URB function " + Hex(function));
        return USBD_STATUS_INVALID_URB_FUNCTION;
    }
    if (urb->UrbHeader.Length < needed) {
        ReportForm("URB function " + Hex(function) + " with header length " +
                   std::to_string(urb->UrbHeader.Length) + ", below the " +
                   std::to_string(needed) + " bytes of its form");
        return USBD_STATUS_INVALID_PARAMETER;
    }
    const Pool& pool = machine_.Memory();
    if (const Pool::Block* block = pool.Containing(urb)) {
        const auto* end = pool.BlockStart(urb) + block->size;
        if (reinterpret_cast<const uint8_t*>(urb) + urb->UrbHeader.Length > end) {
            ReportForm("URB header length " + std::to_string(urb->UrbHeader.Length) +
                       " runs past the end of the block the URB lies in");
            return USBD_STATUS_INVALID_PARAMETER;
        }
    }
    return std::nullopt;
}

std::optional<USBD_STATUS> Bus::CheckBuffer(const void* buffer, size_t length, bool has_mdl) {
    if (length == 0) return std::nullopt;
    if (buffer == nullptr) {
        if (has_mdl) {
            machine_.Check().Report(Rule::Platform, "IoCallDriver",
                                    "transfer buffers described by an MDL are not provided");
        } else {
            ReportPipe("a transfer of " + std::to_string(length) + " bytes without a buffer");
        }
        return USBD_STATUS_INVALID_PARAMETER;
    }
    const Pool& pool = machine_.Memory();
    if (const Pool::Block* block = pool.Containing(buffer)) {
        const uint8_t* start = pool.BlockStart(buffer);
        const size_t offset = static_cast<size_t>(static_cast<const uint8_t*>(buffer) - start);
        if (offset + length > block->size) {
            ReportPipe("a transfer of " + std::to_string(length) + " bytes at offset " +
                       std::to_string(offset) + " of a " + std::to_string(block->size) +
                       "-byte block runs past its end");
            return USBD_STATUS_INVALID_PARAMETER;
        }
    }
    return std::nullopt;
}

Bus::Pipe* Bus::FindPipe(USBD_PIPE_HANDLE handle) {
    auto found = open_pipes_.find(handle);
    return found == open_pipes_.end() ? nullptr : found->second;
}

std::optional<USBD_STATUS> Bus::CheckDataTransfer(const URB* urb, Pipe** pipe_out) {
    const auto& request = urb->UrbBulkOrInterruptTransfer;
    Pipe* pipe = FindPipe(request.PipeHandle);
    if (pipe == nullptr) {
        ReportPipe("a transfer on a pipe handle that is not from the selected configuration");
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    }
    *pipe_out = pipe;  // also for a refusal, so the trace can name the endpoint
    const std::string name = "endpoint " + Hex(pipe->endpoint);
    if (pipe->type != USB_ENDPOINT_TYPE_BULK && pipe->type != USB_ENDPOINT_TYPE_INTERRUPT) {
        ReportPipe("a bulk or interrupt transfer on " + name + ", which is neither");
        return USBD_STATUS_INVALID_PARAMETER;
    }
    const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (in != pipe->In()) {
        ReportPipe(std::string("an ") + (in ? "IN" : "OUT") + " transfer on " + name);
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (!in && (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0) {
        ReportPipe("USBD_SHORT_TRANSFER_OK on an OUT transfer to " + name);
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (request.TransferBufferLength > pipe->max_transfer) {
        ReportPipe("a transfer of " + std::to_string(request.TransferBufferLength) + " bytes on " +
                   name + ", whose MaximumTransferSize is " + std::to_string(pipe->max_transfer));
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (auto refused = CheckBuffer(request.TransferBuffer, request.TransferBufferLength,
                                   request.TransferBufferMDL != nullptr))
        return refused;
    return std::nullopt;
}

}  // namespace emu::usb
