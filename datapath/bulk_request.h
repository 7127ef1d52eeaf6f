// Bulk transfers of the data path: the URB built in a descriptor's request area, and the
// request that carries it, laid out as every asynchronous USB request of the driver is.
#pragma once

#include "datapath/descriptors.h"
#include "platform/io.h"

struct Adapter;

// Index of each bulk pipe in the selected interface's pipe entries.
constexpr ULONG ReceivePipeIndex = 0;
constexpr ULONG TransmitPipeIndex = 1;

// Any IRQL. Builds, in Descriptor's request area, the bulk transfer URB that moves
// TransferLength bytes of its Buffer on the pipe at PipeIndex; returns nothing.
void BuildBulkTransferUrb(Adapter* Adapter, TransferDescriptor* Descriptor, ULONG PipeIndex,
                          ULONG TransferLength, ULONG TransferFlags);

// Up to DISPATCH_LEVEL. A request laid out as SubmitUrbAsync lays out its own, ready for
// NextDeviceObject: it submits Descriptor's URB and runs CompletionRoutine with the
// descriptor as context on success, error and cancel. Null when no request can be allocated.
// Nothing is sent.
IRP* PrepareBulkRequest(Adapter* Adapter, TransferDescriptor* Descriptor,
                        PIO_COMPLETION_ROUTINE CompletionRoutine);
