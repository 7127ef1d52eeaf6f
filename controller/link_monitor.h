// The link monitor: a pass of asynchronous register transfers, each step started from the
// completion of the one before. A pass reads the active PHY's partner ability (PHY 1) or
// status (PHY 2), reports connect and disconnect to NDIS, follows partner changes and, with
// MediaSel 0, fails over between the PHYs.
#pragma once

#include "platform/io.h"

struct Adapter;

// LinkMonitorState values: the step the next completion performs.
constexpr USHORT MonitorCommandWritten = 18;
constexpr USHORT MonitorDataRead = 19;
constexpr USHORT MonitorMacControlWritten = 32;
constexpr USHORT MonitorPhyOneRegained = 256;
constexpr USHORT MonitorPhyOneLost = 512;
constexpr USHORT MonitorPhyTwoGained = 768;
constexpr USHORT MonitorPhyTwoLost = 1024;

// Up to DISPATCH_LEVEL. Starts a pass unless one is in flight or the device is not running.
void StartLinkPoll(Adapter* Adapter);

// PASSIVE_LEVEL, during halt and shutdown, after the device is stopped (so no pass starts).
// Waits for a pass in flight to end; after a bound, cancels its request and waits for that.
void AwaitLinkMonitor(Adapter* Adapter);

// Up to DISPATCH_LEVEL. Completion of WriteRegistersAsync; context the Adapter. Frees
// AsyncWriteUrb and the request, then performs the pass's next step.
// STATUS_MORE_PROCESSING_REQUIRED.
NTSTATUS NTAPI AsyncWriteComplete(DEVICE_OBJECT* DeviceObject, IRP* Irp, PVOID Context);

// Up to DISPATCH_LEVEL. Completion of ReadRegistersAsync; context the Adapter; the data is in
// RegReadBuffer. Frees AsyncReadUrb and the request, then decides on the value read.
// STATUS_MORE_PROCESSING_REQUIRED.
NTSTATUS NTAPI AsyncReadComplete(DEVICE_OBJECT* DeviceObject, IRP* Irp, PVOID Context);

// Up to DISPATCH_LEVEL, inside a pass. Takes a new partner ability into LinkSpeed,
// DuplexMode and MacControl1 and writes registers 0x01-0x02; the pass ends when that write
// completes.
void ApplyLinkPartnerAbility(Adapter* Adapter, USHORT Ability);

// Up to DISPATCH_LEVEL. Reports MediaConnected or MediaDisconnected to NDIS (the status only
// once the adapter is initialized; its completion always). ResultSuccess.
ULONG IndicateMediaState(Adapter* Adapter, ULONG NewState);
