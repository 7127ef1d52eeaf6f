// Controller bring-up and start. All waits are NdisMSleep, in microseconds. Register writes
// go through RegWriteBuffer; where a step's result is not checked, the bring-up goes on
// regardless, since a later step or the link monitor makes up for it.
#include "controller/bring_up.h"

#include <cstring>

#include "controller/configuration.h"
#include "controller/phy.h"
#include "core/adapter.h"
#include "datapath/descriptor_list.h"
#include "datapath/receive.h"
#include "usb/device_config.h"
#include "usb/register_access.h"
#include "usb/registers.h"

namespace {

constexpr ULONG DefaultDescriptorCount = 20;

constexpr ULONG EepromPolls = 100;
constexpr ULONG EepromPollUs = 500;
constexpr UCHAR Reg80Initial = 0x11;

constexpr ULONG Reg7EResetSleeps = 60;  // of 1 ms
constexpr ULONG MillisecondUs = 1000;
constexpr ULONG MiiReadSettleUs = 2000;

constexpr UCHAR MacControl0BringUp = 0x19;
constexpr UCHAR MacControl0NoFlowControl = 0x20;
constexpr UCHAR MacControl0Enable = 0xC0;
constexpr UCHAR MacControl1Start = 0x08;
constexpr UCHAR MacControl1Speed100 = 0x10;
constexpr UCHAR MacControl1FullDuplex = 0x20;

constexpr UCHAR WakeControlBase = 0x04;
constexpr UCHAR WakeOnMagicPacket = 0x80;
constexpr UCHAR WakeOnLinkChange = 0x40;

ULONG WriteBytes(Adapter* adapter, USHORT firstRegister, const UCHAR* bytes, USHORT count) {
    std::memcpy(adapter->RegWriteBuffer, bytes, count);
    return WriteRegisters(adapter, count, firstRegister);
}

// A register and the one after it, written together.
ULONG WritePair(Adapter* adapter, USHORT firstRegister, UCHAR first, UCHAR second) {
    const UCHAR bytes[2] = {first, second};
    return WriteBytes(adapter, firstRegister, bytes, 2);
}

void SleepMilliseconds(ULONG count) {
    for (ULONG i = 0; i < count; ++i) NdisMSleep(MillisecondUs);
}

// An MII command written without waiting for its done bit.
void SendMiiCommand(Adapter* adapter, UCHAR phy, USHORT value, UCHAR command) {
    const UCHAR bytes[4] = {phy, static_cast<UCHAR>(value & 0xFF), static_cast<UCHAR>(value >> 8),
                            command};
    WriteBytes(adapter, MiiAddress, bytes, MiiCommandLength);
}

// The selector field of a PHY's advertisement register; no answer counts as none.
USHORT SelectorOf(Adapter* adapter, UCHAR phy) {
    USHORT advertisement = 0x0000;
    MiiRead(adapter, phy, PhyAdvertisement, &advertisement);
    return advertisement & 0x1F;
}

// MediaSel 0: the PHY whose advertisement alone carries the IEEE 802.3 selector. With both or
// neither, MediaSel stays 0 and SelectPhy searches by link.
void DetectPhys(Adapter* adapter) {
    MiiWrite(adapter, PhyOne, PhyAdvertisement,
             Ability100Full | Ability100Half | Ability10Full | Ability10Half |
                 AbilitySelector8023);
    NdisMSleep(MillisecondUs);
    const bool one = SelectorOf(adapter, PhyOne) == AbilitySelector8023;
    const bool two = SelectorOf(adapter, PhyTwo) == AbilitySelector8023;
    if (two && !one) adapter->MediaSel = PhyTwo;
    if (one && !two) adapter->MediaSel = PhyOne;
}

// Reg7E resets the PHY side (PhySelect reads 0 after it), then releases it.
void ResetPhySide(Adapter* adapter) {
    WritePair(adapter, Reg7E, 0x24, 0x00);
    SleepMilliseconds(Reg7EResetSleeps);
    WritePair(adapter, Reg7E, 0x26, 0x00);
    NdisMSleep(MillisecondUs);
}

// The MAC's speed and duplex for PHY 1 from what SetMedia settled on.
void SetPhyOneMedia(Adapter* adapter) {
    SetMedia(adapter);
    adapter->MacControl1 = 0;
    if (adapter->LinkSpeed == 2) adapter->MacControl1 |= MacControl1Speed100;
    if (adapter->DuplexMode == 2) adapter->MacControl1 |= MacControl1FullDuplex;
    WritePair(adapter, MacControl1, adapter->MacControl1, 0x00);
}

void ProgramWakeControl(Adapter* adapter) {
    adapter->WakeControl = WakeControlBase;
    if (adapter->MagicPkt == 0) adapter->WakeControl |= WakeOnMagicPacket;
    if (adapter->LinkWakeup == 0) adapter->WakeControl |= WakeOnLinkChange;
    WritePair(adapter, WakeControl, adapter->WakeControl, 0x00);
}

void ProgramFlowControl(Adapter* adapter) {
    if (adapter->FlowControl != 0) return;
    adapter->MacControl0 |= MacControl0NoFlowControl;
    adapter->FlowControlTxSetting = FlowControlRegisterValue(adapter->FlowControlTx);
    adapter->FlowControlRxSetting = FlowControlRegisterValue(adapter->FlowControlRx);
    WritePair(adapter, FlowControlTxSetting, adapter->FlowControlTxSetting,
              adapter->FlowControlRxSetting);
}

TransferDescriptor* TakeFirstReceiveDescriptor(Adapter* adapter) {
    NdisAcquireSpinLock(&adapter->RxLock);
    TransferDescriptor* descriptor = PopDescriptor(&adapter->RxFreeList);
    NdisReleaseSpinLock(&adapter->RxLock);
    return descriptor;
}

}  // namespace

