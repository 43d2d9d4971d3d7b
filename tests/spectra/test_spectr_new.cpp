// The absorption spectrum on a small model whose answer a dense
// diagonalisation confirms: window, degenerate ground level, the store's
// second use, and a one-state excited space.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "coefficients/find_data.h"
#include "hamiltonian/sparse.h"
#include "io/units.h"
#include "spectra/diag.h"
#include "spectra/spectr.h"
#include "spectra/spectr_new.h"
#include "spectra_test_util.h"
#include "workarray/heap.h"
#include "support/work_fixture.h"

namespace mv {
namespace {

using test::random_symmetric;
using test::random_vector;
using test::records;

class SpectrNewTest : public WorkArrayTest {
 protected:
  SpectrNewTest() : WorkArrayTest({6, 44, 98}) {}
  void SetUp() override {
    WorkArrayTest::SetUp();
    store_index = {};
    store_ir_index = {};
    spectr = {};
  }
  void TearDown() override {
    WorkArrayTest::TearDown();
    store_index = {};
    store_ir_index = {};
    spectr = {};
  }

  // The dense ne x ne matrix stored as a sparse row matrix; returns its position.
  static int32_t sparse(const std::vector<float>& dense, int32_t ne) {
    int32_t p = 0;
    illoc("test matrix", 3 * ne, p);
    std::vector<float> row(ne);
    for (int32_t i = 1; i <= ne; ++i) {
      for (int32_t j = 1; j <= ne; ++j) row[j - 1] = dense[(i - 1) + ne * (j - 1)];
      vec_to_row(p, row.data(), ne, i);
    }
    return p;
  }

  static int32_t blocks_written() {
    int32_t count = 0;
    for (const std::string& line : records(unit_contents(44))) {
      count += line.rfind(" TRANSFORMED MATRIX FOR TRIAD ( ", 0) == 0;
    }
    return count;
  }

  // A model: ng ground states with eigenvectors q and energies eg, a coupled
  // excited Hamiltonian (the last excited state isolated), a transition matrix.
  struct Model {
    int32_t ng = 3, ne = 6;
    std::vector<float> q, t, hexc, eg;
  };
  static Model model(std::vector<float> eg) {
    Model m;
    m.eg = std::move(eg);
    m.q = test::mirrored(random_symmetric(m.ng, m.ng, 3u), m.ng, m.ng);
    std::vector<float> d(m.ng), e(m.ng);
    diag(m.q.data(), m.ng, m.ng, d.data(), e.data());  // some orthonormal columns
    m.hexc = test::mirrored(random_symmetric(m.ne, m.ne, 4u), m.ne, m.ne);
    for (int32_t k = 0; k + 1 < m.ne; ++k)
      m.hexc[(m.ne - 1) + m.ne * k] = m.hexc[k + m.ne * (m.ne - 1)] = 0.0f;
    m.t = random_vector(size_t(m.ng) * m.ne, 5u);
    return m;
  }

  struct Result {
    std::vector<float> energies, amplitudes;
  };
  static Result run(const Model& m) {
    Result r{std::vector<float>(m.ne, -9.0f), std::vector<float>(m.ne, -9.0f)};
    std::vector<float> spare(m.ne, -9.0f);
    const int32_t p = sparse(m.hexc, m.ne);
    spectr_new(m.q.data(), m.t.data(), p, m.ng, m.ne, r.energies.data(), spare.data(),
               r.amplitudes.data(), m.eg.data(), "GROUND", "OPER", "EXCITED", 1, 2);
    EXPECT_EQ(spare, std::vector<float>(m.ne, -9.0f));
    return r;
  }

  // Energies bit for bit (the same reduction and QL arithmetic), amplitudes as
  // the projection of Q(:, i)ᵀT on the excited eigenvectors.
  static void expect_spectrum(const Model& m, int32_t i, const Result& r) {
    std::vector<float> x = m.hexc, w(m.ne), e(m.ne);
    diag(x.data(), m.ne, m.ne, w.data(), e.data());
    for (int32_t k = 0; k < m.ne; ++k) {
      EXPECT_EQ(r.energies[k], w[k]) << "state " << k;
      double amp = 0.0;
      for (int32_t j = 0; j < m.ne; ++j) {
        double tj = 0.0;
        for (int32_t g = 0; g < m.ng; ++g)
          tj += double(m.q[g + m.ng * (i - 1)]) * m.t[g + m.ng * j];
        amp += tj * x[j + m.ne * k];
      }
      EXPECT_NEAR(r.amplitudes[k], amp, 1e-5) << "state " << k;
    }
  }
};

std::string heap_line() {
  const std::string v = std::to_string(heap_info.peak);
  return " Maximum heap used: " + std::string(11 - v.size(), ' ') + v;
}

TEST_F(SpectrNewTest, WindowSelectsInitialStatesAndStoreServesTheSecondCall) {
  const Model m = model({-1.0f, -0.5f, 0.25f});
  const Result r = run(m);
  EXPECT_EQ(blocks_written(), 1);  // only the lowest state lies within 1.0E-6
  EXPECT_EQ(records(unit_contents(6)).back(), heap_line());
  EXPECT_NE(unit_contents(6).find(" Data calculated and stored on file98 "), std::string::npos);
  expect_spectrum(m, 1, r);

  // Same excited label again: the reduction comes from the store, and the
  // spectrum block is the same, record for record.
  const std::string first_block = unit_contents(44);
  attach_memory(6);
  attach_memory(44);
  const Result again = run(m);
  EXPECT_NE(unit_contents(6).find(" Data read from file 98 record nr.   1"), std::string::npos);
  EXPECT_EQ(unit_contents(44), first_block);
  EXPECT_EQ(again.energies, r.energies);
  EXPECT_EQ(again.amplitudes, r.amplitudes);

  // A degenerate ground level gives one block per state; the arrays keep the last.
  attach_memory(44);
  const Model deg = model({-1.0f, -1.0f, 0.25f});
  const Result r2 = run(deg);
  EXPECT_EQ(blocks_written(), 2);
  expect_spectrum(deg, 2, r2);

  // A negative window: no block, the heap line all the same.
  attach_memory(6);
  attach_memory(44);
  spectr.window = -1.0f;
  run(m);
  EXPECT_EQ(blocks_written(), 0);
  EXPECT_EQ(records(unit_contents(6)).back(), heap_line());
}

TEST_F(SpectrNewTest, OneAndNoExcitedStates) {
  Model m;
  m.ng = 2;
  m.ne = 1;
  m.q = {0.6f, 0.8f, -0.8f, 0.6f};
  m.t = {0.5f, -0.25f};
  m.hexc = {3.5f};
  m.eg = {-2.0f, 1.0f};
  const Result r = run(m);
  EXPECT_EQ(blocks_written(), 1);
  EXPECT_EQ(r.energies[0], 3.5f);
  EXPECT_EQ(r.amplitudes[0], 0.6f * 0.5f + 0.8f * -0.25f);

  // An empty excited space: an empty block, nothing computed.
  attach_memory(44);
  m.ne = 0;
  m.t.clear();
  m.hexc.clear();
  run(m);
  EXPECT_EQ(blocks_written(), 1);
  EXPECT_EQ(records(unit_contents(44)).back(), " Total intensity   0.00000");
}

}  // namespace
}  // namespace mv
