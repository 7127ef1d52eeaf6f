// The driver as a fresh load finds it.
#pragma once

namespace qvtest {

// Sets the driver's driver-wide values (saved NDIS entries, PnP flags, running pool tags) to
// what a fresh load of the image starts with. Each test runs in its own process, so this only
// matters when one process loads the driver more than once.
void ResetDriverWideValues();

}  // namespace qvtest
