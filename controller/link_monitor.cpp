// Completions of the link monitor's asynchronous register requests. The monitor's steps are
// not built yet: each completion only releases its request and URB.
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
