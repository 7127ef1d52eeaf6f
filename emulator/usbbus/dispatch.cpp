// The physical device object's dispatch: a request checked and accepted, pended, or ended
// at once (refused, or sent to a device that is gone).
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

namespace {

Bus* BusOf(DEVICE_OBJECT* device) { return *static_cast<Bus**>(device->DeviceExtension); }

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
        auto transfer = NewTransfer();
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

    auto transfer = NewTransfer();
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
    const NTSTATUS status = NtStatusFor(outcome.status);
    Keep(std::move(transfer), std::move(outcome.in_data));
    return status;
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
    Hold(std::move(transfer));
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
    auto transfer = NewTransfer();
    const uint64_t id = transfer->id = next_id_++;
    transfer->irp = irp;
    transfer->urb = urb;
    transfer->kind = Kind::CyclePort;
    transfer->stage = Stage::Ending;
    IoMarkIrpPending(irp);
    Hold(std::move(transfer));
    kernel_.Clock().After(1000, "USB request to a removed device",
                           [this, id] { Finish(id, {USBD_STATUS_DEVICE_GONE}); });
    return STATUS_PENDING;
}

// A request the bus driver serves only at PASSIVE_LEVEL, because serving it waits.
void Bus::NoteIrql(const char* what) {
    const KIRQL irql = kernel_.Cpu().Irql();
    if (irql == PASSIVE_LEVEL) return;
    kernel_.Check().Report(Rule::IrqlCall, "IoCallDriver",
                            std::string(what) + " sent at IRQL " + std::to_string(irql) +
                                "; the bus driver takes it only at PASSIVE_LEVEL (0)");
}

}  // namespace emu::usb
