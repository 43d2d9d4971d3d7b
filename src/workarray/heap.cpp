#include "workarray/heap.h"

#include <algorithm>
#include <bit>

#include "support/runsupport.h"
#include "io/format.h"

namespace mv {

heap_block heap{std::vector<float>(static_cast<std::size_t>(heap_cells) + 1)};
heap_info_block heap_info;
qaz_block qaz;

namespace {

const float fill_value = std::bit_cast<float>(heap_fill_pattern);

void fill(int32_t start, int32_t n) {
  if (n <= 0) return;
  std::fill_n(heap.cell.begin() + start, n, fill_value);
}

// Diagnostic hooks: called where the allocator's owner wants to watch it.
void check_heap() {}
void debugheap(std::string_view, int32_t, int32_t, const heap_info_block&, std::string_view) {}
void free_mem() {}
void cut_region() {}

}  // namespace

float* rh(int32_t pos) { return heap.cell.data() + pos; }
int32_t* ih(int32_t pos) { return reinterpret_cast<int32_t*>(heap.cell.data() + pos); }

void alloc(std::string_view name, int32_t n, int32_t& start) {
  check_heap();
  start = heap_info.top + 1;
  // The sum can exceed the 4-byte range for absurd requests; such a request
  // must still fail the check, not wrap around.
  int64_t end = int64_t(start) + std::max(n, 0);
  check(static_cast<int32_t>(std::min<int64_t>(end, INT32_MAX)), lheap, "lheap", 0);
  if (n < 0) n = 0;
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
  fill(start, n);
  free_mem();
  heap_info.top -= n;
  debugheap("dealloc", n, start, heap_info, name);
}

void cut_heap(std::string_view name, int32_t start) {
  (void)name;
  dealloc("cut_heap", heap_info.top - start + 1, start);
}

void remove_region(std::string_view name, int32_t first_marker, int32_t second_marker) {
  cut_region();
  debugheap("remove_region", second_marker - first_marker, first_marker, heap_info, name);
}

void check(int32_t value, int32_t limit, std::string_view name, int32_t print) {
  if (limit < value) {
    list_write(6, "Increase parameter ", name, " from ", limit, " to ", value);
    quitprog("Increase dimension. See output.");
  }
  if (print != 0) list_write(6, "PARAMETER ", name, " :USED=", value, " :SIZE=", limit);
}

void zero(float* a, int32_t n) {
  if (n > 0) std::fill_n(a, n, 0.0f);
}

void izero(int32_t* a, int32_t n) {
  if (n > 0) std::fill_n(a, n, 0);
}

void reset_heap() {
  heap_info = {};
  qaz = {};
  std::fill(heap.cell.begin(), heap.cell.end(), fill_value);
}

}  // namespace mv
