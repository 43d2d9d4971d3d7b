#include <algorithm>

#include "output/information.h"
#include "output/plotout.h"
#include "output/primat.h"
#include "workarray/heap.h"

namespace mv {

namespace {

constexpr float merging_width = 1.0e-4f;
constexpr float weak_fraction = 1.0e-6f;

}  // namespace

void output(int32_t step, int32_t n, const float* e, const float* intensity, const float* eg,
            float total) {
  int32_t pos_e = 0;
  int32_t pos_i = 0;
  alloc("output enex   ", n, pos_e);
  alloc("output rIntenx", n, pos_i);
  float* enex = rh(pos_e);
  float* inten = rh(pos_i);
  std::copy_n(e, std::max(n, 0), enex);
  std::copy_n(intensity, std::max(n, 0), inten);

  order(enex, inten, n);
  int32_t m = 0;
  condens(enex, inten, n, total * weak_fraction, merging_width, m);
  primat(step, eg[0], enex, inten, m, information_columns(56, 60), information_columns(61, 65),
         information_columns(66, 70), 1, 1);

  dealloc("output rIntenx", n, pos_i);
  dealloc("output enex   ", n, pos_e);
}

}  // namespace mv
