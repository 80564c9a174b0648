// Clang's thread-safety attributes: with -Wthread-safety the compiler checks
// that every guarded field is touched only with its lock held. Other
// compilers see nothing.
#pragma once

#if defined(__clang__)
#define SIMRELAY_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define SIMRELAY_THREAD_ANNOTATION(x)
#endif

// A type that is a lock.
#define SIMRELAY_CAPABILITY(name) SIMRELAY_THREAD_ANNOTATION(capability(name))
// A type whose objects hold a lock from construction to destruction.
#define SIMRELAY_SCOPED_CAPABILITY SIMRELAY_THREAD_ANNOTATION(scoped_lockable)
// A field that may be read or written only with the lock held.
#define SIMRELAY_GUARDED_BY(lock) SIMRELAY_THREAD_ANNOTATION(guarded_by(lock))
// A function that the caller must call with the lock held...
#define SIMRELAY_REQUIRES(...) SIMRELAY_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// ...or without it, as the function takes it itself.
#define SIMRELAY_EXCLUDES(...) SIMRELAY_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define SIMRELAY_ACQUIRE(...) SIMRELAY_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define SIMRELAY_RELEASE(...) SIMRELAY_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
