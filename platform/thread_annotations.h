// Clang's thread-safety attributes: which lock guards which member, and which
// functions expect it held. -Wthread-safety checks them; other compilers
// read nothing here.
#pragma once

#if defined(__clang__)
#define KESTREL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KESTREL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KESTREL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KESTREL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KESTREL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KESTREL_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) KESTREL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) KESTREL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) KESTREL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KESTREL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) KESTREL_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) KESTREL_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS KESTREL_THREAD_ANNOTATION(no_thread_safety_analysis)
