// The I/O manager: driver and device objects, request packets and their stack locations.
// The driver includes this header; the build picks the backend: the hosted platform's own
// declarations by default, or the real Windows kernel's when building the .sys.
#pragma once

#if defined(QVNET_WINDOWS_KERNEL)
#include "platform/windows/io.h"
#else
#include "platform/hosted/io.h"
#endif
