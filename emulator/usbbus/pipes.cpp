// Pipe queues and bus time: one transfer moves per pipe at a time, bulk and interrupt packets
// share the frames, a bulk IN transfer waits for the device's data; abort and port cycle.
#include <algorithm>

#include "emulator/kernel/kernel.h"
#include "emulator/usbbus/bus.h"
#include "emulator/usbbus/urb_view.h"
#include "emulator/verifier/verifier.h"

namespace emu::usb {

uint32_t Bus::PacketsFor(size_t bytes, uint16_t max_packet) const {
    if (max_packet == 0) max_packet = 64;
    const auto packets = static_cast<uint32_t>((bytes + max_packet - 1) / max_packet);
    return bytes == 0 ? 1 : packets;  // a zero-length transfer is one empty packet
}

uint64_t Bus::Occupy(uint32_t packets) {
    const uint64_t start = std::max(kernel_.Clock().Now(), bulk_free_at_us_);
    bulk_free_at_us_ = start + (uint64_t{packets} * 1000 + kPacketsPerFrame - 1) / kPacketsPerFrame;
    return bulk_free_at_us_;
}

void Bus::StartNext(Pipe* pipe) {
    if (pipe->moving || pipe->queue.empty() || !pipe->valid || gone_) return;
    const uint64_t id = pipe->queue.front();
    Transfer& transfer = *transfers_.at(id);
    const Fault* fault = transfer.fault ? &*transfer.fault : nullptr;
    if (fault != nullptr && fault->action == FaultAction::PendForever) {
        transfer.stage = Stage::Held;  // and the pipe behind it waits, as behind a hung device
        return;
    }
    const bool faulted = fault != nullptr && !fault->reaches_device &&
                         (fault->action == FaultAction::Fail ||
                          fault->action == FaultAction::Stall ||
                          fault->action == FaultAction::Cancel ||
                          fault->action == FaultAction::Babble);
    uint64_t when = kernel_.Clock().Now();
    if (transfer.kind == Kind::Control) {
        when += kControlTimeUs;
    } else if (!pipe->halted) {
        uint32_t packets = 1;  // a stall, or an error on IN, ends it at its first packet
        if (!faulted && device_->EndpointHalted(pipe->endpoint)) {
            transfer.stalled = true;
        } else if (!pipe->In()) {
            packets = PacketsFor(*BufferOf(transfer.urb).length, pipe->max_packet);
        } else if (!faulted) {
            if (!device_->InReady(pipe->endpoint)) return;  // NAKed until data comes
            packets = PullIn(transfer);
            if (!transfer.in_ended) return;  // the rest of it has yet to come
        }
        when = Occupy(packets);
    }
    transfer.stage = Stage::Moving;
    pipe->moving = true;
    transfer.timer = kernel_.Clock().At(when, "USB transfer", [this, id] { Due(id); });
}

// The host asks for packets until the transfer ends: at a short packet, or with its buffer
// full, when whatever the device has left stays there for the next transfer. A packet longer
// than the room left is babble: the transfer ends in error with what came before it, and the
// device, never acknowledged, still holds that packet. Returns the packets that crossed the
// bus.
uint32_t Bus::PullIn(Transfer& transfer) {
    const Pipe& pipe = *transfer.pipe;
    const size_t length = transfer.urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    uint32_t packets = 0;
    while (!transfer.in_ended) {
        const size_t room = length - transfer.in_data.size();
        if (room == 0 && length != 0) {
            transfer.in_ended = true;
            break;
        }
        const std::optional<size_t> next = device_->NextInPacket(pipe.endpoint);
        if (!next) break;  // nothing more yet: the transfer waits for it
        ++packets;
        if (*next > room) {
            transfer.in_status = USBD_STATUS_BABBLE_DETECTED;
            transfer.in_ended = true;
            break;
        }
        if (transfer.in_data.empty()) transfer.in_data.reserve(std::min<size_t>(length, 2048));
        if (device_->TakeInPacket(pipe.endpoint, &transfer.in_data) < pipe.max_packet)
            transfer.in_ended = true;
    }
    return packets;
}

Bus::Outcome Bus::RunData(Transfer& transfer) {
    Pipe* pipe = transfer.pipe;
    if (pipe->halted) return {USBD_STATUS_ENDPOINT_HALTED};
    if (transfer.stalled || device_->EndpointHalted(pipe->endpoint)) return {USBD_STATUS_STALL_PID};
    const auto& request = transfer.urb->UrbBulkOrInterruptTransfer;
    const uint32_t length = request.TransferBufferLength;
    if (!pipe->In()) {
        const auto* bytes = static_cast<const uint8_t*>(request.TransferBuffer);
        const uint16_t packet = pipe->max_packet;
        if (length == 0) device_->OutPacket(pipe->endpoint, {});
        for (uint32_t at = 0; at < length; at += packet)
            device_->OutPacket(pipe->endpoint,
                               {bytes + at, std::min<size_t>(packet, length - at)});
        return {USBD_STATUS_SUCCESS, length};
    }
    PullIn(transfer);  // when it did not wait on the bus for its data
    Outcome outcome;
    outcome.status = transfer.in_status;
    outcome.in_data = std::move(transfer.in_data);
    outcome.length = static_cast<uint32_t>(outcome.in_data.size());
    if (outcome.status == USBD_STATUS_SUCCESS && outcome.length < length &&
        ShortIsError(request.TransferFlags))
        outcome.status = USBD_STATUS_ERROR_SHORT_TRANSFER;
    return outcome;
}

void Bus::OnInReady(uint8_t endpoint) {
    for (auto& [handle, pipe] : open_pipes_)
        if (pipe->endpoint == endpoint) StartNext(pipe);
}

// ---- Abort and reset ------------------------------------------------------------------------

std::optional<USBD_STATUS> Bus::BuildPipeRequest(URB* urb, Transfer& transfer) {
    Pipe* target = FindPipe(urb->UrbPipeRequest.PipeHandle);
    if (target == nullptr) {
        ReportPipe("the pipe handle of an abort or reset is not from the selected configuration");
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    }
    transfer.target = target;
    if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        transfer.kind = Kind::Abort;
        return std::nullopt;
    }
    if (!target->queue.empty()) {
        kernel_.Check().Report(Rule::PipeReset, "IoCallDriver",
                                "reset of pipe " + std::to_string(target->endpoint) + " with " +
                                    std::to_string(target->queue.size()) +
                                    " transfer(s) still pending");
        return USBD_STATUS_ERROR_BUSY;
    }
    // Resetting a pipe clears the endpoint's halt on the device as well.
    transfer.kind = Kind::Control;
    transfer.action = Action::ResetPipe;
    transfer.pipe = &default_pipe_;
    transfer.setup = {0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, target->endpoint,
                      0};
    return std::nullopt;
}

