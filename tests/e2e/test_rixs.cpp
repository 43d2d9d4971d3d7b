// End-to-end runs of RIXS maps. The engine's map (eigenbasis of the core-hole
// Hamiltonian) is compared with an independent double-precision solution of
//   (w + E_i - H_E + i G/2) x = T_in|i>,  A_f = <f|T_out|x>
// at every incident energy, on small models whose three spherical components
// of the transition operator are three triads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

using cd = std::complex<double>;

struct RixsModel {
  mw::Matrix hg, he;
  mw::Matrix t[3];  // q = -1, 0, +1
};

// A ground side of ng states and a core-hole side of ne states, one
// configuration each, symmetry dimension 1.
RixsModel small_model(int ng, int ne) {
  RixsModel m;
  m.hg = mw::zeros(ng, ng);
  for (int i = 1; i <= ng; ++i) {
    m.hg.at(i, i) = 0.9f * static_cast<float>(i - 1) + (i > 1 ? 0.3f : 0.0f);
    if (i > 1) m.hg.at(i, i - 1) = m.hg.at(i - 1, i) = 0.15f * static_cast<float>(i % 3);
  }
  m.he = mw::zeros(ne, ne);
  for (int j = 1; j <= ne; ++j) {
    m.he.at(j, j) = 5.0f + 0.6f * static_cast<float>(j - 1);
    if (j > 1) m.he.at(j, j - 1) = m.he.at(j - 1, j) = 0.25f;
  }
  for (int q = 0; q < 3; ++q) {
    m.t[q] = mw::zeros(ng, ne);
    for (int i = 1; i <= ng; ++i) {
      for (int j = 1; j <= ne; ++j) {
        const int k = (i * 7 + j * 3 + q * 5) % 11;
        m.t[q].at(i, j) = 0.1f * static_cast<float>(k - 5);
      }
    }
  }
  return m;
}

struct RixsSetup {
  int nomega = 9;
  float estart = 3.5f, estep = 0.4f, gamma = 0.5f;
  std::string extra;  // further RIXS commands
  std::vector<std::string> pairs = {"X Y", "Z ALL"};
  std::string triads = "A QM A\nA QZ A\nA QP A\n";
  std::string erange = "ERANGE 0.0001\n";
};

void put_rixs_model(const RunDir& dir, const RixsModel& m, const RixsSetup& s) {
  const int ng = m.hg.rows, ne = m.he.rows;
  mw::Section section;
  section.matrices = {m.t[0], m.t[1], m.t[2], m.hg, m.he};
  std::vector<mw::Recipe> recipes;
  const char* ops[3] = {"QM", "QZ", "QP"};
  for (int q = 0; q < 3; ++q) {
    mw::Recipe r;
    r.kind = "TRANSI";
    r.bra = "A";
    r.op = ops[q];
    r.ket = "A";
    r.dim_bra = ng;
    r.dim_ket = ne;
    r.adds = {{q + 1, 1, 1, ng, ne, 1.0f}};
    recipes.push_back(r);
  }
  recipes.push_back({"GROUND", "A", "0", "A", "", "", ng, ng, {{4, 1, 1, ng, ng, 1.0f}}});
  recipes.push_back({"EXCITE", "A", "0", "A", "", "", ne, ne, {{5, 1, 1, ne, ne, 1.0f}}});
  dir.put("FTN14", mw::write_ftn14({section}));
  dir.put("FTN15", mw::write_ftn15({{"GROUND", "A", ng, 1}, {"EXCITE", "A", ne, 1}}, recipes));
  std::ostringstream c;
  c.precision(9);
  c << "% RIXS test model\nNCONF 1 1\nXHAM 1 1.0 2 1 1 2 1\nXTRAN 1 1.0 1 1 1\n"
    << s.erange << "RIXS\n NOMEGA " << s.nomega << " ESTART " << s.estart << " ESTEP " << s.estep
    << " GAMMA " << s.gamma << "\n COMPONENTS QM QZ QP\n"
    << s.extra;
  for (const std::string& p : s.pairs) c << " POLARISATION " << p << '\n';
  c << "ENDRIXS\nTRIADS\n" << s.triads << "ENDTRIADS\n";
  dir.put("fort.50", c.str());
}

struct Stick {
  double omega, loss, intensity;
  int level, final_symmetry, state;
};
struct MapBlock {
  std::string in, out;
  std::vector<Stick> sticks;
};

