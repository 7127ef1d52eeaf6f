// PHY access through the MII command block, PHY selection and PHY 1's media.
#include "controller/phy.h"

#include "core/adapter.h"
#include "core/shared_fields.h"
#include "platform/ndis.h"
#include "usb/register_access.h"
#include "usb/registers.h"

namespace {

// Values a destination holds when the read never reports done.
constexpr USHORT NoIdentifier = 0xFFFF;
constexpr USHORT NoBits = 0x0000;

constexpr ULONG MiiPauseUs = 100;
constexpr ULONG SettleSleeps = 200;            // 2 s before the first PHY access
constexpr ULONG SettleSleepUs = 10000;
constexpr ULONG NegotiationPolls = 251;
constexpr ULONG NegotiationPollUs = 1000;
constexpr ULONG AutoNegotiationDelayUs = 10000;
constexpr USHORT AllAbilities =
    Ability100Full | Ability100Half | Ability10Full | Ability10Half | AbilitySelector8023;
constexpr USHORT KeepOutsideAbilities = 0xFE1F;  // selector and bits 9-15

void WritePhySelect(Adapter* adapter, UCHAR value) {
    adapter->RegWriteBuffer[0] = value;
    adapter->RegWriteBuffer[1] = adapter->Reg80Shadow;
    WriteRegisters(adapter, 2, PhySelect);
}

// A PHY answers its identifier with something other than all zeros or all ones.
bool Answers(USHORT identifier) { return identifier != 0x0000 && identifier != 0xFFFF; }

// The status register twice: the first read clears a latched link loss.
USHORT CurrentStatus(Adapter* adapter, UCHAR phy) {
    USHORT status = NoBits;
    MiiRead(adapter, phy, PhyStatus, &status);
    status = NoBits;
    MiiRead(adapter, phy, PhyStatus, &status);
    return status;
}

UCHAR ModelOf(USHORT identifier2) {
    switch (identifier2) {
    case 0x6B93: return 0;
    case 0x5C20: return 1;
    case 0x5C21: return 2;
    default: return PhyModelUnknown;
    }
}

// Status register reads until negotiation is complete, 1 ms apart, at most NegotiationPolls.
void AwaitNegotiation(Adapter* adapter) {
    for (ULONG poll = 0; poll < NegotiationPolls; ++poll) {
        USHORT status = NoBits;
        MiiRead(adapter, adapter->PhyAddress, PhyStatus, &status);
        if ((status & PhyStatusNegotiated) != 0) return;
        NdisMSleep(NegotiationPollUs);
    }
}

void RestartNegotiation(Adapter* adapter) {
    MiiWrite(adapter, adapter->PhyAddress, PhyControl,
             PhyControlAutoNegotiate | PhyControlRestart);
}

struct ForcedMedium {
    USHORT Advertisement;
    ULONG Speed;
    ULONG Duplex;
};

// Indexed by MediaType 1-4.
constexpr ForcedMedium ForcedMedia[] = {
    {Ability10Half | AbilitySelector8023, 1, 1},
    {Ability10Full | AbilitySelector8023, 1, 2},
    {Ability100Half | AbilitySelector8023, 2, 1},
    {Ability100Full | AbilitySelector8023, 2, 2},
};

ULONG SetForcedMedium(Adapter* adapter, const ForcedMedium& medium) {
    WriteShared(&adapter->LinkSpeed, medium.Speed);
    adapter->DuplexMode = medium.Duplex;
    USHORT current = NoBits;
    MiiRead(adapter, adapter->PhyAddress, PhyAdvertisement, &current);
    if (current == medium.Advertisement) return ResultSuccess;
    MiiWrite(adapter, adapter->PhyAddress, PhyAdvertisement,
             static_cast<USHORT>((current & KeepOutsideAbilities) | medium.Advertisement));
    RestartNegotiation(adapter);
    AwaitNegotiation(adapter);
    return ResultSuccess;
}

ULONG SetAutomaticMedium(Adapter* adapter) {
    MiiWrite(adapter, adapter->PhyAddress, PhyAdvertisement, AllAbilities);
    RestartNegotiation(adapter);
    NdisMSleep(AutoNegotiationDelayUs);
    AwaitNegotiation(adapter);
    // Resolved even when negotiation did not complete: nothing heard means 10 half.
    USHORT partner = NoBits;
    MiiRead(adapter, adapter->PhyAddress, PhyPartnerAbility, &partner);
    adapter->LinkPartnerAbility = partner;
    if ((partner & Ability100Full) != 0) {
        WriteShared(&adapter->LinkSpeed, 2);
        adapter->DuplexMode = 2;
    } else if ((partner & Ability100Half) != 0) {
        WriteShared(&adapter->LinkSpeed, 2);
        adapter->DuplexMode = 1;
    } else if ((partner & Ability10Full) != 0) {
        WriteShared(&adapter->LinkSpeed, 1);
        adapter->DuplexMode = 2;
    } else {
        WriteShared(&adapter->LinkSpeed, 1);
        adapter->DuplexMode = 1;
    }
    return ResultSuccess;
}

void ChoosePhyTwo(Adapter* adapter) {
    adapter->PhyAddress = PhyTwo;
    adapter->ActivePhy = PhyTwo;
    WriteShared(&adapter->LinkSpeed, 1);
    adapter->DuplexMode = 1;
    WritePhySelect(adapter, PhySelectTwo);
}

ULONG SelectAutomatically(Adapter* adapter) {
    adapter->ActivePhy = PhyOne;
    // The PHYs settle after power-on before they answer reliably.
    for (ULONG sleep = 0; sleep < SettleSleeps; ++sleep) NdisMSleep(SettleSleepUs);

    USHORT identifier = NoIdentifier;
    MiiRead(adapter, PhyTwo, PhyIdentifier2, &identifier);
    adapter->PhyModel = ModelOf(identifier);

    adapter->PhyAddress = PhyOne;
    identifier = NoIdentifier;
    MiiRead(adapter, PhyOne, PhyIdentifier1, &identifier);
    const USHORT statusOne = Answers(identifier) ? CurrentStatus(adapter, PhyOne) : NoBits;
    if ((statusOne & PhyStatusLink) != 0) {
        WritePhySelect(adapter, PhySelectOne);
        return ResultSuccess;
    }

    adapter->PhyAddress = PhyTwo;
    identifier = NoIdentifier;
    MiiRead(adapter, PhyTwo, PhyIdentifier2, &identifier);
    USHORT statusTwo = NoBits;
    if (Answers(identifier)) {
        if (adapter->PhyModel == 1 || adapter->PhyModel == 2) {
            MiiWrite(adapter, PhyTwo, PhyControl, PhyControlSpeed100);
            MiiWrite(adapter, PhyTwo, PhyVendor25, adapter->PhyModel == 1 ? 0x7F07 : 0x7F05);
        }
        statusTwo = CurrentStatus(adapter, PhyTwo);
    }
    if ((statusTwo & PhyStatusLink) != 0) {
        ChoosePhyTwo(adapter);
        return ResultSuccess;
    }

    // Neither has link: PHY 1 it is, and the link monitor takes it from there.
    adapter->PhyAddress = PhyOne;
    return ResultSuccess;
}

}  // namespace

