// The real kernel's declarations, from the DDK headers (see ddk.h).
#pragma once

#include "platform/windows/types.h"

// Any IRQL. Disable and enable the current processor's interrupts. The DDK declares these
// compiler intrinsics; the cross compiler has no built-in form, so they are written here.
extern "C" inline void __cdecl _disable(void) { __asm__ __volatile__("cli" : : : "memory"); }
extern "C" inline void __cdecl _enable(void) { __asm__ __volatile__("sti" : : : "memory"); }
