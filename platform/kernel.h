// Kernel services: IRQL, spin locks, events, waits, pool, interlocked operations.
// The driver includes this header; the build picks the backend: the hosted platform's own
// declarations by default, or the real Windows kernel's when building the .sys.
#pragma once

#if defined(QVNET_WINDOWS_KERNEL)
#include "platform/windows/kernel.h"
#else
#include "platform/hosted/kernel.h"
#endif
