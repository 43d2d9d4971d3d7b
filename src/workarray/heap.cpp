#include "workarray/heap.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "io/format.h"
#include "support/runsupport.h"

namespace mv {

namespace {

// Cells 0..cells: cell 0 is never used, numbering starts at 1.
std::size_t bytes_of(int32_t cells) {
  return (static_cast<std::size_t>(cells) + 1) * sizeof(float);
}

// Address space for the cells, reserved without committing memory: the pages
// are zero and cost nothing until a cell on them is first written. Large pages
// where the system offers them: one fault for 2 MB instead of 512, and fewer
// address-translation misses while a kernel streams through a large block.
float* reserve(int32_t cells) {
  void* p = mmap(nullptr, bytes_of(cells), PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  madvise(p, bytes_of(cells), MADV_HUGEPAGE);
  return static_cast<float*>(p);
}

}  // namespace

heap_size_block heap_size;
heap_block heap{reserve(default_heap_cells)};
heap_info_block heap_info;
qaz_block qaz;

namespace {

const float fill_value = std::bit_cast<float>(heap_fill_pattern);

void fill(int32_t start, int32_t n) {
  if (n <= 0) return;
  std::fill_n(heap.cell + start, n, fill_value);
}

constexpr std::uintptr_t page_bytes = 4096;

// The cells of a released block get the fill pattern, but for the whole pages
// that hold no memory (given back by remove_region, or never written): filling
// them would only have the system clear them for nothing, since every
// allocation fills its cells again before anyone reads them. They stay given
// back and read as zero.
void fill_released(int32_t start, int32_t n) {
  if (n <= 0) return;
  const auto first = reinterpret_cast<std::uintptr_t>(heap.cell + start);
  const auto end = reinterpret_cast<std::uintptr_t>(heap.cell + start + n);
  const std::uintptr_t lo = (first + page_bytes - 1) & ~(page_bytes - 1);
  const std::uintptr_t hi = end & ~(page_bytes - 1);
  std::vector<unsigned char> in_core(lo < hi ? (hi - lo) / page_bytes : 0);
  if (in_core.size() < 2 || mincore(reinterpret_cast<void*>(lo), hi - lo, in_core.data()) != 0) {
    fill(start, n);
    return;
  }
  auto cell_at = [](std::uintptr_t address) {
    return static_cast<int32_t>((reinterpret_cast<float*>(address) - heap.cell));
  };
  // Runs of pages with the same residency; the part pages at both ends are filled.
  int32_t from = start;
  std::size_t p = 0;
  while (p < in_core.size()) {
    std::size_t q = p;
    const bool resident = (in_core[p] & 1) != 0;
    while (q < in_core.size() && ((in_core[q] & 1) != 0) == resident) ++q;
    if (!resident) {
      const int32_t gap = cell_at(lo + p * page_bytes), after = cell_at(lo + q * page_bytes);
      fill(from, gap - from);
      from = after;
    }
    p = q;
  }
  fill(from, start + n - from);
}

// " " and the value in 11 columns: how the list-directed line writes a 4-byte
// integer, for a value beyond that range.
std::string wide_count(int64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, " %11" PRId64, value);
  return text;
}

// Diagnostic hooks: called where the allocator's owner wants to watch it.
void check_heap() {}
void debugheap(std::string_view, int32_t, int32_t, const heap_info_block&, std::string_view) {}
void free_mem() {}
void cut_region() {}

}  // namespace

bool set_heap_cells(int32_t cells) {
  if (cells < 2) return false;
  float* cell = reserve(cells);
  if (cell == nullptr) return false;
  if (heap.cell != nullptr) munmap(heap.cell, bytes_of(heap_size.cells));
  heap.cell = cell;
  heap_size = {cells, cells - 1};
  heap_info = {};
  return true;
}

float* rh(int32_t pos) { return heap.cell + pos; }
int32_t* ih(int32_t pos) { return reinterpret_cast<int32_t*>(heap.cell + pos); }

void alloc(std::string_view name, int32_t n, int32_t& start) {
  check_heap();
  start = heap_info.top + 1;
  if (n < 0) n = 0;
  check_room(n);
  heap_info.top += n;
  heap_info.peak = std::max(heap_info.peak, heap_info.top);
  debugheap("alloc", n, start, heap_info, name);
  fill(start, n);
}

void illoc(std::string_view name, int32_t n, int32_t& start) {
  const int32_t k = qaz.ints_per_cell;
  int32_t c = 0;
  // Rounded up in 8 bytes: a request near the 4-byte limit must reach the
  // size check, not wrap around on the way there.
  const int64_t cells = (int64_t{n} + k - 1) / k;
  alloc(name, static_cast<int32_t>(std::min<int64_t>(cells, INT32_MAX)), c);
  start = (c - 1) * k + 1;
}

void dealloc(std::string_view name, int32_t n, int32_t start) {
  if (n <= 0) return;
  fill_released(start, n);
  free_mem();
  heap_info.top -= n;
  debugheap("dealloc", n, start, heap_info, name);
}

void cut_heap(std::string_view name, int32_t start) {
  (void)name;
  dealloc("cut_heap", heap_info.top - start + 1, start);
}

// The region's cells stay where they are (the top and the peak do not move),
// but nothing reads them again: the whole pages among them go back to the
// system, so that the memory a run holds falls while the work array grows
// above them. A page given back reads as zero until a cell on it is written;
// alloc and dealloc fill their cells as before, taking the page anew.
void remove_region(std::string_view name, int32_t first_marker, int32_t second_marker) {
  cut_region();
  debugheap("remove_region", second_marker - first_marker, first_marker, heap_info, name);
  if (first_marker < 1 || second_marker <= first_marker || second_marker > heap_size.cells + 1) {
    return;
  }
  const auto first = reinterpret_cast<std::uintptr_t>(heap.cell + first_marker);
  const auto end = reinterpret_cast<std::uintptr_t>(heap.cell + second_marker);
  const std::uintptr_t lo = (first + page_bytes - 1) & ~(page_bytes - 1);
  const std::uintptr_t hi = end & ~(page_bytes - 1);
  if (lo < hi) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_DONTNEED);
}