std::vector<MapBlock> read_maps(const std::string& fort47) {
  std::vector<MapBlock> maps;
  for (const std::string& l : lines(fort47)) {
    if (l.rfind("%RIXS MAP", 0) == 0) maps.emplace_back();
    if (l.rfind("%POLARISATION", 0) == 0) {
      std::istringstream s(l);
      std::string w;
      s >> w >> w >> maps.back().in >> w >> maps.back().out;
    }
    if (l.empty() || l[0] == '%') continue;
    Stick k{};
    std::istringstream s(l);
    s >> k.omega >> k.loss >> k.intensity >> k.level >> k.final_symmetry >> k.state;
    maps.back().sticks.push_back(k);
  }
  return maps;
}

Dense dense_of(const mw::Matrix& m) {
  Dense d;
  d.n = m.rows;
  d.a.assign(static_cast<std::size_t>(m.rows * m.rows), 0.0);
  for (int i = 0; i < m.rows; ++i)
    for (int j = 0; j < m.rows; ++j) d.at(i, j) = m.at(i + 1, j + 1);
  return d;
}

// c_q of e.D = sum_q c_q D_q (q = -1, 0, +1).
std::vector<cd> coefficients(const std::string& p) {
  const double s = std::sqrt(0.5);
  if (p == "X") return {s, 0.0, -s};
  if (p == "Y") return {cd(0, s), 0.0, cd(0, s)};
  if (p == "Z") return {0.0, 1.0, 0.0};
  if (p == "PLUS") return {0.0, 0.0, 1.0};
  return {1.0, 0.0, 0.0};  // MINUS
}

// Solves a x = b by Gaussian elimination with partial pivoting.
std::vector<cd> solve(std::vector<cd> a, std::vector<cd> b, int n) {
  for (int k = 0; k < n; ++k) {
    int p = k;
    for (int i = k + 1; i < n; ++i)
      if (std::abs(a[i + k * n]) > std::abs(a[p + k * n])) p = i;
    for (int j = 0; j < n; ++j) std::swap(a[k + j * n], a[p + j * n]);
    std::swap(b[k], b[p]);
    for (int i = k + 1; i < n; ++i) {
      const cd f = a[i + k * n] / a[k + k * n];
      for (int j = k; j < n; ++j) a[i + j * n] -= f * a[k + j * n];
      b[i] -= f * b[k];
    }
  }
  for (int k = n - 1; k >= 0; --k) {
    for (int j = k + 1; j < n; ++j) b[k] -= a[k + j * n] * b[j];
    b[k] /= a[k + k * n];
  }
  return b;
}

// Intensity of every final state at one incident energy, averaged over the
// initial states within `window` of the lowest (one level assumed).
std::vector<double> reference_map(const RixsModel& m, double omega, double gamma,
                                  const std::string& in, const std::string& out, double window) {
  const int ng = m.hg.rows, ne = m.he.rows;
  std::vector<double> eg, vg;
  jacobi(dense_of(m.hg), eg, vg);
  std::vector<std::string> outs = {out};
  if (out == "ALL") outs = {"X", "Y", "Z"};
  std::vector<int> initial;
  for (int i = 0; i < ng; ++i)
    if (eg[i] - eg[0] <= window) initial.push_back(i);
  std::vector<double> result(static_cast<std::size_t>(ng), 0.0);
  const std::vector<cd> cin = coefficients(in);
  for (int i : initial) {
    std::vector<cd> rhs(static_cast<std::size_t>(ne), 0.0);
    for (int j = 0; j < ne; ++j)
      for (int q = 0; q < 3; ++q)
        for (int g = 0; g < ng; ++g)
          rhs[j] += cin[q] * vg[g + i * ng] * double(m.t[q].at(g + 1, j + 1));
    std::vector<cd> a(static_cast<std::size_t>(ne * ne));
    for (int j = 0; j < ne; ++j)
      for (int k = 0; k < ne; ++k)
        a[j + k * ne] =
            (j == k ? cd(omega + eg[i], gamma / 2) : cd(0.0)) - double(m.he.at(j + 1, k + 1));
    const std::vector<cd> x = solve(a, rhs, ne);
    for (const std::string& o : outs) {
      const std::vector<cd> cout = coefficients(o);
      for (int f = 0; f < ng; ++f) {
        cd amp = 0.0;
        for (int j = 0; j < ne; ++j)
          for (int q = 0; q < 3; ++q)
            for (int g = 0; g < ng; ++g)
              amp += std::conj(cout[q]) * vg[g + f * ng] * double(m.t[q].at(g + 1, j + 1)) * x[j];
        result[f] += std::norm(amp) / static_cast<double>(initial.size());
      }
    }
  }
  return result;
}

double largest(const MapBlock& b) {
  double v = 0.0;
  for (const Stick& s : b.sticks) v = std::max(v, s.intensity);
  return v;
}

