// The Auger block. Its DEL, UCV and UVV are private copies for the block's
// definitions: the band-calculation values (and the Hamiltonian built from
// them) never change here.
#include "input/getauger.h"

#include <string>

#include "auger/com_gamma.h"
#include "input/definitions.h"
#include "input/reader.h"
#include "io/format.h"

namespace mv {

namespace {

constexpr int32_t channels = 9;
// Photon-energy steps of the Auger grid. Every step writes a spectrum block
// and a total-yield line: beyond a million the files grow past hundreds of GB.
constexpr int32_t max_nomega = 1000000;

void read_nomega(int32_t& nomega) {
  int32_t n = 0;
  n = intget(n);
  if (n <= max_nomega) {
    nomega = n;
    return;
  }
  list_write(6, "NOMEGA must be at most 1000000, value ignored, NOMEGA=", n);
  warn(10);
}

void define_channel(int32_t channel, float del, float ucv, float uvv, float efaug[9][3]) {
  float scratch[3] = {0.0f, 0.0f, 0.0f};  // EG1..EG3 mean nothing in an Auger block
  std::string buffer;
  getdef(buffer);
  float* ef = efaug[channel - 1];
  analydef(buffer, del, ucv, uvv, scratch[0], scratch[1], scratch[2], ef[0], ef[1], ef[2]);
  write(6, "(A,I2,3(A,F10.3))", " No=", channel, " EF1=", ef[0], " EF2=", ef[1], " EF3=", ef[2]);
}

}  // namespace

void getauger(float del, float ucv, float uvv, float efaug[9][3], float dipaug[9], float ci[9],
              int32_t& nomega, float& estart, float& estep) {
  com_gamma.gamma = 0.0f;
  int32_t channel = 1;
  float del_a = del, ucv_a = ucv, uvv_a = uvv;
  for (;;) {
    const Token t = chaget();
    if (same_word(t, "NOMEGA")) {
      read_nomega(nomega);
    } else if (same_word(t, "ESTART")) {
      estart = reaget(estart);
    } else if (same_word(t, "ESTEP")) {
      estep = reaget(estep);
    } else if (same_word(t, "NO")) {
      int32_t n = 0;
      n = intget(n);
      if (n >= 1 && n <= channels) {
        channel = n;
      } else {
        list_write(6, "ERROR: NO MUST BE 1..9 , NO UNCHANGED , NO=", channel);
      }
    } else if (t.starts_with("DEL")) {  // DELTA is DEL here, unlike in the band block
      del_a = reaget(del_a);
    } else if (same_word(t, "UCV")) {
      ucv_a = reaget(ucv_a);
    } else if (same_word(t, "UVV")) {
      uvv_a = reaget(uvv_a);
    } else if (same_word(t, "DIP")) {
      dipaug[channel - 1] = reaget(dipaug[channel - 1]);
    } else if (same_word(t, "CI")) {
      ci[channel - 1] = reaget(ci[channel - 1]);
    } else if (same_word(t, "GAMMA")) {
      com_gamma.gamma = reaget(com_gamma.gamma);
    } else if (same_word(t, "DEF")) {
      define_channel(channel, del_a, ucv_a, uvv_a, efaug);
    } else if (same_word(t, "ENDAUGER")) {
      return;
    } else {
      list_write(6, "ERROR: Expected one of the following AUGER commands",
                 "NOMEGA,ESTART, ESTEP, NO, UCV, UVV, DIP, CI, DEF");
      warn(10);
    }
  }
}

}  // namespace mv
