// Lock discipline for Clang's thread-safety analysis (-Wthread-safety). The platform's spin
// locks are capabilities, the calls that take and drop them say so, and the driver's records
// say which lock guards which field; a build with the analysis on (the "thread-safety" preset)
// then refuses a guarded field touched without its lock. Other compilers, and the Windows
// kernel's own headers, see nothing.
#pragma once

#if defined(__clang__) && !defined(QVNET_WINDOWS_KERNEL)
#define QV_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define QV_THREAD_ATTRIBUTE(x)
#endif

#define QV_CAPABILITY(name) QV_THREAD_ATTRIBUTE(capability(name))
#define QV_GUARDED_BY(lock) QV_THREAD_ATTRIBUTE(guarded_by(lock))
#define QV_PT_GUARDED_BY(lock) QV_THREAD_ATTRIBUTE(pt_guarded_by(lock))
#define QV_ACQUIRE(...) QV_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define QV_RELEASE(...) QV_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define QV_REQUIRES(...) QV_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define QV_EXCLUDES(...) QV_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
// For the few routines that touch guarded fields while nothing else can run (before the
// adapter is started, after it has stopped): each says why where it is used.
#define QV_NO_THREAD_SAFETY_ANALYSIS QV_THREAD_ATTRIBUTE(no_thread_safety_analysis)
