// The real kernel's declarations, from the DDK headers (see ddk.h).
#pragma once

#include "platform/windows/types.h"
