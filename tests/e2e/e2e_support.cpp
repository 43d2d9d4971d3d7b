#include "e2e_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace e2e {
namespace fs = std::filesystem;

RunDir::RunDir(const std::string& name) {
  path_ = (fs::temp_directory_path() / ("morvex7_e2e_" + name + "_" + std::to_string(::getpid())))
              .string();
  fs::remove_all(path_);
  fs::create_directories(path_);
}

RunDir::~RunDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void RunDir::put(const std::string& file, const std::string& text) const {
  std::ofstream(path_ + "/" + file, std::ios::binary) << text;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string example_file(const std::string& example, const std::string& file) {
  return read_file((fs::path(MORVEX7_SOURCE_DIR) / "examples" / example / file).string());
}

void put_example(const RunDir& dir, const std::string& example) {
  for (const char* f : {"fort.50", "FTN14", "FTN15"}) dir.put(f, example_file(example, f));
}

std::string RunDir::get(const std::string& file) const {
  std::ifstream f(path_ + "/" + file, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool RunDir::exists(const std::string& file) const { return fs::exists(path_ + "/" + file); }

RunResult RunDir::run(const std::string& args) const {
  const std::string cmd = "cd '" + path_ + "' && '" + std::string(MORVEX7_EXE) + "' " + args +
                          " >stdout.txt 2>stderr.txt </dev/null";
  int raw = std::system(cmd.c_str());
  RunResult r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = get("stdout.txt");
  r.err = get("stderr.txt");
  return r;
}

std::string thread_count_difference(const RunDir& dir) {
  std::map<std::string, std::string> first;
  for (int t : {1, 2, 3, 7}) {
    const std::string threads = std::to_string(t);
    const RunDir copy(fs::path(dir.path()).filename().string() + "_t" + threads);
    for (const char* input : {"fort.50", "FTN14", "FTN15"}) copy.put(input, dir.get(input));
    const RunResult r = copy.run("--threads " + threads);
    if (r.status != 0) return "status " + std::to_string(r.status) + " at " + threads + " threads";
    std::map<std::string, std::string> outputs;
    for (const auto& entry : fs::directory_iterator(copy.path())) {
      const std::string name = entry.path().filename().string();
      outputs[name] = copy.get(name);
    }
    if (t == 1) {
      first = std::move(outputs);
      continue;
    }
    for (const auto& [name, bytes] : first) {
      const auto it = outputs.find(name);
      if (it == outputs.end() || it->second != bytes) return name + " at " + threads + " threads";
    }
    if (outputs.size() != first.size()) return "the list of files at " + threads + " threads";
  }
  return "";
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream s(text);
  std::string line;
  while (std::getline(s, line)) out.push_back(line);
  return out;
}

std::string line_with(const std::string& text, const std::string& key) {
  for (const std::string& l : lines(text)) {
    if (l.find(key) != std::string::npos) return l;
  }
  return {};
}

namespace {

std::vector<float> fields(const std::string& s, std::size_t from, std::size_t width) {
  std::vector<float> out;
  for (std::size_t p = from; p + width <= s.size(); p += width) {
    out.push_back(std::stof(s.substr(p, width)));
  }
  return out;
}

}  // namespace

std::vector<SpectrumBlock> spectrum_blocks(const std::string& fort44) {
  std::vector<SpectrumBlock> blocks;
  const std::vector<std::string> ls = lines(fort44);
  for (std::size_t i = 0; i < ls.size(); ++i) {
    if (ls[i].rfind(" TRANSFORMED MATRIX FOR TRIAD ( ", 0) != 0) continue;
    SpectrumBlock b;
    b.header = ls[i];
    std::size_t j = i + 1;
    for (; j + 1 < ls.size() && ls[j].rfind(" BRA/KET :", 0) == 0; j += 2) {
      for (float e : fields(ls[j], 10, 10)) b.energies.push_back(e);
      b.bra = std::stof(ls[j + 1].substr(0, 9));
      for (float v : fields(ls[j + 1], 10, 10)) b.values.push_back(v);
    }
    if (j < ls.size() && ls[j].rfind(" Total intensity ", 0) == 0) {
      b.total = std::stof(ls[j].substr(17));
    }
    blocks.push_back(b);
    i = j;
  }
  return blocks;
}

void jacobi(const Dense& h, std::vector<double>& values, std::vector<double>& vectors) {
  const int n = h.n;
  Dense a = h;
  Dense v;
  v.n = n;
  v.a.assign(static_cast<std::size_t>(n) * n, 0.0);
  for (int i = 0; i < n; ++i) v.at(i, i) = 1.0;
  for (int sweep = 0; sweep < 100; ++sweep) {
    double off = 0.0;
    for (int p = 0; p < n; ++p)
      for (int q = p + 1; q < n; ++q) off += a.at(p, q) * a.at(p, q);
    if (off < 1e-30) break;
    for (int p = 0; p < n; ++p) {
      for (int q = p + 1; q < n; ++q) {
        if (std::fabs(a.at(p, q)) < 1e-300) continue;
        const double theta = (a.at(q, q) - a.at(p, p)) / (2.0 * a.at(p, q));
        const double t =
            (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
        for (int k = 0; k < n; ++k) {
          const double akp = a.at(k, p), akq = a.at(k, q);
          a.at(k, p) = c * akp - s * akq;
          a.at(k, q) = s * akp + c * akq;
        }
        for (int k = 0; k < n; ++k) {
          const double apk = a.at(p, k), aqk = a.at(q, k);
          a.at(p, k) = c * apk - s * aqk;
          a.at(q, k) = s * apk + c * aqk;
        }
        for (int k = 0; k < n; ++k) {
          const double vkp = v.at(k, p), vkq = v.at(k, q);
          v.at(k, p) = c * vkp - s * vkq;
          v.at(k, q) = s * vkp + c * vkq;
        }
      }
    }
  }
  std::vector<int> idx(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) idx[static_cast<std::size_t>(i)] = i;
  std::stable_sort(idx.begin(), idx.end(), [&](int x, int y) { return a.at(x, x) < a.at(y, y); });
  values.resize(static_cast<std::size_t>(n));
  vectors.assign(static_cast<std::size_t>(n) * n, 0.0);
  for (int k = 0; k < n; ++k) {
    const int s = idx[static_cast<std::size_t>(k)];
    values[static_cast<std::size_t>(k)] = a.at(s, s);
    for (int i = 0; i < n; ++i) vectors[static_cast<std::size_t>(i + k * n)] = v.at(i, s);
  }
}

void band_levels(int n, double w, std::vector<double>& x, std::vector<double>& h) {
  x.assign(static_cast<std::size_t>(n), 0.0);
  h.assign(static_cast<std::size_t>(n), 0.0);
  if (w == 0.0) {
    if (n != 1) throw std::invalid_argument("W = 0 needs one level");
    h[0] = 1.0;
    return;
  }
  const double pi = 3.14159265358979323846;
  std::vector<double> wt(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    double z = std::cos(pi * (i + 0.75) / (n + 0.5)), pp = 0.0;
    for (int it = 0; it < 100; ++it) {
      double p1 = 1.0, p2 = 0.0;
      for (int j = 1; j <= n; ++j) {
        const double p3 = p2;
        p2 = p1;
        p1 = ((2.0 * j - 1.0) * z * p2 - (j - 1.0) * p3) / j;
      }
      pp = n * (z * p1 - p2) / (z * z - 1.0);
      const double z1 = z;
      z = z1 - p1 / pp;
      if (std::fabs(z - z1) < 1e-15) break;
    }
    x[static_cast<std::size_t>(i)] = -0.5 * w * z;
    wt[static_cast<std::size_t>(i)] = 2.0 * (0.5 * w) / ((1.0 - z * z) * pp * pp);
  }
  for (int i = 0; i < n; ++i)
    h[static_cast<std::size_t>(i)] = std::sqrt(wt[static_cast<std::size_t>(i)] / w);
}

namespace {

// Basis of one side: per state its configuration and band levels.
struct State {
  int conf, k2, k3, local;
};

std::vector<State> basis(const mw::Side& s, int nconf, const Band& b) {
  std::vector<State> out;
  for (int i = 0; i < s.mult[0]; ++i) out.push_back({1, 0, 0, i});
  if (nconf < 2) return out;
  for (int k2 = 0; k2 < b.n2; ++k2) {
    for (int i = 0; i < s.mult[1]; ++i) out.push_back({2, k2, 0, i});
    if (nconf < 3) continue;
    for (int k3 = 0; k3 < b.n3; ++k3)
      for (int i = 0; i < s.mult[2]; ++i) out.push_back({3, k2, k3, i});
  }
  return out;
}

Dense hamiltonian(const mw::Side& s, int nconf, const Band& b, const double* e,
                  const std::vector<State>& st) {
  std::vector<double> x2, h2, x3, h3;
  if (nconf > 1) band_levels(b.n2, b.w, x2, h2);
  if (nconf > 2) band_levels(b.n3, b.w, x3, h3);
  const double rs = 1.0 / std::sqrt(double(s.dim));
  Dense h;
  h.n = static_cast<int>(st.size());
  h.a.assign(static_cast<std::size_t>(h.n) * h.n, 0.0);
  std::array<mw::Matrix, 3> hc;
  for (int c = 0; c < 3; ++c) hc[c] = mw::combined(s.ham[c], s.mult[c], s.mult[c]);
  const mw::Matrix v12 = mw::combined(s.mix[0], s.mult[0], s.mult[1]);
  const mw::Matrix v23 = mw::combined(s.mix[1], s.mult[1], s.mult[2]);
  for (int i = 0; i < h.n; ++i) {
    for (int j = 0; j < h.n; ++j) {
      const State &p = st[i], &q = st[j];
      double v = 0.0;
      if (p.conf == q.conf && p.k2 == q.k2 && p.k3 == q.k3) {
        v = rs * hc[p.conf - 1].at(p.local + 1, q.local + 1);
        if (i == j) {
          v += e[p.conf - 1];
          if (p.conf >= 2) v += x2[p.k2];
          if (p.conf == 3) v += x3[p.k3];
        }
      } else if (p.conf == 1 && q.conf == 2) {
        v = rs * h2[q.k2] * v12.at(p.local + 1, q.local + 1);
      } else if (p.conf == 2 && q.conf == 1) {
        v = rs * h2[p.k2] * v12.at(q.local + 1, p.local + 1);
      } else if (p.conf == 2 && q.conf == 3 && p.k2 == q.k2) {
        v = rs * h3[q.k3] * v23.at(p.local + 1, q.local + 1);
      } else if (p.conf == 3 && q.conf == 2 && p.k2 == q.k2) {
        v = rs * h3[p.k3] * v23.at(q.local + 1, p.local + 1);
      }
      h.at(i, j) = v;
    }
  }
  return h;
}

}  // namespace

Reference reference(const mw::Model& m, const Band& b) {
  Reference r;
  const auto sg = basis(m.ground, m.nconf_ground, b);
  const auto se = basis(m.excited, m.nconf_excited, b);
  r.hg = hamiltonian(m.ground, m.nconf_ground, b, b.eg, sg);
  r.he = hamiltonian(m.excited, m.nconf_excited, b, b.ef, se);
  r.ng = r.hg.n;
  r.ne = r.he.n;
  r.t.assign(static_cast<std::size_t>(r.ng) * r.ne, 0.0);
  for (int i = 0; i < r.ng; ++i) {
    for (int j = 0; j < r.ne; ++j) {
      const State &p = sg[i], &q = se[j];
      const auto& ops = m.trans[p.conf - 1][q.conf - 1];
      if (ops.empty()) continue;
      const bool same = (std::min(p.conf, q.conf) < 2 || p.k2 == q.k2) &&
                        (std::min(p.conf, q.conf) < 3 || p.k3 == q.k3);
      if (!same) continue;
      const mw::Matrix t = mw::combined(ops, m.ground.mult[p.conf - 1], m.excited.mult[q.conf - 1]);
      r.t[static_cast<std::size_t>(i + j * r.ng)] = b.dip * t.at(p.local + 1, q.local + 1);
    }
  }
  return r;
}

}  // namespace e2e
