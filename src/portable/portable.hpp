// Compiler and platform differences, kept to this header so that the engines read the same on
// GCC, Clang and MSVC. Each fallback gives the same results; only speed may differ.
#pragma once

#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#endif

namespace ratiokit {

// Asks for the cache line at p ahead of its use (read, keep in every cache level). A hint only:
// where the compiler offers none it does nothing.
inline void prefetch(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
  _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#else
  (void)p;
#endif
}

}  // namespace ratiokit
