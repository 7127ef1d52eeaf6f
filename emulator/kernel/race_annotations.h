// What ThreadSanitizer is told about the threaded mode, so that it judges the driver's code
// alone and by the synchronisation a real kernel gives it.
//
// The platform lock orders everything the platform does, and every driver routine passes
// through the platform: left alone, ThreadSanitizer would see a happens-before edge between
// any two driver accesses on different processors and hide nearly every race. So while a
// thread holds the platform lock, its memory accesses and synchronisation are ignored, and
// the platform states the edges a real kernel provides: a queued DPC, timer or work item runs
// after what its queuer did before queuing it; a wait on an event returns after the setter's
// work; a spin lock's holder comes after its previous holder; interlocked operations are
// atomic. The driver's own accesses between those edges are then checked as on real
// processors. Without ThreadSanitizer every call here is empty.
#pragma once

#include <cstdint>

#if defined(__SANITIZE_THREAD__)
#define EMU_RACE_ANNOTATIONS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define EMU_RACE_ANNOTATIONS 1
#endif
#endif

#ifdef EMU_RACE_ANNOTATIONS
extern "C" {
void AnnotateHappensBefore(const char* file, int line, const volatile void* address);
void AnnotateHappensAfter(const char* file, int line, const volatile void* address);
void AnnotateIgnoreReadsBegin(const char* file, int line);
void AnnotateIgnoreReadsEnd(const char* file, int line);
void AnnotateIgnoreWritesBegin(const char* file, int line);
void AnnotateIgnoreWritesEnd(const char* file, int line);
void AnnotateIgnoreSyncBegin(const char* file, int line);
void AnnotateIgnoreSyncEnd(const char* file, int line);
}
#endif

namespace emu::race {

#ifdef EMU_RACE_ANNOTATIONS
// Whether this thread's synchronisation is ignored now (it holds the platform lock).
inline thread_local bool in_platform = false;

// The platform lock is about to be taken: what follows is the platform's.
inline void EnterPlatform() {
    AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
    in_platform = true;
}
// It is held now.
inline void InPlatform() {
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
}
// It is about to be let go.
inline void LeavingPlatform() {
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
}
// It has been let go.
inline void LeftPlatform() {
    in_platform = false;
    AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
}

// Edges the platform provides.
inline void Release(const void* address) {
    if (in_platform) AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
    AnnotateHappensBefore(__FILE__, __LINE__, address);
    if (in_platform) AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
}
inline void Acquire(const void* address) {
    if (in_platform) AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
    AnnotateHappensAfter(__FILE__, __LINE__, address);
    if (in_platform) AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
}

#else
inline void EnterPlatform() {}
inline void InPlatform() {}
inline void LeavingPlatform() {}
inline void LeftPlatform() {}
inline void Release(const void*) {}
inline void Acquire(const void*) {}
#endif

// A stable address standing for one queued item, for Release and Acquire. Two items may share
// one: that only adds an edge, it hides no race the real kernel would let happen between them
// beyond that.
inline const void* ItemToken(uint64_t id) {
    static char tokens[1 << 16];
    return &tokens[id & ((1 << 16) - 1)];
}

}  // namespace emu::race