TEST(Rixs, MapEqualsADenseComplexSolutionWithInterferenceForEveryPolarisationPair) {
  RunDir dir("rixs_reference");
  const RixsModel m = small_model(4, 5);
  RixsSetup s;
  s.pairs = {"X Y", "Z ALL", "PLUS MINUS", "Y X"};
  put_rixs_model(dir, m, s);
  const RunResult r = dir.run();
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<MapBlock> maps = read_maps(dir.get("fort.47"));
  ASSERT_EQ(maps.size(), s.pairs.size());
  std::vector<double> eg, vg;
  jacobi(dense_of(m.hg), eg, vg);
  for (const MapBlock& b : maps) {
    ASSERT_EQ(b.sticks.size(), static_cast<std::size_t>(s.nomega * 4)) << b.in << b.out;
    const double scale = largest(b);
    ASSERT_GT(scale, 0.0);
    for (int w = 0; w < s.nomega; ++w) {
      const double omega = s.estart + s.estep * w;
      const std::vector<double> ref = reference_map(m, omega, s.gamma, b.in, b.out, 1e-4);
      for (int f = 0; f < 4; ++f) {
        const Stick& k = b.sticks[static_cast<std::size_t>(w * 4 + f)];
        EXPECT_NEAR(k.omega, omega, 1e-4);
        EXPECT_NEAR(k.loss, eg[f] - eg[0], 1e-4);
        EXPECT_NEAR(k.intensity, ref[f], 1e-4 * scale + 1e-6 * ref[f])
            << b.in << " " << b.out << " w=" << omega << " f=" << f;
      }
    }
  }
  // x -> y and y -> x differ in general: the map is not symmetric in the pair.
  EXPECT_EQ(thread_count_difference(dir), "");
}

TEST(Rixs, OneIntermediateStateGivesTheLorentzianResonanceAtEveryLoss) {
  RunDir dir("rixs_lorentzian");
  RixsModel m = small_model(3, 1);
  m.he.at(1, 1) = 6.0f;
  for (int q : {0, 2}) m.t[q] = mw::zeros(3, 1);
  RixsSetup s;
  s.nomega = 21;
  s.estart = 4.0f;
  s.estep = 0.2f;
  s.gamma = 0.8f;
  s.pairs = {"Z Z"};
  put_rixs_model(dir, m, s);
  const RunResult r = dir.run();
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<MapBlock> maps = read_maps(dir.get("fort.47"));
  ASSERT_EQ(maps.size(), 1u);
  std::vector<double> eg, vg;
  jacobi(dense_of(m.hg), eg, vg);
  auto overlap = [&](int state) {
    double s2 = 0.0;
    for (int g = 0; g < 3; ++g) s2 += vg[g + state * 3] * m.t[1].at(g + 1, 1);
    return s2;
  };
  for (const Stick& k : maps[0].sticks) {
    const double d = k.omega - (6.0 - eg[0]);
    const double tin = overlap(0), tout = overlap(k.state - 1);
    const double expected = tout * tout * tin * tin / (d * d + s.gamma * s.gamma / 4.0);
    EXPECT_NEAR(k.intensity, expected, 2e-5 * std::max(1.0, expected)) << k.omega << " " << k.state;
  }
  // the elastic line: final state 1 is the initial state, at loss 0
  for (const Stick& k : maps[0].sticks)
    if (k.state == 1) EXPECT_EQ(k.loss, 0.0);
}

TEST(Rixs, OutgoingSumIsTheSameInAnyCompleteBasisAndALargeWidthWashesOutResonances) {
  RunDir dir("rixs_sum");
  const RixsModel m = small_model(3, 4);
  RixsSetup s;
  s.pairs = {"X ALL", "X PLUS", "X MINUS", "X Z"};
  put_rixs_model(dir, m, s);
  ASSERT_EQ(dir.run().status, 0);
  const std::vector<MapBlock> maps = read_maps(dir.get("fort.47"));
  ASSERT_EQ(maps.size(), 4u);
  const double scale = largest(maps[0]);
  for (std::size_t k = 0; k < maps[0].sticks.size(); ++k) {
    const double sum =
        maps[1].sticks[k].intensity + maps[2].sticks[k].intensity + maps[3].sticks[k].intensity;
    EXPECT_NEAR(maps[0].sticks[k].intensity, sum, 1e-5 * scale);
  }

  RunDir wide("rixs_wide");
  s.gamma = 2000.0f;
  s.pairs = {"Z ALL"};
  put_rixs_model(wide, m, s);
  ASSERT_EQ(wide.run().status, 0);
  const MapBlock b = read_maps(wide.get("fort.47"))[0];
  for (int f = 0; f < 3; ++f) {
    double lo = 1e300, hi = 0.0;
    for (const Stick& k : b.sticks) {
      if (k.state != f + 1) continue;
      lo = std::min(lo, k.intensity);
      hi = std::max(hi, k.intensity);
    }
    EXPECT_LE(hi - lo, 1e-3 * hi) << "final state " << f + 1;
  }
}

