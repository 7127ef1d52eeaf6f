// The port, the physical device object's dispatch routines, and the life of every request
// the bus holds: accepted, pended or ended at once, cancelled, completed.
#include "emulator/usbbus/bus.h"

#include <algorithm>
#include <cstring>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/kernel.h"
#include "emulator/kernel/processor.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/processor.h"
#include "emulator/verifier/verifier.h"
#include "emulator/usbbus/urb_view.h"
#include "emulator/kernel/platform_lock.h"

namespace emu::usb {

namespace {

Bus* BusOf(DEVICE_OBJECT* device) { return *static_cast<Bus**>(device->DeviceExtension); }

// A request reaching a device object whose bus is already gone (the machine shutting down).
NTSTATUS NoBus(IRP* irp) {
    irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_NOT_CONNECTED;
}

NTSTATUS PnpEntry(DEVICE_OBJECT* device, IRP* irp) {
    // Reached through IoCallDriver, which lets the platform go as for any driver.
    EMU_PLATFORM_ENTRY();
    emu::Processor::PlatformScope platform(emu::Kernel::Current().Cpu());
    Bus* bus = BusOf(device);
    return bus == nullptr ? NoBus(irp) : bus->DispatchPnp(device, irp);
}

NTSTATUS InternalControlEntry(DEVICE_OBJECT* device, IRP* irp) {
    EMU_PLATFORM_ENTRY();
    emu::Processor::PlatformScope platform(emu::Kernel::Current().Cpu());
    Bus* bus = BusOf(device);
    return bus == nullptr ? NoBus(irp) : bus->DispatchInternalControl(device, irp);
}

void CancelEntry(DEVICE_OBJECT* device, IRP* irp) {
    EMU_PLATFORM_ENTRY();
    if (Bus* bus = BusOf(device)) bus->CancelRequest(irp);
}

// The PnP requests a bus driver's physical device object answers with success.
bool PnpSucceeds(UCHAR minor) {
    switch (minor) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_CAPABILITIES:
        case IRP_MN_QUERY_RESOURCES:
        case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
        case IRP_MN_QUERY_DEVICE_TEXT:
        case IRP_MN_QUERY_ID:
        case IRP_MN_QUERY_PNP_DEVICE_STATE:
        case IRP_MN_QUERY_BUS_INFORMATION:
        case IRP_MN_SURPRISE_REMOVAL:
            return true;
        default:
            return false;
    }
}

}  // namespace

Bus::Bus(Kernel& kernel) : kernel_(kernel), self_(std::make_shared<Bus*>(this)) {
    default_pipe_.max_packet = 64;
}

Bus::~Bus() {
    *self_ = nullptr;
    for (DEVICE_OBJECT* pdo : pdos_) *static_cast<Bus**>(pdo->DeviceExtension) = nullptr;
}

// ---- The port -------------------------------------------------------------------------------

void Bus::PlugDevice(std::unique_ptr<Device> device) {
    if (device_ != nullptr && !gone_) {
        kernel_.Check().Report(Rule::Platform, "Bus::Plug",
                                "the port already holds a device; unplug it first");
        unplugged_.push_back(std::move(device));
        return;
    }
    if (device_ != nullptr) unplugged_.push_back(std::move(device_));
    RegisterLiveCheck();
    if (driver_ == nullptr) {
        driver_ = kernel_.Io().CreateDriver("usbbus");
        driver_->MajorFunction[IRP_MJ_PNP] = PnpEntry;
        driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = InternalControlEntry;
    }
    pdo_ = kernel_.Io().CreateDevice(driver_, sizeof(Bus*), 1);
    pdos_.push_back(pdo_);
    *static_cast<Bus**>(pdo_->DeviceExtension) = this;
    device_ = std::move(device);
    gone_ = false;
    after_removal_ = 0;
    removal_reported_ = false;
    device_->SetInReadyListener([this](uint8_t endpoint) { OnInReady(endpoint); });
    Enumerate();
}

void Bus::Enumerate() {
    RetirePipes(USBD_STATUS_DEVICE_GONE);
    configuration_ = nullptr;
    default_pipe_.halted = false;
    device_->BusReset();
    address_ = next_address_++;
}

