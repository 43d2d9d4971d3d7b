#include "io/format.h"

#include <cmath>
#include <limits>

#include "io/format_edit.h"
#include "io/format_parse.h"
#include "io/units.h"

namespace mv {
namespace {

// The record being built. T and TL may move left and overwrite; X and T
// only move, so a move at the end of a record writes nothing.
struct Record {
  std::string text;
  std::size_t pos = 0;
  std::string field;  // a field edited away from the end of the record

  void start() {
    text.clear();
    pos = 0;
  }
  // Where the next field is appended directly, or the scratch to place.
  std::string& target() {
    if (pos == text.size()) return text;
    field.clear();
    return field;
  }
  void place(std::string& t) {
    if (&t == &text) {
      pos = text.size();
      return;
    }
    put(t);
  }
  void put(std::string_view s) {
    if (text.size() < pos) text.resize(pos, ' ');
    if (text.size() < pos + s.size()) text.resize(pos + s.size());
    text.replace(pos, s.size(), s);
    pos += s.size();
  }
};

int32_t truncated(float r) {
  if (std::isnan(r)) return 0;
  if (r >= 2147483647.0f) return std::numeric_limits<int32_t>::max();
  if (r <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(r);
}

// A value edited under an A descriptor: integers in their shortest form,
// reals as the free-format line writes them, without its padding.
void edit_any_as_text(std::string& out, const FmtItem& it, int32_t w) {
  std::string s;
  if (it.kind == FmtItem::Int) edit_int(s, it.i, 0);
  if (it.kind == FmtItem::Real) edit_general(s, it.r, 15, 8, 2, 1);
  const std::size_t b = s.find_first_not_of(' ');
  const std::size_t e = s.find_last_not_of(' ');
  edit_text(out, b == std::string::npos ? std::string_view() : std::string_view(s).substr(b, e - b + 1), w);
}

// One item under one data descriptor. A mismatched kind is written as well
// as it can be rather than stopping the run: an integer under F, E or G as a
// real, a real under I truncated, a text under a numeric descriptor as Aw.
void edit_item(std::string& out, const FmtNode& n, const FmtItem& it, int32_t scale) {
  if (it.kind == FmtItem::Text) return edit_text(out, it.t, n.op == FmtNode::A ? n.w : std::max(n.w, 0));
  if (n.op == FmtNode::A) return edit_any_as_text(out, it, n.w);
  if (n.op == FmtNode::I) return edit_int(out, it.kind == FmtItem::Int ? it.i : truncated(it.r), n.w, n.d);
  const float x = it.kind == FmtItem::Real ? it.r : static_cast<float>(it.i);
  switch (n.op) {
    case FmtNode::F: return edit_fixed(out, x, n.w, n.d, scale);
    case FmtNode::E: return edit_exp(out, x, n.w, n.d, n.e, scale);
    default: return edit_general(out, x, n.w, n.d, n.e, scale);
  }
}

// Walks the format for one WRITE and hands every finished record to emit.
// Items are consumed by data descriptors; when they run out, processing
// goes on to the next data descriptor, a colon or the end of the format, so
// literals, '/' and positioning after the last item still take effect.
template <class Emit>
void run_format(const ParsedFormat& pf, std::span<const FmtItem> items, Record& rec, Emit&& emit) {
  struct Frame {
    int32_t open;
    int32_t left;
  };
  Frame stack[34];
  int32_t depth = 0;
  std::size_t next = 0;
  int32_t scale = 0;
  bool used_since_reversion = false;
  const std::vector<FmtNode>& nodes = pf.nodes;
  const int32_t last = static_cast<int32_t>(nodes.size()) - 1;
  rec.start();
  int32_t pc = 1;
  for (;;) {
    const FmtNode& n = nodes[static_cast<std::size_t>(pc)];
    switch (n.op) {
      case FmtNode::Open:
        stack[depth++] = {pc, n.repeat};
        ++pc;
        continue;
      case FmtNode::Close:
        if (pc == last) {
          // Reversion: a new record, then again from the last top-level group.
          if (next == items.size() || !used_since_reversion) break;
          emit(std::string_view(rec.text));
          rec.start();
          used_since_reversion = false;
          depth = 0;
          pc = pf.reversion;
          continue;
        }
        if (--stack[depth - 1].left > 0) {
          pc = stack[depth - 1].open + 1;
        } else {
          --depth;
          ++pc;
        }
        continue;
      case FmtNode::Colon:
        if (next == items.size()) break;
        ++pc;
        continue;
      case FmtNode::Slash:
        for (int32_t r = 0; r < n.repeat; ++r) {
          emit(std::string_view(rec.text));
          rec.start();
        }
        ++pc;
        continue;
      case FmtNode::X:
      case FmtNode::TR:
        rec.pos += static_cast<std::size_t>(n.w);
        ++pc;
        continue;
      case FmtNode::TL:
        rec.pos -= std::min(rec.pos, static_cast<std::size_t>(n.w));
        ++pc;
        continue;
      case FmtNode::T:
        rec.pos = static_cast<std::size_t>(n.w - 1);
        ++pc;
        continue;
      case FmtNode::Literal:
        rec.put(std::string_view(pf.literals).substr(static_cast<std::size_t>(n.link),
                                                     static_cast<std::size_t>(n.len)));
        ++pc;
        continue;
      case FmtNode::Scale:
        scale = n.w;
        ++pc;
        continue;
      default: {
        int32_t r = 0;
        for (; r < n.repeat && next < items.size(); ++r) {
          std::string& out = rec.target();
          edit_item(out, n, items[next++], scale);
          rec.place(out);
        }
        if (r < n.repeat) break;
        used_since_reversion = true;
        ++pc;
        continue;
      }
    }
    break;  // the WRITE is complete
  }
  emit(std::string_view(rec.text));
}

// The record buffer is reused from WRITE to WRITE; a WRITE started while
// another is emitting (a unit writer that formats) gets its own.
template <class Emit>
void format_with(std::string_view fmt, std::span<const FmtItem> items, Emit&& emit) {
  thread_local Record shared;
  thread_local bool busy = false;
  const ParsedFormat& pf = cached_format(fmt);
  if (busy) {
    Record own;
    run_format(pf, items, own, emit);
    return;
  }
  busy = true;
  struct Release {
    bool& b;
    ~Release() { b = false; }
  } release{busy};
  run_format(pf, items, shared, emit);
}

}  // namespace

std::vector<std::string> format_records(std::string_view fmt, std::span<const FmtItem> items) {
  std::vector<std::string> records;
  format_with(fmt, items, [&](std::string_view r) { records.emplace_back(r); });
  return records;
}

void write_items(int32_t unit, std::string_view fmt, std::span<const FmtItem> items) {
  format_with(fmt, items, [&](std::string_view r) { write_record(unit, r); });
}

std::string list_line(std::span<const FmtItem> items) {
  std::string line(1, ' ');
  for (std::size_t k = 0; k < items.size(); ++k) {
    const FmtItem& it = items[k];
    const bool joined = it.kind == FmtItem::Text && k > 0 && items[k - 1].kind == FmtItem::Text;
    if (k > 0 && !joined) line += ' ';
    switch (it.kind) {
      case FmtItem::Int: edit_int(line, it.i, 11); break;
      case FmtItem::Real: edit_general(line, it.r, 15, 8, 2, 1); break;
      case FmtItem::Text: line += it.t; break;
    }
  }
  return line;
}

void list_write_items(int32_t unit, std::span<const FmtItem> items) { write_record(unit, list_line(items)); }

}  // namespace mv