TEST(Rixs, AWidthPerEdgeActsOnTheIntermediateStatesAboveTheSplit) {
  RunDir dir("rixs_edges");
  const RixsModel m = small_model(3, 4);
  RixsSetup s;
  s.extra = " EDGE2 6.0 GAMMA2 1.5\n";
  s.pairs = {"Z Z"};
  put_rixs_model(dir, m, s);
  ASSERT_EQ(dir.run().status, 0);
  const MapBlock b = read_maps(dir.get("fort.47"))[0];
  // Reference in the eigenbasis with a width per state.
  std::vector<double> eg, vg, en, un;
  jacobi(dense_of(m.hg), eg, vg);
  jacobi(dense_of(m.he), en, un);
  const double scale = largest(b);
  for (const Stick& k : b.sticks) {
    cd amp = 0.0;
    for (int n = 0; n < 4; ++n) {
      double tin = 0.0, tout = 0.0;
      for (int g = 0; g < 3; ++g)
        for (int j = 0; j < 4; ++j) {
          tin += vg[g] * m.t[1].at(g + 1, j + 1) * un[j + n * 4];
          tout += vg[g + (k.state - 1) * 3] * m.t[1].at(g + 1, j + 1) * un[j + n * 4];
        }
      const double width = en[n] - eg[0] >= 6.0 ? 1.5 : s.gamma;
      amp += tout * tin / cd(k.omega - (en[n] - eg[0]), width / 2);
    }
    EXPECT_NEAR(k.intensity, std::norm(amp), 1e-4 * scale);
  }
}

TEST(Rixs, ATemperatureWeightsTheInitialLevelsByTheirBoltzmannFactors) {
  RunDir dir("rixs_temperature");
  const RixsModel m = small_model(3, 4);
  RixsSetup s;
  s.erange = "ERANGE 5.0\n";
  s.extra = " TEMPERATURE 6000\n";
  s.pairs = {"Z ALL"};
  put_rixs_model(dir, m, s);
  ASSERT_EQ(dir.run().status, 0);
  std::vector<double> eg, vg;
  jacobi(dense_of(m.hg), eg, vg);
  const double kt = 8.617333262e-5 * 6000.0;
  double z = 0.0;
  for (double e : eg) z += std::exp(-(e - eg[0]) / kt);
  int levels = 0;
  for (const std::string& l : lines(dir.get("fort.47"))) {
    if (l.rfind("%LEVEL", 0) != 0) continue;
    const double w = std::stod(l.substr(l.find("WEIGHT=") + 7));
    EXPECT_NEAR(w, std::exp(-(eg[levels] - eg[0]) / kt) / z, 2e-6) << l;
    ++levels;
  }
  EXPECT_EQ(levels, 3);
  // each level's lines are losses from that level: E_f - E_level
  const std::vector<MapBlock> maps = read_maps(dir.get("fort.47"));
  for (const Stick& k : maps[0].sticks)
    EXPECT_NEAR(k.loss, eg[k.state - 1] - eg[k.level - 1], 2e-4);
}

TEST(Rixs, BadBlocksStopWithAMessageAndKeepWhatEarlierBlocksWrote) {
  const RixsModel m = small_model(2, 2);
  struct Case {
    std::string name, extra, triads, message;
    int nomega;
  };
  const std::vector<Case> cases = {
      {"grid", "", "A QM A\n", "NOMEGA must be", 0},
      {"width", " GAMMA 0\n", "A QM A\n", "GAMMA (and GAMMA2", 3},
      {"missing", "", "A QM A\nA QZ A\n", "the triad A QP A is missing", 3},
      {"polarisation", " POLARISATION Q Z\n", "A QM A\n", "RIXS: POLARISATION needs", 3},
  };
  for (const Case& c : cases) {
    RunDir dir("rixs_bad_" + c.name);
    RixsSetup s;
    s.nomega = c.nomega;
    s.extra = c.extra;
    s.triads = c.triads;
    put_rixs_model(dir, m, s);
    // a first block without RIXS: its absorption spectrum must survive the stop
    dir.put("fort.50",
            "% first block\nNCONF 1 1\nXHAM 1 1.0 2 1 1 2 1\nXTRAN 1 1.0 1 1 1\n"
            "TRIADS\nA QZ A\nENDTRIADS\n" +
                dir.get("fort.50"));
    const RunResult r = dir.run();
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.name << "\n" << r.out;
    EXPECT_EQ(spectrum_blocks(dir.get("fort.44")).size(), c.name == "missing" ? 3u : 1u) << c.name;
    EXPECT_EQ(dir.get("fort.47"), "") << c.name;
  }
}

}  // namespace
}  // namespace e2e
