// make_fuzz_seeds DIR: writes seed inputs for the fuzzing harness into
// DIR/coefficients and DIR/recipes: the base model of tests/fuzz/base (the
// charge-transfer example, as tools/modelwriter's make_examples writes it) in
// the other layouts the model writer knows, which the engine must read alike
// (row records one pair to a line or five, rows last to first, no foreign text
// between matrices, ADD lines continued on a second line). Each file fits the
// base's other files, so a fuzzed copy still reaches the calculation.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "modelwriter/modelwriter.h"

namespace {

// The charge-transfer example's model (tools/modelwriter/main_make_examples.cpp).
mw::Model base_model() {
  mw::Model m;
  m.nconf_ground = 3;
  m.nconf_excited = 3;
  m.op = "T1U";
  m.ground.label = "A1G";
  m.ground.dim = 1;
  m.ground.mult = {1, 2, 2};
  m.ground.ham[1] = {{mw::matrix(2, 2, {-0.8f, 0.0f, 0.0f, 1.2f}), 1.0f}};
  m.ground.ham[2] = {{mw::matrix(2, 2, {-0.6f, 0.2f, 0.2f, 0.9f}), 1.0f}};
  m.ground.mix[0] = {{mw::matrix(1, 2, {2.2f, 1.6f}), 1.0f}};
  m.ground.mix[1] = {{mw::matrix(2, 2, {1.8f, 0.3f, 0.3f, 1.4f}), 1.0f}};
  m.excited.label = "T1U";
  m.excited.dim = 3;
  m.excited.mult = {3, 3, 2};
  m.excited.ham[0] = {
      {mw::matrix(3, 3, {-1.5f, 0.4f, 0.0f, 0.4f, 0.5f, 0.3f, 0.0f, 0.3f, 4.0f}), 1.0f},
      {mw::matrix(3, 3, {1.0f, 0.0f, 0.0f, 0.0f, -0.5f, 0.0f, 0.0f, 0.0f, -0.5f}), 0.6f}};
  m.excited.ham[1] = {
      {mw::matrix(3, 3, {-1.0f, 0.2f, 0.1f, 0.2f, 0.7f, 0.0f, 0.1f, 0.0f, 2.5f}), 1.0f}};
  m.excited.ham[2] = {{mw::matrix(2, 2, {-0.5f, 0.1f, 0.1f, 1.0f}), 1.0f}};
  m.excited.mix[0] = {
      {mw::matrix(3, 3, {2.0f, 0.5f, 0.0f, 0.4f, 1.8f, 0.3f, 0.0f, 0.2f, 1.5f}), 1.0f}};
  m.excited.mix[1] = {{mw::matrix(3, 2, {1.6f, 0.2f, 0.3f, 1.4f, 0.1f, 0.9f}), 1.0f}};
  m.trans[0][0] = {{mw::matrix(1, 3, {1.0f, 0.8f, 0.4f}), 1.0f}};
  m.trans[1][1] = {{mw::matrix(2, 3, {0.9f, 0.3f, 0.1f, 0.2f, 0.7f, 0.5f}), 1.0f}};
  m.trans[2][2] = {{mw::matrix(2, 2, {0.8f, 0.2f, 0.1f, 0.6f}), 1.0f}};
  return m;
}

bool put(const std::filesystem::path& p, const std::string& text) {
  std::ofstream f(p, std::ios::binary);
  f << text;
  return static_cast<bool>(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_seeds DIR\n");
    return 2;
  }
  const std::filesystem::path root = argv[1];
  std::filesystem::create_directories(root / "coefficients");
  std::filesystem::create_directories(root / "recipes");
  mw::Model m = base_model();
  bool ok = true;
  struct Variant {
    const char* name;
    mw::Style style;
  };
  const Variant coefficient_variants[] = {
      {"one_pair_per_line", {.pairs_per_line = 1}},
      {"five_pairs_per_line_plain", {.pairs_per_line = 5, .foreign_text = false}},
      {"rows_reversed", {.reverse_rows = true}},
  };
  for (const Variant& v : coefficient_variants) {
    m.style = v.style;
    ok = ok && put(root / "coefficients" / (std::string("model_") + v.name + ".14"),
                   mw::write_model(m).ftn14);
  }
  m.style = {.split_add_lines = true};
  ok = ok && put(root / "recipes" / "model_split_add_lines.15", mw::write_model(m).ftn15);
  m.style = {};
  const mw::Files plain = mw::write_model(m);
  ok = ok && put(root / "coefficients" / "model_base.14", plain.ftn14) &&
       put(root / "recipes" / "model_base.15", plain.ftn15);
  if (!ok) {
    std::fprintf(stderr, "make_fuzz_seeds: cannot write into %s\n", argv[1]);
    return 1;
  }
  return 0;
}
