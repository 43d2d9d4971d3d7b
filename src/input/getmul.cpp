// Multiplicity look-up in the IRREP tables of the recipe file. The search only
// moves forward, so the entries must stand in the file in look-up order.
#include "input/getact.h"
#include "input/reader.h"
#include "io/format.h"

namespace mv {

void getmul(int32_t& m, int32_t& d, std::string_view label, std::string_view kind) {
  const std::string name = padded(label, token_length);
  write(6, "(A,A8,2X,A6,A)", " Looking for  irrep ", kind, name, "  MULT");
  const std::string_view wanted_kind = trimmed(kind);
  for (;;) {
    // An entry counts only where IRREP is the first word of a line.
    newlin();
    if (!same_word(chaget(), "IRREP")) continue;
    if (chaget().find(wanted_kind) == std::string::npos) continue;  // GROUND1 is a GROUND kind
    if (!same_word(chaget(), name)) continue;
    break;
  }
  chckch("MULT");
  m = intget(m);
  chckch("DIM");
  chckin(d);
  write(6, "(A,A8,2X,A6,A,I5,A,I2)", " multiplicity found ", kind, name, "  mult=", m, "  dim=", d);
}

}  // namespace mv
