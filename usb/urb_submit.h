// Sending URBs to the next lower device object: synchronously with a 5-second limit,
// asynchronously with a completion routine, and the port cycle request.
#pragma once

#include "core/result.h"
#include "platform/io.h"
#include "platform/types.h"
#include "platform/usb.h"

struct Adapter;

// What SubmitUrbAsync returns when no request could be allocated and nothing was sent: the
// caller still owns its URB. A customer-defined status, so that no status a lower driver
// returns from IoCallDriver can be mistaken for it (after a real submission the completion
// routine owns the URB, whatever IoCallDriver returned).
constexpr NTSTATUS SubmitNoRequest = static_cast<NTSTATUS>(0xE0000001u);

// The synchronous path's third result: the request did not complete within 5 seconds and
// was cancelled. Like any result other than ResultSuccess, it is a failure.
constexpr ULONG ResultTimeout = static_cast<ULONG>(STATUS_IO_TIMEOUT);

// Time limits, in 100-ns units, negative for relative times.
constexpr LONGLONG SyncRequestTimeout = -50'000'000;  // 5 seconds
constexpr LONGLONG CyclePortDelay = -10'000'000;      // 1 second

// PASSIVE_LEVEL. Sends Urb to NextDeviceObject and waits at most 5 seconds.
// ResultSuccess once it was handed down and did not time out (the URB's own status is not
// looked at), ResultFailure when no request could be built, STATUS_IO_TIMEOUT when it had
// to be cancelled (ResultTimeout).
ULONG SubmitUrbSync(Adapter* Adapter, URB* Urb);

// Up to DISPATCH_LEVEL. A request of IrpStackSize locations, ready for NextDeviceObject, that
// submits Urb and runs CompletionRoutine with Context on success, error and cancel; nothing is
// sent yet. Null when no request can be allocated. For a sender that must hold every request
// it needs before the first goes down.
IRP* PrepareUrbRequest(Adapter* Adapter, URB* Urb, PIO_COMPLETION_ROUTINE CompletionRoutine,
                       PVOID Context);

// Up to DISPATCH_LEVEL. Sends Urb in a request of IrpStackSize locations; CompletionRoutine
// runs once with Context for every outcome and must free the request (and a URB allocated
// for it alone), returning STATUS_MORE_PROCESSING_REQUIRED. Returns IoCallDriver's status,
// or SubmitNoRequest when no request could be allocated.
NTSTATUS SubmitUrbAsync(Adapter* Adapter, URB* Urb, PIO_COMPLETION_ROUTINE CompletionRoutine,
                        PVOID Context);

// PASSIVE_LEVEL. Waits one second, then sends the internal control request IoControlCode
// (IOCTL_INTERNAL_USB_CYCLE_PORT) without a URB. Results as SubmitUrbSync.
ULONG CyclePort(Adapter* Adapter, ULONG IoControlCode);
