// The USB bus driver interface: descriptors, URB forms, pipes and configuration routines.
// The driver includes this header; the build picks the backend: the hosted platform's own
// declarations by default, or the real Windows kernel's when building the .sys.
#pragma once

#if defined(QVNET_WINDOWS_KERNEL)
#include "platform/windows/usb.h"
#else
#include "platform/hosted/usb.h"
#endif