void MiiWrite(Adapter* Adapter, UCHAR Phy, UCHAR Register, USHORT Value) {
    Adapter->RegWriteBuffer[0] = Phy;
    Adapter->RegWriteBuffer[1] = static_cast<UCHAR>(Value & 0xFF);
    Adapter->RegWriteBuffer[2] = static_cast<UCHAR>(Value >> 8);
    Adapter->RegWriteBuffer[3] = static_cast<UCHAR>(MiiWriteCommand | Register);
    WriteRegisters(Adapter, MiiCommandLength, MiiAddress);
    // The done bit is not waited for: no caller can do anything else when it stays clear.
    ReadRegisters(Adapter, 2, MiiControl);
    NdisMSleep(MiiPauseUs);
}

void MiiRead(Adapter* Adapter, UCHAR Phy, UCHAR Register, USHORT* Value) {
    Adapter->RegWriteBuffer[0] = Phy;
    Adapter->RegWriteBuffer[1] = 0;
    Adapter->RegWriteBuffer[2] = 0;
    Adapter->RegWriteBuffer[3] = static_cast<UCHAR>(MiiReadCommand | Register);
    WriteRegisters(Adapter, MiiCommandLength, MiiAddress);
    ReadRegisters(Adapter, MiiCommandLength, MiiAddress);
    NdisMSleep(MiiPauseUs);
    // Bytes 0-3 are registers 0x25-0x28: address, data low, data high, control.
    if ((Adapter->RegReadBuffer[3] & MiiDone) != 0) {
        *Value = static_cast<USHORT>(Adapter->RegReadBuffer[1] | Adapter->RegReadBuffer[2] << 8);
    }
}

ULONG SelectPhy(Adapter* Adapter) {
    // A PHY switch the link monitor had yet to finish belongs to the choice made before.
    Adapter->LinkMonitorRedo = 0;
    switch (Adapter->MediaSel) {
    case 0:
        return SelectAutomatically(Adapter);
    case PhyTwo:
        ChoosePhyTwo(Adapter);
        return ResultSuccess;
    default:  // 1, and values that name no PHY
        Adapter->PhyAddress = PhyOne;
        Adapter->ActivePhy = PhyOne;
        WritePhySelect(Adapter, PhySelectOne);
        return ResultSuccess;
    }
}

ULONG SetMedia(Adapter* Adapter) {
    const ULONG type = Adapter->MediaType;
    // Values without a medium of their own are negotiated as automatic.
    if (type >= 1 && type <= 4) return SetForcedMedium(Adapter, ForcedMedia[type - 1]);
    return SetAutomaticMedium(Adapter);
}
