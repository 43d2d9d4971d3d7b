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

#include "modelwriter/example_models.h"
#include "modelwriter/modelwriter.h"

namespace {

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
  mw::Model m = mw::charge_transfer_example();
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
