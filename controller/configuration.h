// The adapter's configuration keywords, read once at bring-up through NDIS, and what the
// start makes of the flow-control values.
#pragma once

#include "platform/types.h"

struct Adapter;

// Driver-wide, zero at load and never reset: the "Platform" keyword was read by some adapter.
// The PnP hook routes every request by it.
extern BOOLEAN PlatformPresent;

// The least descriptor counts an adapter is brought up with. A send needs two free transmit
// descriptors (the last one is kept for a zero-length follow-up), so with fewer every send
// would be refused. The receive path is given at least three.
constexpr ULONG MinTxDescCount = 2;
constexpr ULONG MinRxDescCount = 3;

// PASSIVE_LEVEL, inside MiniportInitialize, after the default descriptor counts are set and
// CurrentAddress holds the EEPROM address. Reads "Platform" (sets PlatformPresent), the nine
// integer keywords into the Adapter, and the network-address override into CurrentAddress;
// raises the descriptor counts to their minimums. ResultSuccess, or ResultFailure when the
// configuration cannot be opened (nothing is changed then).
ULONG ReadConfiguration(Adapter* Adapter);

// Any IRQL. The byte for flow-control register 0x1A or 0x1B from "FlowControl_Tx" or
// "FlowControl_Rx": 0 for 0; otherwise bit (n mod 32), kept within eight bits, with bit 0.
UCHAR FlowControlRegisterValue(ULONG Configured);
