// The real kernel's declarations, from the DDK headers (see ddk.h).
#pragma once

#include "platform/windows/ddk.h"

// Where a routine's code lives. The kernel frees the INIT section once the driver is
// initialized, and may page out PAGE sections, whose code must never run at DISPATCH_LEVEL.
#define DISCARDABLE_CODE __attribute__((section("INIT")))
#define PAGEABLE_CODE __attribute__((section("PAGE")))
