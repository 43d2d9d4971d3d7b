#include "io/format_parse.h"

#include <cctype>
#include <memory>
#include <unordered_map>

#include "io/stop.h"

namespace mv {
namespace {

constexpr int32_t max_depth = 32;

// Recursive descent over the format text. Blanks are insignificant outside
// literals (Fortran allows "( 5(f10.5,f6.3) )" and "F10 .5" alike); commas
// between items are optional, as most compilers accept "1PE10.3" and "A /A".
class FormatParser {
 public:
  explicit FormatParser(std::string_view s) : s_(s) {}

  ParsedFormat run() {
    if (peek() != '(') fail("a format begins with '('");
    ++i_;
    open_group(1);
    list(1);
    if (peek() != -1) fail("text after the closing parenthesis");
    pf_.reversion = last_top_group_ >= 0 ? last_top_group_ : 1;
    return std::move(pf_);
  }

 private:
  [[noreturn]] void fail(const char* why) {
    stop_run("format error: " + std::string(why) + " at column " + std::to_string(i_ + 1) + " of " +
                 std::string(s_),
             status_fatal);
  }

  int peek() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t')) ++i_;
    return i_ < s_.size() ? std::toupper(static_cast<unsigned char>(s_[i_])) : -1;
  }

  bool digit_next() {
    const int c = peek();
    return c >= '0' && c <= '9';
  }

  // An unsigned integer whose digits may be separated by blanks.
  bool number(int32_t& v) {
    if (!digit_next()) return false;
    int64_t n = 0;
    while (digit_next()) {
      n = n * 10 + (s_[i_++] - '0');
      if (n > 1000000000) fail("number too large");
    }
    v = static_cast<int32_t>(n);
    return true;
  }

  int32_t required_number(const char* what) {
    int32_t v = 0;
    if (!number(v)) fail(what);
    return v;
  }

  FmtNode& add(FmtNode::Op op) {
    pf_.nodes.push_back(FmtNode{op});
    return pf_.nodes.back();
  }

  void open_group(int32_t repeat) {
    if (++depth_ > max_depth) fail("groups nested too deeply");
    add(FmtNode::Open).repeat = repeat;
  }

  void list(int32_t depth) {
    const int32_t open = static_cast<int32_t>(pf_.nodes.size()) - 1;
    for (;;) {
      const int c = peek();
      if (c == -1) fail("missing ')'");
      if (c == ')') {
        ++i_;
        FmtNode& close = add(FmtNode::Close);
        close.link = open;
        pf_.nodes[static_cast<std::size_t>(open)].link = static_cast<int32_t>(pf_.nodes.size()) - 1;
        --depth_;
        return;
      }
      if (c == ',') {
        ++i_;
        continue;
      }
      item(depth);
    }
  }

  void item(int32_t depth) {
    int c = peek();
    if (c == '\'' || c == '"') return literal();
    if (c == ':') {
      ++i_;
      add(FmtNode::Colon);
      return;
    }
    int32_t repeat = 1;
    bool have_count = false;
    bool negative = false;
    if (c == '+' || c == '-') {
      negative = c == '-';
      ++i_;
      if (!digit_next()) fail("a sign must be followed by a scale factor");
    }
    if (digit_next()) {
      repeat = required_number("count");
      have_count = true;
      c = peek();
      if (c == 'P') {
        ++i_;
        add(FmtNode::Scale).w = negative ? -repeat : repeat;
        return;
      }
      if (negative || (c != 'H' && repeat == 0)) fail("bad count");
    }
    if (c == 'H' && have_count) return hollerith(repeat);
    ++i_;
    switch (c) {
      case '(': {
        if (depth == 1) last_top_group_ = static_cast<int32_t>(pf_.nodes.size());
        open_group(repeat);
        list(depth + 1);
        return;
      }
      case '/': add(FmtNode::Slash).repeat = repeat; return;
      case 'X': add(FmtNode::X).w = repeat; return;
      case 'T': return tab(have_count);
      case 'B':  // BN, BZ: blank control, meaningless for output
        if (peek() != 'N' && peek() != 'Z') fail("unknown descriptor");
        ++i_;
        return;
      case 'S':  // SS, S: the default sign mode; SP is not supported
        if (peek() == 'P') fail("SP is not supported");
        if (peek() == 'S') ++i_;
        return;
      case 'A': case 'I': case 'F': case 'E': case 'G': return data(c, repeat);
      default: fail("unknown descriptor");
    }
  }

