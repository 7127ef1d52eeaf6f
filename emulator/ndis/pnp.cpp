#include "emulator/ndis/pnp.h"

#include <optional>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/machine.h"
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
        machine_.Check().Report(Rule::Platform, "AddDevice", "the driver has no AddDevice entry");
        return STATUS_UNSUCCESSFUL;
    }
    return machine_.Cpu().CallDriver(PASSIVE_LEVEL, "AddDevice",
                                     [&] { return add_device(driver, pdo); });
}

Pnp::Result Pnp::Send(DEVICE_OBJECT* pdo, UCHAR minor) {
    DEVICE_OBJECT* top = TopOfStack(pdo);
    IRP* irp = machine_.Io().NewRequest(top->StackSize, IoManager::Origin::Thread);
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
    Processor& cpu = machine_.Cpu();
    KIRQL entry = cpu.Irql();
    cpu.SetIrql(PASSIVE_LEVEL);
    Result result{IoCallDriver(top, irp), STATUS_PENDING};
    if (result.returned == STATUS_PENDING && done.Signaled == 0) {
        machine_.Clock().WaitFor([&done] { return done.Signaled != 0; }, std::nullopt,
                                 "PnP request");
    }
    cpu.SetIrql(entry);
    if (done.Signaled == 0) {
        // A pended request the wait has already reported, or one returned uncompleted.
        if (result.returned != STATUS_PENDING) {
            machine_.Check().Report(Rule::Platform, "PnP request",
                                    "dispatch returned " + std::to_string(result.returned) +
                                        " without completing the request");
        }
        result.final = result.returned;
        return result;
    }
    result.final = iosb.Status;
    return result;
}

}  // namespace emu::ndis
