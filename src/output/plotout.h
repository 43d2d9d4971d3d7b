// Writers of the Auger results in the plot-file conventions: the
// intermediate-state listing and plot file (midout, with its table block
// gammaout) and the Auger spectrum of one photon-energy step (output).
#pragma once
#include <cstdint>

namespace mv {

// Capacity of midout's intensity table; more intermediate states stop the run.
inline constexpr int32_t itmp_capacity = 3000;

// eg: nog ground energies (ascending); ea: noa intermediate eigenvalues;
// ta: noa x nog amplitudes (leading dimension noa), only the first ndeg columns
// used; w: noa x noa width matrix; weights: configuration weights Wc(1..3)
// summed over the ndeg degenerate ground states.
void midout(int32_t list_unit, int32_t plot_unit, int32_t nog, int32_t noa, int32_t ndeg,
            const float* eg, const float* ea, const float* ta, const float* w,
            const float* weights);

// One intermediate-state table block: energy above Eg(1), intensity, Auger
// width pi*W(a,a), index. `capacity` is the size of the caller's intensity table.
void gammaout(int32_t unit, int32_t noa, const float* ea, const float* eg, int32_t capacity,
              const float* intensity, const float* w);

// The Auger spectrum of step `step` (n lines, not changed) to the spectrum file,
// sorted and condensed; total is the sum of the intensities.
void output(int32_t step, int32_t n, const float* e, const float* intensity, const float* eg,
            float total);

}  // namespace mv
