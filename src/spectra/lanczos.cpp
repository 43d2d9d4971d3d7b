// Every sum here (a row of the sparse product, a scalar product, a norm) runs
// in ascending index from 0 in 4-byte reals; threads and the compiler's vector
// lanes only take independent sums side by side (rows of the product, the
// coefficients of one reorthogonalisation, elements of an update), so the bits
// are the same at any thread count, optimisation level and instruction set.
#include "spectra/lanczos.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "parallel/pool.h"
#include "spectra/gram_schmidt.h"
#include "spectra/sparse_slices.h"
#include "spectra/tql3.h"
#include "workarray/heap.h"

namespace mv {

namespace {

// Below some 100 µs of work a thread costs more than it saves.
constexpr int64_t min_parallel_work = int64_t(1) << 18;

float* vec(float* basis, int32_t j, int32_t n) {
  return basis + static_cast<std::ptrdiff_t>(j) * n;
}

float dot(const float* x, const float* y, int32_t n) {
  float sum = 0.0f;
  for (int32_t k = 0; k < n; ++k) sum = sum + x[k] * y[k];
  return sum;
}

void coefficients(const float* basis, int32_t n, const float* w, float* c, int32_t i0, int32_t i1) {
  std::fill(c + i0, c + i1, 0.0f);
  gs_coefficients(basis, n, w, c, i0, i1, 0, n);
}

// One classical Gram–Schmidt pass of w against q_0..q_{count-1}.
void orthogonalise(const float* basis, int32_t n, int32_t count, float* w, float* c) {
  const bool wide = int64_t(count) * n >= min_parallel_work;
  if (!wide) {
    coefficients(basis, n, w, c, 0, count);
    gs_subtract(basis, n, c, count, w, 0, n);
    return;
  }
  parallel::for_range(
      count, [&](int32_t i0, int32_t i1) { coefficients(basis, n, w, c, i0, i1); }, 8);
  parallel::for_range(
      n, [&](int32_t k0, int32_t k1) { gs_subtract(basis, n, c, count, w, k0, k1); }, 64);
}

// Two classical Gram–Schmidt passes of w against q_0..q_{count-1} (c and c2
// hold count coefficients each). In one thread the first pass's subtraction
// and the second pass's coefficients share one sweep over the basis: for a
// block of elements, w is updated (terms in ascending i) and the block is
// added to every coefficient while it is still in the cache, blocks in
// ascending order. That reads the basis three times instead of four, with the
// sums of the two separate passes. Threads split the subtraction by elements
// and the coefficients by vectors, which cannot share a sweep: they take the
// passes one after the other.
void reorthogonalise(const float* basis, int32_t n, int32_t count, float* w, float* c, float* c2) {
  if (int64_t(count) * n >= min_parallel_work && parallel::threads() > 1) {
    orthogonalise(basis, n, count, w, c);
    orthogonalise(basis, n, count, w, c);
    return;
  }
  coefficients(basis, n, w, c, 0, count);
  std::fill(c2, c2 + count, 0.0f);
  // A block of the basis (count x block cells) that stays in a 256 kB cache.
  const int32_t block = std::max<int32_t>(64, (int32_t(1) << 16) / std::max(count, 1)) & ~15;
  for (int32_t k0 = 0; k0 < n; k0 += block) {
    const int32_t k1 = std::min(n, k0 + block);
    gs_subtract(basis, n, c, count, w, k0, k1);
    gs_coefficients(basis, n, w, c2, 0, count, k0, k1);
  }
  gs_subtract(basis, n, c2, count, w, 0, n);
}

// A start vector for the part of the space that the run has not reached:
// a fixed pseudo-random vector (integer arithmetic, the same bits everywhere)
// orthogonalised against q_0..q_{count-1} and normalised into w. False when
// nothing of it is left (the basis spans the space, to rounding).
bool fresh_vector(const float* basis, int32_t n, int32_t count, float* w, float* c, float* c2) {
  for (uint32_t attempt = 0; attempt < 3; ++attempt) {
    uint32_t x = 2463534242u + 977u * static_cast<uint32_t>(count) + 7919u * attempt;
    for (int32_t k = 0; k < n; ++k) {  // xorshift32
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      w[k] = static_cast<float>(static_cast<int32_t>(x >> 8) - (1 << 23)) / float(1 << 23);
    }
    const float before = std::sqrt(dot(w, w, n));
    reorthogonalise(basis, n, count, w, c, c2);
    const float after = std::sqrt(dot(w, w, n));
    if (after > 1.0e-4f * before) {
      for (int32_t k = 0; k < n; ++k) w[k] = w[k] / after;
      return true;
    }
  }
  return false;
}

}  // namespace

void sparse_times(int32_t h, int32_t n, const float* x, float* y) {
  if (n <= 0) return;
  sliced_times(slice_rows(h, n), x, y);
}

int64_t lanczos_basis_cells(int32_t steps, int32_t n) {
  return (int64_t(std::clamp(steps, 0, std::max(n, 0))) + 1) * std::max(n, 0);
}

lanczos_result lanczos(int32_t h, int32_t n, const float* v, int32_t steps, float* basis,
                       float* alpha, float* beta) {
  lanczos_result r;
  const int32_t limit = std::min(steps, n);
  if (limit <= 0) return r;
  // The coefficients of the two reorthogonalisation passes.
  std::vector<float> c(static_cast<std::size_t>(limit)), c2(c.size());
  const sliced_matrix hs = slice_rows(h, n);  // every step multiplies by H
  r.norm = std::sqrt(dot(v, v, n));
  r.reached = -1;
  float* q0 = vec(basis, 0, n);
  if (r.norm > 0.0f) {
    for (int32_t k = 0; k < n; ++k) q0[k] = v[k] / r.norm;
  } else {
    r.norm = 0.0f;
    r.reached = 0;
    fresh_vector(basis, n, 0, q0, c.data(), c2.data());
  }
  float scale = 0.0f;  // the largest |alpha_j| + beta_j: the size of H seen so far
  for (int32_t j = 0; j < limit; ++j) {
    const float* q = vec(basis, j, n);
    float* w = vec(basis, j + 1, n);
    sliced_times(hs, q, w);
    alpha[j] = dot(q, w, n);
    const float b = j > 0 ? beta[j - 1] : 0.0f;
    const float* previous = j > 0 ? vec(basis, j - 1, n) : q;  // b = 0 for j = 0
    for (int32_t k = 0; k < n; ++k) w[k] = (w[k] - alpha[j] * q[k]) - b * previous[k];
    r.m = j + 1;
    if (r.m == limit) break;  // the last residual is not part of the tridiagonal matrix
    reorthogonalise(basis, n, j + 1, w, c.data(), c2.data());
    beta[j] = std::sqrt(dot(w, w, n));
    scale = std::max(scale, std::fabs(alpha[j]) + beta[j]);
    if (beta[j] > 64.0f * 1.1920929e-7f * scale) {
      for (int32_t k = 0; k < n; ++k) w[k] = w[k] / beta[j];
      continue;
    }
    // An invariant subspace: the start vector has no weight on the rest of the
    // space. The run goes on in that rest, uncoupled (beta = 0), so that every
    // spectrum has the same number of lines; the new lines carry amplitude 0.
    if (r.reached < 0) r.reached = r.m;
    beta[j] = 0.0f;
    if (!fresh_vector(basis, n, j + 1, w, c.data(), c2.data())) break;
  }
  if (r.reached < 0) r.reached = r.m;
  return r;
}

void ritz_spectrum(const lanczos_result& r, float* alpha, float* beta, float* energies,
                   float* amplitudes) {
  const int32_t m = r.m;
  if (m <= 0) return;
  // tql3 takes the sub-diagonal in e(2..m) with e(1) = 0.
  for (int32_t k = m - 1; k >= 1; --k) beta[k] = beta[k - 1];
  beta[0] = 0.0f;
  amplitudes[0] = 1.0f;
  for (int32_t k = 1; k < m; ++k) amplitudes[k] = 0.0f;
  int32_t ierr = 0;
  tql3(1, m, alpha, beta, amplitudes, ierr);
  if (ierr != 0) report_no_convergence(ierr);
  for (int32_t k = 0; k < m; ++k) {
    energies[k] = alpha[k];
    // + 0: a line of amplitude zero (beyond an invariant subspace) is +0, not -0.
    amplitudes[k] = r.norm * amplitudes[k] + 0.0f;
  }
}

}  // namespace mv
