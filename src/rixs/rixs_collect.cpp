// rixs_collect: the copies a RIXS map needs from the triads of its block.
// The work array is released after every triad, so what a later step of the
// map uses is kept here, in owned arrays, until rixs_finish.
#include <algorithm>
#include <string>

#include "input/reader.h"
#include "rixs/rixs_store.h"
#include "support/runsupport.h"

namespace mv {

rixs_collection rixs_store;

namespace {

int32_t component_of(const std::string& op) {
  for (int32_t q = 0; q < 3; ++q) {
    if (trimmed(op) == trimmed(rixs.component[q])) return q;
  }
  return -1;
}

template <class T>
int32_t index_of(const std::vector<T>& v, const std::string& label) {
  for (std::size_t k = 0; k < v.size(); ++k) {
    if (v[k].label == label) return static_cast<int32_t>(k);
  }
  return -1;
}

std::string name(const std::string& label) { return std::string(trimmed(label)); }

}  // namespace

void rixs_collect(const rixs_triad& t) {
  const int32_t q = component_of(t.op);
  if (q < 0) return;
  if (t.dim_g != 1 || t.dim_e != 1) {
    quitprog("RIXS: triad " + name(t.ground) + " " + name(t.op) + " " + name(t.excited) +
             " has symmetries of dimension " + std::to_string(t.dim_g) + " and " +
             std::to_string(t.dim_e) +
             "; a RIXS map needs the transition operator's components between states of "
             "one-dimensional symmetries (a model built without point-group reduction).");
  }
  const std::size_t ng = static_cast<std::size_t>(t.ng), ne = static_cast<std::size_t>(t.ne);
  int32_t g = index_of(rixs_store.ground, t.ground);
  if (g < 0) {
    rixs_ground s;
    s.label = t.ground;
    s.energies.assign(t.energies, t.energies + ng);
    s.vectors.assign(t.vectors, t.vectors + ng * ng);
    rixs_store.ground.push_back(std::move(s));
    g = static_cast<int32_t>(rixs_store.ground.size()) - 1;
  }
  int32_t e = index_of(rixs_store.core, t.excited);
  if (e < 0) {
    rixs_core s;
    s.label = t.excited;
    s.ne = t.ne;
    s.hamiltonian.assign(t.hamiltonian, t.hamiltonian + ne * ne);
    rixs_store.core.push_back(std::move(s));
    e = static_cast<int32_t>(rixs_store.core.size()) - 1;
  }
  rixs_operator o;
  o.ground = g;
  o.core = e;
  o.q = q;
  o.matrix.assign(t.transition, t.transition + ng * ne);
  rixs_store.operators.push_back(std::move(o));
}

void reset_rixs() {
  rixs = rixs_block{};
  rixs_store = rixs_collection{};
}

}  // namespace mv
