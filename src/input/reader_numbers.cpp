// Number readers and checking readers on top of the token routine. A token
// that is not a number of the wanted kind is an input error: reported and
// counted, the value stays 0 and reading goes on. So is a real that reads as
// NaN or infinite: it would run through the whole calculation as NaN.
#include <cmath>

#include "input/reader.h"
#include "io/format.h"
#include "io/numedit.h"

namespace mv {

int32_t intget(int32_t& v) {
  v = 0;
  const Token token = chaget();
  ioerr(read_int_field(token, v), "INTGET");
  return v;
}

float reaget(float& v) {
  v = 0.0f;
  const Token token = chaget();
  int32_t code = read_real_e_field(token, v);
  if (code == 0 && !std::isfinite(v)) {
    v = 0.0f;
    code = ioerr_not_finite;
  }
  ioerr(code, "REAGET");
  return v;
}

void chckch(std::string_view expected) {
  const Token token = chaget();
  if (same_word(token, expected)) return;
  list_write(6, "expected: ", expected, ", got:", token, " in:");
  warn(10);
}

void chckin(int32_t& v) {
  const int32_t expected = v;
  v = intget(v);
  // An expected value of 0 accepts anything: first reading of a value that
  // later readings must repeat.
  if (expected == 0 || v == expected) return;
  list_write(6, "expected: ", expected, ", got:", v, " in:");
  warn(10);
}

}  // namespace mv