  void tab(bool have_count) {
    if (have_count) fail("a count before T");
    FmtNode::Op op = FmtNode::T;
    if (peek() == 'L') op = FmtNode::TL;
    if (peek() == 'R') op = FmtNode::TR;
    if (op != FmtNode::T) ++i_;
    const int32_t n = required_number("T, TL and TR need a column count");
    if (op == FmtNode::T && n < 1) fail("T needs a column from 1");
    add(op).w = n;
  }

  void data(int c, int32_t repeat) {
    FmtNode n{FmtNode::A};
    n.repeat = repeat;
    switch (c) {
      case 'A':
        number(n.w);
        break;
      case 'I':
        n.op = FmtNode::I;
        n.w = required_number("I needs a width");
        if (peek() == '.') {
          ++i_;
          n.d = required_number("Iw.m needs m");
        }
        break;
      default:
        n.op = c == 'F' ? FmtNode::F : c == 'E' ? FmtNode::E : FmtNode::G;
        n.w = required_number("a real descriptor needs a width");
        if (peek() != '.') fail("a real descriptor needs decimals");
        ++i_;
        n.d = required_number("a real descriptor needs decimals");
        if (n.op != FmtNode::F && peek() == 'E') {
          ++i_;
          n.e = required_number("Ee needs a digit count");
          if (n.e < 1) fail("Ee needs a digit count");
        }
    }
    pf_.nodes.push_back(n);
    pf_.has_data = true;
  }

  void literal() {
    const char q = s_[i_++];
    std::string text;
    for (;;) {
      if (i_ >= s_.size()) fail("unterminated literal");
      const char ch = s_[i_++];
      if (ch == q) {
        if (i_ < s_.size() && s_[i_] == q) {
          text += q;
          ++i_;
          continue;
        }
        break;
      }
      text += ch;
    }
    add_literal(text);
  }

  void hollerith(int32_t n) {
    ++i_;  // the H
    if (i_ + static_cast<std::size_t>(n) > s_.size()) fail("Hollerith text runs past the end");
    add_literal(s_.substr(i_, static_cast<std::size_t>(n)));
    i_ += static_cast<std::size_t>(n);
  }

  void add_literal(std::string_view text) {
    FmtNode& n = add(FmtNode::Literal);
    n.link = static_cast<int32_t>(pf_.literals.size());
    n.len = static_cast<int32_t>(text.size());
    pf_.literals += text;
  }

  std::string_view s_;
  std::size_t i_ = 0;
  int32_t depth_ = 0;
  int32_t last_top_group_ = -1;
  ParsedFormat pf_;
};

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

}  // namespace

ParsedFormat parse_format(std::string_view fmt) { return FormatParser(fmt).run(); }

const ParsedFormat& cached_format(std::string_view fmt) {
  // One thread runs the program; the cache lives for the run. Most WRITEs in
  // a loop repeat the format of the one before, hence the last-hit shortcut.
  static std::unordered_map<std::string, ParsedFormat, TextHash, std::equal_to<>> cache;
  static const std::string* last_key = nullptr;
  static const ParsedFormat* last = nullptr;
  if (last != nullptr && *last_key == fmt) return *last;
  auto it = cache.find(fmt);
  if (it == cache.end()) it = cache.emplace(std::string(fmt), parse_format(fmt)).first;
  last_key = &it->first;
  last = &it->second;
  return *last;
}

}  // namespace mv
