// The operator tables that the command block fills and the coefficient file
// reader consumes: per pair of (side type, configuration) the number of
// operators and their scale factors, and the PRMULT switch.
// Side types: 1 = ground, 2 = excited; configurations 1..3; operators
// 1..max_operators.
#pragma once
#include <cstdint>

namespace mv {

// Operators (factors of XHAM, XMIX, XTRAN) per configuration pair: a D4h
// 2p edge with a ligand field needs 13, an f shell in a crystal field and a
// magnetic field more.
inline constexpr int32_t max_operators = 32;

struct actors_block {
  int32_t count[2][2][3][3] = {};
  float factor[2][2][3][3][max_operators] = {};
};
extern actors_block actors;
inline int32_t& actor_count(int t1, int t2, int c1, int c2) {
  return actors.count[t1 - 1][t2 - 1][c1 - 1][c2 - 1];
}
inline float& actor_factor(int k, int t1, int t2, int c1, int c2) {
  return actors.factor[t1 - 1][t2 - 1][c1 - 1][c2 - 1][k - 1];
}
struct cprmult_block {
  int32_t prmult = 0;
};
extern cprmult_block cprmult;

}  // namespace mv
