// The Auger spectrum loop: at every photon energy w one complex system
//   (Eg + w - Ea + i*gamma + i*pi*W) X = Ta - i*pi*M,   A = Tb + Hab^T X
// for the intermediate amplitudes X and the continuum amplitudes A.
#pragma once
#include <cstdint>
#include <string_view>

namespace mv {

struct agmain_arrays {
  float* haa;  // noa x noa, replaced by its eigenvectors
  float* hbb;  // nob x nob
  float* hab;  // noa x nob
  float* ta;   // noa x nog
  float* tb;   // nob x nog
  float* w;    // noa x noa width matrix
  float* ra;   // complex nob x ndeg, split storage
  float* hba;  // nob x noa
  float* m;    // noa x ndeg
  float* g;    // complex noa x noa, split storage
  float* rx;   // complex noa x ndeg, split storage
  float* scratch;
};

void agmain(std::string_view label, int32_t triad, int32_t nomega, float estart, float estep,
            int32_t noa, int32_t nob, int32_t nog, int32_t ndeg, float* intensity, const float* wc,
            float* ea, float* eb, const float* eg, const agmain_arrays& x);

// P ((noa+ndeg) x nob): column b = (Hab(1..noa, b), Tb(b, 1..ndeg)); degather inverts it.
void gather(int32_t noa, int32_t ndeg, int32_t nob, const float* hab, const float* tb, float* p);
void degather(int32_t noa, int32_t ndeg, int32_t nob, const float* p, float* hab, float* tb);

// C(i,k) = sum_j A(i,j) B(j,k); C is na x ndeg, A has leading dimension na,
// B leading dimension nb. ng is only checked.
void mmult(int32_t na, int32_t nb, int32_t ng, int32_t ndeg, float* c, const float* a,
           const float* b);

void auger_spect(int32_t n, int32_t ndeg, const float* re, const float* im, float* out,
                 float& total);
void auger_spect_real(int32_t ndeg, int32_t n, const float* t, float* out, float& total);

}  // namespace mv
