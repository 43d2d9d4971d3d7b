// The photon-energy steps computed side by side: for every thread count the
// files, the stops, the work array's top and peak and the driver's arrays are
// those of the one-thread loop, also when a step's matrix is singular or its
// blocks do not fit in the work array.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "auger/com_gamma.h"
#include "auger/energy_steps.h"
#include "io/stop.h"
#include "io/units.h"
#include "parallel/pool.h"
#include "support/work_fixture.h"
#include "workarray/heap.h"

namespace mv {
namespace {

constexpr int32_t noa = 37, nob = 11, ndeg = 2, nomega = 6;

// A loop's inputs: Ea = 0, 0.25, 0.5, ... and Eg = -1, so that with
// ESTART = -1 and ESTEP = 0.5 step 5 (w = 1) has Eg + w = Ea(1) exactly: G is
// singular there when there is no width. Couplings small and smooth.
struct Inputs {
  std::vector<float> ta, tb, w, hba, m, ea, eb, eg{-1.0f};
  Inputs(bool width) {
    ta.resize(noa * ndeg);
    m.resize(noa * ndeg);
    for (int32_t i = 0; i < noa * ndeg; ++i) {
      ta[i] = std::cos(0.3f * static_cast<float>(i));
      m[i] = width ? 0.01f * std::sin(0.7f * static_cast<float>(i)) : 0.0f;
    }
    tb.resize(nob * ndeg);
    for (int32_t i = 0; i < nob * ndeg; ++i) tb[i] = 0.1f * static_cast<float>(i % 5);
    w.resize(noa * noa);
    for (int32_t a = 0; a < noa; ++a)
      for (int32_t b = 0; b < noa; ++b)
        w[a + b * noa] = width ? 0.02f / static_cast<float>(1 + std::abs(a - b)) : 0.0f;
    hba.resize(nob * noa);
    for (int32_t i = 0; i < nob * noa; ++i) hba[i] = 0.05f * std::sin(static_cast<float>(i));
    for (int32_t a = 0; a < noa; ++a) ea.push_back(0.25f * static_cast<float>(a));
    for (int32_t b = 0; b < nob; ++b) eb.push_back(3.0f + 0.5f * static_cast<float>(b));
  }
};

struct Outcome {
  std::string stop, u6, u44, u62;
  int32_t top = 0, peak = 0;
  std::vector<float> g, rx, ra, intensity;
  bool operator==(const Outcome&) const = default;
};

Outcome run_loop(int32_t threads, bool width, int32_t cells) {
  reset_units();
  for (int32_t u : {6, 44, 62}) attach_memory(u);
  EXPECT_TRUE(set_heap_cells(cells));
  parallel::set_threads(threads);
  com_gamma.gamma = width ? 0.1f : 0.0f;
  Inputs in(width);
  int32_t below = 0;
  alloc("driver", 100, below);
  Outcome o;
  o.g.assign(2 * noa * noa, 0.0f);
  o.rx.assign(2 * noa * ndeg, 0.0f);
  o.ra.assign(2 * nob * ndeg, 0.0f);
  o.intensity.assign(nob, 0.0f);
  agmain_arrays x{};
  x.ta = in.ta.data();
  x.tb = in.tb.data();
  x.w = in.w.data();
  x.hba = in.hba.data();
  x.m = in.m.data();
  x.g = o.g.data();
  x.rx = o.rx.data();
  x.ra = o.ra.data();
  try {
    energy_steps({1, nomega, -1.0f, 0.5f, noa, nob, ndeg, o.intensity.data(), in.ea.data(),
                  in.eb.data(), in.eg.data(), &x});
  } catch (const RunStop& s) {
    o.stop = s.text + "|" + s.note;
  }
  o.u6 = unit_contents(6);
  o.u44 = unit_contents(44);
  o.u62 = unit_contents(62);
  o.top = heap_info.top;
  o.peak = heap_info.peak;
  return o;
}

class EnergySteps : public WorkArrayTest {
 protected:
  void TearDown() override {
    parallel::set_threads(0);
    set_heap_cells(default_heap_cells);
    com_gamma = {};
    WorkArrayTest::TearDown();
  }
};

TEST_F(EnergySteps, EveryThreadCountGivesTheOneThreadLoop) {
  const Outcome want = run_loop(1, true, default_heap_cells);
  EXPECT_EQ(want.stop, "");
  EXPECT_EQ(want.top, 100);
  EXPECT_EQ(want.peak, 100 + 2 * noa * ndeg + 2 * noa * noa + noa);
  EXPECT_FALSE(want.u62.empty());
  for (int32_t t : {2, 3, 7}) EXPECT_TRUE(run_loop(t, true, default_heap_cells) == want) << t;
}

TEST_F(EnergySteps, ASingularStepStopsTheRunAtItsTurn) {
  const Outcome want = run_loop(1, false, default_heap_cells);
  EXPECT_EQ(want.stop, "quitprog: see output|");
  EXPECT_NE(want.u6.find(" matrix was singular           37"), std::string::npos) << want.u6;
  for (int32_t t : {2, 3, 7}) EXPECT_TRUE(run_loop(t, false, default_heap_cells) == want) << t;
}

TEST_F(EnergySteps, BlocksThatDoNotFitStopTheFirstStep) {
  // The driver's 100 cells fit; the solve's 2*37*37 interleaved cells do not.
  const Outcome want = run_loop(1, true, 2000);
  EXPECT_NE(want.u6.find("Increase parameter lheap from         1999  to         2987"),
            std::string::npos)
      << want.u6;
  EXPECT_EQ(want.u62, "");
  for (int32_t t : {2, 3, 7}) EXPECT_TRUE(run_loop(t, true, 2000) == want) << t;
}

}  // namespace
}  // namespace mv
