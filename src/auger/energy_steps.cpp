// The photon-energy steps of the Auger loop, one after another or side by side.
// Cost per step: one complex LU of order noa (~8 noa^3/3 flops) and the
// continuum amplitudes (4 nob noa ndeg flops); the rest is O(noa^2).
//
// The steps are independent until they are written. With T threads, T steps
// are computed at a time, each in a slot of its own memory (the work array is
// a stack owned by one thread); then, in step order, each step's arrays are
// copied where the single-thread loop leaves them, its blocks are taken from
// the work array and given back as slvgrn and auger_spect do (so the top, the
// peak and any size-check stop are the same), a singular matrix stops the run
// at its step, and the spectrum and yield line are written. A step computed
// alone (a last odd one, or NOMEGA = 0) lets its LU use every thread.
#include "auger/energy_steps.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "auger/com_gamma.h"
#include "auger/slvgrn.h"
#include "auger/totalyield.h"
#include "output/plotout.h"
#include "parallel/pool.h"
#include "workarray/heap.h"

namespace mv {

namespace {

constexpr float pi = 3.1415927f;

inline std::size_t ix(int32_t i, int32_t j, int32_t ld) {
  return static_cast<std::size_t>(i - 1) + static_cast<std::size_t>(j - 1) * ld;
}

float photon_energy(const energy_loop& in, int32_t i) {
  return i == 0 ? 10000.0f : in.estart + in.estep * static_cast<float>(i - 1);
}

// Re RX = Ta, Im RX = -(M*pi), first ndeg columns.
void right_hand_side(const energy_loop& in, float* rx) {
  const int32_t noa = in.noa, ndeg = in.ndeg;
  float* rx_re = rx;
  float* rx_im = rx + static_cast<std::size_t>(noa) * ndeg;
  zero(rx, 2 * ndeg * noa);
  for (int32_t a = 1; a <= noa; ++a) {
    for (int32_t k = 1; k <= ndeg; ++k) {
      rx_re[ix(a, k, noa)] = in.x->ta[ix(a, k, noa)];
      rx_im[ix(a, k, noa)] = -(in.x->m[ix(a, k, noa)] * pi);
    }
  }
}

// Re G = (Eg + w) - Ea on the diagonal, Im G = gamma*1 + pi*W.
void green_matrix(const energy_loop& in, float omega, float* g) {
  const int32_t noa = in.noa;
  const float gamma = com_gamma.gamma;
  float* g_re = g;
  float* g_im = g + static_cast<std::size_t>(noa) * noa;
  zero(g, 2 * noa * noa);
  for (int32_t a = 1; a <= noa; ++a) {
    g_re[ix(a, a, noa)] = (in.eg[0] + omega) - in.ea[a - 1];
    g_im[ix(a, a, noa)] = gamma;
    for (int32_t j = 1; j <= noa; ++j) {
      g_im[ix(a, j, noa)] = g_im[ix(a, j, noa)] + in.x->w[ix(a, j, noa)] * pi;
    }
  }
}

// RA = Tb + Hba * X, real and imaginary parts, sums over a in order.
void continuum_amplitudes(const energy_loop& in, const float* rx, float* ra) {
  const int32_t noa = in.noa, nob = in.nob, ndeg = in.ndeg;
  const float* rx_re = rx;
  const float* rx_im = rx + static_cast<std::size_t>(noa) * ndeg;
  float* ra_re = ra;
  float* ra_im = ra + static_cast<std::size_t>(nob) * ndeg;
  zero(ra, 2 * ndeg * nob);
  for (int32_t k = 1; k <= ndeg; ++k) {
    for (int32_t b = 1; b <= nob; ++b) {
      float re = 0.0f, im = 0.0f;
      for (int32_t a = 1; a <= noa; ++a) {
        const float h = in.x->hba[ix(b, a, nob)];
        re = re + h * rx_re[ix(a, k, noa)];
        im = im + h * rx_im[ix(a, k, noa)];
      }
      ra_re[ix(b, k, nob)] = re + in.x->tb[ix(b, k, nob)];
      ra_im[ix(b, k, nob)] = im;
    }
  }
}

// The spectrum of step i and its total-yield line; sx is the weight left on
// the intermediate states, y the Auger yield.
void write_step(const energy_loop& in, int32_t i, float sx, float y) {
  const float z = com_gamma.gamma / pi * sx + y;
  output(i, in.nob, in.eb, in.intensity, in.eg, y);
  totalyield(61 + in.triad, in.nomega, i, in.estart, in.estep, y, z);
}

// One step in the driver's arrays and the work array: the loop of one thread.
void energy_step(const energy_loop& in, int32_t i) {
  const agmain_arrays& x = *in.x;
  const int32_t noa = in.noa, nob = in.nob, ndeg = in.ndeg;
  right_hand_side(in, x.rx);
  green_matrix(in, photon_energy(in, i), x.g);
  slvgrn(noa, ndeg, x.g, x.rx);
  continuum_amplitudes(in, x.rx, x.ra);

  int32_t ps = 0;
  alloc("auger_spect scratch", noa, ps);
  float sx = 0.0f;
  auger_spect(noa, ndeg, x.rx, x.rx + static_cast<std::size_t>(noa) * ndeg, rh(ps), sx);
  dealloc("auger_spect scratch", noa, ps);
  float y = 0.0f;
  auger_spect(nob, ndeg, x.ra, x.ra + static_cast<std::size_t>(nob) * ndeg, in.intensity, y);
  write_step(in, i, sx, y);
}

// A step computed beside others, in memory of its own.
struct Slot {
  std::vector<float> g, rx, ra, intensity, scratch;
  green_scratch lu;
  int32_t info = 0;
  float sx = 0.0f, y = 0.0f;

