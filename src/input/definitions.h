// Definition lines: DEF <target> = <linear combination of DEL, UCV, UVV and
// UNITY>. The value is computed once, when the line is read, from the
// variables' values at that moment; no formula is kept.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace mv {

inline constexpr std::size_t definition_length = 80;

// Copies columns 1..80 of the current line into buffer and moves the reader
// to the next line, so the rest of the DEF line is never read as commands.
void getdef(std::string& buffer);

// Checks the definition in buffer (compacted in place) and sets the one target
// it names; a name other than EG1..EG3, EF1..EF3 changes nothing.
void analydef(std::string& buffer, float del, float ucv, float uvv, float& eg1, float& eg2,
              float& eg3, float& ef1, float& ef2, float& ef3);

// When name equals target_name: target := sum of the terms of DEL, UCV, UVV
// and UNITY on the right-hand side rhs, in that order.
void subana(std::string_view name, std::string_view target_name, float& target,
            std::string_view rhs, float del, float ucv, float uvv);

// Adds to target the term of the variable called name (value x) in rhs: its
// first occurrence only, with the sign or number standing before it.
void subanax(float& target, float x, std::string_view name, std::string_view rhs);

// Removes every blank from the first length characters of text, closing up;
// count is the number of characters kept, the freed end positions become blanks.
void spacecut(std::string& text, int32_t& count, std::size_t length);

}  // namespace mv
