// The receive path: one bulk-in transfer is kept outstanding; good frames are parked on
// RxReadyList and indicated to NDIS from the indication timer, one packet per call.
#pragma once

#include "datapath/descriptors.h"
#include "platform/io.h"
#include "platform/ndis.h"

struct Adapter;

// A bulk-in transfer is the frame, 4 bytes that end it, and the controller's 4-byte trailer.
constexpr ULONG ReceiveOverhead = 8;
// The trailer's third byte, counted back from the end of the transfer, is its status.
constexpr ULONG ReceiveStatusFromEnd = 2;
// Any of these status bits marks a bad frame; the CRC error among them is also counted.
constexpr UCHAR ReceiveStatusBad = 0x1E;
constexpr UCHAR ReceiveStatusCrcError = 0x08;
// How long the indication timer waits before it retries a receive that found no request.
constexpr UINT ReceiveRetryDelayMs = 10;

// Up to DISPATCH_LEVEL, RxLock not held. Puts Descriptor on the bulk-in pipe. ResultSuccess
// when the transfer is pending at the bus. ResultFailure otherwise: when the bus completed it
// inside the call, ReceiveComplete has dealt with it; when the adapter is not running or no
// request could be had, the descriptor is back on RxFreeList, and in the latter case the
// indication timer is armed to try again.
ULONG SubmitReceive(Adapter* Adapter, TransferDescriptor* Descriptor);

// Up to DISPATCH_LEVEL. Completion of a bulk-in request (Context: its descriptor): counts
// and parks a good frame, keeps the pipe busy; STATUS_MORE_PROCESSING_REQUIRED, the request
// having been freed here.
NTSTATUS NTAPI ReceiveComplete(DEVICE_OBJECT* DeviceObject, IRP* Irp, PVOID Context);

// Up to DISPATCH_LEVEL, RxLock not held. Parks Descriptor on RxReadyList, submits the next
// idle descriptor and sets the indication timer; ResultSuccess.
ULONG QueueReceivedDescriptor(Adapter* Adapter, TransferDescriptor* Descriptor);

// DISPATCH_LEVEL, the function of RxIndicateTimer (FunctionContext: the Adapter). Indicates
// every parked frame, then restarts the pipe if every descriptor is idle; returns nothing.
void NTAPI RxIndicateTimerFunction(PVOID SystemSpecific1, PVOID FunctionContext,
                                   PVOID SystemSpecific2, PVOID SystemSpecific3);

// DISPATCH_LEVEL. Copies received data for a lookahead indication; an NDIS status.
NDIS_STATUS NTAPI MiniportTransferData(NDIS_PACKET* Packet, UINT* BytesTransferred,
                                       NDIS_HANDLE MiniportAdapterContext,
                                       NDIS_HANDLE MiniportReceiveContext, UINT ByteOffset,
                                       UINT BytesToTransfer);
