#include <cmath>
#include <vector>

#include "support/runsupport.h"
#include "hamiltonian/band.h"
#include "hamiltonian/bandexpansion.h"
#include "io/format.h"

namespace mv {

namespace {

inline constexpr int32_t max_order = 25;

// x**e for e >= 1 the way the Fortran integer power rounds it: binary
// exponentiation in single precision, which differs in the last bit from
// e - 1 plain products for many x once e >= 3.
float ipow(float x, int32_t e) {
  auto k = static_cast<uint32_t>(e);
  float y = (k % 2 != 0) ? x : 1.0f;
  while ((k >>= 1) != 0) {
    x = x * x;
    if (k % 2 != 0) y = y * x;
  }
  return y;
}

// Classical Newton iteration on P_n from the cosine guess; the plain weights
// 2 xl / ((1 - z^2) P_n'^2) go into v. All in single precision.
void legendre_nodes(float x1, float x2, float* x, float* v, int32_t n) {
  const float pi = 3.1415927f;
  const float fn = static_cast<float>(n);
  const int32_t half = (n + 1) / 2;
  const float xm = 0.5f * (x2 + x1);
  const float xl = 0.5f * (x2 - x1);
  for (int32_t i = 1; i <= half; ++i) {
    float z = std::cos(pi * (static_cast<float>(i) - 0.25f) / (fn + 0.5f));
    float z1 = 0.0f;
    float pp = 0.0f;
    do {
      float p1 = 1.0f;
      float p2 = 0.0f;
      for (int32_t j = 1; j <= n; ++j) {
        const float fj = static_cast<float>(j);
        const float p3 = p2;
        p2 = p1;
        p1 = ((2.0f * fj - 1.0f) * z * p2 - (fj - 1.0f) * p3) / fj;
      }
      pp = fn * (z * p1 - p2) / (z * z - 1.0f);
      z1 = z;
      z = z1 - p1 / pp;
    } while (std::fabs(z - z1) > 1.0e-6f);
    x[i - 1] = xm - xl * z;
    x[n - i] = xm + xl * z;
    v[i - 1] = 2.0f * xl / ((1.0f - z * z) * pp * pp);
    v[n - i] = v[i - 1];
  }
}

// Folds the band shape into the weights and scales them so that their squares
// add up to 1. A shape that vanishes at every node (or overflows) leaves no
// scale to divide by: that is a fault of the input, not something to print.
void normalise(float x1, float x2, const float* x, float* v, int32_t n) {
  float s = 0.0f;
  for (int32_t i = 0; i < n; ++i) {
    const float b = bandshape(x[i], x1, x2);
    s = s + b * b * v[i];
  }
  if (s == 0.0f || !std::isfinite(s)) {
    list_write(6, "In gausslegendre the band-shape sum S=", s, " for n=", n);
    quitprog("Band shape gives zero or undefined weights: check SHAPE/CIRCLE and W.");
  }
  for (int32_t i = 0; i < n; ++i) v[i] = std::sqrt(v[i] / s) * bandshape(x[i], x1, x2);
}

void report(const float* x, const float* v, int32_t n) {
  std::vector<FmtItem> items;
  items.reserve(1 + 3 * static_cast<std::size_t>(n > 0 ? n : 0));
  items.push_back(fmt_item("gausslegendre "));
  for (int32_t i = 1; i <= n; ++i) {
    items.push_back(fmt_item(i));
    items.push_back(fmt_item(x[i - 1]));
    items.push_back(fmt_item(v[i - 1]));
  }
  list_write_items(6, items);
}

}  // namespace

float bandshape(float x, float x1, float x2) {
  const float t = 2.0f * (x - x1) / (x2 - x1) - 1.0f;
  const int32_t order = bandexpansion.order < max_order ? bandexpansion.order : max_order;
  float r = bandexpansion.c[0];
  for (int32_t i = 1; i <= order; ++i) r = r + bandexpansion.c[i] * ipow(t, i);
  return r;
}

// gausslegendre: N-point Gauss-Legendre nodes on [x1, x2] and hybridisation weights
// sqrt(w(i)/S) * shape(x(i)), S = sum shape^2 w. Single precision throughout; x1 = x2
// only with N = 1. Cost O(N^2) per Newton sweep; the classical Newton-on-P_N method.
void gausslegendre(float x1, float x2, float* x, float* v, int32_t n) {
  if (x1 == x2) {
    if (n != 1) {
      list_write(6, "In gausslegendre x1=x2=", x1, " and n=", n);
      list_write(6, "n>1 is not allowed when x1=x2.");
      quitprog("Make W non-zero or make N2 and/or N3 =1 in INPUT.");
    }
    x[0] = x2;
    v[0] = 1.0f;
  } else if (n > 0) {
    legendre_nodes(x1, x2, x, v, n);
    normalise(x1, x2, x, v, n);
  }
  report(x, v, n);
}

}  // namespace mv
