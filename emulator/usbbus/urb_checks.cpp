// The checks every URB passes before the bus accepts it (URB_FORM, URB_PIPE). A failed check
// is reported and the URB is refused with the status a bus driver would give.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "emulator/kernel/kernel.h"
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
    kernel_.Check().Report(Rule::UrbForm, "IoCallDriver", std::move(detail));
}

void Bus::ReportPipe(std::string detail) {
    kernel_.Check().Report(Rule::UrbPipe, "IoCallDriver", std::move(detail));
}

// The host controller reads and writes the URB and its buffer from its completion DPC, at
// DISPATCH_LEVEL, where a page fault is fatal; a buffer without an MDL is described with
// MmBuildMdlForNonPagedPool, which takes resident memory only (its page, learn.microsoft.com/
// windows-hardware/drivers/ddi/wdm/nf-wdm-mmbuildmdlfornonpagedpool). Reported, then served.
void Bus::ReportIfPaged(const void* address, const char* what) {
    if (!kernel_.Memory().IsPaged(address)) return;
    kernel_.Check().Report(Rule::IrqlCall, "IoCallDriver",
                            std::string(what) +
                                " lies in paged pool; the bus touches it at DISPATCH_LEVEL");
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
    const Pool& pool = kernel_.Memory();
    ReportIfPaged(urb, "the URB");
    if (const Pool::Block* block = pool.Containing(urb)) {
        const auto* end = pool.BlockStart(urb) + block->size;
        if (reinterpret_cast<const uint8_t*>(urb) + urb->UrbHeader.Length > end) {
            ReportForm("URB function " + Hex(function) + " with header length " +
                       std::to_string(urb->UrbHeader.Length) + " runs past the end of the " +
                       std::to_string(block->size) + "-byte block the URB lies in, " +
                       std::to_string(reinterpret_cast<const uint8_t*>(urb) -
                                      pool.BlockStart(urb)) +
                       " bytes in");
            return USBD_STATUS_INVALID_PARAMETER;
        }
    }
    return std::nullopt;
}

// Fields a client leaves zero: the reserved ones, the link (the bus chains no URBs) and the
// transfer flags a form does not take. A URB built on the stack without being zeroed first
// shows here. The header's status, device handle and flags and the host controller's area
// belong to the bus driver, which writes them, so whatever the client left there is not
// looked at.
std::optional<USBD_STATUS> Bus::CheckReserved(const URB* urb) {
    const USHORT function = urb->UrbHeader.Function;
    std::vector<std::string> set;
    auto zero = [&set](const char* name, auto value) {
        if (value != decltype(value){} && std::find(set.begin(), set.end(), name) == set.end())
            set.push_back(name);
    };
    const URB* link = nullptr;
    ULONG flags = 0;
    ULONG allowed_flags = 0;
    switch (function) {
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_RESET_PIPE:
            zero("Reserved", urb->UrbPipeRequest.Reserved);
            break;
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            const auto& r = urb->UrbControlDescriptorRequest;
            zero("Reserved", r.Reserved);
            zero("Reserved0", r.Reserved0);
            zero("Reserved1", r.Reserved1);
            zero("Reserved2", r.Reserved2);
            link = r.UrbLink;
            break;
        }
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: {
            const auto& r = urb->UrbControlFeatureRequest;
            zero("Reserved", r.Reserved);
            zero("Reserved0", r.Reserved0);
            zero("Reserved1", r.Reserved1);
            zero("Reserved2", r.Reserved2);
            zero("Reserved3", r.Reserved3);
            zero("Reserved4", r.Reserved4);
            zero("Reserved5", r.Reserved5);
            link = r.UrbLink;
            break;
        }
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE: {
            const auto& r = urb->UrbControlGetStatusRequest;
            zero("Reserved", r.Reserved);
            zero("Reserved0", r.Reserved0);
            for (UCHAR byte : r.Reserved1) zero("Reserved1", byte);
            zero("Reserved2", r.Reserved2);
            link = r.UrbLink;
            break;
        }
        case URB_FUNCTION_VENDOR_DEVICE: {
            const auto& r = urb->UrbControlVendorClassRequest;
            zero("Reserved", r.Reserved);
            // Its bits would turn the request's recipient from the device into something else.
            zero("RequestTypeReservedBits", r.RequestTypeReservedBits);
            zero("Reserved1", r.Reserved1);
            link = r.UrbLink;
            flags = r.TransferFlags;
            allowed_flags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
            break;
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            const auto& r = urb->UrbBulkOrInterruptTransfer;
            link = r.UrbLink;
            flags = r.TransferFlags;
            allowed_flags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
            break;
        }
        default:
            break;  // select configuration: its interface entries are checked as it is built
    }
    if (!set.empty()) {
        std::string names;
        for (const std::string& name : set) names += (names.empty() ? "" : ", ") + name;
        ReportForm("URB function " + Hex(function) + " with reserved fields not zero (" + names +
                   "): a URB the client did not zero");
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (link != nullptr) {
        ReportForm("URB function " + Hex(function) +
                   " with a UrbLink: the bus driver chains no URBs");
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if ((flags & ~allowed_flags) != 0) {
        ReportPipe("URB function " + Hex(function) + " with transfer flags " + Hex(flags) +
                   ", of which " + Hex(flags & ~allowed_flags) + " this transfer does not take");
        return USBD_STATUS_INVALID_PARAMETER;
    }
    return std::nullopt;
}

std::optional<USBD_STATUS> Bus::CheckBuffer(const void* buffer, size_t length, bool has_mdl) {
    if (length == 0) return std::nullopt;
    if (buffer == nullptr) {
        if (has_mdl) {
            kernel_.Check().Report(Rule::Platform, "IoCallDriver",
                                    "transfer buffers described by an MDL are not provided");
        } else {
            ReportPipe("a transfer of " + std::to_string(length) + " bytes without a buffer");
        }
        return USBD_STATUS_INVALID_PARAMETER;
    }
    const Pool& pool = kernel_.Memory();
    ReportIfPaged(buffer, "the transfer buffer");
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
    // Named only for a report: every bulk transfer comes through here.
    auto name = [pipe] { return "endpoint " + Hex(pipe->endpoint); };
    if (pipe->type != USB_ENDPOINT_TYPE_BULK && pipe->type != USB_ENDPOINT_TYPE_INTERRUPT) {
        ReportPipe("a bulk or interrupt transfer on " + name() + ", which is neither");
        return USBD_STATUS_INVALID_PARAMETER;
    }
    const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (in != pipe->In()) {
        ReportPipe(std::string("an ") + (in ? "IN" : "OUT") + " transfer on " + name());
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (!in && (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0) {
        ReportPipe("USBD_SHORT_TRANSFER_OK on an OUT transfer to " + name());
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (request.TransferBufferLength > pipe->max_transfer) {
        ReportPipe("a transfer of " + std::to_string(request.TransferBufferLength) + " bytes on " +
                   name() + ", whose MaximumTransferSize is " + std::to_string(pipe->max_transfer));
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (auto refused = CheckBuffer(request.TransferBuffer, request.TransferBufferLength,
                                   request.TransferBufferMDL != nullptr))
        return refused;
    return std::nullopt;
}

}  // namespace emu::usb
