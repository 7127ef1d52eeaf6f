// The end of a request the bus holds: cancelled, due on its pipe or timer, failed by a
// fault or cut short, and completed to its client.
#include "emulator/usbbus/bus.h"

#include <algorithm>
#include <cstring>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/kernel.h"
#include "emulator/kernel/platform_lock.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/processor.h"
#include "emulator/usbbus/urb_view.h"
#include "emulator/verifier/verifier.h"

namespace emu::usb {

void Bus::CancelRequest(IRP* irp) {
    auto found = std::find_if(transfers_.begin(), transfers_.end(),
                              [irp](const auto& entry) { return entry.second->irp == irp; });
    if (found == transfers_.end()) return;
    Transfer& transfer = *found->second;
    if (transfer.stage == Stage::Ending) return;
    // Aborts and port cycles end on their own within milliseconds, unless held on purpose.
    if ((transfer.kind == Kind::Abort || transfer.kind == Kind::CyclePort) &&
        transfer.stage != Stage::Held)
        return;
    const uint64_t id = transfer.id;
    Pipe* pipe = Unqueue(transfer);
    transfer.stage = Stage::Ending;
    // Ended from the scheduler: the canceller may hold locks its completion routine takes.
    kernel_.Clock().After(0, "cancelled USB request",
                           [this, id] { Finish(id, {USBD_STATUS_CANCELED}); });
    if (pipe != nullptr) StartNext(pipe);
}

Bus::Pipe* Bus::Unqueue(Transfer& transfer) {
    if (transfer.timer != 0) kernel_.Clock().Cancel(transfer.timer);
    transfer.timer = 0;
    Pipe* pipe = transfer.pipe;
    if (pipe == nullptr) return nullptr;
    auto at = std::find(pipe->queue.begin(), pipe->queue.end(), transfer.id);
    if (at != pipe->queue.end()) {
        if (at == pipe->queue.begin() && pipe->moving) pipe->moving = false;
        pipe->queue.erase(at);
    }
    return pipe;
}

void Bus::Due(uint64_t id) {
    auto found = transfers_.find(id);
    if (found == transfers_.end()) return;
    Transfer& transfer = *found->second;
    transfer.timer = 0;
    Outcome outcome;
    const Fault* fault = transfer.fault ? &*transfer.fault : nullptr;
    if (const std::optional<USBD_STATUS> status = FaultStatus(fault)) {
        if (fault->reaches_device) Execute(transfer);
        outcome.status = *status;
    } else {
        outcome = Execute(transfer);
        if (fault != nullptr && fault->action == FaultAction::ShortPacket)
            CutShort(transfer, fault->short_length, outcome);
    }
    Finish(id, std::move(outcome));
}

// The status a fault ends its transfer with in place of the transfer's own; none when the
// transfer runs.
std::optional<USBD_STATUS> Bus::FaultStatus(const Fault* fault) {
    if (fault == nullptr) return std::nullopt;
    switch (fault->action) {
        case FaultAction::Fail: return fault->status;
        case FaultAction::Stall: return USBD_STATUS_STALL_PID;
        case FaultAction::Cancel: return USBD_STATUS_CANCELED;
        case FaultAction::Babble: return USBD_STATUS_BABBLE_DETECTED;
        default: return std::nullopt;
    }
}

// The device ended its IN data early: the client gets the first `length` bytes. A control
// read may come back short; a bulk IN transfer only with USBD_SHORT_TRANSFER_OK, or on EHCI.
void Bus::CutShort(const Transfer& transfer, uint32_t length, Outcome& outcome) const {
    const bool in = transfer.kind == Kind::Control ? transfer.setup.DeviceToHost()
                                                   : transfer.kind == Kind::Data &&
                                                         transfer.pipe->In();
    const bool ran = outcome.status == USBD_STATUS_SUCCESS ||
                     outcome.status == USBD_STATUS_ERROR_SHORT_TRANSFER;
    if (!in || !ran || outcome.length <= length) return;
    outcome.length = length;
    if (outcome.in_data.size() > length) outcome.in_data.resize(length);
    if (transfer.kind == Kind::Data &&
        ShortIsError(transfer.urb->UrbBulkOrInterruptTransfer.TransferFlags))
        outcome.status = USBD_STATUS_ERROR_SHORT_TRANSFER;
}

Bus::Outcome Bus::Execute(Transfer& transfer) {
    switch (transfer.kind) {
        case Kind::Control: return RunControl(transfer);
        case Kind::Data: return RunData(transfer);
        case Kind::Abort: return EndAborted(transfer);
        case Kind::CyclePort: return CyclePort();
    }
    return {};
}

void Bus::Finish(uint64_t id, Outcome outcome) {
    auto found = transfers_.find(id);
    if (found == transfers_.end()) return;
    std::unique_ptr<Transfer> transfer = Release(found);
    Pipe* pipe = Unqueue(*transfer);
    if (outcome.status == USBD_STATUS_SUCCESS) ApplyAction(*transfer);
    HaltOnError(*transfer, outcome.status);
    Trace('C', *transfer, &outcome);
    CompleteRequest(transfer->irp, transfer->urb, outcome);
    Keep(std::move(transfer), std::move(outcome.in_data));
    if (pipe != nullptr) StartNext(pipe);
}

std::unique_ptr<Bus::Transfer> Bus::NewTransfer() {
    if (spare_transfers_.empty()) return std::make_unique<Transfer>();
    std::unique_ptr<Transfer> transfer = std::move(spare_transfers_.back());
    spare_transfers_.pop_back();
    return transfer;
}

void Bus::Hold(std::unique_ptr<Transfer> transfer) {
    const uint64_t id = transfer->id;
    if (spare_nodes_.empty()) {
        transfers_.emplace(id, std::move(transfer));
        return;
    }
    Transfers::node_type node = std::move(spare_nodes_.back());
    spare_nodes_.pop_back();
    node.key() = id;
    node.mapped() = std::move(transfer);
    transfers_.insert(std::move(node));
}

std::unique_ptr<Bus::Transfer> Bus::Release(Transfers::iterator held) {
    Transfers::node_type node = transfers_.extract(held);
    std::unique_ptr<Transfer> transfer = std::move(node.mapped());
    constexpr size_t kSpareKept = 16;
    if (spare_nodes_.size() < kSpareKept) spare_nodes_.push_back(std::move(node));
    return transfer;
}

// Made new but for the capacity of its buffers, which the next transfer reuses.
void Bus::Keep(std::unique_ptr<Transfer> transfer, std::vector<uint8_t> in_data) {
    constexpr size_t kSpareKept = 16;
    if (spare_transfers_.size() >= kSpareKept) return;
    std::vector<uint64_t> aborted = std::move(transfer->aborted);
    if (in_data.capacity() < transfer->in_data.capacity()) in_data = std::move(transfer->in_data);
    *transfer = Transfer{};
    in_data.clear();
    aborted.clear();
    transfer->in_data = std::move(in_data);
    transfer->aborted = std::move(aborted);
    spare_transfers_.push_back(std::move(transfer));
}

// The host controller halts a data pipe whose transfer failed; only a reset of the pipe
// clears it, and until then every transfer on it fails with USBD_STATUS_ENDPOINT_HALTED.
void Bus::HaltOnError(const Transfer& transfer, USBD_STATUS status) {
    if (transfer.kind == Kind::Data && transfer.pipe != nullptr && HaltsEndpoint(status))
        transfer.pipe->halted = true;
}

void Bus::CompleteRequest(IRP* irp, URB* urb, const Outcome& outcome) {
    IoSetCancelRoutine(irp, nullptr);
    if (urb != nullptr) {
        urb->UrbHeader.Status = outcome.status;
        BufferView view = BufferOf(urb);
        if (view) {
            if (!outcome.in_data.empty() && *view.buffer != nullptr)
                std::memcpy(*view.buffer, outcome.in_data.data(),
                            std::min<size_t>(outcome.in_data.size(), *view.length));
            *view.length = outcome.length;
        }
    }
    irp->IoStatus.Status = NtStatusFor(outcome.status);
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace emu::usb
