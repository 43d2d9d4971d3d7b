// Definition expressions. After blanks are removed a definition reads
// DEF, a three-character target name, "=", right-hand side. Each variable's
// term is found by searching the right-hand side for its name: what stands
// directly before the name must be nothing, a sign, or a number that opens the
// right-hand side or follows a sign. Anything else there is fatal; the rest of
// the right-hand side (bare constants, "*2" after a name) is ignored.
#include "input/definitions.h"

#include "input/reader.h"
#include "io/format.h"
#include "io/numedit.h"
#include "io/stop.h"

namespace mv {

namespace {

constexpr std::string_view coefficient_chars = "+-0123456789.";
constexpr std::size_t coefficient_field = 20;

bool is_sign(char c) { return c == '+' || c == '-'; }

[[noreturn]] void bad_coefficient(int32_t code, std::string_view rhs, std::string_view text) {
  write(6, "(A,I5,A,A)", " IO ERROR NO=", code, " OCCURED ", " ,CHECK DEF LINE IN FILE 50");
  list_write(6, rhs);
  list_write(6, "CHECK THIS FIGURE---->", text);
  stop_run("subroutine SUBANA", status_fatal);
}

// The coefficient text read as (BN,F20.0) from a 20-character field in which
// it stands right-aligned: 2 is 2.0, -0.5 is -0.5.
float read_coefficient(std::string_view text, std::string_view rhs) {
  // A text too long for the field cannot be a sensible coefficient; it is
  // reported like any other unreadable one.
  if (text.size() > coefficient_field) bad_coefficient(ioerr_bad_value, rhs, text);
  std::string field(coefficient_field - text.size(), ' ');
  field += text;
  float coefficient = 0.0f;
  const int32_t code = read_real_f_field(field, coefficient);
  if (code != 0) bad_coefficient(code, rhs, text);
  return coefficient;
}

}  // namespace

void spacecut(std::string& text, int32_t& count, std::size_t length) {
  length = std::min(length, text.size());
  std::size_t kept = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] != ' ') text[kept++] = text[i];
  }
  count = static_cast<int32_t>(kept);
  for (; kept < length; ++kept) text[kept] = ' ';
}

void getdef(std::string& buffer) {
  buffer = chline.line.substr(0, definition_length);
  newlin();
}

void subanax(float& target, float x, std::string_view name, std::string_view rhs) {
  const std::size_t found = rhs.find(name);
  if (found == std::string_view::npos) return;
  const int32_t p = static_cast<int32_t>(found) + 1;  // 1-based position of the name
  if (p == 1) {
    target = target + x;
    return;
  }
  for (int32_t j = p - 1; j >= 1; --j) {
    const char c = rhs[static_cast<std::size_t>(j - 1)];
    const int32_t s = p - j;  // 1 for the character just before the name
    if (coefficient_chars.find(c) == std::string_view::npos) {
      list_write(6, "ERROR IN DEFINITION: PT=", j);
      list_write(6, rhs);
      stop_run("subroutine SUBANAx", status_fatal);
    }
    if (s == 1 && c == '+') {
      target = target + x;
      return;
    }
    if (s == 1 && c == '-') {
      target = target - x;
      return;
    }
    if (!is_sign(c) && j > 1) continue;
    // A number that opens the right-hand side, or a sign in front of a number.
    const std::string_view text =
        rhs.substr(static_cast<std::size_t>(j - 1), static_cast<std::size_t>(p - j));
    const float term = x * read_coefficient(text, rhs);
    target = target + term;
    return;
  }
}

void subana(std::string_view name, std::string_view target_name, float& target,
            std::string_view rhs, float del, float ucv, float uvv) {
  if (name != target_name) return;
  target = 0.0f;
  subanax(target, del, "DEL", rhs);
  subanax(target, ucv, "UCV", rhs);
  subanax(target, uvv, "UVV", rhs);
  subanax(target, 1.0f, "UNITY", rhs);
}

void analydef(std::string& buffer, float del, float ucv, float uvv, float& eg1, float& eg2,
              float& eg3, float& ef1, float& ef2, float& ef3) {
  buffer = padded(buffer, definition_length);
  int32_t kept = 0;
  spacecut(buffer, kept, definition_length);
  // 1-based positions, 0 when absent.
  const std::size_t def_at = buffer.find("DEF");
  const std::size_t eq_at = buffer.find('=');
  const std::size_t d = def_at == std::string::npos ? 0 : def_at + 1;
  const std::size_t q = eq_at == std::string::npos ? 0 : eq_at + 1;
  if (q != d + 6) {
    list_write(6, "Equals sign required in definition.");
    list_write(6, buffer);
    stop_run("subroutine ANALYDEF", status_fatal);
  }
  const std::string name = buffer.substr(d + 2, 3);
  const std::string rhs = padded(std::string_view(buffer).substr(q), definition_length);
  subana(name, "EG1", eg1, rhs, del, ucv, uvv);
  subana(name, "EG2", eg2, rhs, del, ucv, uvv);
  subana(name, "EG3", eg3, rhs, del, ucv, uvv);
  subana(name, "EF1", ef1, rhs, del, ucv, uvv);
  subana(name, "EF2", ef2, rhs, del, ucv, uvv);
  subana(name, "EF3", ef3, rhs, del, ucv, uvv);
}

}  // namespace mv
