// NDIS's own AddDevice and PnP dispatch routines: the entries NdisMRegisterMiniport puts
// into the miniport's driver object.
#include <optional>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/kernel.h"
#include "emulator/kernel/platform_lock.h"
#include "emulator/kernel/processor.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/ndis.h"
#include "emulator/ndis/pnp.h"
#include "emulator/verifier/verifier.h"

namespace emu::ndis {

namespace {

struct LowerWait {
    bool done = false;
};

NTSTATUS LowerStartDone(DEVICE_OBJECT* /*device*/, IRP* /*irp*/, PVOID context) {
    EMU_PLATFORM_ENTRY();
    static_cast<LowerWait*>(context)->done = true;
    // NDIS keeps the request: it completes it itself once the adapter is initialized.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CompleteRequest(IRP* irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(DEVICE_OBJECT* next, IRP* irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(next, irp);
}

// The start request goes to the bus first: the device must be powered and configured before
// the miniport may talk to it.
NTSTATUS StartDevice(Kernel& kernel, Miniport& adapter, IRP* irp) {
    LowerWait wait;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, LowerStartDone, &wait, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(adapter.NextDevice(), irp);
    if (status == STATUS_PENDING && !wait.done) {
        kernel.Clock().WaitFor([&wait] { return wait.done; }, std::nullopt,
                                "IRP_MN_START_DEVICE at the lower driver");
    }
    // A lower driver that never completed the request has been reported; the request is
    // not NDIS's to finish.
    if (!wait.done) return status;
    status = irp->IoStatus.Status;
    if (NT_SUCCESS(status) && adapter.CurrentState() != Miniport::State::Running) {
        status = adapter.Initialize();
    }
    return CompleteRequest(irp, status);
}

}  // namespace

NTSTATUS NdisAddDeviceEntry(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
    EMU_PLATFORM_ENTRY();
    Kernel& kernel = Kernel::Current();
    kernel.Cpu().CheckIrql("AddDevice", PASSIVE_LEVEL);
    emu::Processor::PlatformScope platform(kernel.Cpu());
    Ndis& ndis = Ndis::Current();
    Wrapper* wrapper = ndis.RegisteredWrapperOf(driver);
    if (wrapper == nullptr || pdo == nullptr) {
        kernel.Check().Report(Rule::Platform, "AddDevice",
                               wrapper ? "no physical device object"
                                       : "no miniport registered for this driver object");
        return STATUS_UNSUCCESSFUL;
    }
    DEVICE_OBJECT* fdo = kernel.Io().CreateDevice(driver, 0, 1);
    if (fdo == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    DEVICE_OBJECT* next = kernel.Io().Attach(fdo, Pnp::TopOfStack(pdo));
    ndis.AddAdapter(*wrapper, pdo, fdo, next);
    return STATUS_SUCCESS;
}

NTSTATUS NdisPnpDispatchEntry(DEVICE_OBJECT* device, IRP* irp) {
    EMU_PLATFORM_ENTRY();
    Kernel& kernel = Kernel::Current();
    kernel.Cpu().CheckIrql("IRP_MJ_PNP", PASSIVE_LEVEL);
    emu::Processor::PlatformScope platform(kernel.Cpu());
    Ndis& ndis = Ndis::Current();
    Miniport* adapter = ndis.AdapterOfDevice(device);
    if (adapter == nullptr) {
        kernel.Check().Report(Rule::Platform, "IRP_MJ_PNP",
                               "request for a device object NDIS did not create");
        return CompleteRequest(irp, STATUS_NO_SUCH_DEVICE);
    }
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    switch (minor) {
        case IRP_MN_START_DEVICE:
            return StartDevice(kernel, *adapter, irp);
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE: {
            adapter->Halt();
            irp->IoStatus.Status = STATUS_SUCCESS;
            DEVICE_OBJECT* next = adapter->NextDevice();
            NTSTATUS status = PassDown(next, irp);
            if (minor == IRP_MN_REMOVE_DEVICE) {
                ndis.ForgetDevice(device);
                kernel.Io().Detach(next);
                kernel.Io().DeleteDevice(device);
            }
            return status;
        }
        default:
            return PassDown(adapter->NextDevice(), irp);
    }
}

}  // namespace emu::ndis
