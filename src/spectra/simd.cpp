#include "spectra/simd.h"

namespace mv::simd {

namespace {

bool processor_has_avx2() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

bool allowed_by_caller = true;

}  // namespace

bool wide() {
  static const bool available = processor_has_avx2();
  return available && allowed_by_caller;
}

void allow_wide(bool allowed) { allowed_by_caller = allowed; }

}  // namespace mv::simd
