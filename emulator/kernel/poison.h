// Memory the driver must not touch, as AddressSanitizer sees it. In the sanitizer build the
// pool's guard zones, its quarantined blocks and freed requests are poisoned, so that a driver
// reading or writing them is stopped at that very access, with the access in the report. In
// the plain build these do nothing and the fill patterns are checked later instead.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define QVNET_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QVNET_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef QVNET_ADDRESS_SANITIZER
#define QVNET_ADDRESS_SANITIZER 0
#endif

#if QVNET_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace emu {

constexpr bool kAddressSanitizer = QVNET_ADDRESS_SANITIZER != 0;

// Any access to [begin, begin + size) is reported by AddressSanitizer from now on.
inline void Poison(const void* begin, size_t size) {
#if QVNET_ADDRESS_SANITIZER
    ASAN_POISON_MEMORY_REGION(begin, size);
#else
    (void)begin;
    (void)size;
#endif
}

// The platform itself reads, checks, rewrites or releases the memory.
inline void Unpoison(const void* begin, size_t size) {
#if QVNET_ADDRESS_SANITIZER
    ASAN_UNPOISON_MEMORY_REGION(begin, size);
#else
    (void)begin;
    (void)size;
#endif
}

}  // namespace emu
