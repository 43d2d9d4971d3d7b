// End-to-end runs of the resonant Auger path: the spectra and total yields
// are compared with an independent dense complex solution of
//   (Eg + w - Haa + i*gamma + i*pi*W) X = Ta - i*pi*M,  A = Tb + Hab^T X.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "e2e_support.h"

namespace e2e {
namespace {

using cd = std::complex<double>;
constexpr double pi = 3.14159265358979323846;

struct AugerSetup {
  int nomega = 4;
  float estart = -1.0f, estep = 0.5f, gamma = 0.1f;
  float efaug = 2.0f;  // EFAUG(1, 1)
};

// One ground configuration (mult g), one excited configuration holding `na`
// intermediate states and `nb` continuum states of channel 1.
mw::Model auger_model(int g, int na, int nb, float coupling, float direct) {
  mw::Model m;
  m.op = "T1U";
  m.ground.label = "A1G";
  m.ground.mult = {g, 0, 0};
  m.excited.label = "T1U";
  m.excited.mult = {na + nb, 0, 0};
  mw::Matrix h = mw::zeros(na + nb, na + nb);
  for (int a = 1; a <= na; ++a) h.at(a, a) = 0.7f * static_cast<float>(a - 1);
  if (na >= 2) h.at(1, 2) = h.at(2, 1) = 0.2f;
  for (int b = 1; b <= nb; ++b) {
    const int s = na + b;
    h.at(s, s) = 1000.0f - 2.0f + 0.75f * static_cast<float>(b - 1);
    for (int a = 1; a <= na; ++a) {
      h.at(a, s) = h.at(s, a) = coupling * (1.0f + 0.25f * static_cast<float>((a + b) % 3));
    }
  }
  m.excited.ham[0] = {{h, 1.0f}};
  mw::Matrix t = mw::zeros(g, na + nb);
  for (int i = 1; i <= g; ++i) {
    for (int a = 1; a <= na; ++a) t.at(i, a) = 1.0f / static_cast<float>(a + i - 1);
    for (int b = 1; b <= nb; ++b) t.at(i, na + b) = direct * static_cast<float>(b % 2 ? 1 : -1);
  }
  m.trans[0][0] = {{t, 1.0f}};
  return m;
}

std::string auger_commands(const mw::Model& m, const AugerSetup& s) {
  std::ostringstream c;
  c.precision(9);
  c << mw::command_lines(m) << "N2 1 N3 1 W 0.0 DIP 1.0\n"
    << "AUGER\n NOMEGA " << s.nomega << " ESTART " << s.estart << " ESTEP " << s.estep
    << "\n GAMMA " << s.gamma << "\n NO 1 DIP 3.6878178\n DEF EF1 = " << s.efaug
    << "UNITY\nENDAUGER\n"
    << "TRIADS\n"
    << mw::triad_line(m) << "\nENDTRIADS\n";
  return c.str();
}

RunResult run_auger(const RunDir& dir, const mw::Model& m, const AugerSetup& s) {
  const mw::Files f = mw::write_model(m);
  dir.put("FTN14", f.ftn14);
  dir.put("FTN15", f.ftn15);
  dir.put("fort.50", auger_commands(m, s));
  return dir.run();
}

// Solves G x = r by Gaussian elimination with partial pivoting.
std::vector<cd> solve(std::vector<cd> g, std::vector<cd> r, int n) {
  for (int k = 0; k < n; ++k) {
    int p = k;
    for (int i = k + 1; i < n; ++i)
      if (std::abs(g[i + k * n]) > std::abs(g[p + k * n])) p = i;
    for (int j = 0; j < n; ++j) std::swap(g[k + j * n], g[p + j * n]);
    std::swap(r[k], r[p]);
    for (int i = k + 1; i < n; ++i) {
      const cd f = g[i + k * n] / g[k + k * n];
      for (int j = k; j < n; ++j) g[i + j * n] -= f * g[k + j * n];
      r[i] -= f * r[k];
    }
  }
  for (int k = n - 1; k >= 0; --k) {
    for (int j = k + 1; j < n; ++j) r[k] -= g[k + j * n] * r[j];
    r[k] /= g[k + k * n];
  }
  return r;
}

struct AugerReference {
  std::vector<double> eb;                  // continuum energies, ascending
  std::vector<std::vector<double>> lines;  // per step: intensity per continuum eigenstate
  std::vector<double> yield, absorption;   // per step
};

AugerReference auger_reference(const mw::Model& m, int na, int nb, const AugerSetup& s) {
  Band band;
  const Reference ref = reference(m, band);
  std::vector<double> eg, vg;
  jacobi(ref.hg, eg, vg);
  int ndeg = 1;
  while (ndeg < ref.ng && eg[ndeg] - eg[0] <= 1e-6 * (eg[ref.ng - 1] - eg[0])) ++ndeg;
  Dense h = ref.he;
  for (int b = 0; b < nb; ++b) h.at(na + b, na + b) += -1000.0 + s.efaug;
  // Ta(a, k), Tb(b, k) from the ndeg ground states.
  auto amp = [&](int f, int k) {
    double x = 0.0;
    for (int j = 0; j < ref.ng; ++j) x += vg[j + k * ref.ng] * ref.t[j + f * ref.ng];
    return x;
  };
  Dense hbb;
  hbb.n = nb;
  hbb.a.assign(static_cast<std::size_t>(nb) * nb, 0.0);
  for (int i = 0; i < nb; ++i)
    for (int j = 0; j < nb; ++j) hbb.at(i, j) = h.at(na + i, na + j);
  std::vector<double> eb, vb;
  jacobi(hbb, eb, vb);
  // Couplings and direct amplitudes on the continuum eigenstates.
  std::vector<double> hab(static_cast<std::size_t>(na) * nb, 0.0),
      tb(static_cast<std::size_t>(nb) * ndeg, 0.0);
  for (int a = 0; a < na; ++a)
    for (int b = 0; b < nb; ++b)
      for (int j = 0; j < nb; ++j) hab[a + b * na] += h.at(a, na + j) * vb[j + b * nb];
  for (int k = 0; k < ndeg; ++k)
    for (int b = 0; b < nb; ++b)
      for (int j = 0; j < nb; ++j) tb[b + k * nb] += amp(na + j, k) * vb[j + b * nb];

  AugerReference out;
  out.eb = eb;
  for (int i = 0; i <= s.nomega; ++i) {
    const double w = i == 0 ? 10000.0 : double(s.estart) + double(s.estep) * (i - 1);
    std::vector<double> line(static_cast<std::size_t>(nb), 0.0);
    double sx = 0.0;
    for (int k = 0; k < ndeg; ++k) {
      std::vector<cd> g(static_cast<std::size_t>(na) * na), r(static_cast<std::size_t>(na));
      for (int a = 0; a < na; ++a) {
        for (int c = 0; c < na; ++c) {
          double width = 0.0;
          for (int b = 0; b < nb; ++b) width += hab[a + b * na] * hab[c + b * na];
          g[a + c * na] = cd(a == c ? eg[0] + w : 0.0, 0.0) - h.at(a, c) +
                          cd(0.0, pi * width + (a == c ? s.gamma : 0.0));
        }
        double mk = 0.0;
        for (int b = 0; b < nb; ++b) mk += hab[a + b * na] * tb[b + k * nb];
        r[a] = cd(amp(a, k), -pi * mk);
      }
      const std::vector<cd> x = solve(g, r, na);
      for (const cd& v : x) sx += std::norm(v);
      for (int b = 0; b < nb; ++b) {
        cd ab = tb[b + k * nb];
        for (int a = 0; a < na; ++a) ab += hab[a + b * na] * x[a];
        line[b] += std::norm(ab);
      }
    }
    double y = 0.0;
    for (double v : line) y += v;
    out.lines.push_back(line);
    out.yield.push_back(y);
    out.absorption.push_back(s.gamma / pi * sx + y);
  }
  return out;
}

struct YieldRow {
  double energy, yield, absorption;
  int step;
};

std::vector<YieldRow> yield_rows(const std::string& fort62) {
  std::vector<YieldRow> rows;
  for (const std::string& l : lines(fort62)) {
    if (l.empty() || l[0] == '%') continue;
    rows.push_back({std::stod(l.substr(0, 12)), std::stod(l.substr(12, 12)),
                    std::stod(l.substr(29, 12)), std::stoi(l.substr(24, 5))});
  }
  return rows;
}

void expect_matches_reference(const RunDir& dir, const AugerReference& ref, int nomega) {
  const std::vector<YieldRow> rows = yield_rows(dir.get("fort.62"));
  ASSERT_EQ(static_cast<int>(rows.size()), nomega + 1);
  const auto blocks = spectrum_blocks(dir.get("fort.44"));
  ASSERT_EQ(static_cast<int>(blocks.size()), nomega + 1);
  for (int i = 0; i <= nomega; ++i) {
    EXPECT_EQ(rows[i].step, i);
    EXPECT_NEAR(rows[i].yield, ref.yield[i], 2e-5 + 1e-4 * ref.yield[i]) << "step " << i;
    EXPECT_NEAR(rows[i].absorption, ref.absorption[i], 2e-5 + 1e-4 * ref.absorption[i])
        << "step " << i;
    const SpectrumBlock& b = blocks[i];
    ASSERT_EQ(b.values.size(), ref.eb.size()) << "step " << i;
    for (std::size_t k = 0; k < ref.eb.size(); ++k) {
      EXPECT_NEAR(b.energies[k], ref.eb[k], 5e-5) << "step " << i << " line " << k;
      EXPECT_NEAR(b.values[k], ref.lines[i][k], 2e-6 + 1e-4 * ref.lines[i][k])
          << "step " << i << " line " << k;
    }
  }
}

TEST(Auger, SpectraAndYieldsMatchADenseComplexSolution) {
  RunDir dir("auger_dense");
  const int na = 3, nb = 5;
  const mw::Model m = auger_model(1, na, nb, 0.15f, 0.05f);
  AugerSetup s;
  const RunResult r = run_auger(dir, m, s);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(" nog=     1 nof=     8 noa=     3 nob=     5 ndeg=     1"),
            std::string::npos)
      << r.out;
  expect_matches_reference(dir, auger_reference(m, na, nb, s), s.nomega);
}

TEST(Auger, ThreadCountChangesNoByte) {
  // Enough states for the basis transforms and the QL stage to share their
  // rows among threads.
  RunDir dir("auger_threads");
  const mw::Model m = auger_model(2, 60, 300, 0.15f, 0.05f);
  const mw::Files f = mw::write_model(m);
  dir.put("FTN14", f.ftn14);
  dir.put("FTN15", f.ftn15);
  AugerSetup s;
  s.nomega = 3;
  dir.put("fort.50", auger_commands(m, s));
  EXPECT_EQ(thread_count_difference(dir), "");
}

TEST(Auger, TwoDegenerateGroundStatesAreSummed) {
  RunDir dir("auger_ndeg2");
  const int na = 2, nb = 4;
  const mw::Model m = auger_model(2, na, nb, 0.2f, 0.1f);
  AugerSetup s;
  s.nomega = 3;
  const RunResult r = run_auger(dir, m, s);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(" ndeg=     2"), std::string::npos);
  expect_matches_reference(dir, auger_reference(m, na, nb, s), s.nomega);
}

