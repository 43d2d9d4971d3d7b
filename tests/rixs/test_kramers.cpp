// The Kramers-Heisenberg kernel on hand-made amplitudes: closed forms for one
// and two intermediate states (with their interference), the weighting and
// levelling of initial states, and the sum over outgoing sets.
#include <gtest/gtest.h>

#include <complex>
#include <vector>

#include "rixs/kramers.h"

namespace mv {
namespace {

using cd = std::complex<double>;

kh_input two_states(float e1, float e2, float h) {
  kh_input in;
  in.nt = 2;
  in.e_n = {e1, e2};
  in.h_n = {h, h};
  in.ni = 1;
  in.e_i = {0.0f};
  in.w_i = {1.0f};
  in.level = {0};
  in.nlevels = 1;
  in.a_re = {1.0f, 0.5f};
  in.a_im = {0.0f, 0.0f};
  in.nf = 1;
  in.nsets = 1;
  in.b_re = {1.0f, -1.0f};
  in.b_im = {0.0f, 0.0f};
  return in;
}

TEST(KramersHeisenberg, TwoIntermediateStatesInterfere) {
  const kh_input in = two_states(1.0f, 1.5f, 0.2f);
  std::vector<float> out(1), z(4);
  for (float w : {0.5f, 1.0f, 1.25f, 1.5f, 2.0f}) {
    kramers_heisenberg(in, w, out.data(), z.data());
    const cd amp = 1.0 / cd(w - 1.0, 0.2) - 0.5 / cd(w - 1.5, 0.2);
    EXPECT_NEAR(out[0], std::norm(amp), 1e-5 * std::norm(amp)) << w;
    // the incoherent sum of the two resonances is not the answer between them
    const double incoherent =
        1.0 / std::norm(cd(w - 1.0, 0.2)) + 0.25 / std::norm(cd(w - 1.5, 0.2));
    if (w == 1.25f) EXPECT_GT(std::abs(out[0] - incoherent), 0.1 * incoherent);
  }
}

TEST(KramersHeisenberg, InitialStatesAreWeightedIntoTheirLevelsAndSetsAdd) {
  kh_input in;
  in.nt = 1;
  in.e_n = {2.0f};
  in.h_n = {0.5f};
  in.ni = 3;
  in.e_i = {0.0f, 0.0f, 0.3f};
  in.w_i = {0.25f, 0.25f, 0.5f};
  in.level = {0, 0, 1};
  in.nlevels = 2;
  in.a_re = {1.0f, 0.0f, 2.0f};
  in.a_im = {0.0f, 1.0f, 0.0f};
  in.nf = 2;
  in.nsets = 2;
  in.b_re = {1.0f, 0.0f, 0.5f, 0.0f};  // set 0: f1 1, f2 i; set 1: f1 0.5, f2 0
  in.b_im = {0.0f, 1.0f, 0.0f, 0.0f};
  std::vector<float> out(4, 99.0f), z(2);
  const float w = 1.7f;
  kramers_heisenberg(in, w, out.data(), z.data());
  auto lorentz = [&](double ei) { return 1.0 / std::norm(cd(w - (2.0 - ei), 0.5)); };
  // level 0: states 1 and 2 (|a| = 1), level 1: state 3 (|a| = 2)
  EXPECT_NEAR(out[0], 0.5 * (1.0 + 0.25) * lorentz(0.0), 1e-6);
  EXPECT_NEAR(out[1], 0.5 * 1.0 * lorentz(0.0), 1e-6);
  EXPECT_NEAR(out[2], 0.5 * 4.0 * (1.0 + 0.25) * lorentz(0.3), 1e-5);
  EXPECT_NEAR(out[3], 0.5 * 4.0 * lorentz(0.3), 1e-5);
}

TEST(KramersHeisenberg, SameBitsWhateverTheEnergyOrderOfCalls) {
  const kh_input in = two_states(1.0f, 1.7f, 0.05f);
  std::vector<float> a(1), b(1), z(4);
  kramers_heisenberg(in, 1.3f, a.data(), z.data());
  kramers_heisenberg(in, 0.2f, b.data(), z.data());
  kramers_heisenberg(in, 1.3f, b.data(), z.data());
  EXPECT_EQ(a[0], b[0]);
}

}  // namespace
}  // namespace mv
