// Whether the tests run under AddressSanitizer, as GCC and clang each say it: what a sanitizer
// changes (a crash reported instead of a signal, an address space too large to limit) is left
// out of their expectations.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define BINMAT_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BINMAT_UNDER_ASAN 1
#endif
#endif
