// Stopping the device: remote wake-up armed, both bulk pipes aborted and reset, then a wait
// that lets completions and timer functions already running finish. The link monitor's pass
// in flight is waited for first, which is why the stop sits above the USB transport.
#include "controller/device_stop.h"

#include "controller/link_monitor.h"
#include "core/adapter.h"
#include "usb/device_config.h"

namespace {

constexpr ULONG StopWaitSteps = 100;  // of 10 ms: one second
constexpr ULONG StopWaitStepMicroseconds = 10'000;

}  // namespace

// PASSIVE_LEVEL. Always ResultSuccess.
ULONG StopDevice(Adapter* Adapter) {
    // Set before anything is sent, so the data path and the link monitor start nothing new.
    Adapter->Stopping = TRUE;
    Adapter->DeviceState = DeviceStopped;
    // A link-monitor request that never completes would hold the default pipe, and every
    // request below would queue behind it: the pass ends (or is cancelled) first.
    AwaitLinkMonitor(Adapter);

    SendRemoteWakeupFeature(Adapter, URB_FUNCTION_SET_FEATURE_TO_DEVICE);

    ResetBulkPipes(Adapter);

    for (ULONG step = 0; step < StopWaitSteps; ++step) NdisMSleep(StopWaitStepMicroseconds);
    return ResultSuccess;
}
