// Register access through the controller's vendor requests on the default control pipe.
// Synchronous requests build their URB on the stack; asynchronous ones allocate it, and their
// completion routine frees it.
#include "usb/register_access.h"

#include <cstring>

#include "core/adapter.h"
#include "core/pool_tags.h"
#include "usb/registers.h"
#include "usb/urb_submit.h"

namespace {

// Any IRQL. Fills Urb as a vendor device request: In selects RegisterRead, else
// RegisterWrite. Returns nothing.
void BuildRegisterRequest(URB* Urb, bool In, USHORT Count, USHORT FirstRegister, PVOID Buffer,
                          USHORT Value) {
    memset(Urb, 0, sizeof(*Urb));
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& request = Urb->UrbControlVendorClassRequest;
    request.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    request.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    request.TransferFlags = In ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
    request.TransferBufferLength = Count;
    request.TransferBuffer = Buffer;
    request.RequestTypeReservedBits = 0;
    request.Request = In ? RegisterRead : RegisterWrite;
    request.Value = Value;
    request.Index = FirstRegister;
}

// Up to DISPATCH_LEVEL. Allocates a URB for one asynchronous request, stores it in *Slot and
// sends it. ResultFailure (2) with nothing sent, else IoCallDriver's status.
NTSTATUS SendAsyncRegisterRequest(Adapter* Adapter, URB** Slot, bool In, USHORT Count,
                                  USHORT FirstRegister, PVOID Buffer,
                                  PIO_COMPLETION_ROUTINE CompletionRoutine) {
    URB* urb = static_cast<URB*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), RequestPoolTag));
    if (urb == nullptr) return ResultFailure;
    BuildRegisterRequest(urb, In, Count, FirstRegister, Buffer, 0);
    *Slot = urb;

    IRP* irp = PrepareUrbRequest(Adapter, urb, CompletionRoutine, Adapter);
    if (irp == nullptr) {
        *Slot = nullptr;
        ExFreePool(urb);
        return ResultFailure;
    }
    // Recorded before the call, so a halt or a hang check that must cancel it can find it.
    // No cancel of the request before is still deciding who frees it: a cancelled request
    // ends its pass, and no new one starts before the canceller has returned.
    InterlockedExchange(&Adapter->AsyncCancelGate, 0);
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Adapter->AsyncIrp), irp);
    return IoCallDriver(Adapter->NextDeviceObject, irp);
}

}  // namespace

// PASSIVE_LEVEL. ResultSuccess or ResultFailure.
ULONG ReadRegisters(Adapter* Adapter, USHORT Count, USHORT FirstRegister) {
    // The device writes Count bytes into RegReadBuffer; never let it write past it.
    if (Count > RegisterStagingSize) return ResultFailure;
    URB urb;
    BuildRegisterRequest(&urb, true, Count, FirstRegister, Adapter->RegReadBuffer, 0);
    return SubmitUrbSync(Adapter, &urb) == ResultSuccess ? ResultSuccess : ResultFailure;
}

// PASSIVE_LEVEL. ResultSuccess or ResultFailure.
ULONG WriteRegisters(Adapter* Adapter, USHORT Count, USHORT FirstRegister) {
    if (Count > RegisterStagingSize) return ResultFailure;
    // A one-byte write also carries its byte in wValue.
    USHORT value = Count == 1 ? Adapter->RegWriteBuffer[0] : 0;
    URB urb;
    BuildRegisterRequest(&urb, false, Count, FirstRegister, Adapter->RegWriteBuffer, value);
    return SubmitUrbSync(Adapter, &urb) == ResultSuccess ? ResultSuccess : ResultFailure;
}

// Up to DISPATCH_LEVEL. ResultFailure (2) with nothing sent, else IoCallDriver's status.
NTSTATUS WriteRegistersAsync(Adapter* Adapter, USHORT Count, USHORT FirstRegister,
                             const UCHAR* Data, PIO_COMPLETION_ROUTINE Completion) {
    return SendAsyncRegisterRequest(Adapter, &Adapter->AsyncWriteUrb, false, Count,
                                    FirstRegister, const_cast<UCHAR*>(Data), Completion);
}

// Up to DISPATCH_LEVEL. ResultFailure (2) with nothing sent, else IoCallDriver's status.
NTSTATUS ReadRegistersAsync(Adapter* Adapter, USHORT Count, USHORT FirstRegister,
                            PIO_COMPLETION_ROUTINE Completion) {
    if (Count > RegisterStagingSize) return ResultFailure;
    return SendAsyncRegisterRequest(Adapter, &Adapter->AsyncReadUrb, true, Count, FirstRegister,
                                    Adapter->RegReadBuffer, Completion);
}
