// End-to-end runs of the executable on absorption models written by the
// model writer, checked against closed forms and an independent dense
// construction of the same model.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <sstream>
#include <string>

#include "e2e_support.h"

namespace e2e {
namespace {

std::string band_lines(const Band& b) {
  std::ostringstream s;
  s.precision(9);
  s << "N2 " << b.n2 << " N3 " << b.n3 << " W " << b.w << " DIP " << b.dip << '\n';
  for (int c = 0; c < 3; ++c)
    s << "EG" << c + 1 << ' ' << b.eg[c] << " EF" << c + 1 << ' ' << b.ef[c] << '\n';
  return s.str();
}

std::string command_file(const mw::Model& m, const Band& b, int triads = 1) {
  std::string s =
      "% written by the end-to-end test\n" + mw::command_lines(m) + band_lines(b) + "TRIADS\n";
  for (int t = 0; t < triads; ++t) s += mw::triad_line(m) + "\n";
  return s + "ENDTRIADS\n";
}

RunResult run_model(const RunDir& dir, const mw::Model& m, const Band& b, int triads = 1) {
  const mw::Files f = mw::write_model(m);
  dir.put("FTN14", f.ftn14);
  dir.put("FTN15", f.ftn15);
  dir.put("fort.50", command_file(m, b, triads));
  return dir.run();
}

float ground_energy(const std::string& log) {
  const std::string l = line_with(log, " Ground state energy Eg0=");
  return std::stof(l.substr(25, 17));
}

// Ground configuration 1 (one state at EG1) mixed with one band level of
// configuration 2 (one state at EG2): a 2 x 2 problem with a closed form.
mw::Model two_level_model(float v) {
  mw::Model m;
  m.nconf_ground = 2;
  m.nconf_excited = 1;
  m.op = "T1U";
  m.ground.label = "A1G";
  m.ground.mult = {1, 1, 0};
  m.ground.mix[0] = {{mw::matrix(1, 1, {v}), 1.0f}};
  m.excited.label = "T1U";
  m.excited.mult = {1, 0, 0};
  m.excited.ham[0] = {{mw::matrix(1, 1, {0.5f}), 1.0f}};
  m.trans[0][0] = {{mw::matrix(1, 1, {1.0f}), 1.0f}};
  return m;
}

TEST(Absorption, TwoConfigurationGroundStateHasTheClosedFormEnergyAndWeights) {
  RunDir dir("closed_form");
  const float v = 0.75f, delta = 2.0f;
  Band b;
  b.n2 = 1;
  b.w = 0.0;
  b.eg[1] = delta;
  const RunResult r = run_model(dir, two_level_model(v), b);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "STOP Normal end because of end of file on input\n");
  const double e0 = delta / 2.0 - std::sqrt(delta * delta / 4.0 + double(v) * v);
  EXPECT_NEAR(ground_energy(r.out), e0, 2e-6);
  // Weight of configuration 1: the squared first component of the ground vector.
  const double c1 = (double(v) * v) / (double(v) * v + e0 * e0);
  const std::string w = line_with(r.out, " Weight of configurations 1,2,3 in the ground state:");
  std::istringstream ws(w.substr(52));
  double w1 = 0, w2 = 0, w3 = 0;
  ws >> w1 >> w2 >> w3;
  EXPECT_NEAR(w1, c1, 1e-5);
  EXPECT_NEAR(w2, 1.0 - c1, 1e-5);
  EXPECT_EQ(w3, 0.0);

