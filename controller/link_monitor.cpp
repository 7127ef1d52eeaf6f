// The link monitor's passes. One pass at a time: LinkMonitorBusy is taken by compare-exchange
// and given back by the pass's last step. After a step has started its transfer it touches
// nothing more of the Adapter, since the transfer may complete at once, on another processor,
// and end the pass; whatever the next pass reads is stored before.
#include "controller/link_monitor.h"

#include "controller/phy.h"
#include "core/adapter.h"
#include "core/shared_fields.h"
#include "usb/register_access.h"
#include "usb/registers.h"

namespace {

// What WriteRegistersAsync and ReadRegistersAsync return when nothing was sent.
constexpr NTSTATUS NothingSent = static_cast<NTSTATUS>(ResultFailure);

constexpr USHORT LinkTechnologies = 0x01E0;  // any 10/100 ability in the partner's word
constexpr UCHAR PhySelectOneLinked = 0x24;   // PHY 1 carries, its link regained

// AwaitLinkMonitor: how long a pass may take before its request is cancelled.
constexpr ULONG AwaitSteps = 100;
constexpr ULONG AwaitStepUs = 10'000;
// Hang checks (2 s apart) a pass may stay in flight before its request is cancelled: longer
// than the 5 s a synchronous request ahead of it on the default pipe may take.
constexpr UCHAR StuckCheckLimit = 3;

void EndPass(Adapter* adapter) { InterlockedExchange(&adapter->LinkMonitorBusy, 0); }

void SendWrite(Adapter* adapter, USHORT count, USHORT firstRegister) {
    if (WriteRegistersAsync(adapter, count, firstRegister, adapter->AsyncRegBuffer,
                            AsyncWriteComplete) == NothingSent) {
        EndPass(adapter);
    }
}

void SendRead(Adapter* adapter, USHORT count, USHORT firstRegister) {
    if (ReadRegistersAsync(adapter, count, firstRegister, AsyncReadComplete) == NothingSent) {
        EndPass(adapter);
    }
}

// PhySelect's value for each PHY sequence.
UCHAR SelectFor(USHORT sequence) {
    switch (sequence) {
    case MonitorPhyOneRegained: return PhySelectOneLinked;
    case MonitorPhyOneLost: return PhySelectOne;
    default: return PhySelectTwo;  // PHY 2 gained or lost
    }
}

void SendPhySelect(Adapter* adapter, USHORT sequence) {
    adapter->LinkMonitorState = sequence;
    adapter->LinkMonitorRedo = sequence;
    adapter->AsyncRegBuffer[0] = SelectFor(sequence);
    adapter->AsyncRegBuffer[1] = adapter->Reg80Shadow;
    SendWrite(adapter, 2, PhySelect);
}

// Registers 0x01-0x02 from what the Adapter holds; the pass ends when the write completes.
void SendMacControl(Adapter* adapter) {
    adapter->LinkMonitorState = MonitorMacControlWritten;
    adapter->LinkMonitorRedo = MonitorMacControlWritten;
    adapter->AsyncRegBuffer[0] = adapter->MacControl1;
    adapter->AsyncRegBuffer[1] = ReadShared(&adapter->MacControl2Shadow);
    SendWrite(adapter, 2, MacControl1);
}

// The pass's first step, with LinkMonitorBusy already held. A register sequence that an
// earlier pass did not see through (cancelled, failed, never sent) is sent again first: its
// ActivePhy, MediaState and indication are already in place, and only the device lags.
// Otherwise the MII read command for the active PHY's partner ability (PHY 1) or status
// (PHY 2).
void BeginPass(Adapter* adapter) {
    if (adapter->LinkMonitorRedo == MonitorMacControlWritten) {
        SendMacControl(adapter);
        return;
    }
    if (adapter->LinkMonitorRedo != 0) {
        SendPhySelect(adapter, adapter->LinkMonitorRedo);
        return;
    }
    if (adapter->ActivePhy == PhyOne) {
        adapter->AsyncRegBuffer[0] = PhyOne;
        adapter->AsyncRegBuffer[3] = MiiReadCommand | PhyPartnerAbility;
    } else {
        adapter->AsyncRegBuffer[0] = PhyTwo;
        adapter->AsyncRegBuffer[3] = MiiReadCommand | PhyStatus;
    }
    adapter->LinkMonitorState = MonitorCommandWritten;
    SendWrite(adapter, MiiCommandLength, MiiAddress);
}

// One MII write of a PHY's control register; the step after it is `next`.
void WritePhyControl(Adapter* adapter, UCHAR phy, USHORT value, USHORT next) {
    adapter->LinkMonitorState = next;
    adapter->AsyncRegBuffer[0] = phy;
    adapter->AsyncRegBuffer[1] = static_cast<UCHAR>(value & 0xFF);
    adapter->AsyncRegBuffer[2] = static_cast<UCHAR>(value >> 8);
    adapter->AsyncRegBuffer[3] = MiiWriteCommand | PhyControl;
    SendWrite(adapter, MiiCommandLength, MiiAddress);
}

// Sets MediaState and reports it.
void ChangeMediaState(Adapter* adapter, ULONG state) {
    WriteShared(&adapter->MediaState, state);
    IndicateMediaState(adapter, state);
}

// Writes PhySelect (and Reg80Shadow after it) and goes on with `sequence`. The PHY polled
// next and the new media state are stored, and indicated, before the write goes down.
void SelectSequence(Adapter* adapter, USHORT sequence, UCHAR activePhy, ULONG state) {
    adapter->ActivePhy = activePhy;
    ChangeMediaState(adapter, state);
    SendPhySelect(adapter, sequence);
}

// Ends the pass after a media change that needs no register write.
void ReportAndEnd(Adapter* adapter, ULONG state) {
    ChangeMediaState(adapter, state);
    EndPass(adapter);
}

// The value read is PHY 1's link partner ability.
void DecideOnPhyOne(Adapter* adapter, USHORT ability) {
    const bool automatic = adapter->MediaSel == 0;
    if ((ability & LinkTechnologies) != 0) {
        if (adapter->MediaState == MediaDisconnected) {
            if (automatic) {
                SelectSequence(adapter, MonitorPhyOneRegained, PhyOne, MediaConnected);
            } else {
                ReportAndEnd(adapter, MediaConnected);
            }
        } else if (ability == adapter->LinkPartnerAbility || adapter->MediaType != 0) {
            EndPass(adapter);
        } else {
            ApplyLinkPartnerAbility(adapter, ability);
        }
        return;
    }
    if (adapter->MediaState == MediaConnected) {
        if (automatic) {
            SelectSequence(adapter, MonitorPhyOneLost, PhyOne, MediaDisconnected);
        } else {
            ReportAndEnd(adapter, MediaDisconnected);
        }
        return;
    }
    // Still without a partner: with the PHY chosen automatically, the next pass tries PHY 2.
    if (automatic) adapter->ActivePhy = PhyTwo;
    EndPass(adapter);
}

// The value read is PHY 2's status register.
void DecideOnPhyTwo(Adapter* adapter, USHORT status) {
    const bool automatic = adapter->MediaSel == 0;
    if ((status & PhyStatusLink) != 0) {
        if (adapter->MediaState != MediaDisconnected) {
            EndPass(adapter);
        } else if (automatic) {
            SelectSequence(adapter, MonitorPhyTwoGained, PhyTwo, MediaConnected);
        } else {
            ReportAndEnd(adapter, MediaConnected);
        }
        return;
    }
    if (adapter->MediaState == MediaConnected) {
        if (automatic) {
            SelectSequence(adapter, MonitorPhyTwoLost, PhyOne, MediaDisconnected);
        } else {
            ReportAndEnd(adapter, MediaDisconnected);
        }
        return;
    }
    if (!automatic) {
        EndPass(adapter);
        return;
    }
    // Neither PHY has link: PHY 1 is polled at once, in a pass that continues this one. The
    // stuck count is left alone: only the hang check writes it, and to it this is one pass,
    // started at most one check ago, that has not ended yet.
    adapter->ActivePhy = PhyOne;
    if (adapter->DeviceState == DeviceRunning) {
        BeginPass(adapter);
    } else {
        EndPass(adapter);
    }
}

void PerformWriteStep(Adapter* adapter) {
    switch (adapter->LinkMonitorState) {
    case MonitorCommandWritten:
        adapter->LinkMonitorState = MonitorDataRead;
        SendRead(adapter, 2, MiiData);
        return;
    case MonitorPhyOneRegained:
        WritePhyControl(adapter, PhyOne, PhyControlSpeed100 | PhyControlAutoNegotiate,
                        MonitorPhyOneRegained + 1);
        return;
    case MonitorPhyOneLost:
    case MonitorPhyTwoGained:
    case MonitorPhyTwoLost:
        WritePhyControl(adapter, PhyOne,
                        PhyControlSpeed100 | PhyControlAutoNegotiate | PhyControlIsolate,
                        static_cast<USHORT>(adapter->LinkMonitorState + 1));
        return;
    case MonitorPhyOneRegained + 1:
    case MonitorPhyOneLost + 1:
    case MonitorPhyTwoLost + 1:
        // PHY 2 stays out of the way of PHY 1.
        WritePhyControl(adapter, PhyTwo, PhyControlIsolate,
                        static_cast<USHORT>(adapter->LinkMonitorState + 1));
        return;
    case MonitorPhyTwoGained + 1:
        WritePhyControl(adapter, PhyTwo, PhyControlReset | PhyControlSpeed100,
                        MonitorPhyTwoGained + 2);
        return;
    case MonitorMacControlWritten:
        // A packet filter set may have changed register 0x02's shadow since it was copied,
        // and its own write landed before this one: then this one goes again.
        if (adapter->AsyncRegBuffer[0] != adapter->MacControl1 ||
            adapter->AsyncRegBuffer[1] != ReadShared(&adapter->MacControl2Shadow)) {
            SendMacControl(adapter);
            return;
        }
        adapter->LinkMonitorRedo = 0;
        EndPass(adapter);
        return;
    default:  // the last step of every sequence
        adapter->LinkMonitorRedo = 0;
        EndPass(adapter);
        return;
    }
}

// Frees the completed request, unless a halt has taken it to cancel it: then the later of the
// two frees it. Whether the request was cancelled by a halt.
bool ReleaseRequest(Adapter* adapter, IRP* irp) {
    if (InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&adapter->AsyncIrp),
                                   nullptr) == irp) {
        IoFreeIrp(irp);
        return false;
    }
    if (InterlockedExchange(&adapter->AsyncCancelGate, 1) != 0) IoFreeIrp(irp);
    return true;
}

