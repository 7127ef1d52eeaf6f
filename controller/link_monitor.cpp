// Completions of the link monitor's asynchronous register requests. Each releases the request
// and the URB allocated for it alone, and clears the Adapter's pointer to that URB, so a
// request of the driver's own never goes back to the I/O manager.
#include "controller/link_monitor.h"

#include "driver/adapter.h"

// Up to DISPATCH_LEVEL. STATUS_MORE_PROCESSING_REQUIRED: the request was ours and is freed.
NTSTATUS AsyncWriteComplete(DEVICE_OBJECT* /*DeviceObject*/, IRP* Irp, PVOID Context) {
    Adapter* adapter = static_cast<Adapter*>(Context);
    URB* urb = adapter->AsyncWriteUrb;
    adapter->AsyncWriteUrb = nullptr;
    ExFreePool(urb);
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Up to DISPATCH_LEVEL. STATUS_MORE_PROCESSING_REQUIRED: the request was ours and is freed.
NTSTATUS AsyncReadComplete(DEVICE_OBJECT* /*DeviceObject*/, IRP* Irp, PVOID Context) {
    Adapter* adapter = static_cast<Adapter*>(Context);
    URB* urb = adapter->AsyncReadUrb;
    adapter->AsyncReadUrb = nullptr;
    ExFreePool(urb);
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
