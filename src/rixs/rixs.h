// Resonant inelastic scattering (RIXS) through the core-hole states.
//
// A band-calculation block that holds a RIXS block turns its triads into the
// pieces of one RIXS map: every triad whose operator is one of the named
// spherical components (q = -1, 0, +1) of the transition operator hands its
// ground-side eigenstates, its dense core-hole Hamiltonian and its dense
// transition matrix to rixs_collect (the triad's absorption spectrum is
// written as always). After ENDTRIADS, rixs_finish diagonalises every
// core-hole Hamiltonian once and writes, per polarisation pair, the
// Kramers-Heisenberg intensities
//   I_f(w) = sum_i w_i |sum_n <f|T_out|n><n|T_in|i> / (w - (E_n - E_i) + i G_n/2)|^2
// as sticks at the energy loss E_f - E_i on the RIXS file (unit 47, fort.47).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace mv {

// Polarisation of a photon: linear along x, y, z; circular with helicity +1
// or -1 about +z (sigma+ / sigma-); ALL (outgoing only) sums x, y and z.
enum class polarisation : int32_t { x, y, z, plus, minus, all };

struct polarisation_pair {
  polarisation in = polarisation::z, out = polarisation::z;
};

// The RIXS block of the current band-calculation block.
struct rixs_block {
  int32_t active = 0;  // 1 from RIXS to the end of the block's triads
  int32_t nomega = 0;  // incident grid: w_k = estart + estep (k - 1), k = 1..nomega
  float estart = 0.0f, estep = 0.0f;
  float gamma = 0.0f;  // core-hole width (FWHM) of every intermediate state
  float edge2 = 0.0f;  // with has_edge2: states at E_n - Eg0 >= edge2 have gamma2
  float gamma2 = 0.0f;
  int32_t has_edge2 = 0;
  float temperature = 0.0f;  // K; 0: the initial states are weighted alike
  std::string component[3];  // operator labels of q = -1, 0, +1 (20 characters)
  std::vector<polarisation_pair> pairs;
};
extern rixs_block rixs;

// Reads a RIXS block up to ENDRIXS (after the word RIXS of a band block).
void getrixs();

// What one triad hands over (dense, column by column).
struct rixs_triad {
  std::string ground, op, excited;  // 20-character labels
  int32_t ng = 0, ne = 0, dim_g = 0, dim_e = 0;
  const float* vectors = nullptr;      // NG x NG ground eigenvectors
  const float* energies = nullptr;     // NG ground energies, ascending
  const float* hamiltonian = nullptr;  // NE x NE core-hole Hamiltonian
  const float* transition = nullptr;   // NG x NE transition matrix
};

// Keeps a copy of what a component triad needs; other triads are ignored.
void rixs_collect(const rixs_triad& t);
// Computes and writes the map of the block's collected triads and forgets them.
void rixs_finish();
// Forgets every collected triad and the block (tests).
void reset_rixs();

}  // namespace mv
