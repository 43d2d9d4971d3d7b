// Whole runs of the executable on a generated charge-transfer model with
// about 1500 ground and 1500 excited basis states: reading, assembly, the
// ground diagonalisation, the tridiagonal reduction and the spectrum.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "modelwriter/modelwriter.h"

namespace {

namespace fs = std::filesystem;

mw::Matrix pattern(int n, int m, float scale, int seed) {
  mw::Matrix a = mw::zeros(n, m);
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= m; ++j) {
      const int h = (i * 7919 + j * 104729 + seed * 31) % 97;
      a.at(i, j) = scale * (static_cast<float>(h) / 97.0f - 0.5f);
    }
  }
  return a;
}

mw::Matrix symmetric(int n, float scale, int seed) {
  mw::Matrix a = pattern(n, n, scale, seed);
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j < i; ++j) a.at(i, j) = a.at(j, i);
  return a;
}

mw::Model model() {
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
    m.ground.ham[c] = {{symmetric(m.ground.mult[c], 1.0f, c + 1), 1.0f}};
    m.excited.ham[c] = {{symmetric(m.excited.mult[c], 1.2f, c + 11), 1.0f}};
    m.trans[c][c] = {{pattern(m.ground.mult[c], m.excited.mult[c], 1.0f, c + 21), 1.0f}};
  }
  m.ground.mix[0] = {{pattern(3, 6, 2.0f, 31), 1.0f}};
  m.ground.mix[1] = {{pattern(6, 8, 2.0f, 32), 1.0f}};
  m.excited.mix[0] = {{pattern(3, 6, 2.0f, 41), 1.0f}};
  m.excited.mix[1] = {{pattern(6, 8, 2.0f, 42), 1.0f}};
  return m;
}

void put(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

void BM_WholeRun(benchmark::State& state) {
  const fs::path dir =
      fs::temp_directory_path() / ("morvex7_bench_run_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const mw::Model m = model();
  const mw::Files f = mw::write_model(m);
  put(dir / "FTN14", f.ftn14);
  put(dir / "FTN15", f.ftn15);
  put(dir / "fort.50", mw::command_lines(m) +
                           "N2 12 N3 15 W 3.0\nEG2 2.0 EG3 5.0 EF1 10.0 EF2 8.0 EF3 7.0\nTRIADS\n" +
                           mw::triad_line(m) + "\nENDTRIADS\n");
  const std::string cmd =
      "cd '" + dir.string() + "' && rm -f FTN98 FTN99 && '" + MORVEX7_EXE + "' >log.txt 2>stop.txt";
  for (auto _ : state) {
    const int raw = std::system(cmd.c_str());
    if (!WIFEXITED(raw) || WEXITSTATUS(raw) != 0) state.SkipWithError("morvex7 failed");
  }
  fs::remove_all(dir);
}
BENCHMARK(BM_WholeRun)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
