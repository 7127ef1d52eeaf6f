// "Power Management for Legacy Miniport Drivers (NDIS 5.1)": a miniport that answers
// OID_PNP_CAPABILITIES with a failure is not power-management aware; NDIS knows only D0 and D3
// for it and halts it before the system enters a sleeping state, unless it set
// NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND ("NdisMSetAttributesEx"). A power-managed one is asked
// with OID_PNP_QUERY_POWER and then told with OID_PNP_SET_POWER ("OID_PNP_QUERY_POWER",
// "OID_PNP_SET_POWER"); the hang check and wake-up arming around them are not modelled.
#include "emulator/ndis/power.h"

#include <cstring>
#include <vector>

#include "emulator/ndis/miniport.h"
#include "emulator/ndis/requests.h"

namespace emu::ndis {

namespace {

std::vector<uint8_t> StateBytes(ULONG state) {
    std::vector<uint8_t> bytes(sizeof state);
    std::memcpy(bytes.data(), &state, sizeof state);
    return bytes;
}

}  // namespace

bool KeptAcrossSleep(const Miniport& adapter) {
    return adapter.PowerManaged() ||
           (adapter.AttributeFlags() & NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND) != 0;
}

SleepAction SleepAdapter(Miniport& adapter) {
    if (!adapter.IsRunning()) return SleepAction::None;
    if (!KeptAcrossSleep(adapter)) {
        adapter.Halt();
        return SleepAction::Halted;
    }
    adapter.Request().Query(OID_PNP_QUERY_POWER, sizeof(ULONG));
    const Requests::Record set =
        adapter.Request().Set(OID_PNP_SET_POWER, StateBytes(kDeviceStateD3));
    if (set.status == NDIS_STATUS_SUCCESS) return SleepAction::PoweredDown;
    // A miniport that cannot go to D3 cannot stay across the sleep either.
    adapter.Halt();
    return SleepAction::Halted;
}

NDIS_STATUS WakeAdapter(Miniport& adapter, SleepAction action) {
    switch (action) {
        case SleepAction::None:
            return NDIS_STATUS_SUCCESS;
        case SleepAction::Halted:
            return adapter.Initialize();
        case SleepAction::PoweredDown:
            return adapter.Request().Set(OID_PNP_SET_POWER, StateBytes(kDeviceStateD0)).status;
    }
    return NDIS_STATUS_FAILURE;
}

}  // namespace emu::ndis
