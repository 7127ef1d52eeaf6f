// Bringing the controller up and putting it into operation, once per adapter, inside
// MiniportInitialize. Both run at PASSIVE_LEVEL with nothing else running for the adapter.
#pragma once

#include "platform/types.h"

struct Adapter;

// EEPROM words holding the station address, and the one read after them.
constexpr ULONG EepromAddressWords = 3;
constexpr ULONG EepromWordsRead = 4;

// PASSIVE_LEVEL. Configures the USB device, reads the station address and the configuration,
// programs the address and the multicast filter, chooses the PHY and carves the descriptors
// and packet pools. ResultSuccess, or another value at the first failure (nothing is undone:
// what was acquired is tracked, and released by the caller).
ULONG InitializeController(Adapter* Adapter);

// PASSIVE_LEVEL, after a successful InitializeController. Sets the media, wake-up and flow
// control, enables the MAC, marks the device running, arms remote wake-up and submits the
// first receive. ResultSuccess, or ResultFailure (having done only the first write) when no
// receive descriptor is free.
ULONG StartController(Adapter* Adapter);

// PASSIVE_LEVEL. PermanentAddress from EEPROM words 0-2, each low byte first. Always
// ResultSuccess.
ULONG ReadPermanentAddress(Adapter* Adapter);

// PASSIVE_LEVEL. The EEPROM word at Index; when the controller never reports the read done
// (after 50 ms), whatever its data registers then hold.
USHORT ReadEepromWord(Adapter* Adapter, UCHAR Index);
