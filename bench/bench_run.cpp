// Whole runs of the executable on a generated charge-transfer absorption
// model with NG = NE = 2000 basis states (reading, assembly, the ground
// diagonalisation, the excited reduction and the spectrum), at 1 and 2
// threads, against two single-thread OpenBLAS ssyevd of the same order: the
// two diagonalisations a run needs, done by the library. The three take
// turns; the best of each is printed with its ratio to the library's.
//   bench_run [--turns K] [--levels N2 N3] [--work-array CELLS] [--keep]
// default: 2 turns, 37 x 6 levels (NG = NE = 2000), the default work array;
// NG = NE = 5000 needs --levels 37 16 --work-array 400000000 or so.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "model_patterns.h"
#include "modelwriter/modelwriter.h"

extern "C" {
void ssyevd_(const char* jobz, const char* uplo, const int* n, float* a, const int* lda, float* w,
             float* work, const int* lwork, int* iwork, const int* liwork, int* info, std::size_t,
             std::size_t);
void openblas_set_num_threads(int);
}

namespace {

namespace fs = std::filesystem;
using bench::pattern;
using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

mw::Matrix symmetric(int n, float scale, int seed) {
  mw::Matrix a = pattern(n, n, scale, seed);
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j < i; ++j) a.at(i, j) = a.at(j, i);
  return a;
}

// 2 + 6·N2 + 8·N2·N3 states on each side.
mw::Model model() {
  return bench::band_model({{2, 6, 8}, 1.0f, 2.0f}, {{2, 6, 8}, 1.2f, 2.0f}, symmetric);
}

void put(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

std::string work_array;  // " --work-array CELLS" when asked for

double whole_run(const fs::path& dir, int threads) {
  const std::string cmd = "cd '" + dir.string() + "' && rm -f FTN98 FTN99 && '" + MORVEX7_EXE +
                          "' --threads " + std::to_string(threads) + work_array +
                          " >log.txt 2>stop.txt";
  const auto t0 = clock_type::now();
  const int raw = std::system(cmd.c_str());
  const double s = seconds_since(t0);
  if (!WIFEXITED(raw) || WEXITSTATUS(raw) != 0) {
    std::fprintf(stderr, "morvex7 failed in %s\n", dir.c_str());
    std::exit(1);
  }
  return s;
}

double two_ssyevd(int n) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> a0(std::size_t(n) * n), w(n);
  for (int j = 0; j < n; ++j)
    for (int i = j; i < n; ++i) a0[i + std::size_t(j) * n] = a0[j + std::size_t(i) * n] = u(rng);
  int info = 0, lwork = -1, liwork = -1, iw = 0;
  float wq = 0.0f;
  std::vector<float> a = a0;
  ssyevd_("V", "L", &n, a.data(), &n, w.data(), &wq, &lwork, &iw, &liwork, &info, 1, 1);
  lwork = static_cast<int>(wq) + 1;
  liwork = iw;
  std::vector<float> work(lwork);
  std::vector<int> iwork(liwork);
  double s = 0.0;
  for (int k = 0; k < 2; ++k) {
    a = a0;
    const auto t0 = clock_type::now();
    ssyevd_("V", "L", &n, a.data(), &n, w.data(), work.data(), &lwork, iwork.data(), &liwork, &info,
            1, 1);
    s += seconds_since(t0);
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  openblas_set_num_threads(1);
  int turns = 2, n2 = 37, n3 = 6;
  bool keep = false;  // leave the model's directory, for a profiler or a timer
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--keep") {
      keep = true;
    } else if (arg == "--turns" && i + 1 < argc) {
      turns = std::atoi(argv[++i]);
    } else if (arg == "--work-array" && i + 1 < argc) {
      work_array = std::string(" --work-array ") + argv[++i];
    } else if (arg == "--levels" && i + 2 < argc) {
      n2 = std::atoi(argv[++i]);
      n3 = std::atoi(argv[++i]);
    }
  }
  const int n = 2 + 6 * n2 + 8 * n2 * n3;
  const fs::path dir =
      fs::temp_directory_path() / ("morvex7_bench_run_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const mw::Model m = model();
  const mw::Files f = mw::write_model(m);
  put(dir / "FTN14", f.ftn14);
  put(dir / "FTN15", f.ftn15);
  put(dir / "fort.50", mw::command_lines(m) + "N2 " + std::to_string(n2) + " N3 " +
                           std::to_string(n3) +
                           " W 3.0\nEG2 2.0 EG3 5.0 EF1 10.0 EF2 8.0 EF3 7.0\nTRIADS\n" +
                           mw::triad_line(m) + "\nENDTRIADS\n");
  double one = 1e30, two = 1e30, lib = 1e30;
  for (int t = 0; t < turns; ++t) {
    one = std::min(one, whole_run(dir, 1));
    two = std::min(two, whole_run(dir, 2));
    lib = std::min(lib, two_ssyevd(n));
  }
  std::printf("absorption run, NG = NE = %d (best of %d turns)\n", n, turns);
  std::printf("  1 thread      %8.2f s  %6.2fx two single-thread ssyevd\n", one, one / lib);
  std::printf("  2 threads     %8.2f s  %6.2fx two single-thread ssyevd\n", two, two / lib);
  std::printf("  two ssyevd    %8.2f s\n", lib);
  std::printf("  2 threads vs 1: %.2fx faster\n", one / two);
  if (keep) {
    std::printf("  model left in %s\n", dir.c_str());
  } else {
    fs::remove_all(dir);
  }
}