  Slot(const energy_loop& in)
      : g(2 * std::size_t(in.noa) * in.noa),
        rx(2 * std::size_t(in.noa) * in.ndeg),
        ra(2 * std::size_t(in.nob) * in.ndeg),
        intensity(std::max(in.nob, 1)),
        scratch(std::max(in.noa, 1)) {}
};

void compute(const energy_loop& in, int32_t i, Slot& s) {
  const int32_t noa = in.noa, nob = in.nob, ndeg = in.ndeg;
  right_hand_side(in, s.rx.data());
  green_matrix(in, photon_energy(in, i), s.g.data());
  s.info = solve_green(noa, ndeg, s.g.data(), s.rx.data(), s.lu);
  if (s.info != 0) return;
  continuum_amplitudes(in, s.rx.data(), s.ra.data());
  auger_spect(noa, ndeg, s.rx.data(), s.rx.data() + std::size_t(noa) * ndeg, s.scratch.data(),
              s.sx);
  auger_spect(nob, ndeg, s.ra.data(), s.ra.data() + std::size_t(nob) * ndeg, s.intensity.data(),
              s.y);
}

// The computed step i goes through the work array and the files in the
// single-thread order; it leaves the driver's arrays as that loop does.
void emit(const energy_loop& in, int32_t i, const Slot& s) {
  const agmain_arrays& x = *in.x;
  // The right-hand side first, the solution once the solve's blocks fit.
  right_hand_side(in, x.rx);
  std::copy(s.g.begin(), s.g.end(), x.g);
  slvgrn_work_array(in.noa, in.ndeg, s.info);
  std::copy(s.rx.begin(), s.rx.end(), x.rx);
  std::copy(s.ra.begin(), s.ra.end(), x.ra);
  int32_t ps = 0;
  alloc("auger_spect scratch", in.noa, ps);
  dealloc("auger_spect scratch", in.noa, ps);
  std::copy_n(s.intensity.begin(), in.nob, in.intensity);
  write_step(in, i, s.sx, s.y);
}

}  // namespace

void energy_steps(const energy_loop& in) {
  const int32_t steps = std::max(in.nomega + 1, 0);
  const int32_t width = std::min(parallel::threads(), steps);
  if (width <= 1) {
    for (int32_t i = 0; i < steps; ++i) energy_step(in, i);
    return;
  }
  std::vector<Slot> slots;
  for (int32_t t = 0; t < width; ++t) slots.emplace_back(in);
  for (int32_t first = 0; first < steps; first += width) {
    const int32_t parts = std::min(width, steps - first);
    if (parts == 1) {
      compute(in, first, slots[0]);
    } else {
      parallel::run(parts, [&](int32_t t) { compute(in, first + t, slots[t]); });
    }
    for (int32_t t = 0; t < parts; ++t) emit(in, first + t, slots[t]);
  }
}

}  // namespace mv
