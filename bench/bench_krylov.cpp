// The absorption spectrum of a large core-hole space, exact and from a Krylov
// subspace (KRYLOV n), as whole runs of the executable side by side: CPU
// seconds, wall seconds and peak memory of each run (its own rusage), and how
// well the Krylov spectrum keeps the exact one's total intensity, centre and
// width. The model is generated: a small ground space (4 + 8·N2 + 8·N2·N3
// states) and a core-hole space of 40 + 80·N2 + 80·N2·N3 states whose
// configuration blocks are dense 40- and 80-state multiplets, so the sparse
// Hamiltonian has about 100 elements per row.
//   bench_krylov [--levels N2 N3] [--steps n1,n2,...] [--no-exact] [--threads T] [--keep]
// default: 12 x 12 levels (NE = 12 520, NG = 1 252), steps 200 and 500, one thread.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "model_patterns.h"
#include "modelwriter/modelwriter.h"

namespace {

namespace fs = std::filesystem;
using bench::pattern;

// A multiplet: a spread diagonal and weaker couplings.
mw::Matrix symmetric(int n, float scale, int seed) {
  mw::Matrix a = pattern(n, n, 0.2f * scale, seed);
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j < i; ++j) a.at(i, j) = a.at(j, i);
    a.at(i, i) = scale * (static_cast<float>(i) / static_cast<float>(n) - 0.5f);
  }
  return a;
}

mw::Model model() {
  return bench::band_model({{4, 8, 8}, 1.0f, 2.0f}, {{40, 80, 80}, 6.0f, 0.5f}, symmetric);
}

void put(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

struct Run {
  double cpu = 0.0, wall = 0.0, peak_mb = 0.0;
};

// morvex7 in dir, its log in log.txt; the child's own CPU time and peak memory.
Run run(const fs::path& dir, int threads) {
  fs::remove(dir / "FTN98");
  fs::remove(dir / "FTN99");
  std::fflush(stdout);  // the child must not write this process's buffered lines again
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    std::freopen("log.txt", "w", stdout);
    std::freopen("stop.txt", "w", stderr);
    const std::string t = std::to_string(threads);
    execl(MORVEX7_EXE, MORVEX7_EXE, "--threads", t.c_str(), "--work-array", "400000000",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  Run r;
  r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "morvex7 failed in %s (see log.txt there)\n", dir.c_str());
    std::exit(1);
  }
  r.cpu = double(ru.ru_utime.tv_sec) + double(ru.ru_stime.tv_sec) +
          1e-6 * double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
  r.peak_mb = double(ru.ru_maxrss) / 1024.0;
  return r;
}

// Σa², the centre Σa²E/Σa² and the width of the first spectrum block of fort.44.
struct Moments {
  int lines = 0;
  double total = 0.0, centre = 0.0, width = 0.0;
};
Moments moments(const fs::path& fort44) {
  std::ifstream in(fort44);
  std::string line;
  std::vector<double> e, a;
  bool inside = false;
  while (std::getline(in, line)) {
    if (line.rfind(" TRANSFORMED MATRIX", 0) == 0) {
      if (inside) break;
      inside = true;
      continue;
    }
    if (!inside) continue;
    if (line.rfind(" Total intensity", 0) == 0) break;
    std::istringstream s(line.substr(10));
    std::vector<double>& to = line.rfind(" BRA/KET :", 0) == 0 ? e : a;
    for (double x; s >> x;) to.push_back(x);
  }
  Moments m;
  m.lines = static_cast<int>(e.size());
  double s1 = 0.0, s2 = 0.0;
  for (std::size_t k = 0; k < e.size() && k < a.size(); ++k) {
    m.total += a[k] * a[k];
    s1 += a[k] * a[k] * e[k];
    s2 += a[k] * a[k] * e[k] * e[k];
  }
  m.centre = s1 / m.total;
  m.width = std::sqrt(std::max(0.0, s2 / m.total - m.centre * m.centre));
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  int n2 = 12, n3 = 12, threads = 1;
  std::vector<int> steps = {200, 500};
  bool exact = true, keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--levels" && i + 2 < argc) {
      n2 = std::atoi(argv[++i]);
      n3 = std::atoi(argv[++i]);
    } else if (arg == "--steps" && i + 1 < argc) {
      steps.clear();
      std::istringstream s(argv[++i]);
      for (std::string x; std::getline(s, x, ',');) steps.push_back(std::atoi(x.c_str()));
    } else if (arg == "--no-exact") {
      exact = false;
    } else if (arg == "--threads" && i + 1 < argc) {
      threads = std::atoi(argv[++i]);
    } else if (arg == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr,
                   "usage: bench_krylov [--levels N2 N3] [--steps n1,n2,...] [--no-exact] "
                   "[--threads T] [--keep]\n");
      return 2;
    }
  }
  const mw::Model m = model();
  const mw::Files f = mw::write_model(m);
  const int ng = 4 + 8 * n2 + 8 * n2 * n3, ne = 40 + 80 * n2 + 80 * n2 * n3;
  const fs::path root =
      fs::temp_directory_path() / ("morvex7_bench_krylov_" + std::to_string(::getpid()));
  std::vector<int> cases;  // 0: exact
  if (exact) cases.push_back(0);
  for (int n : steps) cases.push_back(n);
  std::printf("absorption spectrum, NG = %d, NE = %d, %d thread(s)\n", ng, ne, threads);
  std::printf("  %-14s %9s %9s %10s %6s %12s %10s %9s\n", "spectrum", "CPU s", "wall s", "peak MB",
              "lines", "intensity", "centre", "width");
  for (int n : cases) {
    const fs::path dir = root / (n == 0 ? std::string("exact") : "krylov_" + std::to_string(n));
    fs::create_directories(dir);
    put(dir / "FTN14", f.ftn14);
    put(dir / "FTN15", f.ftn15);
    const std::string krylov = n == 0 ? "" : "KRYLOV " + std::to_string(n) + "\n";
    put(dir / "fort.50", mw::command_lines(m) + "N2 " + std::to_string(n2) + " N3 " +
                             std::to_string(n3) + " W 3.0\nEG2 2.0 EG3 5.0 EF1 10.0 EF2 8.0 " +
                             "EF3 7.0\n" + krylov + "TRIADS\n" + mw::triad_line(m) +
                             "\nENDTRIADS\n");
    const Run r = run(dir, threads);
    const Moments s = moments(dir / "fort.44");
    const std::string name = n == 0 ? "exact" : "KRYLOV " + std::to_string(n);
    std::printf("  %-14s %9.2f %9.2f %10.1f %6d %12.6f %10.5f %9.5f\n", name.c_str(), r.cpu, r.wall,
                r.peak_mb, s.lines, s.total, s.centre, s.width);
    std::fflush(stdout);
  }
  if (keep) {
    std::printf("  runs left in %s\n", root.c_str());
  } else {
    fs::remove_all(root);
  }
}
