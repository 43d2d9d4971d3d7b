// KRYLOV n end to end: the shipped band example (193 core-hole states) with
// and without it. The Krylov blocks keep the total intensity and the first
// moments of the exact ones, need no computed-matrix store record, and are
// the same bytes at any thread count; with n at least the dimension the
// spectrum stays the exact one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

// The example with `line` added before its TRIADS line.
void put_with(const RunDir& dir, const std::string& line) {
  put_example(dir, "fine_band");
  std::string f = dir.get("fort.50");
  const std::size_t at = f.find("TRIADS\n");
  ASSERT_NE(at, std::string::npos);
  dir.put("fort.50", f.insert(at, line + "\n"));
}

// Σ a² ((E − c)/r)^k over a block's lines.
double moment(const SpectrumBlock& b, int k, double c, double r) {
  double sum = 0.0;
  for (std::size_t j = 0; j < b.energies.size(); ++j)
    sum += double(b.values[j]) * b.values[j] * std::pow((b.energies[j] - c) / r, k);
  return sum;
}

std::string blocks_text(const std::string& fort44) {
  return fort44.substr(fort44.find(" TRANSFORMED MATRIX FOR TRIAD"));
}

TEST(Krylov, SpectrumKeepsTheExactMomentsWithoutTheStore) {
  RunDir exact_dir("krylov_exact"), krylov_dir("krylov_30");
  put_example(exact_dir, "fine_band");
  put_with(krylov_dir, "KRYLOV 30");
  const RunResult e = exact_dir.run(), k = krylov_dir.run();
  ASSERT_EQ(e.status, 0) << e.out << e.err;
  ASSERT_EQ(k.status, 0) << k.out << k.err;
  const auto exact = spectrum_blocks(exact_dir.get("fort.44"));
  const auto krylov = spectrum_blocks(krylov_dir.get("fort.44"));
  ASSERT_EQ(exact.size(), krylov.size());
  ASSERT_FALSE(exact.empty());
  for (std::size_t i = 0; i < exact.size(); ++i) {
    const SpectrumBlock &x = exact[i], &y = krylov[i];
    EXPECT_EQ(x.energies.size(), 193u);
    EXPECT_EQ(y.energies.size(), 30u);
    EXPECT_EQ(y.bra, x.bra);
    EXPECT_TRUE(std::is_sorted(y.energies.begin(), y.energies.end()));
    const double c = (x.energies.front() + x.energies.back()) / 2;
    const double r = (x.energies.back() - x.energies.front()) / 2;
    const double total = moment(x, 0, c, r);
    // The file holds 5 decimals of an energy and 6 of an amplitude.
    for (int p = 0; p <= 6; ++p)
      EXPECT_NEAR(moment(y, p, c, r), moment(x, p, c, r), 2e-4 * total) << "moment " << p;
    EXPECT_GE(y.energies.front(), x.energies.front() - 1e-5f);
    EXPECT_LE(y.energies.back(), x.energies.back() + 1e-5f);
  }
  EXPECT_NE(line_with(k.out,
                      " Krylov spectrum: Lanczos steps     30, excited dimension      "
                      "193, reached from T|g>     30"),
            "");
  // The label record counts the lines of each block.
  EXPECT_EQ(line_with(krylov_dir.get("fort.44"), "'").substr(0, 8), "   30  '");
  // The ground state still goes through the store; the excited space does not.
  EXPECT_NE(line_with(e.out, "state=  2"), "");
  EXPECT_EQ(line_with(k.out, "state=  2"), "");
  EXPECT_NE(line_with(k.out, "state=  1"), "");
  // Everything before the spectra is the exact run's.
  const std::string ef = exact_dir.get("fort.43"), kf = krylov_dir.get("fort.43");
  EXPECT_EQ(ef, kf);
  EXPECT_EQ(thread_count_difference(krylov_dir), "");
}

TEST(Krylov, AsManyStepsAsStatesKeepTheExactPath) {
  RunDir exact_dir("krylov_exact_path"), krylov_dir("krylov_large_n");
  put_example(exact_dir, "fine_band");
  put_with(krylov_dir, "KRYLOV 193");
  ASSERT_EQ(exact_dir.run().status, 0);
  const RunResult k = krylov_dir.run();
  ASSERT_EQ(k.status, 0) << k.out << k.err;
  EXPECT_EQ(blocks_text(krylov_dir.get("fort.44")), blocks_text(exact_dir.get("fort.44")));
  EXPECT_EQ(line_with(k.out, "Krylov"), "");
}

// An Auger calculation needs every core-hole state: KRYLOV leaves it exact
// and says so.
TEST(Krylov, AugerTriadsStayExact) {
  RunDir exact_dir("krylov_auger_exact"), krylov_dir("krylov_auger");
  put_example(exact_dir, "auger_resonance");
  put_example(krylov_dir, "auger_resonance");
  std::string f = krylov_dir.get("fort.50");
  krylov_dir.put("fort.50", f.insert(f.find("AUGER\n"), "KRYLOV 4\n"));
  ASSERT_EQ(exact_dir.run().status, 0);
  const RunResult k = krylov_dir.run();
  ASSERT_EQ(k.status, 0) << k.out << k.err;
  EXPECT_NE(line_with(k.out, " KRYLOV does not apply: an AUGER or RIXS triad needs all       10"
                             " core-hole states"),
            "");
  EXPECT_EQ(blocks_text(krylov_dir.get("fort.44")), blocks_text(exact_dir.get("fort.44")));
  for (const char* file : {"fort.45", "fort.46", "fort.62"})
    EXPECT_EQ(krylov_dir.get(file), exact_dir.get(file)) << file;
}

TEST(Krylov, BadStepCountWarnsAndTheRunStopsBeforeAnyCalculation) {
  RunDir dir("krylov_bad");
  put_with(dir, "KRYLOV -3");
  const RunResult r = dir.run();
  EXPECT_NE(line_with(r.out,
                      " KRYLOV: the number of Lanczos steps must be 0 (exact spectra) or "
                      "positive, command ignored, n=          -3"),
            "");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(line_with(dir.get("fort.44"), " TRANSFORMED MATRIX"), "");
}

}  // namespace
}  // namespace e2e
