// Text of the coefficient and recipe files of a test model.
#include "modelwriter/modelwriter.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace mw {
namespace {

std::string number(float v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v));
  return buf;
}

std::string padded20(const std::string& s) {
  std::string p = s.substr(0, std::min<std::size_t>(20, s.size()));
  p.resize(20, ' ');
  return p;
}

void require(bool ok, const std::string& what) {
  if (!ok) throw std::invalid_argument("modelwriter: " + what);
}

// ---------------------------------------------------------------- FTN14

void write_rows(std::ostringstream& out, const Matrix& m, const Style& style) {
  const int per_line = style.pairs_per_line > 0 ? style.pairs_per_line : 1;
  for (int step = 0; step < m.rows; ++step) {
    const int i = style.reverse_rows ? m.rows - step : step + 1;
    std::vector<int> cols;
    for (int j = 1; j <= m.cols; ++j) {
      if (m.at(i, j) != 0.0f) cols.push_back(j);
    }
    if (cols.empty()) continue;
    out << ' ' << i << ' ' << cols.size();
    for (std::size_t e = 0; e < cols.size(); ++e) {
      if (e > 0 && e % static_cast<std::size_t>(per_line) == 0) out << "\n   ";
      out << "  " << cols[e] << ' ' << number(m.at(i, cols[e]));
    }
    out << '\n';
  }
}

int nonzeros(const Matrix& m) {
  int n = 0;
  for (float v : m.a) n += v != 0.0f ? 1 : 0;
  return n;
}

void write_matrix(std::ostringstream& out, const Matrix& m, int number_in_section, int section,
                  const Style& style) {
  if (style.foreign_text) {
    out << " block " << number_in_section << " of the reduced matrix elements\n";
  }
  // Five words after the RME word, then the sizes; every other matrix has its
  // sizes on a line of their own.
  out << "RME  MATRIX " << number_in_section << " IN SECTION " << section;
  out << (number_in_section % 2 == 0 ? "\n   " : "   ");
  out << m.rows << ' ' << m.cols << ' ' << nonzeros(m) << '\n';
  write_rows(out, m, style);
}

// ---------------------------------------------------------------- FTN15

void write_recipe(std::ostringstream& out, const Recipe& r, int serial, const Style& style) {
  const std::string end = r.end_label.empty() ? "RM" + std::to_string(serial) : r.end_label;
  out << "REDUCEDMATRIX " << r.kind << ' ' << r.bra << ' ' << r.op << ' ' << r.ket;
  if (!r.fourth.empty()) out << ' ' << r.fourth;
  out << ' ' << end << ' ' << r.dim_bra << ' ' << r.dim_ket << '\n';
  for (const Add& a : r.adds) {
    out << "  ADD " << a.matrix << ' ' << a.row0 << ' ' << a.col0;
    out << (style.split_add_lines ? "\n      " : " ");
    out << a.rows << ' ' << a.cols << ' ' << number(a.coefficient) << '\n';
  }
  out << "  END " << end << '\n';
}

// ---------------------------------------------------------------- models

const Side& side_of(const Model& m, int type) { return type == 1 ? m.ground : m.excited; }

int mult_of(const Model& m, int type, int conf) {
  return side_of(m, type).mult[static_cast<std::size_t>(conf - 1)];
}

void check_ops(const std::vector<Operator>& ops, int rows, int cols, const std::string& what) {
  require(ops.size() <= 10, what + ": at most 10 operators");
  for (const Operator& op : ops) {
    require(op.m.rows == rows && op.m.cols == cols &&
                op.m.a.size() == static_cast<std::size_t>(rows * cols),
            what + ": matrix of " + std::to_string(op.m.rows) + " x " + std::to_string(op.m.cols) +
                ", " + std::to_string(rows) + " x " + std::to_string(cols) + " expected");
  }
}

// Puts the operators into the section (whole or in blocks) and returns the
// recipes of one kind, one per operator.
std::vector<Recipe> store(Section& section, const std::vector<Operator>& ops, const Recipe& header,
                          const Style& style) {
  std::vector<Recipe> recipes;
  for (const Operator& op : ops) {
    Recipe r = header;
    const int br = style.block_rows > 0 ? style.block_rows : std::max(op.m.rows, 1);
    const int bc = style.block_cols > 0 ? style.block_cols : std::max(op.m.cols, 1);
    for (int r0 = 1; r0 <= op.m.rows; r0 += br) {
      for (int c0 = 1; c0 <= op.m.cols; c0 += bc) {
        const int nr = std::min(br, op.m.rows - r0 + 1), nc = std::min(bc, op.m.cols - c0 + 1);
        Matrix block = zeros(nr, nc);
        for (int i = 1; i <= nr; ++i) {
          for (int j = 1; j <= nc; ++j) block.at(i, j) = op.m.at(r0 + i - 1, c0 + j - 1);
        }
        section.matrices.push_back(block);
        r.adds.push_back({static_cast<int>(section.matrices.size()), r0, c0, nr, nc, 1.0f});
      }
    }
    recipes.push_back(r);
  }
  return recipes;
}

