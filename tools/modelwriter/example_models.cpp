#include "modelwriter/example_models.h"

namespace mw {

// A d0 ion in an octahedral crystal (in the spirit of a 2p absorption edge):
// ground 3d0 + 3d1L + 3d2L2, excited 2p5 3d1 + 2p5 3d2L + 2p5 3d3L2, with
// multiplet states per configuration, a band of four levels for the first
// hole and three for the second, and charge-transfer energies from DEL, UCV
// and UVV through DEF lines.
Model charge_transfer_example() {
  Model m;
  m.nconf_ground = 3;
  m.nconf_excited = 3;
  m.op = "T1U";
  m.ground.label = "A1G";
  m.ground.dim = 1;
  m.ground.mult = {1, 2, 2};
  m.ground.ham[1] = {
      {matrix(2, 2, {-0.8f, 0.0f, 0.0f, 1.2f}), 1.0f}};  // t2g / eg crystal field
  m.ground.ham[2] = {{matrix(2, 2, {-0.6f, 0.2f, 0.2f, 0.9f}), 1.0f}};
  m.ground.mix[0] = {{matrix(1, 2, {2.2f, 1.6f}), 1.0f}};
  m.ground.mix[1] = {{matrix(2, 2, {1.8f, 0.3f, 0.3f, 1.4f}), 1.0f}};
  m.excited.label = "T1U";
  m.excited.dim = 3;
  m.excited.mult = {3, 3, 2};
  m.excited.ham[0] = {
      {matrix(3, 3, {-1.5f, 0.4f, 0.0f, 0.4f, 0.5f, 0.3f, 0.0f, 0.3f, 4.0f}), 1.0f},
      {matrix(3, 3, {1.0f, 0.0f, 0.0f, 0.0f, -0.5f, 0.0f, 0.0f, 0.0f, -0.5f}), 0.6f}};
  m.excited.ham[1] = {
      {matrix(3, 3, {-1.0f, 0.2f, 0.1f, 0.2f, 0.7f, 0.0f, 0.1f, 0.0f, 2.5f}), 1.0f}};
  m.excited.ham[2] = {{matrix(2, 2, {-0.5f, 0.1f, 0.1f, 1.0f}), 1.0f}};
  m.excited.mix[0] = {
      {matrix(3, 3, {2.0f, 0.5f, 0.0f, 0.4f, 1.8f, 0.3f, 0.0f, 0.2f, 1.5f}), 1.0f}};
  m.excited.mix[1] = {{matrix(3, 2, {1.6f, 0.2f, 0.3f, 1.4f, 0.1f, 0.9f}), 1.0f}};
  m.trans[0][0] = {{matrix(1, 3, {1.0f, 0.8f, 0.4f}), 1.0f}};
  m.trans[1][1] = {{matrix(2, 3, {0.9f, 0.3f, 0.1f, 0.2f, 0.7f, 0.5f}), 1.0f}};
  m.trans[2][2] = {{matrix(2, 2, {0.8f, 0.2f, 0.1f, 0.6f}), 1.0f}};
  return m;
}

}  // namespace mw
