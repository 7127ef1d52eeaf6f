// The link monitor: a pass of asynchronous register transfers, each step started from the
// completion of the one before.
#pragma once

#include "platform/io.h"

// Up to DISPATCH_LEVEL. Completion of WriteRegistersAsync; context the Adapter. Frees
// AsyncWriteUrb and the request; STATUS_MORE_PROCESSING_REQUIRED.
NTSTATUS AsyncWriteComplete(DEVICE_OBJECT* DeviceObject, IRP* Irp, PVOID Context);

// Up to DISPATCH_LEVEL. Completion of ReadRegistersAsync; context the Adapter; the data is in
// RegReadBuffer. Frees AsyncReadUrb and the request; STATUS_MORE_PROCESSING_REQUIRED.
NTSTATUS AsyncReadComplete(DEVICE_OBJECT* DeviceObject, IRP* Irp, PVOID Context);
