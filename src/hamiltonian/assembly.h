// Assembly of the Hamiltonian of one basis and of the transition operator
// between the ground and the excited basis, from the blocks read from the
// coefficient file. Basis order, depth first: configuration 1 (m(1) states),
// then for each band level k2: configuration 2 with k2 (m(2) states) followed
// by configuration 3 with (k2, k3) for k3 = 1..N3 (m(3) states each).
#pragma once
#include <cstdint>

namespace mv {

// The dim x dim sparse Hamiltonian into ham (out). h[c-1], m[c-1], e[c-1]:
// block position, multiplicity and energy of configuration c; v12, v23: the
// hybridisation blocks; d: the symmetry dimension (every block enters scaled
// by 1/sqrt(d)); w: band width; k: number of configurations (1..3). marker
// (dim entries, out) holds the configuration number at each block's first
// state and 0 elsewhere. Every block position must be a valid sparse matrix.
void make_hamiltonian(int32_t& ham, int32_t dim, const int32_t h[3], const int32_t m[3], int32_t n2,
                      int32_t n3, const float e[3], int32_t d, int32_t v12, int32_t v23,
                      int32_t* marker, float w, int32_t k);

// The ng x ne sparse transition operator into op (out): block T(L, N) (at
// t[L-1][N-1], scaled by dip) couples every ground block of configuration L
// with every excited block of configuration N that has the same band levels in
// the configurations they share, when count[L-1][N-1] (the operator count of
// the pair) is non-zero. kg, ke: the numbers of configurations of both bases;
// mg, me: their multiplicities. The blocks are found from the basis layout
// itself, so a configuration in which a symmetry has no state (an empty block)
// does not disturb the pairing of the others.
void make_transition(int32_t& op, float dip, int32_t ng, int32_t ne, int32_t kg, int32_t ke,
                     int32_t n2, int32_t n3, const int32_t count[3][3], const int32_t t[3][3],
                     const int32_t mg[3], const int32_t me[3]);

}  // namespace mv
