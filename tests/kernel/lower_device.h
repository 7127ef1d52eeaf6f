// A stand-in for a driver below the one under test: a device object whose dispatch routine
// either completes a request inside the call or holds it (cancellably) until told to finish.
// Also a completion routine that records how it was called.
#pragma once

#include "emulator/kernel/io_manager.h"
#include "emulator/machine.h"
#include "platform/io.h"

namespace qvtest {

class LowerDevice {
public:
    explicit LowerDevice(emu::Machine& machine, CCHAR stack_size = 1) {
        current_ = this;
        driver_ = machine.Io().CreateDriver("lower");
        driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Dispatch;
        device_ = machine.Io().CreateDevice(driver_, 0, stack_size);
    }
    ~LowerDevice() { current_ = nullptr; }

    DEVICE_OBJECT* Device() const { return device_; }
    // Hold requests (pending, with a cancel routine) instead of completing them at once.
    void Hold(bool on) { hold_ = on; }
    void CompleteWith(NTSTATUS status) { status_ = status; }
    IRP* Held() const { return held_; }
    int Dispatched() const { return dispatched_; }

    // Completes the held request, as the bus does later from its own work.
    void Finish(NTSTATUS status) {
        IRP* irp = held_;
        held_ = nullptr;
        IoSetCancelRoutine(irp, nullptr);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

private:
    static NTSTATUS Dispatch(DEVICE_OBJECT*, IRP* irp) {
        LowerDevice& self = *current_;
        ++self.dispatched_;
        if (self.hold_) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, Cancel);
            self.held_ = irp;
            return STATUS_PENDING;
        }
        irp->IoStatus.Status = self.status_;
        const NTSTATUS status = self.status_;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    static void Cancel(DEVICE_OBJECT*, IRP* irp) {
        LowerDevice& self = *current_;
        self.cancel_irql_ = KeGetCurrentIrql();
        self.cancel_saved_irql_ = irp->CancelIrql;
        self.held_ = nullptr;
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

public:
    KIRQL cancel_irql_ = 0xFF;        // the level the cancel routine ran at
    KIRQL cancel_saved_irql_ = 0xFF;  // the level it was told to return to

private:
    static inline LowerDevice* current_ = nullptr;
    DRIVER_OBJECT* driver_;
    DEVICE_OBJECT* device_;
    bool hold_ = false;
    NTSTATUS status_ = STATUS_SUCCESS;
    IRP* held_ = nullptr;
    int dispatched_ = 0;
};

// What a completion routine saw, and what it does with the request.
struct CompletionProbe {
    int calls = 0;
    DEVICE_OBJECT* device = reinterpret_cast<DEVICE_OBJECT*>(1);
    BOOLEAN pending_returned = FALSE;
    NTSTATUS status = 0;
    KIRQL irql = 0xFF;
    bool free_request = true;   // a driver's own request ends here
    bool mark_pending = false;  // a layered driver passes the pending mark up
    NTSTATUS result = STATUS_MORE_PROCESSING_REQUIRED;

    static NTSTATUS Routine(DEVICE_OBJECT* device, IRP* irp, PVOID context) {
        auto* probe = static_cast<CompletionProbe*>(context);
        ++probe->calls;
        probe->device = device;
        probe->pending_returned = irp->PendingReturned;
        probe->status = irp->IoStatus.Status;
        probe->irql = KeGetCurrentIrql();
        if (probe->mark_pending && irp->PendingReturned) IoMarkIrpPending(irp);
        if (probe->free_request) IoFreeIrp(irp);
        return probe->result;
    }
};

// A driver-allocated request addressed to `lower` with the probe as its completion routine.
inline IRP* NewRequestFor(const LowerDevice& lower, CompletionProbe* probe, bool on_success = true,
                          bool on_error = true, bool on_cancel = true) {
    IRP* irp = IoAllocateIrp(lower.Device()->StackSize, FALSE);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, CompletionProbe::Routine, probe, on_success, on_error, on_cancel);
    return irp;
}

}  // namespace qvtest
