// Resetting the bulk pipes: each aborted, left to settle, then reset.
#include "usb/device_config.h"

#include <cstring>

#include "core/adapter.h"
#include "core/pool_tags.h"
#include "usb/urb_submit.h"

namespace {

constexpr ULONG PipeSettleMicroseconds = 10'000;

// PASSIVE_LEVEL. Sends one pipe request (Function) for Pipe of InterfaceInfo through
// Request. ResultSuccess or ResultFailure.
ULONG SendPipeRequest(Adapter* Adapter, URB* Request, USHORT Function, ULONG Pipe) {
    memset(Request, 0, sizeof(_URB_PIPE_REQUEST));
    Request->UrbPipeRequest.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
    Request->UrbPipeRequest.Hdr.Function = Function;
    Request->UrbPipeRequest.PipeHandle = Adapter->InterfaceInfo->Pipes[Pipe].PipeHandle;
    return SubmitUrbSync(Adapter, Request) == ResultSuccess ? ResultSuccess : ResultFailure;
}

// PASSIVE_LEVEL. Aborts Pipe, lets it settle, then resets it. ResultSuccess or ResultFailure
// at the first failing request.
ULONG AbortAndResetPipe(Adapter* Adapter, URB* Request, ULONG Pipe) {
    if (SendPipeRequest(Adapter, Request, URB_FUNCTION_ABORT_PIPE, Pipe) != ResultSuccess) {
        return ResultFailure;
    }
    NdisMSleep(PipeSettleMicroseconds);
    return SendPipeRequest(Adapter, Request, URB_FUNCTION_RESET_PIPE, Pipe);
}

}  // namespace

// PASSIVE_LEVEL. ResultSuccess, or ResultFailure when any request failed (past the transmit
// pipe's abort, the receive pipe is still aborted and reset).
ULONG ResetBulkPipes(Adapter* Adapter) {
    // Without a selected configuration there are no pipe handles to name.
    if (Adapter->InterfaceInfo == nullptr) return ResultFailure;

    URB* request = static_cast<URB*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_PIPE_REQUEST), RequestPoolTag));
    if (request == nullptr) return ResultFailure;

    ULONG result = ResultFailure;
    if (SendPipeRequest(Adapter, request, URB_FUNCTION_ABORT_PIPE, TransmitPipe) ==
        ResultSuccess) {
        NdisMSleep(PipeSettleMicroseconds);
        result = SendPipeRequest(Adapter, request, URB_FUNCTION_RESET_PIPE, TransmitPipe);
        // The transmit pipe is empty once aborted, whether or not the device took its reset;
        // the receive pipe still holds a transfer in a descriptor the halt is about to free.
        if (AbortAndResetPipe(Adapter, request, ReceivePipe) != ResultSuccess) {
            result = ResultFailure;
        }
    }
    ExFreePool(request);
    return result;
}