Recipe header(const std::string& kind, const std::string& bra, const std::string& op,
              const std::string& ket, const std::string& fourth, bool prmult, int dim_bra,
              int dim_ket) {
  Recipe r;
  r.kind = kind;
  r.bra = bra;
  r.op = op == "0" ? scalar_operator(bra) : op;
  r.ket = ket;
  r.fourth = prmult ? fourth : std::string();
  r.dim_bra = dim_bra;
  r.dim_ket = dim_ket;
  return r;
}

LoadedPair make_pair(const Model& m, int tb, int tk, int cb, int ck,
                     const std::vector<Operator>& trans_ops, const std::string& op,
                     const std::string& fourth) {
  LoadedPair p;
  p.type_bra = tb;
  p.type_ket = tk;
  p.conf_bra = cb;
  p.conf_ket = ck;
  const Side& sb = side_of(m, tb);
  const Side& sk = side_of(m, tk);
  p.bra = sb.label;
  p.ket = sk.label;
  p.op = op;
  p.fourth = fourth;
  p.dim_bra = mult_of(m, tb, cb);
  p.dim_ket = mult_of(m, tk, ck);
  const auto& hb = sb.ham[static_cast<std::size_t>(cb - 1)];
  const auto& hk = sk.ham[static_cast<std::size_t>(ck - 1)];
  check_ops(trans_ops, p.dim_bra, p.dim_ket, "transition or mixing operator");
  check_ops(hb, p.dim_bra, p.dim_bra,
            sb.label + " Hamiltonian of configuration " + std::to_string(cb));
  check_ops(hk, p.dim_ket, p.dim_ket,
            sk.label + " Hamiltonian of configuration " + std::to_string(ck));

  auto add = [&](const std::vector<Operator>& ops, const Recipe& h) {
    for (Recipe& r : store(p.section, ops, h, m.style)) p.recipes.push_back(std::move(r));
  };
  add(trans_ops, header("TRANSI", p.bra, op, p.ket, fourth, m.prmult, p.dim_bra, p.dim_ket));
  add(hb, header("GROUND", p.bra, "0", p.bra, "0", m.prmult, p.dim_bra, p.dim_bra));
  add(hk, header("EXCITE", p.ket, "0", p.ket, "0", m.prmult, p.dim_ket, p.dim_ket));
  p.trans = combined(trans_ops, p.dim_bra, p.dim_ket);
  p.ham_bra = combined(hb, p.dim_bra, p.dim_bra);
  p.ham_ket = combined(hk, p.dim_ket, p.dim_ket);
  return p;
}

std::string factors(const std::vector<Operator>& ops) {
  std::string s = std::to_string(ops.size());
  for (const Operator& op : ops) s += ' ' + number(op.factor);
  return s;
}

}  // namespace

Matrix zeros(int rows, int cols) {
  return Matrix{rows, cols,
                std::vector<float>(static_cast<std::size_t>(std::max(rows * cols, 0)), 0.0f)};
}

Matrix matrix(int rows, int cols, std::initializer_list<float> row_major) {
  require(row_major.size() == static_cast<std::size_t>(rows * cols),
          "matrix: wrong number of values");
  return Matrix{rows, cols, std::vector<float>(row_major)};
}

std::string scalar_operator(const std::string& label) {
  const std::string name = padded20(label);
  const bool signed_name =
      name.find("+ ") != std::string::npos || name.find("- ") != std::string::npos;
  return signed_name ? "0+" : "0";
}

std::string write_ftn14(const std::vector<Section>& sections, const Style& style) {
  std::ostringstream out;
  for (std::size_t s = 0; s < sections.size(); ++s) {
    const int section = static_cast<int>(s + 1);
    if (style.foreign_text) {
      out << " coupling output, section " << section << '\n';
      out << " " << sections[s].matrices.size() << " reduced matrices follow\n\n";
    }
    const auto& matrices = sections[s].matrices;
    for (std::size_t k = 0; k < matrices.size(); ++k) {
      write_matrix(out, matrices[k], static_cast<int>(k + 1), section, style);
    }
    if (style.foreign_text) out << " end of section " << section << '\n';
    out << " FINISHED\n";
  }
  return out.str();
}

std::string write_ftn15(const std::vector<Irrep>& irreps, const std::vector<Recipe>& recipes,
                        const Style& style) {
  std::ostringstream out;
  if (style.foreign_text) out << " irreducible representations in the order of use\n";
  for (const Irrep& e : irreps) {
    out << "IRREP " << e.kind << ' ' << e.label << " MULT " << e.mult << " DIM " << e.dim << '\n';
  }
  if (style.foreign_text) out << "\n recipes of the reduced matrices\n";
  int serial = 0;
  for (const Recipe& r : recipes) write_recipe(out, r, ++serial, style);
  return out.str();
}

