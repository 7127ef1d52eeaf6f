// Stopping the device at halt and shutdown.
#pragma once

#include "platform/types.h"

struct Adapter;

// PASSIVE_LEVEL. Marks the adapter stopped, waits for a link-monitor pass in flight, arms
// remote wake-up, resets both bulk pipes and waits one second. Always ResultSuccess.
ULONG StopDevice(Adapter* Adapter);
