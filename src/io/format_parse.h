// A FORMAT string parsed into a flat list of nodes that the interpreter in
// format.cpp walks. Groups are an Open node and a Close node that point at
// each other, so repeats and reversion are jumps, not recursion. Parsed
// formats are cached by their text for the whole run.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mv {

struct FmtNode {
  enum Op : uint8_t {
    A, I, F, E, G,             // data edit descriptors
    X, T, TL, TR,              // positioning
    Slash, Colon, Scale, Literal,
    Open, Close,
  };
  Op op;
  int32_t repeat = 1;  // data descriptors, '/', groups
  int32_t w = -1;      // field width (-1: none); X/T/TL/TR: the count; Scale: k
  int32_t d = -1;      // decimals; I: minimum digits
  int32_t e = -1;      // exponent digits of Ew.dEe and Gw.dEe
  int32_t link = -1;   // Open: its Close; Close: its Open; Literal: offset in literals
  int32_t len = 0;     // Literal: length

  bool is_data() const { return op <= G; }
};

struct ParsedFormat {
  std::vector<FmtNode> nodes;  // nodes.front() is the outer Open, nodes.back() its Close
  std::string literals;        // the text of every literal, end to end
  int32_t reversion = 0;       // the node where a new record starts when items remain
  bool has_data = false;       // any data descriptor at all
};

// Parses a FORMAT string, outer parentheses included. A malformed format is a
// fault of the program, not of its input: the run stops with the reason.
ParsedFormat parse_format(std::string_view fmt);

// The parsed form of fmt, parsed on first use and cached.
const ParsedFormat& cached_format(std::string_view fmt);

}  // namespace mv