TEST(Auger, WithoutCouplingEveryStepShowsTheDirectSpectrum) {
  RunDir dir("auger_no_coupling");
  const mw::Model m = auger_model(1, 2, 4, 0.0f, 0.3f);
  AugerSetup s;
  const RunResult r = run_auger(dir, m, s);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const auto blocks = spectrum_blocks(dir.get("fort.44"));
  ASSERT_EQ(static_cast<int>(blocks.size()), s.nomega + 1);
  for (const auto& b : blocks) {
    ASSERT_EQ(b.values.size(), 4u);
    for (float v : b.values) EXPECT_NEAR(v, 0.09f, 1e-6f);
    EXPECT_EQ(b.energies, blocks[0].energies);
  }
}

TEST(Auger, WithoutExtraWidthAbsorptionEqualsYield) {
  RunDir dir("auger_gamma0");
  const mw::Model m = auger_model(1, 2, 5, 0.15f, 0.05f);
  AugerSetup s;
  s.gamma = 0.0f;
  const RunResult r = run_auger(dir, m, s);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const YieldRow& row : yield_rows(dir.get("fort.62"))) EXPECT_EQ(row.yield, row.absorption);
}

TEST(Auger, TotalYieldFileLayout) {
  RunDir dir("auger_yield_layout");
  const mw::Model m = auger_model(1, 2, 3, 0.15f, 0.05f);
  AugerSetup s;
  s.nomega = 3;
  ASSERT_EQ(run_auger(dir, m, s).status, 0);
  const std::vector<std::string> l = lines(dir.get("fort.62"));
  ASSERT_EQ(l.size(), 11u);
  EXPECT_EQ(l[0].substr(0, 12), "    -1.50000");
  EXPECT_EQ(l[0].substr(24, 5), "    0");
  EXPECT_EQ(l[1], "%XYLINE");
  EXPECT_EQ(l[2], "%PARAMETER0 OUTPUT OF MORVEX   TOTAL YIELD");
  EXPECT_EQ(l[3], "%PARAMETER11 1  0.000  0.000  0.000  0.000 A1G  T1U  T1U  ");
  EXPECT_EQ(l[4], "%ESTART=   -1.0000 NOMEGA=   3");
  EXPECT_EQ(l[5], "%FORMAT  1(F12.5,F12.5)");
  EXPECT_EQ(l[6], "%     energy       yield         absorption");
  EXPECT_EQ(l[7].substr(0, 12), "    -1.00000");
  EXPECT_EQ(l[9].substr(0, 12), "     0.00000");
  EXPECT_EQ(l[10], "%END");

  RunDir one("auger_nomega0");
  s.nomega = 0;
  const RunResult r = run_auger(one, m, s);
  ASSERT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(" CAUTION Nomega=0"), std::string::npos);
  const std::vector<std::string> l0 = lines(one.get("fort.62"));
  ASSERT_EQ(l0.size(), 2u);
  EXPECT_EQ(l0[1], "%END");
}