// PASSIVE_LEVEL. ResultSuccess, or the first failure.
ULONG InitializeController(Adapter* Adapter) {
    KeInitializeSpinLock(&Adapter->TxSubmitLock);
    KeInitializeSpinLock(&Adapter->TxQueueLock);
    InitializeListHead(&Adapter->TxIrpQueue);
    Adapter->TxDescCount = DefaultDescriptorCount;
    Adapter->RxDescCount = DefaultDescriptorCount;

    if (ConfigureUsbDevice(Adapter) != ResultSuccess) return ResultFailure;
    // The station address registers are read once to see that the controller answers.
    if (ReadRegisters(Adapter, StationAddressLength, StationAddress) != ResultSuccess) {
        return ResultFailure;
    }
    if (ReadPermanentAddress(Adapter) != ResultSuccess) return ResultFailure;
    std::memcpy(Adapter->CurrentAddress, Adapter->PermanentAddress, 6);
    if (ReadConfiguration(Adapter) != ResultSuccess) return ResultFailure;

    if (WriteBytes(Adapter, StationAddress, Adapter->CurrentAddress, StationAddressLength) !=
        ResultSuccess) {
        return ResultFailure;
    }
    const UCHAR allGroups[MulticastFilterLength] = {0xFF, 0xFF, 0xFF, 0xFF,
                                                    0xFF, 0xFF, 0xFF, 0xFF};
    if (WriteBytes(Adapter, MulticastFilter, allGroups, MulticastFilterLength) != ResultSuccess) {
        return ResultFailure;
    }

    ResetPhySide(Adapter);
    if (Adapter->MediaSel == 0) DetectPhys(Adapter);
    SelectPhy(Adapter);

    // A read of PHY 1's status that nobody waits for; its data registers are read after.
    SendMiiCommand(Adapter, PhyOne, 0, MiiReadCommand | PhyStatus);
    NdisMSleep(MiiReadSettleUs);
    ReadRegisters(Adapter, 3, MiiData);

    Adapter->MacControl0 = MacControl0BringUp;
    WritePair(Adapter, MacControl0, MacControl0BringUp, 0x00);
    NdisMSleep(MillisecondUs);
    ReadRegisters(Adapter, 2, Reg7A);
    NdisMSleep(MillisecondUs);

    ULONG result = CarveDescriptors(Adapter);
    if (result != ResultSuccess) return result;
    result = AllocatePacketPools(Adapter);
    if (result != ResultSuccess) return result;

    Adapter->MediaState = MediaConnected;
    return ResultSuccess;
}

