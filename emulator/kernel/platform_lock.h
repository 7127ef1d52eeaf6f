// Threaded mode's one lock over the hosted platform's own state.
//
// With several processors running as OS threads, the platform (scheduler, pool, I/O manager,
// NDIS, bus, device, verifier) is kept consistent by one mutex: a thread holds it while it runs
// platform code and lets it go whenever it calls into the driver, spins on one of the driver's
// spin locks or waits for work. The driver's own code therefore runs truly in parallel, meeting
// only at its spin locks and interlocked operations, as on real processors.
//
// In the deterministic mode (one thread) the lock is never taken: every call below is one test
// of a flag.
#pragma once

#include <mutex>

#include "emulator/kernel/race_annotations.h"

namespace emu {

class PlatformLock {
public:
    // Set only while no other thread runs platform code (before processors start, after they
    // are joined).
    static bool Threaded() { return threaded_; }
    static void SetThreaded(bool on) { threaded_ = on; }

    // Takes the lock for this thread, or goes one level deeper when it holds it already.
    static void Enter() {
        if (depth_++ == 0) Lock();
    }
    static void Leave() {
        if (--depth_ == 0) Unlock();
    }
    static bool HeldHere() { return depth_ > 0; }

    // Lets the lock go entirely (a call into the driver, a spin, a wait) and takes it back to
    // the same depth. Nothing in the threaded mode, or when this thread does not hold it.
    static int Drop() {
        if (!threaded_ || depth_ == 0) return 0;
        const int depth = depth_;
        depth_ = 0;
        Unlock();
        return depth;
    }
    static void Retake(int depth) {
        if (depth == 0) return;
        Lock();
        depth_ = depth;
    }

    static std::mutex& Mutex() { return mutex_; }

private:
    // Under ThreadSanitizer, what the thread does while it holds the lock is the platform's
    // and not checked (emulator/kernel/race_annotations.h).
    static void Lock() {
        race::EnterPlatform();
        mutex_.lock();
        race::InPlatform();
    }
    static void Unlock() {
        race::LeavingPlatform();
        mutex_.unlock();
        race::LeftPlatform();
    }

    static inline bool threaded_ = false;
    static inline std::mutex mutex_;
    static inline thread_local int depth_ = 0;
};

// Held for the length of one platform routine the driver called.
class PlatformEntry {
public:
    PlatformEntry() : entered_(PlatformLock::Threaded()) {
        if (entered_) PlatformLock::Enter();
    }
    ~PlatformEntry() {
        if (entered_) PlatformLock::Leave();
    }
    PlatformEntry(const PlatformEntry&) = delete;
    PlatformEntry& operator=(const PlatformEntry&) = delete;

private:
    bool entered_;
};

// Lets the platform lock go for the length of a scope (driver code, a spin, a wait).
class PlatformReleased {
public:
    PlatformReleased() : depth_(PlatformLock::Drop()) {}
    ~PlatformReleased() { PlatformLock::Retake(depth_); }
    PlatformReleased(const PlatformReleased&) = delete;
    PlatformReleased& operator=(const PlatformReleased&) = delete;

private:
    int depth_;
};

// Memory of the driver's that the platform reads and writes as the driver would (an interlocked
// operation on a driver's variable): checked by ThreadSanitizer as the driver's own access.
class DriverAccess {
public:
    DriverAccess() : held_(PlatformLock::Threaded() && PlatformLock::HeldHere()) {
        if (!held_) return;
        race::LeavingPlatform();
        race::LeftPlatform();
    }
    ~DriverAccess() {
        if (!held_) return;
        race::EnterPlatform();
        race::InPlatform();
    }
    DriverAccess(const DriverAccess&) = delete;
    DriverAccess& operator=(const DriverAccess&) = delete;

private:
    bool held_;
};

}  // namespace emu

// The first statement of every platform routine the driver may call, and of the platform's own
// dispatch, completion and cancel routines (the I/O manager calls those as it calls a driver's,
// with the platform let go).
#define EMU_PLATFORM_ENTRY() ::emu::PlatformEntry emu_platform_entry_
