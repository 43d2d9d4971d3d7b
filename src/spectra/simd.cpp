#include "spectra/simd.h"

namespace mv::simd {

namespace {

int32_t processor_width() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return 16;
  if (__builtin_cpu_supports("avx2")) return 8;
#endif
  return 4;
}

int32_t cap = 0;

}  // namespace

int32_t widest_available() {
  static const int32_t available = processor_width();
  return available;
}

int32_t width() {
  const int32_t w = widest_available();
  return cap > 0 && cap < w ? cap : w;
}

void limit_width(int32_t lanes) { cap = lanes; }

}  // namespace mv::simd
