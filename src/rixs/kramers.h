// The Kramers-Heisenberg sum of one incident energy, on amplitudes already
// taken into the eigenbases of both sides.
//
// For every initial state i and final state f
//   A_fi(w) = sum_n b_f(n) a_i(n) / (w - (E_n - E_i) + i h_n),
// n running over every intermediate (core-hole) eigenstate, h_n = G_n / 2;
// the intensity of final state f seen from level l adds w_i |A_fi|^2 over the
// initial states i of level l and over the outgoing sets s (several sets sum
// outgoing polarisations a detector does not resolve).
// Cost per incident energy: 8 nf nt flops per initial state and set.
// All in float, complex products written out; the sums run over n ascending,
// then i, then s, so the result does not depend on who computes which energy.
#pragma once
#include <cstdint>
#include <vector>

namespace mv {

struct kh_input {
  int32_t nt = 0;               // intermediate eigenstates
  std::vector<float> e_n, h_n;  // their energies and half widths
  int32_t ni = 0;               // initial states
  std::vector<float> e_i, w_i;  // their energies and weights
  std::vector<int32_t> level;   // their level, 0-based, ascending in i
  int32_t nlevels = 0;
  // a_i(n): ni x nt, row i contiguous, real and imaginary parts apart
  std::vector<float> a_re, a_im;
  int32_t nf = 0, nsets = 0;
  // b_f(n) of set s: nsets x nf x nt, n contiguous
  std::vector<float> b_re, b_im;
};

// intensity[level * nf + f] for the incident energy omega (nlevels * nf cells,
// cleared here). z (2 nt cells) is scratch.
void kramers_heisenberg(const kh_input& in, float omega, float* intensity, float* z);

}  // namespace mv
