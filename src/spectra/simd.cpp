#include "spectra/simd.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

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

int32_t chosen = 0;

int32_t default_width() {
  static const int32_t w = [] {
    const char* env = std::getenv("MORVEX7_LANES");
    const std::string_view v = env == nullptr ? "" : env;
    return v == "4" ? 4 : v == "16" ? 16 : 8;
  }();
  return w;
}

}  // namespace

int32_t widest_available() {
  static const int32_t available = processor_width();
  return available;
}

int32_t width() {
  const int32_t want = chosen > 0 ? chosen : default_width();
  return std::min(want, widest_available());
}

void limit_width(int32_t lanes) { chosen = lanes; }

}  // namespace mv::simd