std::vector<LoadedPair> loaded_pairs(const Model& m) {
  std::vector<LoadedPair> pairs;
  for (int l = 1; l <= m.nconf_ground; ++l) {
    for (int n = 1; n <= m.nconf_excited; ++n) {
      const auto& ops = m.trans[static_cast<std::size_t>(l - 1)][static_cast<std::size_t>(n - 1)];
      if (ops.empty()) continue;
      pairs.push_back(make_pair(m, 1, 2, l, n, ops, m.op, m.prmult ? m.fourth : std::string()));
    }
  }
  for (int type = 1; type <= 2; ++type) {
    const Side& side = side_of(m, type);
    const int nconf = type == 1 ? m.nconf_ground : m.nconf_excited;
    for (int c = 1; c < nconf && c <= 2; ++c) {
      const auto& ops = side.mix[static_cast<std::size_t>(c - 1)];
      if (ops.empty()) continue;  // nothing is loaded for a pair without operators
      pairs.push_back(make_pair(m, type, type, c, c + 1, ops, "0", "0"));
    }
  }
  return pairs;
}

std::vector<Irrep> irrep_entries(const Model& m) {
  std::vector<Irrep> e;
  const Side& g = m.ground;
  const Side& x = m.excited;
  for (int l = 1; l <= m.nconf_ground; ++l) {
    for (int n = 1; n <= m.nconf_excited; ++n) {
      if (m.trans[static_cast<std::size_t>(l - 1)][static_cast<std::size_t>(n - 1)].empty())
        continue;
      e.push_back({"GROUND", g.label, g.mult[static_cast<std::size_t>(l - 1)], g.dim});
      e.push_back({"EXCITE", x.label, x.mult[static_cast<std::size_t>(n - 1)], x.dim});
    }
  }
  // Neighbouring configurations of one side are looked up whether or not a
  // mixing operator joins them: the first as GROUND, the second as EXCITE.
  for (int type = 1; type <= 2; ++type) {
    const Side& s = side_of(m, type);
    const int nconf = type == 1 ? m.nconf_ground : m.nconf_excited;
    for (int c = 1; c < nconf; ++c) {
      e.push_back({"GROUND", s.label, s.mult[static_cast<std::size_t>(c - 1)], s.dim});
      e.push_back({"EXCITE", s.label, s.mult[static_cast<std::size_t>(c)], s.dim});
    }
  }
  return e;
}

Files write_model(const Model& m) {
  require(
      m.nconf_ground >= 1 && m.nconf_ground <= 3 && m.nconf_excited >= 1 && m.nconf_excited <= 3,
      "configurations per side must be 1 to 3");
  std::vector<Section> sections;
  std::vector<Recipe> recipes;
  for (LoadedPair& p : loaded_pairs(m)) {
    sections.push_back(std::move(p.section));
    for (Recipe& r : p.recipes) recipes.push_back(std::move(r));
  }
  return {write_ftn14(sections, m.style), write_ftn15(irrep_entries(m), recipes, m.style)};
}

std::string command_lines(const Model& m) {
  std::ostringstream out;
  out << "NCONF " << m.nconf_ground << ' ' << m.nconf_excited << '\n';
  for (int type = 1; type <= 2; ++type) {
    const Side& s = side_of(m, type);
    const int nconf = type == 1 ? m.nconf_ground : m.nconf_excited;
    for (int c = 1; c <= nconf; ++c) {
      const auto& ops = s.ham[static_cast<std::size_t>(c - 1)];
      if (!ops.empty()) out << "XHAM " << factors(ops) << " 1 " << type << ' ' << c << '\n';
    }
    for (int c = 1; c < nconf && c <= 2; ++c) {
      const auto& ops = s.mix[static_cast<std::size_t>(c - 1)];
      if (!ops.empty())
        out << "XMIX " << factors(ops) << " 1 " << type << ' ' << c << ' ' << c + 1 << '\n';
    }
  }
  for (int l = 1; l <= m.nconf_ground; ++l) {
    for (int n = 1; n <= m.nconf_excited; ++n) {
      const auto& ops = m.trans[static_cast<std::size_t>(l - 1)][static_cast<std::size_t>(n - 1)];
      if (!ops.empty()) out << "XTRAN " << factors(ops) << " 1 " << l << ' ' << n << '\n';
    }
  }
  if (m.prmult) out << "PRMULT\n";
  return out.str();
}

std::string triad_line(const Model& m) {
  std::string line = m.ground.label + ' ' + m.op + ' ' + m.excited.label;
  if (m.prmult) line += ' ' + m.fourth;
  return line;
}

Matrix combined(const std::vector<Operator>& ops, int rows, int cols) {
  Matrix sum = zeros(rows, cols);
  for (const Operator& op : ops) {
    for (std::size_t e = 0; e < sum.a.size() && e < op.m.a.size(); ++e) {
      const float term = op.m.a[e] * op.factor;
      sum.a[e] = sum.a[e] + term;
    }
  }
  return sum;
}

}  // namespace mw