  // The spectrum: one excited state at 0.5 with amplitude equal to the
  // configuration-1 component of the ground state.
  const auto blocks = spectrum_blocks(dir.get("fort.44"));
  ASSERT_EQ(blocks.size(), 1u);
  ASSERT_EQ(blocks[0].energies.size(), 1u);
  EXPECT_FLOAT_EQ(blocks[0].energies[0], 0.5f);
  EXPECT_NEAR(std::fabs(blocks[0].values[0]), std::sqrt(c1), 2e-6);
  EXPECT_NEAR(blocks[0].bra, e0, 1e-5);
}

// A charge-transfer model with two configurations on each side, three band
// levels and a few multiplet states, compared with the dense reference.
mw::Model charge_transfer_model() {
  mw::Model m;
  m.nconf_ground = 2;
  m.nconf_excited = 2;
  m.op = "T1";
  m.ground.label = "A1";
  m.ground.dim = 1;
  m.ground.mult = {2, 2, 0};
  m.ground.ham[0] = {{mw::matrix(2, 2, {0.3f, 0.1f, 0.1f, -0.2f}), 1.0f}};
  m.ground.ham[1] = {{mw::matrix(2, 2, {0.5f, 0.125f, 0.125f, -0.5f}), 1.0f},
                     {mw::matrix(2, 2, {1.0f, 0.0f, 0.0f, 1.0f}), 0.2f}};
  m.ground.mix[0] = {{mw::matrix(2, 2, {1.0f, 0.5f, -0.25f, 0.8f}), 0.8f}};
  m.excited.label = "T1";
  m.excited.dim = 3;
  m.excited.mult = {3, 2, 0};
  m.excited.ham[0] = {
      {mw::matrix(3, 3, {1.0f, 0.25f, 0.0f, 0.25f, 2.0f, 0.5f, 0.0f, 0.5f, -1.0f}), 1.0f}};
  m.excited.ham[1] = {{mw::matrix(2, 2, {-1.0f, 0.3f, 0.3f, 0.75f}), 1.0f}};
  m.excited.mix[0] = {{mw::matrix(3, 2, {0.6f, 0.0f, 0.2f, 0.6f, -0.4f, 0.1f}), 1.0f}};
  m.trans[0][0] = {{mw::matrix(2, 3, {1.0f, 0.375f, 0.0f, -0.5f, 0.25f, 1.0f}), 1.0f}};
  m.trans[1][1] = {{mw::matrix(2, 2, {0.5f, 0.0f, 0.25f, 0.5f}), 1.0f}};
  return m;
}

Band charge_transfer_band() {
  Band b;
  b.n2 = 3;
  b.w = 2.0;
  b.eg[1] = 3.0;
  b.ef[0] = 10.0;
  b.ef[1] = 8.5;
  b.dip = 1.5;
  return b;
}

// Runs the model and compares the ground energy, every excited energy and
// amplitude and the sum rule with the dense reference; returns the spectrum.
SpectrumBlock expect_dense_reference(const std::string& name, const mw::Model& m, const Band& b) {
  RunDir dir(name);
  const RunResult r = run_model(dir, m, b);
  EXPECT_EQ(r.status, 0) << r.out << r.err;

  const Reference ref = reference(m, b);
  std::vector<double> eg, vg, ee, ve;
  jacobi(ref.hg, eg, vg);
  jacobi(ref.he, ee, ve);
  EXPECT_NEAR(ground_energy(r.out), eg[0], 2e-5);

  // Image of the ground state under the transition operator, on the excited
  // eigenstates.
  std::vector<double> image(static_cast<std::size_t>(ref.ne), 0.0);
  for (int k = 0; k < ref.ne; ++k) {
    for (int j = 0; j < ref.ng; ++j) image[k] += vg[j] * ref.t[j + k * ref.ng];
  }
  double norm = 0.0;
  for (double x : image) norm += x * x;
  EXPECT_GT(norm, 0.01);

  const auto blocks = spectrum_blocks(dir.get("fort.44"));
  if (blocks.size() != 1u) {
    ADD_FAILURE() << blocks.size() << " spectrum blocks";
    return {};
  }
  const SpectrumBlock& s = blocks[0];
  EXPECT_EQ(static_cast<int>(s.energies.size()), ref.ne);
  double sum_sq = 0.0;
  for (int k = 0; k < ref.ne && k < static_cast<int>(s.energies.size()); ++k) {
    EXPECT_NEAR(s.energies[k], ee[k], 5e-5) << "excited state " << k + 1;
    double amp = 0.0;
    for (int j = 0; j < ref.ne; ++j) amp += image[j] * ve[j + k * ref.ne];
    EXPECT_NEAR(std::fabs(s.values[k]), std::fabs(amp), 5e-5) << "excited state " << k + 1;
    sum_sq += double(s.values[k]) * s.values[k];
  }
  EXPECT_NEAR(sum_sq, norm, 1e-4);
  return s;
}

TEST(Absorption, SpectrumMatchesTheDenseReferenceAndTheSumRule) {
  const SpectrumBlock s =
      expect_dense_reference("dense_reference", charge_transfer_model(), charge_transfer_band());
  EXPECT_EQ(s.header.substr(0, 32), " TRANSFORMED MATRIX FOR TRIAD ( ");
  EXPECT_NE(s.header.find(") (1*      9) DIM :  1 : 0 : 3 ACTOR MULTIPOLE"), std::string::npos)
      << s.header;
}

TEST(Absorption, SymmetryAbsentFromTheBareIonStillReachesItsBandBlocks) {
  // The ground symmetry has no state in configuration 1: its first block is
  // empty, and the transitions of the band blocks must still pair by level.
  mw::Model m = charge_transfer_model();
  m.ground.mult = {0, 2, 0};
  m.ground.ham[0].clear();
  m.ground.mix[0].clear();
  m.trans[0][0].clear();
  expect_dense_reference("empty_first_block", m, charge_transfer_band());
}

// A dense rows x cols block of values in [-scale/2, scale/2) from a fixed
// pattern; symmetric when asked.
mw::Matrix pattern(int rows, int cols, float scale, int seed, bool symmetric = false) {
  mw::Matrix a = mw::zeros(rows, cols);
  for (int i = 1; i <= rows; ++i) {
    for (int j = 1; j <= cols; ++j) {
      const int h = symmetric && j < i ? (j * 7919 + i * 104729 + seed * 31) % 97
                                       : (i * 7919 + j * 104729 + seed * 31) % 97;
      a.at(i, j) = scale * (static_cast<float>(h) / 97.0f - 0.5f);
    }
  }
  return a;
}

TEST(Absorption, ThreadCountChangesNoByte) {
  // Three configurations with 3, 6 and 8 multiplet states on 6 and 8 band
  // levels: 423 ground and excited states, enough for the reduction, the QL
  // stage and the basis transform to share their work among threads.
  RunDir dir("threads");
  mw::Model m;
  m.nconf_ground = 3;
  m.nconf_excited = 3;
  m.op = "T1U";
  m.ground.label = "A1G";
  m.ground.mult = {3, 6, 8};
  m.excited.label = "T1U";
  m.excited.dim = 3;
  m.excited.mult = {3, 6, 8};
  for (int c = 0; c < 3; ++c) {
    m.ground.ham[c] = {{pattern(m.ground.mult[c], m.ground.mult[c], 1.0f, c + 1, true), 1.0f}};
    m.excited.ham[c] = {{pattern(m.excited.mult[c], m.excited.mult[c], 1.2f, c + 11, true), 1.0f}};
    m.trans[c][c] = {{pattern(m.ground.mult[c], m.excited.mult[c], 1.0f, c + 21), 1.0f}};
  }
  for (int c = 0; c < 2; ++c) {
    const int rows = m.ground.mult[c], cols = m.ground.mult[c + 1];
    m.ground.mix[c] = {{pattern(rows, cols, 2.0f, 31 + c), 1.0f}};
    m.excited.mix[c] = {{pattern(rows, cols, 2.0f, 41 + c), 1.0f}};
  }
  const mw::Files f = mw::write_model(m);
  dir.put("FTN14", f.ftn14);
  dir.put("FTN15", f.ftn15);
  dir.put("fort.50", mw::command_lines(m) +
                         "N2 6 N3 8 W 3.0\nEG2 2.0 EG3 5.0 EF1 10.0 EF2 8.0 EF3 7.0\nTRIADS\n" +
                         mw::triad_line(m) + "\nENDTRIADS\n");
  EXPECT_EQ(thread_count_difference(dir), "");
}

TEST(Absorption, DegenerateGroundStateGivesOneSpectrumPerState) {
  RunDir dir("degenerate");
  mw::Model m;
  m.nconf_ground = 1;
  m.nconf_excited = 1;
  m.op = "T1";
  m.ground.label = "E";
  m.ground.dim = 2;
  m.ground.mult = {2, 0, 0};
  m.excited.label = "T2";
  m.excited.dim = 3;
  m.excited.mult = {2, 0, 0};
  m.excited.ham[0] = {{mw::matrix(2, 2, {1.0f, 0.5f, 0.5f, 3.0f}), 1.0f}};
  m.trans[0][0] = {{mw::matrix(2, 2, {1.0f, 0.0f, 0.5f, 2.0f}), 1.0f}};
  Band b;
  const RunResult r = run_model(dir, m, b);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(" (   2 times)"), std::string::npos) << r.out;
  const std::string fort44 = dir.get("fort.44");
  const auto blocks = spectrum_blocks(fort44);
  ASSERT_EQ(blocks.size(), 2u);
  // Both spectra together carry the whole operator: sum of squares = |T|^2.
  double sum = 0.0;
  for (const auto& s : blocks)
    for (float v : s.values) sum += double(v) * v;
  EXPECT_NEAR(sum, 1.0 + 0.25 + 4.0, 1e-4);
  EXPECT_NE(fort44.find("%Eg=   0.0000 NDeg=  2 : 1stExE=   0.0000 Charc= 1.000 0.000 0.000"),
            std::string::npos)
      << fort44;
}

