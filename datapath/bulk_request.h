// Bulk transfers of the data path: the URB built in a descriptor's request area.
#pragma once

#include "datapath/descriptors.h"
#include "platform/io.h"

struct Adapter;

// Any IRQL. Builds, in Descriptor's request area, the bulk transfer URB that moves
// TransferLength bytes of its Buffer on the pipe at PipeIndex; returns nothing.
void BuildBulkTransferUrb(Adapter* Adapter, TransferDescriptor* Descriptor, ULONG PipeIndex,
                          ULONG TransferLength, ULONG TransferFlags);