TEST(Auger, IntermediateStateListingAndPlotFile) {
  RunDir dir("auger_listing");
  const mw::Model m = auger_model(1, 2, 3, 0.15f, 0.05f);
  ASSERT_EQ(run_auger(dir, m, AugerSetup{}).status, 0);
  const std::vector<std::string> l46 = lines(dir.get("fort.46"));
  ASSERT_EQ(l46.size(), 5u);
  EXPECT_EQ(l46[0],
            "    2  '11  0.000  0.000  0.000  0.000                         A1G  T1U  T1U  '");
  EXPECT_EQ(l46[2], "%Eg=   0.0000 NDeg=  1 : 1stExE=   0.0000 Charc= 1.000 0.000 0.000");
  EXPECT_EQ(l46[4], "%OUTPUT OF MORVEX INTERMEDIATE STATE");
  const std::vector<std::string> l45 = lines(dir.get("fort.45"));
  ASSERT_GE(l45.size(), 9u);
  EXPECT_EQ(l45[0], "%OUTOUT FOR TALVEN");
  EXPECT_EQ(l45[1], "%PARAMETER0 OUTPUT OF MORVEX INTERMEDIATE STATE");
  EXPECT_EQ(l45[2], "%Number Of Data=    2");
  EXPECT_EQ(l45[4], "%FORMAT  1(F10.4,F10.6) ");
  EXPECT_EQ(l45[5], "%   Energy Intensity       Gamma    I");
  EXPECT_EQ(l45[8], "%END");
}

