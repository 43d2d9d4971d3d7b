// No excited eigenvector is ever formed: the excited Hamiltonian is reduced to
// tridiagonal form once (or read back from the store), and for each initial
// state only its row of amplitudes is carried through Q and the QL iteration,
// order ne² per initial state instead of ne³.
#include "spectra/spectr_new.h"

#include <cstddef>
#include <vector>

#include "coefficients/find_data.h"
#include "support/runsupport.h"
#include "hamiltonian/sparse.h"
#include "io/format.h"
#include "output/primat.h"
#include "spectra/eigen.h"
#include "spectra/spectr.h"
#include "spectra/tred3.h"
#include "workarray/heap.h"

namespace mv {

namespace {

// amplitudes(k) = Σ_j Q(j, i)·T(j, k), j ascending from 0.
void project(const float* qi, const float* t, int32_t ng, int32_t ne, float* amplitudes) {
  for (int32_t k = 0; k < ne; ++k) {
    const float* tk = t + static_cast<std::ptrdiff_t>(k) * ng;
    float sum = amplitudes[k];
    for (int32_t j = 0; j < ng; ++j) sum = sum + qi[j] * tk[j];
    amplitudes[k] = sum;
  }
}

}  // namespace

void spectr_new(const float* q, const float* t, int32_t hexc, int32_t ng, int32_t ne,
                float* energies, float* spare, float* amplitudes, const float* eg,
                std::string_view ground_label, std::string_view op_label,
                std::string_view excited_label, int32_t dim1, int32_t dim2) {
  (void)spare;
  const std::size_t nn = static_cast<std::size_t>(ne);
  std::vector<float> h(nn * nn);
  std::vector<float> d(nn);
  expand(h.data(), hexc, ne, ne);

  int32_t work = 0;
  int32_t worktemp = 0;
  alloc("spectr_new work", ne, work);
  alloc("spectr_new worktemp", ne, worktemp);
  find_data(2, excited_label, tred3, h.data(), ne, ne, d.data(), rh(work));

  const float* e = rh(work);
  float* e_copy = rh(worktemp);
  for (int32_t i = 1; i <= ng; ++i) {
    if (!(eg[i - 1] - eg[0] <= spectr.window)) continue;
    zero(amplitudes, ne);
    for (int32_t k = 0; k < ne; ++k) {
      energies[k] = d[k];
      e_copy[k] = e[k];
    }
    project(q + static_cast<std::ptrdiff_t>(i - 1) * ng, t, ng, ne, amplitudes);
    eigen2(2, excited_label, h.data(), ne, ne, energies, amplitudes, 1, e_copy);
    primat(0, eg[i - 1], energies, amplitudes, ne, ground_label, op_label, excited_label, dim1,
           dim2);
  }
  timing(" time end of calculation ");
  dealloc("spectr_new worktemp", ne, worktemp);
  dealloc("spectr_new work", ne, work);
  list_write(6, "Maximum heap used:", heap_info.peak);
}

}  // namespace mv
