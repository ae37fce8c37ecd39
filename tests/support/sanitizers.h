// Whether this build runs under a sanitizer. Tests that cap a process's
// address space (ulimit -v, RLIMIT_AS) skip themselves there: ASan and TSan
// reserve terabytes of shadow memory at start-up and cannot run under a cap.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MESHTOOLS_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define MESHTOOLS_UNDER_SANITIZER 1
#endif
#endif

namespace testsupport {

#ifdef MESHTOOLS_UNDER_SANITIZER
inline constexpr bool kUnderSanitizer = true;
#else
inline constexpr bool kUnderSanitizer = false;
#endif

}  // namespace testsupport