void Bus::CollectAborted(Transfer& abort) {
    abort.collected = true;
    Pipe* pipe = abort.target;
    for (uint64_t id : pipe->queue) {
        Transfer& victim = *transfers_.at(id);
        if (victim.timer != 0) kernel_.Clock().Cancel(victim.timer);
        victim.timer = 0;
        victim.stage = Stage::Ending;
        abort.aborted.push_back(id);
    }
    pipe->queue.clear();
    pipe->moving = false;
}

// The aborted transfers are off the pipe already; only their completions are left, before
// the abort's own or a frame after it.
Bus::Outcome Bus::EndAborted(Transfer& abort) {
    if (!abort.collected) CollectAborted(abort);
    std::vector<uint64_t> ending = std::move(abort.aborted);
    if (AbortGoesFirst()) {
        if (!ending.empty())
            kernel_.Clock().After(kAbortTimeUs, "USB transfers cancelled by an abort",
                                   [this, ending = std::move(ending)] {
                                       for (uint64_t id : ending) Finish(id, {USBD_STATUS_CANCELED});
                                   });
        return {};
    }
    for (uint64_t id : ending) Finish(id, {USBD_STATUS_CANCELED});
    return {};
}

bool Bus::AbortGoesFirst() {
    switch (abort_order_) {
        case AbortOrder::TransfersFirst: return false;
        case AbortOrder::AbortFirst: return true;
        case AbortOrder::Seeded: return (abort_choice_() & 1) != 0;
    }
    return false;
}

// ---- Port cycle -----------------------------------------------------------------------------

Bus::Outcome Bus::CyclePort() {
    Enumerate();
    port_cycles_.push_back(kernel_.Clock().Now());
    return {};
}

}  // namespace emu::usb
