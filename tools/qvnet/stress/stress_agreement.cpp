#include "tools/qvnet/stress/stress_agreement.h"

#include <cstdio>

#include "controller/phy.h"
#include "core/adapter.h"
#include "emulator/device/controller.h"
#include "emulator/device/fixed_phy.h"
#include "emulator/device/negotiating_phy.h"
#include "emulator/ndis/protocol.h"
#include "tests/support/harness/running_adapter.h"
#include "usb/registers.h"

namespace qvnet {
namespace {

constexpr uint8_t kMacSpeedDuplexBits = 0x30;  // of register 0x01

std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

void Compare(std::vector<std::string>* found, const char* what, unsigned device,
             unsigned driver) {
    if (device != driver) {
        found->push_back(std::string(what) + ": device " + Hex(device) + ", driver " +
                         Hex(driver));
    }
}

// The last media status NDIS received, or `otherwise` when there was none.
ULONG IndicatedMediaState(qvtest::RunningAdapter& adapter, ULONG otherwise) {
    const auto& statuses = adapter.Edge().Statuses();
    for (auto it = statuses.rbegin(); it != statuses.rend(); ++it) {
        if (it->status == NDIS_STATUS_MEDIA_CONNECT) return MediaConnected;
        if (it->status == NDIS_STATUS_MEDIA_DISCONNECT) return MediaDisconnected;
    }
    return otherwise;
}

}  // namespace

std::vector<std::string> DeviceDriverDisagreements(qvtest::RunningAdapter& nic) {
    std::vector<std::string> found;
    emu::device::Controller& device = nic.Device();
    const Adapter& adapter = *nic.Record();
    Compare(&found, "register 0x00", device.Register(MacControl0), adapter.MacControl0);
    Compare(&found, "register 0x01", device.Register(MacControl1), adapter.MacControl1);
    Compare(&found, "register 0x02", device.Register(MacControl2), adapter.MacControl2Shadow);
    Compare(&found, "media state NDIS was told",
            IndicatedMediaState(nic, adapter.MediaState), adapter.MediaState);
    if (adapter.MediaSel != 0 || adapter.MediaState != MediaConnected) return found;

    const bool two = adapter.ActivePhy == PhyTwo;
    Compare(&found, "PHY 2 selected", device.Register(PhySelect) == PhySelectTwo, two);
    emu::device::NegotiatingPhy* one = device.PhyOne();
    emu::device::FixedPhy* other = device.PhyTwo();
    if (two && other != nullptr) {
        Compare(&found, "PHY 2 isolated", (other->Control() & PhyControlIsolate) != 0, 0);
    }
    if (!two && one != nullptr) {
        Compare(&found, "PHY 1 isolated", (one->Control() & PhyControlIsolate) != 0, 0);
        if (const auto mode = one->MacModeNeeded(); mode && adapter.MediaType == 0) {
            Compare(&found, "PHY 1's line against the MAC's speed and duplex", *mode,
                    device.Register(MacControl1) & kMacSpeedDuplexBits);
        }
    }
    return found;
}

}  // namespace qvnet