void FreeUrb(URB** slot) {
    URB* urb = *slot;
    *slot = nullptr;
    ExFreePool(urb);
}

// Cancels the pass's request in flight, if it is there to take.
void CancelPassRequest(Adapter* adapter) {
    IRP* irp = static_cast<IRP*>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&adapter->AsyncIrp), nullptr));
    if (irp == nullptr) return;
    IoCancelIrp(irp);
    if (InterlockedExchange(&adapter->AsyncCancelGate, 1) != 0) IoFreeIrp(irp);
}

bool PassInFlight(Adapter* adapter) {
    return InterlockedCompareExchange(&adapter->LinkMonitorBusy, 0, 0) != 0;
}

}  // namespace

// Up to DISPATCH_LEVEL; from the hang check only, which NDIS never runs twice at once.
void StartLinkPoll(Adapter* Adapter) {
    if (Adapter->DeviceState != DeviceRunning) return;
    if (InterlockedCompareExchange(&Adapter->LinkMonitorBusy, 1, 0) != 0) {
        // A request the device never answers would hold the monitor, and the default pipe,
        // for good: cancelled, it ends the pass, and the next hang check starts a new one.
        if (++Adapter->LinkMonitorStuckChecks >= StuckCheckLimit) {
            Adapter->LinkMonitorStuckChecks = 0;
            CancelPassRequest(Adapter);
        }
        return;
    }
    Adapter->LinkMonitorStuckChecks = 0;
    // A stop on another processor may have marked the device between the test above and the
    // flag taken, and found the monitor idle: it waits for no pass, so none may start.
    if (Adapter->Stopping || Adapter->DeviceState != DeviceRunning) {
        EndPass(Adapter);
        return;
    }
    BeginPass(Adapter);
}