// PASSIVE_LEVEL. ResultSuccess, or ResultFailure with no receive descriptor free.
ULONG StartController(Adapter* Adapter) {
    WritePair(Adapter, MacControl1, MacControl1Start, 0x00);
    NdisMSleep(MillisecondUs);

    TransferDescriptor* first = TakeFirstReceiveDescriptor(Adapter);
    if (first == nullptr) return ResultFailure;

    // PHY 2 to 100 Mb/s half duplex without negotiation.
    SendMiiCommand(Adapter, PhyTwo, PhyControlSpeed100, MiiWriteCommand | PhyControl);
    if (Adapter->ActivePhy == PhyOne) {
        SetPhyOneMedia(Adapter);
        SendMiiCommand(Adapter, PhyTwo, PhyControlIsolate, MiiWriteCommand | PhyControl);
    } else {
        SendMiiCommand(Adapter, PhyOne, PhyControlIsolate, MiiWriteCommand | PhyControl);
    }

    USHORT status = 0x0000;
    MiiRead(Adapter, Adapter->PhyAddress, PhyStatus, &status);
    Adapter->MediaState = (status & PhyStatusLink) != 0 ? MediaConnected : MediaDisconnected;

    ProgramWakeControl(Adapter);
    Adapter->DeviceState = DeviceRunning;
    ProgramFlowControl(Adapter);

    Adapter->MacControl0 |= MacControl0Enable;
    WritePair(Adapter, MacControl0, Adapter->MacControl0, Adapter->MacControl1);
    NdisMSleep(MillisecondUs);

    SendRemoteWakeupFeature(Adapter, URB_FUNCTION_SET_FEATURE_TO_DEVICE);
    SubmitReceive(Adapter, first);
    return ResultSuccess;
}

// PASSIVE_LEVEL. Always ResultSuccess.
ULONG ReadPermanentAddress(Adapter* Adapter) {
    Adapter->Reg80Shadow = Reg80Initial;
    WritePair(Adapter, Reg80, Reg80Initial, 0x00);
    UCHAR words[EepromWordsRead * 2];
    for (ULONG index = 0; index < EepromWordsRead; ++index) {
        const USHORT word = ReadEepromWord(Adapter, static_cast<UCHAR>(index));
        words[index * 2] = static_cast<UCHAR>(word & 0xFF);
        words[index * 2 + 1] = static_cast<UCHAR>(word >> 8);
    }
    std::memcpy(Adapter->PermanentAddress, words, EepromAddressWords * 2);
    return ResultSuccess;
}

// PASSIVE_LEVEL. The word read.
USHORT ReadEepromWord(Adapter* Adapter, UCHAR Index) {
    const UCHAR command[4] = {Index, 0x00, 0x00, EepromReadWord};
    WriteBytes(Adapter, EepromAddress, command, 4);
    for (ULONG poll = 0; poll < EepromPolls; ++poll) {
        NdisMSleep(EepromPollUs);
        ReadRegisters(Adapter, 2, EepromControl);
        if ((Adapter->RegReadBuffer[0] & EepromDone) != 0) break;
    }
    ReadRegisters(Adapter, 3, EepromData);
    return static_cast<USHORT>(Adapter->RegReadBuffer[0] | Adapter->RegReadBuffer[1] << 8);
}
