// Small helpers shared by the tests of the eigen-solvers.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace mv::test {

// An n x n column-major array with leading dimension nm: a random symmetric
// lower triangle; above the diagonal and in the padding rows an unrelated value
// that a correct routine never reads.
inline std::vector<float> random_symmetric(int32_t n, int32_t nm, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> a(static_cast<std::size_t>(nm) * n, 7.5f);
  for (int32_t j = 0; j < n; ++j) {
    for (int32_t i = j; i < n; ++i) a[i + static_cast<std::size_t>(j) * nm] = u(rng);
  }
  return a;
}

// The same matrix with its upper triangle mirrored from the lower one.
inline std::vector<float> mirrored(std::vector<float> a, int32_t n, int32_t nm) {
  for (int32_t j = 0; j < n; ++j) {
    for (int32_t i = 0; i < j; ++i)
      a[i + static_cast<std::size_t>(j) * nm] = a[j + static_cast<std::size_t>(i) * nm];
  }
  return a;
}

inline std::vector<float> random_vector(std::size_t n, uint32_t seed, float lo = -1.0f,
                                        float hi = 1.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

// Index of the first element whose bits differ, or -1.
inline int64_t first_bit_difference(const std::vector<float>& x, const std::vector<float>& y) {
  if (x.size() != y.size()) return 0;
  for (std::size_t k = 0; k < x.size(); ++k) {
    if (std::bit_cast<uint32_t>(x[k]) != std::bit_cast<uint32_t>(y[k]))
      return static_cast<int64_t>(k);
  }
  return -1;
}

// The records of a captured unit, split at the line ends.
inline std::vector<std::string> records(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t k = 0; k < text.size(); ++k) {
    if (text[k] != '\n') continue;
    out.push_back(text.substr(start, k - start));
    start = k + 1;
  }
  return out;
}

}  // namespace mv::test
