#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "io/format.h"
#include "io/stop.h"
#include "output/information.h"
#include "output/plotout.h"

namespace mv {

namespace {

constexpr int32_t unit_spectrum = 44;
constexpr float pi = 3.1415927f;

// INT() of a real: truncation toward zero; a value outside the 4-byte range
// gives the processor's "integer indefinite", as the original hardware did.
int32_t truncate(float x) {
  if (!(x > -2147483904.0f && x < 2147483648.0f)) return INT32_MIN;
  return static_cast<int32_t>(x);
}

void write_pairs(int32_t unit, int32_t noa, const float* ea, const float* eg,
                 const std::vector<float>& inten) {
  std::vector<FmtItem> items;
  items.reserve(static_cast<std::size_t>(2 * noa));
  for (int32_t a = 0; a < noa; ++a) {
    items.push_back(fmt_item(ea[a] - eg[0]));
    items.push_back(fmt_item(truncate(10000.0f * inten[a])));
  }
  write_items(unit, "( 5(F8.2,I8) )", items);
}

void write_summary(int32_t unit, int32_t nog, int32_t ndeg, const float* eg, const float* weights,
                   float total) {
  const float deg = static_cast<float>(ndeg);
  const float first_excited = eg[std::min(nog, ndeg + 1) - 1];
  write(unit, "(A,F9.4,A,I3,A,F9.4,A,3F6.3)", "%Eg=", eg[0], " NDeg=", ndeg,
        " : 1stExE=", first_excited, " Charc=", weights[0] / deg, weights[1] / deg,
        weights[2] / deg);
  write(unit, "(A,F10.6)", "%TotalIntensity=", total / 10000.0f);
  write(unit, "(A)", "%OUTPUT OF MORVEX INTERMEDIATE STATE");
}

}  // namespace

void midout(int32_t list_unit, int32_t plot_unit, int32_t nog, int32_t noa, int32_t ndeg,
            const float* eg, const float* ea, const float* ta, const float* w,
            const float* weights) {
  if (noa > itmp_capacity) {
    list_write(6, "INCREASE ITMP TO ", noa);
    stop_run("subroutine MIDOUT", status_fatal);
  }

  // Intensities summed over the degenerate ground states; the total is kept
  // scaled by 10000, as the listing shows the intensities.
  std::vector<float> inten(static_cast<std::size_t>(std::max(noa, 0)));
  float total = 0.0f;
  for (int32_t a = 0; a < noa; ++a) {
    float s = 0.0f;
    for (int32_t k = 0; k < ndeg; ++k) {
      const float t = ta[a + k * noa];
      s = s + t * t;
    }
    inten[a] = s;
    total = total + 10000.0f * s;
  }

  write(list_unit, "( I5,3A )", noa, "  '", information_columns(1, 70), "'");
  write_pairs(list_unit, noa, ea, eg, inten);
  write_summary(list_unit, nog, ndeg, eg, weights, total);

  write(plot_unit, "(A)", "%OUTOUT FOR TALVEN");
  write(plot_unit, "(A)", "%PARAMETER0 OUTPUT OF MORVEX INTERMEDIATE STATE");
  write(plot_unit, "(A,I5)", "%Number Of Data=", noa);
  write(plot_unit, "(5A)", "%PARAMETER1 ", information_columns(1, 1), " ",
        information_columns(2, 30), information_columns(55, 70));
  gammaout(plot_unit, noa, ea, eg, itmp_capacity, inten.data(), w);
  gammaout(unit_spectrum, noa, ea, eg, itmp_capacity, inten.data(), w);
  write_summary(plot_unit, nog, ndeg, eg, weights, total);
}

void gammaout(int32_t unit, int32_t noa, const float* ea, const float* eg, int32_t capacity,
              const float* intensity, const float* w) {
  (void)capacity;  // the table's size: midout has already refused larger noa
  write(unit, "(A)", "%FORMAT  1(F10.4,F10.6) ");
  write(unit, "(2A10,A12,A5)", "%   Energy", " Intensity", " Gamma", "I");
  for (int32_t a = 0; a < noa; ++a) {
    const float width = pi * w[a + a * noa];
    write(unit, "(F10.4,F10.6,F12.6,I5)", ea[a] - eg[0], intensity[a], width, a + 1);
  }
  write(unit, "(A)", "%END");
}

}  // namespace mv
