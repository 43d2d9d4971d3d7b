#include "reference_kernels.h"

#include <cmath>
#include <cstddef>

namespace mv::reference {

namespace {

// 1-based column-major element access.
struct Mat {
  float* p;
  int32_t ld;
  float& operator()(int32_t i, int32_t j) const {
    return p[(i - 1) + static_cast<int64_t>(j - 1) * ld];
  }
};

}  // namespace

void tred3(float* a_, int32_t nm, int32_t n, float* d_, float* e_) {
  if (n < 1) return;
  const Mat a{a_, nm};
  auto d = [&](int32_t i) -> float& { return d_[i - 1]; };
  auto e = [&](int32_t i) -> float& { return e_[i - 1]; };

  for (int32_t i = n; i >= 2; --i) {
    const int32_t l = i - 1;
    float h = 0.0f;
    if (l > 1) {
      float scale = 0.0f;
      for (int32_t k = 1; k <= l; ++k) scale = scale + std::fabs(a(i, k));
      if (scale == 0.0f) {
        e(i) = a(i, l);
        h = 0.0f;
      } else {
        for (int32_t k = 1; k <= l; ++k) {
          a(i, k) = a(i, k) / scale;
          h = h + a(i, k) * a(i, k);
        }
        float f = a(i, l);
        const float root = std::sqrt(h);
        float g = std::signbit(f) ? root : -root;
        e(i) = scale * g;
        h = h - f * g;
        a(i, l) = f - g;
        f = 0.0f;
        for (int32_t j = 1; j <= l; ++j) {
          a(j, i) = a(i, j) / (scale * h);
          g = 0.0f;
          for (int32_t k = 1; k <= j; ++k) g = g + a(j, k) * a(i, k);
          for (int32_t k = j + 1; k <= l; ++k) g = g + a(k, j) * a(i, k);
          e(j) = g / h;
          f = f + e(j) * a(i, j);
        }
        const float hh = f / (h + h);
        for (int32_t j = 1; j <= l; ++j) {
          f = a(i, j);
          g = e(j) - hh * f;
          e(j) = g;
          for (int32_t k = 1; k <= j; ++k) a(j, k) = a(j, k) - f * e(k) - g * a(i, k);
        }
        for (int32_t k = 1; k <= l; ++k) a(i, k) = scale * a(i, k);
      }
    } else {
      e(i) = a(i, l);
      h = 0.0f;
    }
    d(i) = h;
  }
  d(1) = 0.0f;
  e(1) = 0.0f;

  for (int32_t i = 1; i <= n; ++i) {
    const int32_t l = i - 1;
    if (d(i) != 0.0f && l >= 1) {
      for (int32_t j = 1; j <= l; ++j) {
        float g = 0.0f;
        for (int32_t k = 1; k <= l; ++k) g = g + a(i, k) * a(k, j);
        for (int32_t k = 1; k <= l; ++k) a(k, j) = a(k, j) - g * a(k, i);
      }
    }
    d(i) = a(i, i);
    a(i, i) = 1.0f;
    for (int32_t j = 1; j <= l; ++j) {
      a(i, j) = 0.0f;
      a(j, i) = 0.0f;
    }
  }
}

void tql3(int32_t nm, int32_t n, float* d_, float* e_, float* z_, int32_t& ierr) {
  constexpr float machep = 1.1920929e-7f;
  ierr = 0;
  if (n <= 1) return;
  const Mat z{z_, nm};
  auto d = [&](int32_t i) -> float& { return d_[i - 1]; };
  auto e = [&](int32_t i) -> float& { return e_[i - 1]; };

  for (int32_t i = 2; i <= n; ++i) e(i - 1) = e(i);
  float f = 0.0f;
  float b = 0.0f;
  e(n) = 0.0f;

  for (int32_t l = 1; l <= n; ++l) {
    int32_t j = 0;
    const float hl = machep * (std::fabs(d(l)) + std::fabs(e(l)));
    if (b < hl) b = hl;
    int32_t m = l;
    while (m < n && !(std::fabs(e(m)) <= b)) ++m;
    if (m != l) {
      do {
        if (j == 30) {
          ierr = l;
          return;
        }
        j = j + 1;
        float g = d(l);
        float p = (d(l + 1) - g) / (2.0f * e(l));
        float r = std::sqrt(p * p + 1.0f);
        d(l) = e(l) / (p + std::copysign(r, p));
        float h = g - d(l);
        for (int32_t i = l + 1; i <= n; ++i) d(i) = d(i) - h;
        f = f + h;
        p = d(m);
        float c = 1.0f;
        float s = 0.0f;
        for (int32_t i = m - 1; i >= l; --i) {
          g = c * e(i);
          h = c * p;
          if (std::fabs(p) >= std::fabs(e(i))) {
            c = e(i) / p;
            r = std::sqrt(c * c + 1.0f);
            e(i + 1) = s * p * r;
            s = c / r;
            c = 1.0f / r;
          } else {
            c = p / e(i);
            r = std::sqrt(c * c + 1.0f);
            e(i + 1) = s * e(i) * r;
            s = 1.0f / r;
            c = c * s;
          }
          p = c * d(i) - s * g;
          d(i + 1) = h + s * (c * g + s * d(i));
          for (int32_t k = 1; k <= nm; ++k) {
            const float t = z(k, i + 1);
            z(k, i + 1) = s * z(k, i) + c * t;
            z(k, i) = c * z(k, i) - s * t;
          }
        }
        e(l) = s * p;
        d(l) = c * p;
      } while (std::fabs(e(l)) > b);
    }
    d(l) = d(l) + f;
  }

  for (int32_t ii = 2; ii <= n; ++ii) {
    const int32_t i = ii - 1;
    int32_t k = i;
    float p = d(i);
    for (int32_t jj = ii; jj <= n; ++jj) {
      if (d(jj) < p) {
        k = jj;
        p = d(jj);
      }
    }
    if (k != i) {
      d(k) = d(i);
      d(i) = p;
      for (int32_t jj = 1; jj <= nm; ++jj) {
        const float t = z(jj, i);
        z(jj, i) = z(jj, k);
        z(jj, k) = t;
      }
    }
  }
}

void mmult1(int32_t p, int32_t q, int32_t r, int32_t s, const float* x_, const float* y_,
            float* res_) {
  const Mat x{const_cast<float*>(x_), q}, y{const_cast<float*>(y_), s}, res{res_, s};
  for (int32_t k = 1; k <= r; ++k)
    for (int32_t i = 1; i <= s; ++i) res(i, k) = 0.0f;
  for (int32_t i = 1; i <= p; ++i)
    for (int32_t j = 1; j <= p; ++j)
      for (int32_t k = 1; k <= r; ++k) res(i, k) = res(i, k) + x(j, i) * y(j, k);
}

void mmult2(int32_t p, int32_t q, int32_t r, int32_t s, const float* z_, const float* a_,
            float* res_) {
  const Mat z{const_cast<float*>(z_), q}, a{const_cast<float*>(a_), s}, res{res_, q};
  for (int32_t k = 1; k <= r; ++k)
    for (int32_t i = 1; i <= q; ++i) res(i, k) = 0.0f;
  for (int32_t i = 1; i <= p; ++i)
    for (int32_t j = 1; j <= r; ++j)
      for (int32_t k = 1; k <= r; ++k) res(i, k) = res(i, k) + z(i, j) * a(j, k);
}

void gs_coefficients(const float* basis, int32_t n, const float* w, float* c, int32_t i0,
                     int32_t i1, int32_t k0, int32_t k1) {
  for (int32_t i = i0; i < i1; ++i) {
    for (int32_t k = k0; k < k1; ++k) c[i] = c[i] + basis[std::size_t(i) * n + k] * w[k];
  }
}

void gs_subtract(const float* basis, int32_t n, const float* c, int32_t count, float* w,
                 int32_t k0, int32_t k1) {
  for (int32_t i = 0; i < count; ++i) {
    for (int32_t k = k0; k < k1; ++k) w[k] = w[k] - c[i] * basis[std::size_t(i) * n + k];
  }
}

}  // namespace mv::reference
