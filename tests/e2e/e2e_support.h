// Support for end-to-end tests: a scratch directory per test, a run of the
// real executable in it, readers of the result files, and an independent
// dense (double precision) construction of a model's Hamiltonians for checks.
#pragma once
#include <string>
#include <vector>

#include "modelwriter/modelwriter.h"

namespace e2e {

struct RunResult {
  int status = -1;
  std::string out, err;
};

class RunDir {
 public:
  explicit RunDir(const std::string& name);
  ~RunDir();
  void put(const std::string& file, const std::string& text) const;
  std::string get(const std::string& file) const;
  bool exists(const std::string& file) const;
  // Runs morvex7 here with the given command-line arguments.
  RunResult run(const std::string& args = "") const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs the model whose fort.50, FTN14 and FTN15 are in `dir` at 1, 2, 3 and 7
// threads, each in a fresh copy of the directory, and names the first output
// file (standard output and error included) that is not byte for byte the
// same as the one-thread run's; "" when all are.
std::string thread_count_difference(const RunDir& dir);

// One matrix block of the spectrum file.
struct SpectrumBlock {
  std::string header;
  float bra = 0.0f;
  std::vector<float> energies, values;
  float total = 0.0f;
};
std::vector<SpectrumBlock> spectrum_blocks(const std::string& fort44);

// A file's bytes ("" when it cannot be read).
std::string read_file(const std::string& path);
// One file of a shipped example, examples/<example>/<file>.
std::string example_file(const std::string& example, const std::string& file);
// Copies the example's fort.50, FTN14 and FTN15 into `dir`.
void put_example(const RunDir& dir, const std::string& example);

std::vector<std::string> lines(const std::string& text);
// The first line containing `key`, or "".
std::string line_with(const std::string& text, const std::string& key);

// Dense double-precision reference.
struct Dense {
  int n = 0;
  std::vector<double> a;  // column-major n x n
  double& at(int i, int j) { return a[static_cast<std::size_t>(i + j * n)]; }
  double at(int i, int j) const { return a[static_cast<std::size_t>(i + j * n)]; }
};
// Eigenvalues ascending; vectors column-major (column k for value k).
void jacobi(const Dense& h, std::vector<double>& values, std::vector<double>& vectors);

struct Band {
  int n2 = 1, n3 = 1;
  double w = 0.0;
  double eg[3] = {0, 0, 0}, ef[3] = {0, 0, 0};
  double dip = 1.0;
};
// Gauss–Legendre nodes on [-w/2, w/2] and square-band weights sqrt(w_i / W).
void band_levels(int n, double w, std::vector<double>& x, std::vector<double>& h);

struct Reference {
  Dense hg, he;
  std::vector<double> t;  // ng x ne, column-major
  int ng = 0, ne = 0;
};
Reference reference(const mw::Model& m, const Band& b);

}  // namespace e2e
