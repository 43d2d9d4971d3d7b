#include "output/primat.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "io/format.h"

namespace mv {

namespace {

constexpr int32_t unit_spectrum = 44;
constexpr int32_t lines_per_group = 7;

// The second label of the header: for an Auger step the step number in front
// of the label keeps the blocks of one calculation apart; the absorption
// spectrum (step 0) shows the label itself as an 8-character text.
std::string step_label(int32_t step, std::string_view l2) {
  if (step != 0) return internal_write("(I3,A5)", step, l2);
  std::string label(l2.substr(0, 8));
  label.resize(8, ' ');
  return label;
}

void write_group(float bra_energy, const float* e, const float* v, int32_t count) {
  std::vector<FmtItem> kets{fmt_item(" BRA/KET : ")};
  std::vector<FmtItem> values{fmt_item(bra_energy), fmt_item(":")};
  for (int32_t j = 0; j < count; ++j) {
    kets.push_back(fmt_item(e[j]));
    values.push_back(fmt_item(v[j]));
  }
  write_items(unit_spectrum, "(A10,12F10.5)", kets);
  write_items(unit_spectrum, "(F9.5,A1,12F10.6)", values);
}

}  // namespace

void primat(int32_t step, float bra_energy, const float* e, const float* v, int32_t m,
            std::string_view l1, std::string_view l2, std::string_view l3, int32_t idx1,
            int32_t idx2) {
  const std::string label = step_label(step, l2);
  write(unit_spectrum, "(A,a8,1x,a8,1x,a8,1x,A,I7,A,I2,A,I2,A)", " TRANSFORMED MATRIX FOR TRIAD ( ",
        l1, label, l3, ") (1*", m, ") DIM : ", idx1, " : 0 :", idx2, " ACTOR MULTIPOLE");
  for (int32_t first = 0; first < m; first += lines_per_group) {
    write_group(bra_energy, e + first, v + first, std::min(lines_per_group, m - first));
  }
  float total = 0.0f;
  for (int32_t j = 0; j < m; ++j) total = total + v[j];
  write(unit_spectrum, "(A,F9.5)", " Total intensity ", total);
}

void order(float* e, float* v, int32_t n) {
  if (n < 2) return;
  std::vector<std::pair<float, float>> lines(static_cast<std::size_t>(n));
  for (int32_t j = 0; j < n; ++j) lines[j] = {e[j], v[j]};
  // Stable, so that the summation order of merged equal-energy lines (and so
  // the last bit of their sum) does not depend on the sort's internals.
  std::stable_sort(lines.begin(), lines.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (int32_t j = 0; j < n; ++j) {
    e[j] = lines[j].first;
    v[j] = lines[j].second;
  }
}

void condens(float* e, float* v, int32_t n, float weak, float delta, int32_t& m) {
  m = 0;
  if (n <= 0) return;
  m = 1;
  float ekeep = e[0];
  const float half = delta / 2.0f;
  for (int32_t i = 1; i < n; ++i) {
    // A merged or weak line is never dropped: its value goes to the kept line
    // before it, so the spectrum's total survives the condensation.
    if (e[i] - ekeep < half || v[i] < weak) {
      v[m - 1] = v[m - 1] + v[i];
      continue;
    }
    m = m + 1;
    v[m - 1] = v[i];
    ekeep = std::max(e[i], ekeep + delta);
    e[m - 1] = ekeep;
  }
}

}  // namespace mv
