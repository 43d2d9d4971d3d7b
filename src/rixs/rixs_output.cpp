// Layout of a RIXS block (every line that begins with "%" is a header):
//   %RIXS MAP  <pair number>
//   %PARAMETER1 <run description, as the other plot files quote it>
//   %POLARISATION IN= <in> OUT= <out>
//   %NOMEGA= ... ESTART= ... ESTEP= ...
//   %GAMMA= ... [EDGE2= ... GAMMA2= ...] TEMPERATURE= ...
//   %Eg0= <lowest ground-side energy>
//   %INTERMEDIATE <label> NE= <states>          one line per core-hole symmetry
//   %FINAL <k> <label> NF= <states>             one line per final symmetry
//   %LEVEL <l> E= <energy - Eg0> WEIGHT= <w> STATES= <n>  one line per initial level
//   %FORMAT  1(F10.4,F10.4)
//   %     Omega      Loss     Intensity Lev Fin State
//   data: incident energy, loss E_f - E_level, intensity, level, final symmetry, state
//   %END
// The incident energy is relative: a resonance lies at w = E_n - E_i.
#include "rixs/rixs_output.h"

#include <cstddef>
#include <string_view>

#include "io/format.h"
#include "output/information.h"

namespace mv {

const char* polarisation_name(polarisation p) {
  switch (p) {
    case polarisation::x:
      return "X";
    case polarisation::y:
      return "Y";
    case polarisation::z:
      return "Z";
    case polarisation::plus:
      return "PLUS";
    case polarisation::minus:
      return "MINUS";
    case polarisation::all:
      return "ALL";
  }
  return "?";
}

void write_rixs_map(int32_t pair_number, const polarisation_pair& pair, const rixs_map& map) {
  const int32_t u = rixs_unit;
  const std::string_view d = information.text;
  write(u, "(A,I3)", "%RIXS MAP ", pair_number);
  write(u, "(4A)", "%PARAMETER1 ", d.substr(0, 1), " ",
        std::string(d.substr(1, 29)) + std::string(d.substr(54, 16)));
  write(u, "(4A)", "%POLARISATION IN= ", polarisation_name(pair.in),
        " OUT= ", polarisation_name(pair.out));
  write(u, "(A,I7,A,F10.4,A,F10.4)", "%NOMEGA=", rixs.nomega, " ESTART=", rixs.estart,
        " ESTEP=", rixs.estep);
  if (rixs.has_edge2) {
    write(u, "(A,F10.4,A,F10.4,A,F10.4,A,F10.4)", "%GAMMA=", rixs.gamma, " EDGE2=", rixs.edge2,
          " GAMMA2=", rixs.gamma2, " TEMPERATURE=", rixs.temperature);
  } else {
    write(u, "(A,F10.4,A,F10.4)", "%GAMMA=", rixs.gamma, " TEMPERATURE=", rixs.temperature);
  }
  write(u, "(A,F12.4)", "%Eg0=", map.eg0);
  for (std::size_t k = 0; k < map.core_labels.size(); ++k)
    write(u, "(3A,I7)", "%INTERMEDIATE ", map.core_labels[k], " NE=", map.core_sizes[k]);
  for (std::size_t k = 0; k < map.final_labels.size(); ++k) {
    write(u, "(A,I3,3A,I7)", "%FINAL ", static_cast<int32_t>(k + 1), " ", map.final_labels[k],
          " NF=", static_cast<int32_t>(map.final_energies[k].size()));
  }
  for (std::size_t l = 0; l < map.level_energy.size(); ++l) {
    const float rel = map.level_energy[l] - map.eg0;
    write(u, "(A,I3,A,F10.4,A,F9.6,A,I5)", "%LEVEL ", static_cast<int32_t>(l + 1), " E=", rel,
          " WEIGHT=", map.level_weight[l], " STATES=", map.level_states[l]);
  }
  write(u, "(A)", "%FORMAT  1(F10.4,F10.4)");
  write(u, "(A)", "%     Omega      Loss     Intensity Lev Fin State");
  std::size_t nf = 0;
  for (const auto& e : map.final_energies) nf += e.size();
  const std::size_t cells = map.level_energy.size() * nf;
  for (int32_t w = 0; w < rixs.nomega; ++w) {
    const float omega = rixs.estart + rixs.estep * static_cast<float>(w);
    const float* row = &map.intensity[static_cast<std::size_t>(w) * cells];
    for (std::size_t l = 0; l < map.level_energy.size(); ++l) {
      std::size_t f = 0;
      for (std::size_t k = 0; k < map.final_energies.size(); ++k) {
        for (std::size_t s = 0; s < map.final_energies[k].size(); ++s, ++f) {
          const float loss = map.final_energies[k][s] - map.level_energy[l];
          write(u, "(2F10.4,1PE14.6,2I4,I6)", omega, loss, row[l * nf + f],
                static_cast<int32_t>(l + 1), static_cast<int32_t>(k + 1),
                static_cast<int32_t>(s + 1));
        }
      }
    }
  }
  write(u, "(A)", "%END");
  write(6, "(A,I3,5A,I7,A,I7)", " RIXS map", pair_number, " IN=", polarisation_name(pair.in),
        " OUT=", polarisation_name(pair.out), " incident energies:", rixs.nomega,
        " final states:", static_cast<int32_t>(nf));
}

}  // namespace mv
