// Whole resonant-Auger runs of the executable on a generated model: NOG
// ground states, NOA intermediate and NOB continuum states, NOMEGA + 1 photon
// energies, with a work array of 200,000,000 cells. Times one and two threads, the two taking
// turns, and checks that both wrote the same bytes.
//   bench_auger [--turns T] [--size NOG NOA NOB] [--nomega N] [--keep]
// default 1000 1000 500, NOMEGA 20; --keep leaves the model's directory.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "modelwriter/modelwriter.h"

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

float smooth(int i, int j, int seed) {
  const int h = (i * 7919 + j * 104729 + seed * 31) % 97;
  return static_cast<float>(h) / 97.0f - 0.5f;
}

// One ground and one excited configuration. Ground: distinct levels 0.01 apart
// with a weak mixing. Excited: intermediate states (channel 0) a little apart,
// weakly mixed, and continuum states of channel 1 (energies near 1000) coupled
// to them.
mw::Model model(int nog, int noa, int nob) {
  mw::Model m;
  m.op = "T1U";
  m.ground.label = "A1G";
  m.ground.mult = {nog, 0, 0};
  m.excited.label = "T1U";
  m.excited.mult = {noa + nob, 0, 0};
  mw::Matrix g = mw::zeros(nog, nog);
  for (int i = 1; i <= nog; ++i) {
    g.at(i, i) = 0.01f * static_cast<float>(i - 1);
    if (i > 1) g.at(i, i - 1) = g.at(i - 1, i) = 0.001f * smooth(i, i - 1, 1);
  }
  m.ground.ham[0] = {{g, 1.0f}};
  mw::Matrix h = mw::zeros(noa + nob, noa + nob);
  for (int a = 1; a <= noa; ++a) {
    h.at(a, a) = 0.02f * static_cast<float>(a - 1);
    for (int b = 1; b < a; ++b) h.at(a, b) = h.at(b, a) = 0.002f * smooth(a, b, 2);
  }
  for (int b = 1; b <= nob; ++b) {
    const int s = noa + b;
    h.at(s, s) = 1000.0f - 2.0f + 0.01f * static_cast<float>(b - 1);
    for (int a = 1; a <= noa; ++a) h.at(a, s) = h.at(s, a) = 0.05f * smooth(a, b, 3);
  }
  m.excited.ham[0] = {{h, 1.0f}};
  mw::Matrix t = mw::zeros(nog, noa + nob);
  for (int i = 1; i <= nog; ++i)
    for (int f = 1; f <= noa + nob; ++f) t.at(i, f) = smooth(i, f, 4);
  m.trans[0][0] = {{t, 1.0f}};
  return m;
}

std::string commands(const mw::Model& m, int nomega) {
  std::ostringstream c;
  c << mw::command_lines(m) << "N2 1 N3 1 W 0.0 DIP 1.0\n"
    << "AUGER\n NOMEGA " << nomega << " ESTART -1.0 ESTEP 0.1\n GAMMA 0.1\n NO 1 DIP 3.6878178\n"
    << " DEF EF1 = 2.0UNITY\nENDAUGER\nTRIADS\n"
    << mw::triad_line(m) << "\nENDTRIADS\n";
  return c.str();
}

void put(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

std::string get(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

double whole_run(const fs::path& dir, int threads) {
  const std::string cmd = "cd '" + dir.string() + "' && rm -f FTN98 FTN99 && '" + MORVEX7_EXE +
                          "' --threads " + std::to_string(threads) +
                          " --work-array 200000000 >log.txt 2>stop.txt";
  const auto t0 = clock_type::now();
  const int raw = std::system(cmd.c_str());
  const double s = std::chrono::duration<double>(clock_type::now() - t0).count();
  if (!WIFEXITED(raw) || WEXITSTATUS(raw) != 0) {
    std::fprintf(stderr, "morvex7 failed in %s\n", dir.c_str());
    std::exit(1);
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  bool keep = false;  // leave the model's directory for a profiler
  int turns = 2, nog = 1000, noa = 1000, nob = 500, nomega = 20;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--turns" && i + 1 < argc) {
      turns = std::atoi(argv[++i]);
    } else if (arg == "--size" && i + 3 < argc) {
      nog = std::atoi(argv[++i]);
      noa = std::atoi(argv[++i]);
      nob = std::atoi(argv[++i]);
    } else if (arg == "--keep") {
      keep = true;
    } else if (arg == "--nomega" && i + 1 < argc) {
      nomega = std::atoi(argv[++i]);
    }
  }
  const fs::path dir =
      fs::temp_directory_path() / ("morvex7_bench_auger_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const mw::Model m = model(nog, noa, nob);
  const mw::Files f = mw::write_model(m);
  put(dir / "FTN14", f.ftn14);
  put(dir / "FTN15", f.ftn15);
  put(dir / "fort.50", commands(m, nomega));
  double one = 1e30, two = 1e30;
  std::string spectrum_one, spectrum_two;
  for (int t = 0; t < turns; ++t) {
    one = std::min(one, whole_run(dir, 1));
    spectrum_one = get(dir / "fort.44") + get(dir / "fort.62") + get(dir / "log.txt");
    two = std::min(two, whole_run(dir, 2));
    spectrum_two = get(dir / "fort.44") + get(dir / "fort.62") + get(dir / "log.txt");
  }
  const std::string log = get(dir / "log.txt");
  const std::size_t sizes = log.find(" nog=");
  std::printf(
      "Auger run, NOMEGA = %d (best of %d turns):%s\n", nomega, turns,
      sizes == std::string::npos ? "" : log.substr(sizes, log.find('\n', sizes) - sizes).c_str());
  std::printf("  1 thread      %8.2f s\n", one);
  std::printf("  2 threads     %8.2f s\n", two);
  std::printf("  2 threads vs 1: %.2fx faster; outputs %s\n", one / two,
              spectrum_one == spectrum_two ? "identical" : "DIFFER");
  if (keep) {
    std::printf("  model left in %s\n", dir.c_str());
  } else {
    fs::remove_all(dir);
  }
}
