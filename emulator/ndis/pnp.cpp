#include "emulator/ndis/pnp.h"

#include <optional>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/kernel.h"
#include "emulator/kernel/processor.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/verifier/verifier.h"

namespace emu::ndis {

DEVICE_OBJECT* Pnp::TopOfStack(DEVICE_OBJECT* device) {
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

NTSTATUS Pnp::AddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
    PDRIVER_ADD_DEVICE add_device = driver->DriverExtension->AddDevice;
    if (add_device == nullptr) {
        kernel_.Check().Report(Rule::Platform, "AddDevice", "the driver has no AddDevice entry");
        return STATUS_UNSUCCESSFUL;
    }
    const NTSTATUS status = kernel_.Cpu().CallDriver(PASSIVE_LEVEL, "AddDevice",
                                                      [&] { return add_device(driver, pdo); });
    if (NT_SUCCESS(status)) devices_[pdo] = DeviceState::Added;
    return status;
}

Pnp::DeviceState Pnp::StateOf(const DEVICE_OBJECT* pdo) const {
    auto found = devices_.find(pdo);
    return found == devices_.end() ? DeviceState::Absent : found->second;
}

Pnp::Result Pnp::Send(DEVICE_OBJECT* pdo, UCHAR minor) {
    const Result result = SendOne(pdo, minor);
    const bool succeeded = NT_SUCCESS(result.status);
    switch (minor) {
        case IRP_MN_START_DEVICE:
            if (succeeded) {
                devices_[pdo] = DeviceState::Started;
                break;
            }
            // Nothing is left running on a device that failed to start: its stack is torn
            // down, and the device is not used again until it is added anew.
            SendOne(pdo, IRP_MN_REMOVE_DEVICE);
            devices_[pdo] = DeviceState::Removed;
            break;
        case IRP_MN_STOP_DEVICE:
            if (succeeded) devices_[pdo] = DeviceState::Stopped;
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            devices_[pdo] = DeviceState::SurpriseRemoved;
            break;
        case IRP_MN_REMOVE_DEVICE:
            devices_[pdo] = DeviceState::Removed;
            break;
        default:
            break;
    }
    return result;
}

Pnp::Result Pnp::SendOne(DEVICE_OBJECT* pdo, UCHAR minor) {
    DEVICE_OBJECT* top = TopOfStack(pdo);
    IRP* irp = kernel_.Io().NewRequest(top->StackSize, IoManager::Origin::Thread);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{STATUS_PENDING, 0};
    irp->UserEvent = &done;
    irp->UserIosb = &iosb;
    // The PnP manager starts every request this way: a driver that does not handle the
    // minor code passes it on untouched.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    IO_STACK_LOCATION* stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
    stack->Flags = 0;
    stack->Control = 0;
    stack->Parameters.Others = {};
    stack->FileObject = nullptr;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;

    // PnP requests come from a system thread at PASSIVE_LEVEL.
    Processor& cpu = kernel_.Cpu();
    KIRQL entry = cpu.Irql();
    cpu.SetIrql(PASSIVE_LEVEL);
    Result result{IoCallDriver(top, irp), STATUS_PENDING, STATUS_PENDING};
    if (result.returned == STATUS_PENDING && done.Signaled == 0) {
        kernel_.Clock().WaitFor([&done] { return done.Signaled != 0; }, std::nullopt,
                                 "PnP request");
    }
    cpu.SetIrql(entry);
    // A request returned uncompleted has been reported by the I/O manager (IRP_DISPATCH), a
    // pended one that never completed by the wait.
    result.final = done.Signaled != 0 ? iosb.Status : result.returned;
    result.status = result.returned == STATUS_PENDING ? result.final : result.returned;
    return result;
}

}  // namespace emu::ndis
