// NDIS's side of a system sleep and wake for one adapter.
//
// An adapter that is not power-managed (it refused OID_PNP_CAPABILITIES) and did not set
// NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND is halted before the system sleeps and initialized again,
// on the same device object, when it wakes. Any other is told its device power state
// through OID_PNP_QUERY_POWER and OID_PNP_SET_POWER (D3 for the sleep, D0 at the wake) and
// stays initialized.
#pragma once

#include <cstdint>

#include "platform/ndis.h"

namespace emu::ndis {

class Miniport;

enum class SleepAction {
    None,         // not running: nothing to do
    Halted,       // MiniportHalt; initialized again at the wake
    PoweredDown,  // OID_PNP_SET_POWER to D3; back to D0 at the wake
};

// The device power states of OID_PNP_QUERY_POWER and OID_PNP_SET_POWER.
constexpr ULONG kDeviceStateD0 = 1;
constexpr ULONG kDeviceStateD3 = 4;

// Whether NDIS keeps this adapter initialized across a sleep.
bool KeptAcrossSleep(const Miniport& adapter);
SleepAction SleepAdapter(Miniport& adapter);
// The initialization's status after a halt, the set's after a power-down; success for None.
NDIS_STATUS WakeAdapter(Miniport& adapter, SleepAction action);

}  // namespace emu::ndis
