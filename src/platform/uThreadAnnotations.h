// Annotations for clang's thread-safety analysis (-Wthread-safety): which
// lock guards a member, which locks a function needs or takes, which thread
// role a function must run in. With other compilers they expand to nothing.
//
// The lock types of uSync.h and the thread roles of uThread.h are declared
// as capabilities, so the analysis checks every use of a member marked
// GUARDED_BY at compile time.
#pragma once

#if defined(__clang__)
#define LOGSERVER_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define LOGSERVER_THREAD_ANNOTATION(x)
#endif

// On a type: objects of it are locks (or roles) the analysis tracks.
#define CAPABILITY(x) LOGSERVER_THREAD_ANNOTATION(capability(x))
// On a type: an RAII guard that holds a capability for its lifetime.
#define SCOPED_CAPABILITY LOGSERVER_THREAD_ANNOTATION(scoped_lockable)

// On a member: read and written only while the capability is held.
#define GUARDED_BY(x) LOGSERVER_THREAD_ANNOTATION(guarded_by(x))
// On a pointer member: what it points to is guarded by the capability.
#define PT_GUARDED_BY(x) LOGSERVER_THREAD_ANNOTATION(pt_guarded_by(x))

// On a function: callers must hold (REQUIRES) or must not hold (EXCLUDES)
// the capabilities.
#define REQUIRES(...) LOGSERVER_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) LOGSERVER_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// On a function: it takes (ACQUIRE) or gives up (RELEASE) the capabilities.
#define ACQUIRE(...) LOGSERVER_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) LOGSERVER_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) LOGSERVER_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

// On a function: returns only when the capability is held (a run-time check
// the analysis then trusts).
#define ASSERT_CAPABILITY(x) LOGSERVER_THREAD_ANNOTATION(assert_capability(x))

// On a function: the analysis does not look inside (for the few places that
// hand a lock to a library, such as a condition variable's wait).
#define NO_THREAD_SAFETY_ANALYSIS LOGSERVER_THREAD_ANNOTATION(no_thread_safety_analysis)