void Bus::PowerCycle() {
    if (device_ == nullptr || gone_) return;
    RetirePipes(USBD_STATUS_DEVICE_GONE);
    default_pipe_.halted = false;
    device_->PowerCycle();
    address_ = next_address_++;
    power_cycles_.push_back(kernel_.Clock().Now());
}

void Bus::Unplug() {
    if (device_ == nullptr || gone_) return;
    gone_ = true;
    device_->SetInReadyListener(nullptr);
    std::vector<uint64_t> ending;
    for (auto& [id, transfer] : transfers_) {
        if (transfer->timer != 0) kernel_.Clock().Cancel(transfer->timer);
        transfer->timer = 0;
        transfer->stage = Stage::Ending;
        ending.push_back(id);
    }
    for (auto& pipe : pipes_) {
        pipe->queue.clear();
        pipe->moving = false;
    }
    default_pipe_.queue.clear();
    default_pipe_.moving = false;
    if (!ending.empty()) {
        kernel_.Clock().After(0, "USB device removed", [this, ending] {
            for (uint64_t id : ending) Finish(id, {USBD_STATUS_DEVICE_GONE});
        });
    }
    if (unplug_listener_) unplug_listener_();
}

void Bus::RegisterLiveCheck() {
    if (live_check_registered_) return;
    live_check_registered_ = true;
    kernel_.Memory().AddLiveCheck([self = self_](const void* begin, size_t size) -> std::string {
        Bus* bus = *self;
        return bus == nullptr ? std::string() : bus->LiveIn(begin, size);
    });
}

std::string Bus::LiveIn(const void* begin, size_t size) {
    const auto* first = static_cast<const uint8_t*>(begin);
    auto inside = [&](const void* p) {
        const auto* at = static_cast<const uint8_t*>(p);
        return at >= first && at < first + size;
    };
    for (const auto& [id, transfer] : transfers_) {
        if (transfer->urb != nullptr && inside(transfer->urb)) {
            kernel_.Check().Report(Rule::UrbActive, "free",
                                    "memory holding a URB the bus still holds is freed");
            return "a URB pending at the USB bus";
        }
        if (transfer->urb != nullptr) {
            BufferView view = BufferOf(transfer->urb);
            if (view && *view.buffer != nullptr && *view.length != 0 && inside(*view.buffer))
                return "the buffer of a pending USB transfer";
        }
    }
    return {};
}

// ---- Dispatch -------------------------------------------------------------------------------