// PASSIVE_LEVEL.
void AwaitLinkMonitor(Adapter* Adapter) {
    for (ULONG step = 0; step < AwaitSteps && PassInFlight(Adapter); ++step) {
        NdisMSleep(AwaitStepUs);
    }
    // A request that has not completed by now may never: cancel it. Between two steps of a
    // pass there is nothing to take, so keep trying until the pass has ended.
    while (PassInFlight(Adapter)) {
        CancelPassRequest(Adapter);
        NdisMSleep(AwaitStepUs);
    }
}

// Up to DISPATCH_LEVEL. STATUS_MORE_PROCESSING_REQUIRED: the request was ours and is freed.
NTSTATUS NTAPI AsyncWriteComplete(DEVICE_OBJECT* /*DeviceObject*/, IRP* Irp, PVOID Context) {
    Adapter* adapter = static_cast<Adapter*>(Context);
    FreeUrb(&adapter->AsyncWriteUrb);
    // Read before the request is freed. A failed MII command still gets its read (judged on
    // what comes back); a failed step of a register sequence ends the pass with LinkMonitorRedo
    // set, so the next pass sends it again.
    const bool failed = !NT_SUCCESS(Irp->IoStatus.Status);
    const bool cancelled = ReleaseRequest(adapter, Irp);
    const bool sequenceStep = adapter->LinkMonitorState != MonitorCommandWritten;
    if (cancelled || (sequenceStep && failed)) {
        EndPass(adapter);
    } else {
        PerformWriteStep(adapter);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Up to DISPATCH_LEVEL. STATUS_MORE_PROCESSING_REQUIRED: the request was ours and is freed.
NTSTATUS NTAPI AsyncReadComplete(DEVICE_OBJECT* /*DeviceObject*/, IRP* Irp, PVOID Context) {
    Adapter* adapter = static_cast<Adapter*>(Context);
    FreeUrb(&adapter->AsyncReadUrb);
    if (ReleaseRequest(adapter, Irp) || adapter->LinkMonitorState != MonitorDataRead) {
        EndPass(adapter);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // A failed read is judged on whatever RegReadBuffer holds.
    const USHORT value =
        static_cast<USHORT>(adapter->RegReadBuffer[0] | adapter->RegReadBuffer[1] << 8);
    if (adapter->ActivePhy == PhyOne) {
        DecideOnPhyOne(adapter, value);
    } else {
        DecideOnPhyTwo(adapter, value);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Up to DISPATCH_LEVEL.
void ApplyLinkPartnerAbility(Adapter* Adapter, USHORT Ability) {
    Adapter->LinkPartnerAbility = Ability;
    UCHAR control = Adapter->MacControl1 & 0xCB;
    if ((Ability & Ability100Full) != 0) {
        control |= 0x30;
        WriteShared(&Adapter->LinkSpeed, 2);
        Adapter->DuplexMode = 2;
    } else if ((Ability & Ability100Half) != 0) {
        control |= 0x10;
        WriteShared(&Adapter->LinkSpeed, 2);
        Adapter->DuplexMode = 1;
    } else if ((Ability & Ability10Full) != 0) {
        control |= 0x20;
        WriteShared(&Adapter->LinkSpeed, 1);
        Adapter->DuplexMode = 2;
    } else {
        WriteShared(&Adapter->LinkSpeed, 1);
        Adapter->DuplexMode = 1;
    }
    WriteShared(&Adapter->MacControl1, control);
    SendMacControl(Adapter);
}

// Up to DISPATCH_LEVEL. ResultSuccess.
ULONG IndicateMediaState(Adapter* Adapter, ULONG NewState) {
    if (Adapter->Initialized) {
        const NDIS_STATUS status = NewState == MediaDisconnected ? NDIS_STATUS_MEDIA_DISCONNECT
                                                                 : NDIS_STATUS_MEDIA_CONNECT;
        NdisMIndicateStatus(Adapter->MiniportAdapterHandle, status, nullptr, 0);
    }
    NdisMIndicateStatusComplete(Adapter->MiniportAdapterHandle);
    return ResultSuccess;
}
