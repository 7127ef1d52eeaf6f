// The adapter's initialization and halt as the harness stands them in while the driver's own
// bring-up is not there: a running adapter assembled from the driver's pieces that exist, in
// the order the real bring-up calls them, and taken apart the way the real halt does.
#pragma once

#include "platform/ndis.h"
#include "tests/support/harness/frames.h"

struct Adapter;

namespace emu::device {
class Controller;
}

namespace qvtest {

struct StandInSettings {
    ULONG tx_descriptors = 20;
    ULONG rx_descriptors = 20;
    // The controller the adapter runs on. Its transmitter and receiver are enabled, and its
    // station address set, directly through its test face.
    emu::device::Controller* controller = nullptr;
    MacAddress station_address{};
    bool first_receive = true;  // submit the first bulk-in transfer
};

// PASSIVE_LEVEL, in place of MiniportInitialize. NDIS_STATUS_SUCCESS with the running Adapter
// in *assembled; otherwise a failure status, with everything acquired released again.
NDIS_STATUS AssembleRunningAdapter(NDIS_STATUS* open_error, UINT* selected_medium,
                                   NDIS_MEDIUM* media, UINT media_count, NDIS_HANDLE handle,
                                   NDIS_HANDLE configuration, const StandInSettings& settings,
                                   Adapter** assembled);

// PASSIVE_LEVEL, in place of MiniportHalt: timer cancelled, device stopped, locks freed,
// every resource released. The Adapter is gone afterwards.
void DismantleAdapter(Adapter* adapter);

}  // namespace qvtest
