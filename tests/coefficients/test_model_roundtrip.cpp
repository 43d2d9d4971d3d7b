// Models written by the model writer, loaded pair by pair as a calculation
// loads them: the built operators are the writer's dense matrices scaled by
// the operators' factors, from the coefficient file and again from the store.
#include <string>

#include "coef_testing.h"
#include "coefficients/pairin.h"
#include "modelwriter/modelwriter.h"

namespace mv::testing {
namespace {

Dense dense(const mw::Matrix& m) {
  Dense a(static_cast<std::size_t>(m.rows), std::vector<float>(static_cast<std::size_t>(m.cols)));
  for (int i = 1; i <= m.rows; ++i) {
    for (int j = 1; j <= m.cols; ++j) a[i - 1][j - 1] = m.at(i, j);
  }
  return a;
}

// A matrix with distinct, not exactly representable entries and a few zeros.
mw::Matrix sample(int rows, int cols, float seed) {
  mw::Matrix m = mw::zeros(rows, cols);
  for (int i = 1; i <= rows; ++i) {
    for (int j = 1; j <= cols; ++j) {
      if ((i + 2 * j) % 5 == 0) continue;
      m.at(i, j) =
          seed * 0.1f * static_cast<float>(i) - 0.37f * static_cast<float>(j) + 0.013f * seed;
    }
  }
  return m;
}

// The operator tables as the command lines of the model would set them.
void set_actors(const mw::Model& m) {
  auto put = [](const std::vector<mw::Operator>& ops, int t1, int t2, int c1, int c2) {
    actor_count(t1, t2, c1, c2) = static_cast<int32_t>(ops.size());
    for (std::size_t k = 0; k < ops.size(); ++k)
      actor_factor(static_cast<int>(k + 1), t1, t2, c1, c2) = ops[k].factor;
  };
  for (int t = 1; t <= 2; ++t) {
    const mw::Side& s = t == 1 ? m.ground : m.excited;
    for (int c = 1; c <= 3; ++c) put(s.ham[c - 1], t, t, c, c);
    for (int c = 1; c <= 2; ++c) put(s.mix[c - 1], t, t, c, c + 1);
  }
  for (int l = 1; l <= 3; ++l) {
    for (int n = 1; n <= 3; ++n) put(m.trans[l - 1][n - 1], 1, 2, l, n);
  }
  cprmult.prmult = m.prmult ? 1 : 0;
}

// Loads every pair in the calculation's order and compares the three built
// operators with the writer's.
void load_and_compare(const std::vector<mw::LoadedPair>& pairs) {
  newfil(15);
  for (const mw::LoadedPair& p : pairs) {
    SCOPED_TRACE("pair " + std::to_string(p.type_bra) + std::to_string(p.conf_bra) + " => " +
                 std::to_string(p.type_ket) + std::to_string(p.conf_ket));
    int32_t hb = 0, hk = 0, tr = 0, dim_bra = p.dim_bra, dim_ket = p.dim_ket;
    pairin(hb, hk, tr, dim_bra, dim_ket, padded(p.bra, token_length), p.op,
           padded(p.ket, token_length), padded(p.fourth, token_length), p.type_bra, p.type_ket,
           p.conf_bra, p.conf_ket);
    EXPECT_EQ(dim_bra, p.dim_bra);
    EXPECT_EQ(dim_ket, p.dim_ket);
    EXPECT_EQ(expanded(tr, dim_bra, dim_ket), dense(p.trans));
    EXPECT_EQ(expanded(hb, dim_bra, dim_bra), dense(p.ham_bra));
    EXPECT_EQ(expanded(hk, dim_ket, dim_ket), dense(p.ham_ket));
  }
  EXPECT_EQ(comwarn.count, 0) << unit_contents(6);
}

mw::Model three_configuration_model() {
  mw::Model m;
  m.nconf_ground = 3;
  m.nconf_excited = 2;
  m.op = "T1U";
  m.ground.label = "A1+";  // signed: its scalar operator is written 0+
  m.ground.dim = 1;
  m.ground.mult = {1, 2, 3};
  m.excited.label = "T1";
  m.excited.dim = 3;
  m.excited.mult = {2, 4, 0};
  m.ground.ham[0] = {{sample(1, 1, 1.0f), 1.0f}};
  m.ground.ham[1] = {{sample(2, 2, 2.0f), 1.0f}, {sample(2, 2, 3.0f), 0.3f}};
  m.ground.ham[2] = {{sample(3, 3, 4.0f), -1.5f}};
  m.ground.mix[0] = {{sample(1, 2, 5.0f), 0.7f}};
  m.ground.mix[1] = {{sample(2, 3, 6.0f), 1.0f}};
  m.excited.ham[0] = {{sample(2, 2, 7.0f), 1.0f}};
  // excited configuration 2 has no multiplet terms: an all-zero Hamiltonian
  m.excited.mix[0] = {{sample(2, 4, 8.0f), 0.5f}, {sample(2, 4, 9.0f), 0.25f}};
  m.trans[0][0] = {{sample(1, 2, 10.0f), 1.0f}};
  m.trans[1][1] = {{sample(2, 4, 11.0f), 1.0f}, {sample(2, 4, 12.0f), -2.0f}};
  m.trans[2][1] = {{sample(3, 4, 13.0f), 0.9f}};
  m.style.block_rows = 2;  // operators stored in blocks of 2 x 2 at most
  m.style.block_cols = 2;
  m.style.reverse_rows = true;
  m.style.pairs_per_line = 1;
  m.style.split_add_lines = true;
  return m;
}

using ModelRoundTrip = CoefficientTest;

TEST_F(ModelRoundTrip, PairsFromTheCoefficientFileAndFromTheStore) {
  const mw::Model m = three_configuration_model();
  const mw::Files files = mw::write_model(m);
  const std::vector<mw::LoadedPair> pairs = mw::loaded_pairs(m);
  ASSERT_EQ(pairs.size(), 6u);  // three transitions, two ground and one excited mixing pair
  set_actors(m);
  attach_memory(14, files.ftn14);
  attach_memory(15, files.ftn15);
  load_and_compare(pairs);
  EXPECT_TRUE(has_record(6, "=========== PAIR  ground 3 => excite 2        3 *      4"));
  EXPECT_TRUE(has_record(6, "=========== PAIR  excite 1 => excite 2        2 *      4"));

  // The next calculation of the run reads the store file instead.
  reset_heap();
  int32_t pad = 0;
  alloc("shift", 101, pad);
  qaz.oldcowan = 1;
  rewind_unit(15);
  rewind_unit(99);
  attach_memory(14, "");  // not read again
  attach_memory(6);
  load_and_compare(pairs);
  EXPECT_TRUE(output_contains(" Cowan store will be read from file 99."));
}

TEST_F(ModelRoundTrip, FourthLabelModel) {
  mw::Model m;
  m.prmult = true;
  m.fourth = "M2";
  m.op = "E";
  m.ground.label = "B1-";
  m.ground.mult = {2, 0, 0};
  m.excited.label = "E";
  m.excited.dim = 2;
  m.excited.mult = {3, 0, 0};
  m.ground.ham[0] = {{sample(2, 2, 1.0f), 1.0f}};
  m.excited.ham[0] = {{sample(3, 3, 2.0f), 1.0f}, {sample(3, 3, 3.0f), 0.5f}};
  m.trans[0][0] = {{sample(2, 3, 4.0f), 1.0f}};
  const mw::Files files = mw::write_model(m);
  set_actors(m);
  attach_memory(14, files.ftn14);
  attach_memory(15, files.ftn15);
  load_and_compare(mw::loaded_pairs(m));
  EXPECT_EQ(mw::triad_line(m), "B1- E E M2");
}

TEST_F(ModelRoundTrip, WriterFollowsTheCalculationsLookUpAndLoadOrder) {
  mw::Model m;
  m.nconf_ground = 2;
  m.nconf_excited = 2;
  m.ground.label = "G";
  m.ground.dim = 1;
  m.ground.mult = {1, 2, 0};
  m.excited.label = "X";
  m.excited.dim = 2;
  m.excited.mult = {3, 4, 0};
  m.trans[1][0] = {{sample(2, 3, 1.0f), 1.0f}};
  m.excited.mix[0] = {{sample(3, 4, 2.0f), 1.0f}};  // no ground mixing: that pair is not loaded

  std::vector<std::string> entries;
  for (const mw::Irrep& e : mw::irrep_entries(m)) {
    entries.push_back(e.kind + " " + e.label + " " + std::to_string(e.mult) + " " +
                      std::to_string(e.dim));
  }
  // Transition look-ups first, then neighbouring configurations of each side,
  // whether or not an operator joins them.
  EXPECT_EQ(entries, (std::vector<std::string>{"GROUND G 2 1", "EXCITE X 3 2", "GROUND G 1 1",
                                               "EXCITE G 2 1", "GROUND X 3 2", "EXCITE X 4 2"}));
  std::vector<std::string> order;
  for (const mw::LoadedPair& p : mw::loaded_pairs(m)) {
    order.push_back(std::to_string(p.type_bra) + std::to_string(p.conf_bra) +
                    std::to_string(p.type_ket) + std::to_string(p.conf_ket));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"1221", "2122"}));
  EXPECT_EQ(mw::command_lines(m), "NCONF 2 2\nXMIX 1 1 1 2 1 2\nXTRAN 1 1 1 2 1\n");
  EXPECT_EQ(mw::scalar_operator("A1+"), "0+");
  EXPECT_EQ(mw::scalar_operator("A1"), "0");
}

}  // namespace
}  // namespace mv::testing
