// The PHYs behind the controller's MII command block: synchronous register access, the
// choice of the PHY that carries traffic, and the media of PHY 1. All of it runs during
// bring-up and start, at PASSIVE_LEVEL, through RegWriteBuffer and RegReadBuffer.
#pragma once

#include "platform/types.h"

struct Adapter;

// MII addresses of the two PHYs.
constexpr UCHAR PhyOne = 1;
constexpr UCHAR PhyTwo = 2;

// Clause 22 PHY registers and the bits used.
constexpr UCHAR PhyControl = 0;
constexpr UCHAR PhyStatus = 1;
constexpr UCHAR PhyIdentifier1 = 2;
constexpr UCHAR PhyIdentifier2 = 3;
constexpr UCHAR PhyAdvertisement = 4;
constexpr UCHAR PhyPartnerAbility = 5;
constexpr UCHAR PhyVendor25 = 25;

constexpr USHORT PhyControlReset = 0x8000;
constexpr USHORT PhyControlSpeed100 = 0x2000;
constexpr USHORT PhyControlAutoNegotiate = 0x1000;
constexpr USHORT PhyControlIsolate = 0x0400;
constexpr USHORT PhyControlRestart = 0x0200;
constexpr USHORT PhyStatusNegotiated = 0x0020;
constexpr USHORT PhyStatusLink = 0x0004;
constexpr USHORT Ability10Half = 0x0020;
constexpr USHORT Ability10Full = 0x0040;
constexpr USHORT Ability100Half = 0x0080;
constexpr USHORT Ability100Full = 0x0100;
constexpr USHORT AbilitySelector8023 = 0x0001;

// PhySelect values (the second byte of every write is Reg80Shadow).
constexpr UCHAR PhySelectOne = 0x26;
constexpr UCHAR PhySelectTwo = 0x34;

// PhyModel: PHY 2's model, from its identifier 2.
constexpr UCHAR PhyModelUnknown = 0xFF;

// PASSIVE_LEVEL. Writes one PHY register.
void MiiWrite(Adapter* Adapter, UCHAR Phy, UCHAR Register, USHORT Value);

// PASSIVE_LEVEL. Reads one PHY register into *Value, which is left as it was when the
// controller does not report the read done. Callers preset *Value to a "no answer" value.
void MiiRead(Adapter* Adapter, UCHAR Phy, UCHAR Register, USHORT* Value);

// PASSIVE_LEVEL, once during bring-up. Chooses the PHY that carries traffic from MediaSel
// (0 = the first with link, PHY 1 first), sets PhyAddress and ActivePhy to it, and programs
// PhySelect. Always ResultSuccess.
ULONG SelectPhy(Adapter* Adapter);

// PASSIVE_LEVEL, during start, for PHY 1 at PhyAddress. Advertises MediaType's one ability
// (or all, for 0 and for values it does not know), restarts negotiation, and sets LinkSpeed
// and DuplexMode. Always ResultSuccess.
ULONG SetMedia(Adapter* Adapter);
