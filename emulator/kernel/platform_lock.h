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

namespace emu {

class PlatformLock {
public:
    // Set only while no other thread runs platform code (before processors start, after they
    // are joined).
    static bool Threaded() { return threaded_; }
    static void SetThreaded(bool on) { threaded_ = on; }

    // Takes the lock for this thread, or goes one level deeper when it holds it already.
    static void Enter() {
        if (depth_++ == 0) mutex_.lock();
    }
    static void Leave() {
        if (--depth_ == 0) mutex_.unlock();
    }
    static bool HeldHere() { return depth_ > 0; }

    // Lets the lock go entirely (a call into the driver, a spin, a wait) and takes it back to
    // the same depth. Nothing in the threaded mode, or when this thread does not hold it.
    static int Drop() {
        if (!threaded_ || depth_ == 0) return 0;
        const int depth = depth_;
        depth_ = 0;
        mutex_.unlock();
        return depth;
    }
    static void Retake(int depth) {
        if (depth == 0) return;
        mutex_.lock();
        depth_ = depth;
    }

    static std::mutex& Mutex() { return mutex_; }

private:
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

}  // namespace emu

// The first statement of every platform routine the driver may call.
#define EMU_PLATFORM_ENTRY() ::emu::PlatformEntry emu_platform_entry_