TEST(Auger, OnlyContinuumStatesGiveTheDirectSpectrumAtEveryStep) {
  RunDir dir("auger_direct");
  const mw::Model m = auger_model(1, 0, 3, 0.0f, 0.5f);
  AugerSetup s;
  s.nomega = 2;
  const RunResult r = run_auger(dir, m, s);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("intermediate states are posible for this symmetry. Noa=0"),
            std::string::npos);
  const std::vector<YieldRow> rows = yield_rows(dir.get("fort.62"));
  ASSERT_EQ(rows.size(), 3u);
  for (const YieldRow& row : rows) {
    EXPECT_NEAR(row.yield, 0.75, 1e-5);
    EXPECT_EQ(row.yield, row.absorption);
  }
}

TEST(Auger, ChannelCodeOutsideTheTablesStopsTheRun) {
  RunDir dir("auger_bad_code");
  mw::Model m = auger_model(1, 1, 2, 0.1f, 0.1f);
  m.excited.ham[0][0].m.at(3, 3) = 12000.0f;
  const RunResult r = run_auger(dir, m, AugerSetup{});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "STOP quitprog: see output\n");
  EXPECT_NE(r.out.find("Excited state 3 has the channel code 12"), std::string::npos) << r.out;
}


// Every file of a run directory with standard output, error and the status.
std::map<std::string, std::string> run_outputs(const RunDir& dir, const std::string& args) {
  const RunResult r = dir.run(args);
  std::map<std::string, std::string> all{
      {"<status>", std::to_string(r.status)}, {"<stdout>", r.out}, {"<stderr>", r.err}};
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    all[e.path().filename().string()] = dir.get(e.path().filename().string());
  }
  return all;
}