NTSTATUS Bus::DispatchPnp(DEVICE_OBJECT* /*device*/, IRP* irp) {
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    pnp_log_.push_back(minor);
    // A physical device object leaves a request it does not handle as it found it.
    if (PnpSucceeds(minor)) irp->IoStatus.Status = STATUS_SUCCESS;
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Bus::DispatchInternalControl(DEVICE_OBJECT* device, IRP* irp) {
    const uint64_t serial = ++submissions_;
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        auto* urb = static_cast<URB*>(stack->Parameters.Others.Argument1);
        if (urb == nullptr) {
            kernel_.Check().Report(Rule::UrbForm, "IoCallDriver",
                                    "IOCTL_INTERNAL_USB_SUBMIT_URB without a URB in Argument1");
            irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_INVALID_PARAMETER;
        }
        if (gone_ || device != pdo_) return GoneAtOnce(irp, urb);
        return SubmitUrb(irp, urb, serial);
    }
    if (code == IOCTL_INTERNAL_USB_CYCLE_PORT) {
        NoteIrql("IOCTL_INTERNAL_USB_CYCLE_PORT");
        if (gone_ || device != pdo_) return GoneAtOnce(irp, nullptr);
        auto transfer = std::make_unique<Transfer>();
        transfer->id = next_id_++;
        transfer->irp = irp;
        transfer->kind = Kind::CyclePort;
        Submission submission;
        submission.serial = serial;
        submission.ioctl = code;
        return Accept(std::move(transfer), submission);
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS Bus::SubmitUrb(IRP* irp, URB* urb, uint64_t serial) {
    for (const auto& [id, held] : transfers_) {
        if (held->irp == irp) {
            // The request is ours still: completing it here would end the pending one.
            kernel_.Check().Report(Rule::UrbActive, "IoCallDriver",
                                    "a request the bus still holds was submitted again");
            return STATUS_UNSUCCESSFUL;
        }
        if (held->urb == urb) {
            // The URB belongs to the pending request: fail the new one without touching it.
            kernel_.Check().Report(Rule::UrbActive, "IoCallDriver",
                                    "a URB still pending at the bus was submitted again");
            irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_UNSUCCESSFUL;
        }
    }
    if (auto refused = CheckForm(urb)) return RefuseAtOnce(irp, urb, *refused, nullptr);
    if (auto refused = CheckReserved(urb)) return RefuseAtOnce(irp, urb, *refused, nullptr);
    // These wait inside the bus driver: for the device's pipes to open or its halt to clear.
    if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION)
        NoteIrql("URB_FUNCTION_SELECT_CONFIGURATION");
    if (urb->UrbHeader.Function == URB_FUNCTION_RESET_PIPE) NoteIrql("URB_FUNCTION_RESET_PIPE");

    auto transfer = std::make_unique<Transfer>();
    transfer->id = next_id_++;
    transfer->irp = irp;
    transfer->urb = urb;
    Submission submission;
    submission.serial = serial;
    submission.ioctl = IOCTL_INTERNAL_USB_SUBMIT_URB;
    submission.function = urb->UrbHeader.Function;
    submission.has_urb = true;

    std::optional<USBD_STATUS> refused;
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            transfer->action = Action::SelectConfiguration;
            refused = BuildSelectConfiguration(urb, *transfer);
            break;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            transfer->kind = Kind::Data;
            refused = CheckDataTransfer(urb, &transfer->pipe);
            break;
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_RESET_PIPE:
            refused = BuildPipeRequest(urb, *transfer);
            break;
        default:
            refused = BuildControl(urb, *transfer);
            break;
    }
    if (refused) return RefuseAtOnce(irp, urb, *refused, transfer.get());
    if (transfer->kind == Kind::Control) {
        submission.setup = transfer->setup;
        submission.in_stage = transfer->setup.DeviceToHost() && transfer->setup.length > 0;
    }
    if (transfer->kind == Kind::Data) {
        submission.endpoint = transfer->pipe->endpoint;
        submission.in_stage = transfer->pipe->In();
    }
    submission.on_bus = transfer->kind == Kind::Control || transfer->kind == Kind::Data;
    if (transfer->target != nullptr) submission.endpoint = transfer->target->endpoint;
    return Accept(std::move(transfer), submission);
}

NTSTATUS Bus::Accept(std::unique_ptr<Transfer> transfer, const Submission& submission) {
    transfer->fault = faults_.Take(submission);
    const Fault* fault = transfer->fault ? &*transfer->fault : nullptr;
    if (fault != nullptr && fault->action == FaultAction::Unplug) {
        // Pulled out as this request reached the bus: it ends as every later one will.
        Unplug();
        return GoneAtOnce(transfer->irp, transfer->urb);
    }
    if (fault != nullptr && fault->action == FaultAction::FailAtOnce) {
        if (fault->reaches_device) {
            Execute(*transfer);
            HaltOnError(*transfer, fault->status);  // it ran on its pipe
        }
        return RefuseAtOnce(transfer->irp, transfer->urb, fault->status, transfer.get());
    }
    const bool at_once = (fault != nullptr && fault->action == FaultAction::SucceedAtOnce) ||
                         (fault == nullptr && complete_at_once_ && CanAnswerAtOnce(*transfer));
    if (!at_once) return Pend(std::move(transfer));

    Trace('S', *transfer, nullptr);
    const Transfer& done = *transfer;
    Outcome outcome = Execute(*transfer);
    if (outcome.status == USBD_STATUS_SUCCESS) ApplyAction(*transfer);
    HaltOnError(done, outcome.status);
    Trace('C', done, &outcome);
    CompleteRequest(done.irp, done.urb, outcome);
    return NtStatusFor(outcome.status);
}

bool Bus::CanAnswerAtOnce(const Transfer& transfer) const {
    if (transfer.kind == Kind::Abort || transfer.kind == Kind::CyclePort) return true;
    // A control transfer's stages span bus frames, and the device's answer may depend on the
    // time they take (a register command that finishes in the meantime): never at once.
    if (transfer.kind == Kind::Control) return false;
    const Pipe* pipe = transfer.pipe;
    if (pipe->moving || !pipe->queue.empty()) return false;
    if (transfer.kind == Kind::Data && pipe->In() && !pipe->halted)
        return device_->InReady(pipe->endpoint);
    return true;
}

