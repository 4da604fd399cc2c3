// Clang thread-safety attributes: which lock guards which field, and which
// calls take, release or need a lock. A build with -Wthread-safety checks
// them at compile time; other compilers see nothing.
#ifndef TVK_PLATFORM_ETHREADANNOTATIONS_H
#define TVK_PLATFORM_ETHREADANNOTATIONS_H

#if defined(__clang__)
#define TVK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TVK_THREAD_ANNOTATION(x)
#endif

// A type that is a lock.
#define TVK_CAPABILITY(name) TVK_THREAD_ANNOTATION(capability(name))
// A type whose objects hold a lock from construction to destruction.
#define TVK_SCOPED_CAPABILITY TVK_THREAD_ANNOTATION(scoped_lockable)

// A field read or written only with the lock held (shared for reading).
#define TVK_GUARDED_BY(lock) TVK_THREAD_ANNOTATION(guarded_by(lock))
// What a pointer field points to is guarded; the pointer itself is not.
#define TVK_PT_GUARDED_BY(lock) TVK_THREAD_ANNOTATION(pt_guarded_by(lock))
#define TVK_ACQUIRED_BEFORE(...) TVK_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define TVK_ACQUIRED_AFTER(...) TVK_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// The caller holds the lock (exclusively, or at least shared).
#define TVK_REQUIRES(...) TVK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TVK_REQUIRES_SHARED(...) TVK_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// The caller must not hold the lock: the call takes it.
#define TVK_EXCLUDES(...) TVK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// The call takes or releases the lock (this object's when none is named).
#define TVK_ACQUIRE(...) TVK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TVK_ACQUIRE_SHARED(...) TVK_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define TVK_RELEASE(...) TVK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TVK_RELEASE_SHARED(...) TVK_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TVK_TRY_ACQUIRE(...) TVK_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TVK_RETURN_CAPABILITY(lock) TVK_THREAD_ANNOTATION(lock_returned(lock))

// For the rare function whose locking the analysis cannot follow; say why
// beside each use.
#define TVK_NO_THREAD_SAFETY_ANALYSIS TVK_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif
