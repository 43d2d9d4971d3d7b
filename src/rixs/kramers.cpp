#include "rixs/kramers.h"

#include <cstddef>

namespace mv {

namespace {

// z(n) = a(n) / (d + i h), d = omega - (E_n - E_i): a (d - i h) / (d^2 + h^2).
void resonance(const kh_input& in, int32_t i, float omega, float* z_re, float* z_im) {
  const std::size_t row = static_cast<std::size_t>(i) * in.nt;
  const float ei = in.e_i[static_cast<std::size_t>(i)];
  for (int32_t n = 0; n < in.nt; ++n) {
    const float excitation = in.e_n[static_cast<std::size_t>(n)] - ei;
    const float d = omega - excitation;
    const float h = in.h_n[static_cast<std::size_t>(n)];
    const float dd = d * d;
    const float hh = h * h;
    const float den = dd + hh;
    const float ar = in.a_re[row + n], ai = in.a_im[row + n];
    const float ard = ar * d, aih = ai * h, aid = ai * d, arh = ar * h;
    z_re[n] = (ard + aih) / den;
    z_im[n] = (aid - arh) / den;
  }
}

// |sum_n b(n) z(n)|^2 for one final state of one set.
float squared_amplitude(const float* b_re, const float* b_im, const float* z_re, const float* z_im,
                        int32_t nt) {
  float sr = 0.0f, si = 0.0f;
  for (int32_t n = 0; n < nt; ++n) {
    const float rr = b_re[n] * z_re[n], ii = b_im[n] * z_im[n];
    const float ri = b_re[n] * z_im[n], ir = b_im[n] * z_re[n];
    sr = sr + (rr - ii);
    si = si + (ri + ir);
  }
  const float sr2 = sr * sr, si2 = si * si;
  return sr2 + si2;
}

}  // namespace

void kramers_heisenberg(const kh_input& in, float omega, float* intensity, float* z) {
  const std::size_t cells = static_cast<std::size_t>(in.nlevels) * in.nf;
  for (std::size_t k = 0; k < cells; ++k) intensity[k] = 0.0f;
  float* z_re = z;
  float* z_im = z + in.nt;
  for (int32_t i = 0; i < in.ni; ++i) {
    resonance(in, i, omega, z_re, z_im);
    const float w = in.w_i[static_cast<std::size_t>(i)];
    float* out =
        intensity + static_cast<std::size_t>(in.level[static_cast<std::size_t>(i)]) * in.nf;
    for (int32_t s = 0; s < in.nsets; ++s) {
      for (int32_t f = 0; f < in.nf; ++f) {
        const std::size_t row = (static_cast<std::size_t>(s) * in.nf + f) * in.nt;
        const float a2 = squared_amplitude(&in.b_re[row], &in.b_im[row], z_re, z_im, in.nt);
        const float wa2 = w * a2;
        out[f] = out[f] + wa2;
      }
    }
  }
}

}  // namespace mv
