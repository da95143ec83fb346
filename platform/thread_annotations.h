// Clang thread-safety attributes. They document which lock guards which member and are
// checked when the tree is built with clang -Wthread-safety; other compilers ignore them.
#pragma once

#if defined(__clang__)
#define QVFS_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QVFS_THREAD_ANNOTATION(x)
#endif

#define QVFS_CAPABILITY(x) QVFS_THREAD_ANNOTATION(capability(x))
#define QVFS_GUARDED_BY(x) QVFS_THREAD_ANNOTATION(guarded_by(x))
#define QVFS_PT_GUARDED_BY(x) QVFS_THREAD_ANNOTATION(pt_guarded_by(x))
#define QVFS_REQUIRES(...) QVFS_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QVFS_ACQUIRE(...) QVFS_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QVFS_RELEASE(...) QVFS_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QVFS_SCOPED_CAPABILITY QVFS_THREAD_ANNOTATION(scoped_lockable)
#define QVFS_NO_THREAD_SAFETY_ANALYSIS QVFS_THREAD_ANNOTATION(no_thread_safety_analysis)