void check(int32_t value, int32_t limit, std::string_view name, int32_t print) {
  if (limit < value) {
    list_write(6, "Increase parameter ", name, " from ", limit, " to ", value);
    quitprog("Increase dimension. See output.");
  }
  if (print != 0) list_write(6, "PARAMETER ", name, " :USED=", value, " :SIZE=", limit);
}

void check_lheap(int64_t value) {
  const int32_t limit = heap_size.lheap;
  if (value <= limit) return;
  if (value <= INT32_MAX) {
    list_write(6, "Increase parameter ", "lheap", " from ", limit, " to ",
               static_cast<int32_t>(value));
  } else {
    list_write(6, "Increase parameter ", "lheap", " from ", limit, " to ", wide_count(value));
  }
  // The check passes when value <= cells - 1. That is the need of the step that
  // failed, on top of what the calculation holds at that point; later steps may
  // ask for more (an Auger calculation grows by steps to several times its first
  // need). Memory is taken only as the model uses it, so the advice names four
  // times that need, which holds the calculations measured in one run, and says
  // what the smaller number is.
  const int64_t cells = value + 1;
  const int64_t roomy = std::min<int64_t>(4 * cells, INT32_MAX);
  std::string note = "morvex7: the work array of " + std::to_string(heap_size.cells) +
                     " cells is too small: the step that stopped needs " +
                     std::to_string(cells) +
                     " cells, counting only what the calculation holds so far; later steps "
                     "may need more, so run with --work-array " +
                     std::to_string(roomy) +
                     " (memory is taken only as the model uses it)";
  if (cells > INT32_MAX) {
    note = "morvex7: this model needs a work array of " + std::to_string(cells) +
           " cells, more than --work-array allows (" + std::to_string(INT32_MAX) + ")";
  }
  quitprog("Increase dimension. See output.", note);
}

// The sum is taken in 8 bytes: an absurd request must fail the check with
// its real size, not wrap around.
void check_room(int64_t n) { check_lheap(int64_t{heap_info.top} + 1 + std::max<int64_t>(n, 0)); }

void zero(float* a, int32_t n) {
  if (n > 0) std::fill_n(a, n, 0.0f);
}

void izero(int32_t* a, int32_t n) {
  if (n > 0) std::fill_n(a, n, 0);
}

void reset_heap() {
  heap_info = {};
  qaz = {};
  // Every cell back to an untouched page: its memory returns to the system,
  // and an allocation fills its cells before anyone can read them.
  madvise(heap.cell, bytes_of(heap_size.cells), MADV_DONTNEED);
}

}  // namespace mv
