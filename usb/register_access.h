// The controller's vendor register requests: a run of consecutive registers read or written
// through the default control pipe, synchronously or asynchronously.
#pragma once

#include "platform/io.h"
#include "platform/types.h"

struct Adapter;

// PASSIVE_LEVEL. Reads Count registers from FirstRegister into RegReadBuffer bytes 0 to
// Count - 1. ResultSuccess when the request was handed down and did not time out (the
// device's own answer is not looked at), else ResultFailure.
ULONG ReadRegisters(Adapter* Adapter, USHORT Count, USHORT FirstRegister);

// PASSIVE_LEVEL. Writes RegWriteBuffer bytes 0 to Count - 1 to the registers from
// FirstRegister on. Results as ReadRegisters.
ULONG WriteRegisters(Adapter* Adapter, USHORT Count, USHORT FirstRegister);

// Up to DISPATCH_LEVEL. Writes Count bytes of Data from FirstRegister on, through
// AsyncWriteUrb; Completion runs with the Adapter as its context and owns the request (it
// frees AsyncWriteUrb and the IRP). ResultFailure (2) when nothing could be sent, else the
// status of the call to the next lower device object.
NTSTATUS WriteRegistersAsync(Adapter* Adapter, USHORT Count, USHORT FirstRegister,
                             const UCHAR* Data, PIO_COMPLETION_ROUTINE Completion);

// Up to DISPATCH_LEVEL. Reads Count registers into RegReadBuffer through AsyncReadUrb;
// Completion runs as for WriteRegistersAsync, and frees AsyncReadUrb. Results as
// WriteRegistersAsync.
NTSTATUS ReadRegistersAsync(Adapter* Adapter, USHORT Count, USHORT FirstRegister,
                            PIO_COMPLETION_ROUTINE Completion);
