// The end of a stress run: the device and the driver must agree. Two correct register writes
// landing in the wrong order leave no data race for a sanitizer to see, only a device that
// runs otherwise than the Adapter believes; this looks for exactly that.
#pragma once

#include <string>
#include <vector>

namespace qvtest {
class RunningAdapter;
}

namespace qvnet {

// Each disagreement in words, empty when none: registers 0x00-0x02 against the Adapter's
// MacControl0, MacControl1 and register 0x02 shadow; MediaState against the last media status
// NDIS was given; while connected with the PHY chosen automatically, the selected PHY and its
// control (not isolated) against ActivePhy, and the MAC's speed and duplex against what PHY
// 1's line runs at. Call with the adapter running and idle.
std::vector<std::string> DeviceDriverDisagreements(qvtest::RunningAdapter& adapter);

}  // namespace qvnet
