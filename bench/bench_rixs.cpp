// The two ways of computing a RIXS map, timed on the same random model:
//  eigen:  diagonalise the core-hole Hamiltonian once (diag), take the
//          transition matrices into its eigenbasis, then the Kramers-Heisenberg
//          sum per incident energy (what the engine does);
//  solver: at every incident energy factorise (w + E_i - H + i G/2) (cgefa) and
//          solve for each initial state (cgesl), then project on the final states.
// Prints seconds per map and their ratio.
//   bench_rixs [ne ng nomega ...]   default: 120 190 200 (NiO-like, L3 edge) and 600 600 200
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "auger/cgefa.h"
#include "rixs/kramers.h"
#include "spectra/diag.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

struct model {
  int ne = 0, ng = 0, nomega = 0, ni = 3;
  std::vector<float> h, t;  // ne x ne, ng x ne (column by column)
};

model random_model(int ne, int ng, int nomega) {
  model m{ne, ng, nomega};
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  m.h.assign(static_cast<std::size_t>(ne) * ne, 0.0f);
  for (int j = 0; j < ne; ++j) {
    for (int i = 0; i <= j; ++i)
      m.h[i + j * ne] = m.h[j + i * ne] = (i == j ? 10.0f : 0.3f) * u(rng);
  }
  m.t.resize(static_cast<std::size_t>(ng) * ne);
  for (float& x : m.t) x = u(rng);
  return m;
}

double eigen_method(const model& m) {
  const auto t0 = clock_type::now();
  std::vector<float> v = m.h, e(m.ne), work(m.ne + 1);
  mv::diag(v.data(), m.ne, m.ne, e.data(), work.data());
  mv::kh_input in;
  in.nt = m.ne;
  in.e_n = e;
  in.h_n.assign(m.ne, 0.3f);
  in.ni = m.ni;
  in.e_i.assign(m.ni, 0.0f);
  in.w_i.assign(m.ni, 1.0f / m.ni);
  in.level.assign(m.ni, 0);
  in.nlevels = 1;
  // amplitudes in the eigenbasis: B = T U
  std::vector<float> b(static_cast<std::size_t>(m.ng) * m.ne, 0.0f);
  for (int n = 0; n < m.ne; ++n)
    for (int j = 0; j < m.ne; ++j)
      for (int g = 0; g < m.ng; ++g) b[g * m.ne + n] += m.t[g + j * m.ng] * v[j + n * m.ne];
  in.a_re.assign(b.begin(), b.begin() + m.ni * m.ne);
  in.a_im.assign(in.a_re.size(), 0.0f);
  in.nf = m.ng;
  in.nsets = 1;
  in.b_re = b;
  in.b_im.assign(b.size(), 0.0f);
  std::vector<float> out(m.ng), z(2 * m.ne);
  for (int w = 0; w < m.nomega; ++w)
    mv::kramers_heisenberg(in, -5.0f + 0.05f * w, out.data(), z.data());
  return seconds_since(t0);
}

double solver_method(const model& m) {
  const auto t0 = clock_type::now();
  std::vector<float> g(2 * static_cast<std::size_t>(m.ne) * m.ne), x(2 * m.ne);
  std::vector<int32_t> ipvt(m.ne);
  volatile float sink = 0.0f;
  for (int w = 0; w < m.nomega; ++w) {
    const float omega = -5.0f + 0.05f * w;
    for (int j = 0; j < m.ne; ++j) {
      for (int i = 0; i < m.ne; ++i) {
        g[2 * (i + j * m.ne)] = (i == j ? omega : 0.0f) - m.h[i + j * m.ne];
        g[2 * (i + j * m.ne) + 1] = i == j ? 0.3f : 0.0f;
      }
    }
    int32_t info = 0;
    mv::cgefa(g.data(), m.ne, m.ne, ipvt.data(), info);
    for (int i = 0; i < m.ni; ++i) {
      for (int j = 0; j < m.ne; ++j) {
        x[2 * j] = m.t[i + j * m.ng];
        x[2 * j + 1] = 0.0f;
      }
      mv::cgesl(g.data(), m.ne, m.ne, ipvt.data(), x.data(), 0);
      for (int f = 0; f < m.ng; ++f) {
        float re = 0.0f, im = 0.0f;
        for (int j = 0; j < m.ne; ++j) {
          re += m.t[f + j * m.ng] * x[2 * j];
          im += m.t[f + j * m.ng] * x[2 * j + 1];
        }
        sink = sink + re * re + im * im;
      }
    }
  }
  return seconds_since(t0);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes = {120, 190, 200, 600, 600, 200};
  if (argc > 3) {
    sizes.clear();
    for (int k = 1; k + 2 < argc; k += 3) {
      for (int d = 0; d < 3; ++d) sizes.push_back(std::atoi(argv[k + d]));
    }
  }
  std::printf("%6s %6s %7s %12s %12s %8s\n", "NE", "NG", "NOMEGA", "eigen (s)", "solver (s)",
              "ratio");
  for (std::size_t k = 0; k + 2 < sizes.size(); k += 3) {
    const model m = random_model(sizes[k], sizes[k + 1], sizes[k + 2]);
    double best_e = 1e30, best_s = 1e30;
    for (int turn = 0; turn < 3; ++turn) {
      best_e = std::min(best_e, eigen_method(m));
      best_s = std::min(best_s, solver_method(m));
    }
    std::printf("%6d %6d %7d %12.4f %12.4f %8.1f\n", m.ne, m.ng, m.nomega, best_e, best_s,
                best_s / best_e);
  }
  return 0;
}
