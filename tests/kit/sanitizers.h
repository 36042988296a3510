// Which sanitizer this program is built with: KSTV_ASAN is defined under
// AddressSanitizer (gcc and clang), whose allocator and leak checker some
// tests must work with rather than around.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define KSTV_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KSTV_ASAN 1
#endif
#endif
