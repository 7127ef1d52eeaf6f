// Results of the driver's own routines. NDIS handlers return NDIS status codes instead.
// Callers test for exactly ResultSuccess: anything else, including STATUS_IO_TIMEOUT from the
// synchronous USB path, is a failure.
#pragma once

#include "platform/types.h"

constexpr ULONG ResultSuccess = 1;
constexpr ULONG ResultFailure = 2;
