// Forced into every file of a clang build of the engine for fuzzing (AFL++'s
// instrumenting compilers here are clang ones): GCC's __builtin_shuffle, which
// the complex LU kernels use, written out lane by lane. The fuzzing build only
// has to behave like the GCC build, not to be as fast.
#pragma once
#if defined(__clang__) && defined(__cplusplus)
template <class V, class M>
inline V mv_fuzz_shuffle(V a, M m) {
  constexpr int n = sizeof(V) / sizeof(a[0]);
  V r;
  for (int i = 0; i < n; ++i) r[i] = a[m[i] & (n - 1)];
  return r;
}
template <class V, class M>
inline V mv_fuzz_shuffle(V a, V b, M m) {
  constexpr int n = sizeof(V) / sizeof(a[0]);
  V r;
  for (int i = 0; i < n; ++i) {
    const int k = m[i] & (2 * n - 1);
    r[i] = k < n ? a[k] : b[k - n];
  }
  return r;
}
#define __builtin_shuffle(...) mv_fuzz_shuffle(__VA_ARGS__)
#endif