NTSTATUS Bus::Pend(std::unique_ptr<Transfer> transfer) {
    Transfer& held = *transfer;
    const uint64_t id = held.id;
    IRP* irp = held.irp;
    IoMarkIrpPending(irp);
    transfers_[id] = std::move(transfer);
    Trace('S', held, nullptr);
    IoSetCancelRoutine(irp, CancelEntry);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before the routine was set: nobody else will end it.
        held.stage = Stage::Ending;
        kernel_.Clock().After(0, "cancelled USB request",
                               [this, id] { Finish(id, {USBD_STATUS_CANCELED}); });
        return STATUS_PENDING;
    }
    const Fault* fault = held.fault ? &*held.fault : nullptr;
    const bool forever = fault != nullptr && fault->action == FaultAction::PendForever;
    switch (held.kind) {
        case Kind::Control:
        case Kind::Data:
            held.pipe->queue.push_back(id);
            StartNext(held.pipe);
            break;
        case Kind::Abort:
            if (fault == nullptr || fault->reaches_device) CollectAborted(held);
            [[fallthrough]];
        case Kind::CyclePort:
            if (forever) {
                held.stage = Stage::Held;
                break;
            }
            held.stage = Stage::Moving;
            held.timer = kernel_.Clock().After(
                held.kind == Kind::Abort ? kAbortTimeUs : kCyclePortTimeUs,
                held.kind == Kind::Abort ? "USB abort pipe" : "USB port cycle",
                [this, id] { Due(id); });
            break;
    }
    return STATUS_PENDING;
}

NTSTATUS Bus::RefuseAtOnce(IRP* irp, URB* urb, USBD_STATUS status, const Transfer* described) {
    Outcome outcome{status};
    if (described != nullptr) Trace('E', *described, &outcome);
    if (urb != nullptr) urb->UrbHeader.Status = status;
    IoSetCancelRoutine(irp, nullptr);
    const NTSTATUS result = NtStatusFor(status);
    irp->IoStatus.Status = result;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return result;
}

NTSTATUS Bus::GoneAtOnce(IRP* irp, URB* urb) {
    if (++after_removal_ <= removal_limit_)
        return RefuseAtOnce(irp, urb, USBD_STATUS_DEVICE_GONE, nullptr);
    if (!removal_reported_) {
        removal_reported_ = true;
        kernel_.Check().Report(Rule::Removal, "IoCallDriver",
                                "the client keeps sending requests to a device that is gone (" +
                                    std::to_string(after_removal_) + " since the removal)");
    }
    // Ended from the scheduler a frame later, so that a client looping on its own completion
    // routine lets virtual time advance instead of recursing without end.
    auto transfer = std::make_unique<Transfer>();
    const uint64_t id = transfer->id = next_id_++;
    transfer->irp = irp;
    transfer->urb = urb;
    transfer->kind = Kind::CyclePort;
    transfer->stage = Stage::Ending;
    IoMarkIrpPending(irp);
    transfers_[id] = std::move(transfer);
    kernel_.Clock().After(1000, "USB request to a removed device",
                           [this, id] { Finish(id, {USBD_STATUS_DEVICE_GONE}); });
    return STATUS_PENDING;
}

// ---- Ending requests ------------------------------------------------------------------------

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

// A request the bus driver serves only at PASSIVE_LEVEL, because serving it waits.
void Bus::NoteIrql(const char* what) {
    const KIRQL irql = kernel_.Cpu().Irql();
    if (irql == PASSIVE_LEVEL) return;
    kernel_.Check().Report(Rule::IrqlCall, "IoCallDriver",
                            std::string(what) + " sent at IRQL " + std::to_string(irql) +
                                "; the bus driver takes it only at PASSIVE_LEVEL (0)");
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
    std::unique_ptr<Transfer> transfer = std::move(found->second);
    transfers_.erase(found);
    Pipe* pipe = Unqueue(*transfer);
    if (outcome.status == USBD_STATUS_SUCCESS) ApplyAction(*transfer);
    HaltOnError(*transfer, outcome.status);
    Trace('C', *transfer, &outcome);
    CompleteRequest(transfer->irp, transfer->urb, outcome);
    transfer.reset();
    if (pipe != nullptr) StartNext(pipe);
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
