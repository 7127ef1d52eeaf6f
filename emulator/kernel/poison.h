// Memory the driver must not touch, as AddressSanitizer sees it. In the sanitizer build the
// pool's guard zones, its quarantined blocks and freed requests are poisoned, so that a driver
// reading or writing them is stopped at that very access, with the access in the report. In
// the plain build these do nothing and the fill patterns are checked later instead. The fuzz
// build defines QVNET_ADDRESS_SANITIZER for a platform it compiles without the sanitizer's
// instrumentation: the driver is checked against this poison all the same.
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
    // Called directly: the header's macro is empty in code built without the sanitizer.
    __asan_poison_memory_region(begin, size);
#else
    (void)begin;
    (void)size;
#endif
}

// The platform itself reads, checks, rewrites or releases the memory.
inline void Unpoison(const void* begin, size_t size) {
#if QVNET_ADDRESS_SANITIZER
    __asan_unpoison_memory_region(begin, size);
#else
    (void)begin;
    (void)size;
#endif
}

}  // namespace emu
