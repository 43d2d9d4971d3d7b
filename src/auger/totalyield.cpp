#include "auger/totalyield.h"

#include "io/format.h"
#include "output/information.h"

namespace mv {

namespace {

constexpr int32_t unit_log = 6;

void write_header(int32_t unit, int32_t nomega, float estart) {
  write(unit, "(A)", "%XYLINE");
  write(unit, "(A)", "%PARAMETER0 OUTPUT OF MORVEX   TOTAL YIELD");
  write(unit, "(5A)", "%PARAMETER1", information_columns(1, 1), " ", information_columns(2, 30),
        information_columns(55, 70));
  write(unit, "(A,F10.4,A,I4)", "%ESTART=", estart, " NOMEGA=", nomega);
  write(unit, "(A)", "%FORMAT  1(F12.5,F12.5)");
  for (const int32_t u : {unit, unit_log})
    write(u, "(a,t7,a,t20,a,t34,a)", "%", "energy", "yield", "absorption");
}

}  // namespace

void totalyield(int32_t unit, int32_t nomega, int32_t i, float estart, float estep, float yield,
                float absorption) {
  if (i == 1) write_header(unit, nomega, estart);
  // The energy column is the grid point of step i; step 0 therefore shows
  // ESTART - ESTEP, not the reference energy it was computed at.
  const float energy = estart + estep * static_cast<float>(i - 1);
  for (const int32_t u : {unit, unit_log})
    write(u, "(2F12.5,i5,f12.5)", energy, yield, i, absorption);
  if (i == nomega) write(unit, "(A)", "%END");
}

}  // namespace mv