TEST(Auger, StepsSideBySideStopAtTheSingularStepForEveryThreadCount) {
  // No coupling and no width: G = Eg + w - Ea is zero at w = 0, step 3 of 6.
  const mw::Model m = auger_model(1, 1, 3, 0.0f, 0.5f);
  AugerSetup s;
  s.nomega = 5;
  s.gamma = 0.0f;
  std::map<std::string, std::string> first;
  for (int t : {1, 2, 3, 7}) {
    RunDir dir("auger_singular_t" + std::to_string(t));
    const mw::Files f = mw::write_model(m);
    dir.put("FTN14", f.ftn14);
    dir.put("FTN15", f.ftn15);
    dir.put("fort.50", auger_commands(m, s));
    const std::map<std::string, std::string> all = run_outputs(dir, "--threads " + std::to_string(t));
    if (t == 1) {
      first = all;
      EXPECT_EQ(all.at("<status>"), "1");
      EXPECT_NE(all.at("<stdout>").find(" matrix was singular            1"), std::string::npos)
          << all.at("<stdout>");
      EXPECT_EQ(yield_rows(all.at("fort.62")).size(), 3u) << "steps 0, 1 and 2 are written";
      continue;
    }
    EXPECT_EQ(all, first) << t << " threads";
  }
}

TEST(Auger, LargerModelIsTheSameForEveryThreadCountAndWorkArray) {
  // An LU of several panels, two right-hand sides, five steps: batches of
  // two, three and seven steps with a last step alone.
  RunDir dir("auger_larger");
  const mw::Model m = auger_model(2, 130, 170, 0.05f, 0.05f);
  const mw::Files f = mw::write_model(m);
  dir.put("FTN14", f.ftn14);
  dir.put("FTN15", f.ftn15);
  AugerSetup s;
  s.nomega = 4;
  dir.put("fort.50", auger_commands(m, s));
  EXPECT_EQ(thread_count_difference(dir), "");

  RunDir one("auger_larger_one"), large("auger_larger_large");
  for (const RunDir* d : {&one, &large}) {
    for (const char* input : {"fort.50", "FTN14", "FTN15"}) d->put(input, dir.get(input));
  }
  const std::map<std::string, std::string> want = run_outputs(one, "--threads 1");
  EXPECT_EQ(want.at("<status>"), "0");
  EXPECT_NE(want.at("<stdout>").find("noa=   130 nob=   170 ndeg=     2"), std::string::npos)
      << want.at("<stdout>");
  EXPECT_EQ(run_outputs(large, "--threads 2 --work-array 40000000"), want);
}

}  // namespace
}  // namespace e2e
