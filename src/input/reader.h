// The line reader shared by the command file (unit 50), the coefficient file
// (unit 14) and the recipe file (unit 15): one current line of one current
// unit, tokens of at most 20 characters, number readers, checking readers,
// the input-position report and the warning counter. Lines of unit 50, and
// only those, are upper-cased, stripped of underscores and echoed to unit 44.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace mv {

inline constexpr int32_t line_length = 136;
inline constexpr int32_t token_length = 20;
inline constexpr int32_t command_unit = 50;

// `inline` is a keyword, hence the trailing underscore of the instance.
struct inline_block {
  int32_t column = 137;  // next character to examine; 137: line used up
  int32_t line_count = 0;
  int32_t unit = command_unit;
};
extern inline_block inline_;

struct chline_block {
  std::string line = std::string(line_length, ' ');
};
extern chline_block chline;

struct ctrace_block {
  std::string name = std::string(token_length, ' ');
};
extern ctrace_block ctrace;

struct comwarn_block {
  int32_t count = 0;
};
extern comwarn_block comwarn;

// A token: exactly 20 characters, blank-padded.
using Token = std::string;

// Token equals keyword, trailing blanks ignored on both.
bool same_word(std::string_view token, std::string_view keyword);
// The text without its trailing blanks.
std::string_view trimmed(std::string_view text);
// Text cut or blank-padded to n characters.
std::string padded(std::string_view text, std::size_t n);

void newlin();
Token chaget();
int32_t intget(int32_t& v);
float reaget(float& v);
void chckch(std::string_view expected);
void chckin(int32_t& v);
void putinp();
void warn(int32_t limit);
void ioerr(int32_t status_code, std::string_view routine);
void uppercase(std::string& text, std::size_t n);

// Run support of the reader.
void newfil(int32_t unit);
void status(std::string_view text);

// Back to the state at program start (tests).
void reset_reader();

}  // namespace mv
