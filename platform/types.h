// Basic types, status codes and counted strings.
// The driver includes this header; the build picks the backend: the hosted platform's own
// declarations by default, or the real Windows kernel's when building the .sys.
#pragma once

#include "platform/thread_safety.h"

#if defined(QVNET_WINDOWS_KERNEL)
#include "platform/windows/types.h"
#else
#include "platform/hosted/types.h"
#endif
