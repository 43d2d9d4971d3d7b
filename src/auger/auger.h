// The Auger driver: splits the excited states into intermediate states and
// Auger-channel (continuum) states, scales and sorts them by channel, cuts the
// matrices into blocks and runs the spectrum loop, or, without intermediate
// states, writes the direct spectrum at every photon-energy step.
#pragma once
#include <cstdint>
#include <string_view>

namespace mv {

inline constexpr int32_t niwk = 5000;

struct auger_args {
  const int32_t* nconf;  // ground, excited
  int32_t n2, n3;
  const int32_t* mg;
  int32_t nog;
  const float* q;  // nog x nog ground eigenvectors
  const float* eg;
  int32_t ndeg;
  const int32_t* me;
  int32_t nof;
  float* h;          // nof x nof excited Hamiltonian, changed in place
  float* energy;     // nof: intermediate energies, then continuum energies
  float* intensity;  // nof: Auger spectrum of the last step
  float* t;          // nog x nof transition matrix, changed in place
  const float* wc;   // configuration weights, summed over the degenerate states
  float* work4;
  const int32_t* marker_e;
  std::string_view label;  // excited label, key of the computed-matrix store
  int32_t triad;
  int32_t nomega;
  float estart, estep;
  const float* channel_factor;  // 9 transition factors
  const float* ci;              // 9 coupling factors
  const float (*efaug)[3];      // efaug[channel-1][configuration-1]
  const float* ef;
};

void auger(const auger_args& g);

// Channel tagging: decodes the channel code of every excited state from its
// diagonal element, puts in the channel's energy, scales couplings and
// transitions. Returns the number of intermediate states.
int32_t rescale(const auger_args& g, int32_t* code);

// Copies rows 1..k of the n x m matrix a (leading dimension lda) into b (k x m).
void cut_rows(const float* a, int32_t lda, int32_t k, int32_t m, float* b);

}  // namespace mv
