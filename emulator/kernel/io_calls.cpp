// The request calls of platform/io.h, with the request-life checks of the I/O verifier.
#include <cstdio>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/kernel.h"
#include "emulator/kernel/processor.h"
#include "emulator/verifier/verifier.h"
#include "emulator/kernel/platform_lock.h"
#include "platform/io.h"

using emu::IoManager;
using emu::Kernel;
using emu::Rule;

namespace {

using State = IoManager::State;

emu::Processor& Cpu() { return Kernel::Current().Cpu(); }
IoManager& Io() { return Kernel::Current().Io(); }
void Report(Rule rule, const char* call, std::string detail, uintptr_t site) {
    Kernel::Current().Check().Report(rule, call, std::move(detail), site);
}

// The record of a live request; reports and returns null for a freed or unknown one.
IoManager::RequestInfo* LiveRequest(IRP* irp, const char* call, uintptr_t site) {
    IoManager::RequestInfo* info = Io().Info(irp);
    if (info == nullptr) {
        Report(Rule::IrpOnce, call, "not a request (never allocated, or freed long ago)", site);
        return nullptr;
    }
    if (info->state == State::Freed) {
        Report(Rule::IrpOnce, call, "request #" + std::to_string(info->serial) + " was already freed",
               site);
        return nullptr;
    }
    return info;
}

bool ShouldInvoke(UCHAR control, const IRP* irp) {
    const NTSTATUS status = irp->IoStatus.Status;
    if (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) return true;
    if (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) return true;
    // A cancelled request calls the routine whatever status the holder completed it with.
    return irp->Cancel && (control & SL_INVOKE_ON_CANCEL);
}

// A request is memory like any other: the verifier's n-th, tag, random and systematic
// allocation faults reach it, charged to the driver's call site.
bool InjectedRequestFault(uintptr_t site) {
    return Kernel::Current().Check().Allocations().ShouldFail(IoManager::kRequestTag, site);
}

std::string StatusText(NTSTATUS status) {
    if (status == STATUS_SUCCESS) return "STATUS_SUCCESS";
    if (status == STATUS_PENDING) return "STATUS_PENDING";
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string FunctionText(UCHAR major, UCHAR minor) {
    char text[48];
    switch (major) {
        case IRP_MJ_PNP:
            std::snprintf(text, sizeof text, "IRP_MJ_PNP, minor 0x%02X", minor);
            return text;
        case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
        case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
        default:
            std::snprintf(text, sizeof text, "major 0x%02X, minor 0x%02X", major, minor);
            return text;
    }
}

// What the I/O verifier asks of a dispatch routine, once it has returned and the request's
// completion has gone past the stack location it was called with: STATUS_PENDING only for a
// request marked pending (and a request marked pending answered with STATUS_PENDING); any
// other status only for a request completed with that very status.
void CheckDispatch(const IoManager::RequestInfo& info, const IoManager::Dispatch& dispatch) {
    // Named only for a report: every dispatch of every request comes through here.
    auto request_text = [&] {
        return "request #" + std::to_string(info.serial) + " (" +
               FunctionText(dispatch.major, dispatch.minor) + ")";
    };
    std::string wrong;
    if (!dispatch.completed) {
        if (dispatch.returned_status != STATUS_PENDING)
            wrong = "returned " + StatusText(dispatch.returned_status) + " for " + request_text() +
                    " that was not completed: a request still under way is answered with "
                    "STATUS_PENDING";
    } else if (dispatch.returned_status == STATUS_PENDING) {
        if (!dispatch.marked_pending)
            wrong = "returned STATUS_PENDING for " + request_text() + " without IoMarkIrpPending";
    } else if (dispatch.marked_pending) {
        wrong = "marked " + request_text() + " pending but returned " +
                StatusText(dispatch.returned_status);
    } else if (dispatch.returned_status != dispatch.completed_status) {
        wrong = "returned " + StatusText(dispatch.returned_status) + " for " + request_text() +
                " completed with " + StatusText(dispatch.completed_status);
    }
    if (!wrong.empty()) Report(Rule::IrpDispatch, "dispatch routine", wrong, dispatch.routine);
}

// The completion has gone past stack location `location`: every dispatch routine called with
// it is answered for, and checked if it has already returned.
void PassedLocation(IoManager::RequestInfo* info, CCHAR location, NTSTATUS status, bool marked) {
    auto& dispatches = info->dispatches;
    for (auto it = dispatches.begin(); it != dispatches.end();) {
        if (it->location != location || it->completed) {
            ++it;
            continue;
        }
        it->completed = true;
        it->completed_status = status;
        it->marked_pending = marked;
        if (!it->returned) {
            ++it;
            continue;
        }
        const IoManager::Dispatch done = *it;
        it = dispatches.erase(it);
        CheckDispatch(*info, done);
    }
}

// The dispatch routine has returned; checked now if the request's completion has already gone
// past its stack location, or if it returned as if it had.
void DispatchReturned(IoManager::RequestInfo* info, uint64_t id, NTSTATUS status) {
    auto& dispatches = info->dispatches;
    for (auto it = dispatches.begin(); it != dispatches.end(); ++it) {
        if (it->id != id) continue;
        it->returned = true;
        it->returned_status = status;
        if (!it->completed && status == STATUS_PENDING) return;  // settled at the completion
        const IoManager::Dispatch done = *it;
        dispatches.erase(it);
        CheckDispatch(*info, done);
        return;
    }
}

// The walk reached the top: a thread request ends here; a driver's own request must never.
void FinishRequest(IRP* irp, IoManager::RequestInfo* info, uintptr_t site) {
    if (info->origin == IoManager::Origin::Thread) {
        if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
        if (irp->UserEvent != nullptr) irp->UserEvent->Signaled = 1;
    } else {
        Report(Rule::IrpOwnedComplete, "IoCompleteRequest",
               "request #" + std::to_string(info->serial) +
                   " allocated by the driver completed past its own completion routine",
               site);
    }
    Io().Release(irp);
}

}  // namespace

IRP* IoAllocateIrp(CCHAR StackSize, BOOLEAN /*ChargeQuota*/) {
    EMU_PLATFORM_ENTRY();
    const uintptr_t site = EMU_CALLER();
    Cpu().CheckIrql("IoAllocateIrp", DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    // Both asked every time, so the verifier counts each request allocation exactly once.
    const bool injected = InjectedRequestFault(site);
    if (Io().TakeAllocationFault() || injected) return nullptr;
    return Io().NewRequest(StackSize, IoManager::Origin::Driver);
}

void IoFreeIrp(IRP* Irp) {
    EMU_PLATFORM_ENTRY();
    constexpr const char* kCall = "IoFreeIrp";
    Cpu().CheckIrql(kCall, DISPATCH_LEVEL, PASSIVE_LEVEL, EMU_CALLER());
    IoManager::RequestInfo* info = LiveRequest(Irp, kCall, EMU_CALLER());
    if (info == nullptr) return;
    if (info->state == State::InFlight) {
        // Refused: the driver below still holds it and will complete it.
        Report(Rule::IrpInFlightFree, kCall,
               "request #" + std::to_string(info->serial) + " is still held by a driver below", EMU_CALLER());
        return;
    }
    if (info->origin == IoManager::Origin::Thread) {
        // Refused: the I/O manager frees a thread request when its completion ends.
        Report(Rule::IrpOwnedComplete, kCall,
               "request #" + std::to_string(info->serial) +
                   " was built by IoBuildDeviceIoControlRequest: the I/O manager frees it once "
                   "it is completed",
               EMU_CALLER());
        return;
    }
    Io().Release(Irp);
}

namespace {
uint64_t next_dispatch_id = 1;
}  // namespace

NTSTATUS IoCallDriver(DEVICE_OBJECT* DeviceObject, IRP* Irp) {
    EMU_PLATFORM_ENTRY();
    constexpr const char* kCall = "IoCallDriver";
    emu::race::Release(Irp);  // whoever completes it goes on after what was done before
    emu::Processor& cpu = Cpu();
    cpu.CheckIrql(kCall, DISPATCH_LEVEL, PASSIVE_LEVEL, EMU_CALLER());
    IoManager::RequestInfo* info = LiveRequest(Irp, kCall, EMU_CALLER());
    if (info == nullptr) return STATUS_INVALID_PARAMETER;
    // A driver's own request may go down again only once it is back; an upper driver's
    // request may be passed on later by whoever holds it, so only the driver's are checked.
    if (info->origin == IoManager::Origin::Driver && info->state == State::InFlight &&
        info->dispatching == 0) {
        Report(Rule::IrpInFlightFree, kCall,
               "request #" + std::to_string(info->serial) + " resubmitted while a driver below holds it",
               EMU_CALLER());
        return STATUS_INVALID_PARAMETER;
    }
    if (Irp->CurrentLocation <= 1) {
        Report(Rule::Platform, kCall,
               "request #" + std::to_string(info->serial) + " has no stack location left for the next driver",
               EMU_CALLER());
        return STATUS_INVALID_PARAMETER;
    }
    if (DeviceObject == nullptr || DeviceObject->DriverObject == nullptr) {
        Report(Rule::Platform, kCall, "no device object to send to", EMU_CALLER());
        return STATUS_INVALID_PARAMETER;
    }
    Irp->CurrentLocation--;
    Irp->CurrentStackLocation--;
    IO_STACK_LOCATION* location = Irp->CurrentStackLocation;
    location->DeviceObject = DeviceObject;
    if (location->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        Report(Rule::Platform, kCall, "major function " + std::to_string(location->MajorFunction) + " out of range",
               EMU_CALLER());
        Irp->CurrentLocation++;
        Irp->CurrentStackLocation++;
        return STATUS_INVALID_PARAMETER;
    }
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[location->MajorFunction];

    info->state = State::InFlight;
    info->sent_to = DeviceObject;
    info->dispatching++;
    const uint64_t serial = info->serial;
    const uint64_t id = next_dispatch_id++;
    info->dispatches.push_back({id, Irp->CurrentLocation, reinterpret_cast<uintptr_t>(dispatch),
                                location->MajorFunction, location->MinorFunction});
    const NTSTATUS status =
        cpu.CallDriver(cpu.Irql(), "dispatch routine", [&] { return dispatch(DeviceObject, Irp); });
    // The request may have been completed and freed inside; look its record up again.
    IoManager::RequestInfo* after = Io().Info(Irp);
    if (after != nullptr && after->serial == serial) {
        after->dispatching--;
        DispatchReturned(after, id, status);
    }
    return status;
}

void IoCompleteRequest(IRP* Irp, CCHAR /*PriorityBoost*/) {
    EMU_PLATFORM_ENTRY();
    constexpr const char* kCall = "IoCompleteRequest";
    emu::race::Acquire(Irp);
    const uintptr_t site = EMU_CALLER();
    emu::Processor& cpu = Cpu();
    cpu.CheckIrql(kCall, DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    IoManager::RequestInfo* info = LiveRequest(Irp, kCall, site);
    if (info == nullptr) return;
    const uint64_t serial = info->serial;
    if (info->state == State::Completed) {
        // Taken back by its maker's completion routine. A thread request comes back to be
        // finished; a driver's own request has had its completion already.
        if (info->origin == IoManager::Origin::Thread) {
            FinishRequest(Irp, info, site);
        } else {
            Report(Rule::IrpOnce, kCall,
                   "request #" + std::to_string(serial) +
                       " completed a second time, after its completion routine took it back",
                   site);
        }
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        Report(Rule::Platform, kCall, "request #" + std::to_string(serial) + " completed with STATUS_PENDING", site);
    }

    while (Irp->CurrentLocation <= Irp->StackCount) {
        IO_STACK_LOCATION* location = Irp->CurrentStackLocation;
        const UCHAR control = location->Control;
        PassedLocation(info, Irp->CurrentLocation, Irp->IoStatus.Status,
                       (control & SL_PENDING_RETURNED) != 0);
        Irp->CurrentLocation++;
        Irp->CurrentStackLocation++;
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        const PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        const PVOID context = location->Context;
        location->Control = 0;
        location->CompletionRoutine = nullptr;
        location->Context = nullptr;

        if (routine == nullptr || !ShouldInvoke(control, Irp)) {
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
            continue;
        }
        const bool top = Irp->CurrentLocation > Irp->StackCount;
        DEVICE_OBJECT* device = top ? nullptr : Irp->CurrentStackLocation->DeviceObject;
        // At the top the request is its maker's again: a driver's own to free or send once
        // more, a thread request to send once more or to complete again.
        if (top) info->state = State::Completed;
        const NTSTATUS result = cpu.CallDriver(cpu.Irql(), "completion routine",
                                               [&] { return routine(device, Irp, context); });
        info = Io().Info(Irp);
        if (info == nullptr || info->serial != serial || info->state == State::Freed) {
            if (result != STATUS_MORE_PROCESSING_REQUIRED)
                Report(Rule::IrpOnce, "completion routine",
                       "request #" + std::to_string(serial) +
                           " freed by its completion routine, which then let its completion go on",
                       reinterpret_cast<uintptr_t>(routine));
            return;
        }
        if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
        if (top) info->state = State::InFlight;
    }
    FinishRequest(Irp, info, site);
}

BOOLEAN IoCancelIrp(IRP* Irp) {
    EMU_PLATFORM_ENTRY();
    constexpr const char* kCall = "IoCancelIrp";
    emu::Processor& cpu = Cpu();
    cpu.CheckIrql(kCall, DISPATCH_LEVEL, PASSIVE_LEVEL, EMU_CALLER());
    if (LiveRequest(Irp, kCall, EMU_CALLER()) == nullptr) return FALSE;
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = Irp->CancelRoutine;
    Irp->CancelRoutine = nullptr;
    if (routine == nullptr) return FALSE;
    DEVICE_OBJECT* holder =
        Irp->CurrentLocation <= Irp->StackCount ? Irp->CurrentStackLocation->DeviceObject : nullptr;
    // The cancel routine runs as if under the cancel lock: at DISPATCH_LEVEL, with the
    // level to return to in CancelIrql.
    Irp->CancelIrql = cpu.Irql();
    cpu.CallDriver(DISPATCH_LEVEL, "cancel routine", [&] { routine(holder, Irp); });
    return TRUE;
}

PDRIVER_CANCEL IoSetCancelRoutine(IRP* Irp, PDRIVER_CANCEL CancelRoutine) {
    EMU_PLATFORM_ENTRY();
    constexpr const char* kCall = "IoSetCancelRoutine";
    Cpu().CheckIrql(kCall, DISPATCH_LEVEL, PASSIVE_LEVEL, EMU_CALLER());
    if (LiveRequest(Irp, kCall, EMU_CALLER()) == nullptr) return nullptr;
    PDRIVER_CANCEL previous = Irp->CancelRoutine;
    Irp->CancelRoutine = CancelRoutine;
    return previous;
}

IRP* IoBuildDeviceIoControlRequest(ULONG IoControlCode, DEVICE_OBJECT* DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength,
                                   PVOID /*OutputBuffer*/, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, KEVENT* Event,
                                   IO_STATUS_BLOCK* IoStatusBlock) {
    EMU_PLATFORM_ENTRY();
    constexpr const char* kCall = "IoBuildDeviceIoControlRequest";
    Cpu().CheckIrqlExactly(kCall, PASSIVE_LEVEL, EMU_CALLER());
    if (DeviceObject == nullptr || DeviceObject->StackSize < 1) {
        Report(Rule::Platform, kCall, "the device object takes no stack location", EMU_CALLER());
        return nullptr;
    }
    if (InjectedRequestFault(EMU_CALLER())) return nullptr;
    IRP* irp = Io().NewRequest(DeviceObject->StackSize, IoManager::Origin::Thread);
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    return irp;
}