TEST(Absorption, RepeatedTriadReadsBothResultsBackFromTheStore) {
  RunDir dir("store_reuse");
  const mw::Model m = charge_transfer_model();
  const RunResult r = run_model(dir, m, charge_transfer_band(), 2);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(" Data calculated and stored on file98 record nr.    1"), std::string::npos);
  EXPECT_NE(r.out.find(" Data calculated and stored on file98 record nr.    2"), std::string::npos);
  EXPECT_NE(r.out.find(" Data read from file 98 record nr.   1"), std::string::npos);
  EXPECT_NE(r.out.find(" Data read from file 98 record nr.   2"), std::string::npos);
  EXPECT_NE(r.out.find(" Cowan store will be read from file 99."), std::string::npos);
  const auto blocks = spectrum_blocks(dir.get("fort.44"));
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].energies, blocks[1].energies);
  EXPECT_EQ(blocks[0].values, blocks[1].values);
}

TEST(Absorption, SpectrumFileRecordsFollowTheirLayouts) {
  RunDir dir("layouts");
  Band b;
  b.n2 = 1;
  b.eg[1] = 2.0;
  const RunResult r = run_model(dir, two_level_model(0.75f), b);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<std::string> l = lines(dir.get("fort.44"));
  ASSERT_GT(l.size(), 12u);
  EXPECT_EQ(l[0], "BAND 1");
  EXPECT_EQ(l[1], " % WRITTEN BY THE END-TO-END TEST" + std::string(79 - 32, ' '));
  // NG = 2: the summary's first excited energy is the second ground energy.
  const std::string summary = line_with(dir.get("fort.44"), "%Eg=");
  EXPECT_EQ(summary.substr(0, 27), "%Eg=  -0.2500 NDeg=  1 : 1s");
  EXPECT_EQ(summary.substr(27), "tExE=   2.2500 Charc= 0.900 0.100 0.000");
  EXPECT_EQ(line_with(dir.get("fort.44"), "%Output"), "%Output of Pelko , MORVEX7");
  const std::string label_record = line_with(dir.get("fort.44"), "  '");
  EXPECT_EQ(label_record,
            "    1  '11  0.000  0.000  0.000  0.000" + std::string(25, ' ') + "A1G  T1U  T1U  '");
  EXPECT_EQ(lines(dir.get("fort.43"))[0], "   1   -0.2500   2    2.2500");
  EXPECT_EQ(l.back(), " FINISHED");
}

TEST(Absorption, SingleGroundStateSummaryRepeatsItsEnergy) {
  RunDir dir("single_state");
  mw::Model m;
  m.op = "T1";
  m.ground.label = "A1";
  m.ground.mult = {1, 0, 0};
  m.ground.ham[0] = {{mw::matrix(1, 1, {-0.5f}), 1.0f}};
  m.excited.label = "T1";
  m.excited.mult = {1, 0, 0};
  m.trans[0][0] = {{mw::matrix(1, 1, {2.0f}), 1.0f}};
  const RunResult r = run_model(dir, m, Band{});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string fort44 = dir.get("fort.44");
  EXPECT_EQ(line_with(fort44, "%Eg="),
            "%Eg=  -0.5000 NDeg=  1 : 1stExE=  -0.5000 Charc= 1.000 0.000 0.000");
  EXPECT_EQ(lines(dir.get("fort.43")), std::vector<std::string>{"   1   -0.5000"});
  const auto blocks = spectrum_blocks(fort44);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_FLOAT_EQ(blocks[0].values[0], 2.0f);
}

TEST(Absorption, MissingFilesEndTheRunWithAClearMessage) {
  RunDir dir("missing");
  RunResult r = dir.run();
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("FTN14"), std::string::npos) << r.err;
  dir.put("FTN14", "");
  dir.put("FTN15", "");
  r = dir.run();
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("fort.50"), std::string::npos) << r.err;
}

TEST(Absorption, FatalStopsExitWithStatusOne) {
  RunDir dir("fatal");
  dir.put("FTN14", "");
  dir.put("FTN15", "");
  dir.put("fort.50", "N2 101\nTRIADS\n");
  const RunResult r = dir.run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "STOP quitprog: see output\n");
  EXPECT_NE(r.out.find(" Increase parameter maxlevels from          100  to          101"),
            std::string::npos)
      << r.out;
}

}  // namespace
}  // namespace e2e
