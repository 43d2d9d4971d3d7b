// The work array: one fixed array of 4-byte cells, numbered from 1, from which
// every matrix and vector of a calculation is taken stack-like. A block is
// known only by its first cell; one block can be seen as reals or integers.
// Allocated and released cells are filled with 0x7149F2CA (the real 1.0E30),
// so a cell read before it is written shows 1.0E30, never a leftover.
#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

namespace mv {

inline constexpr int32_t heap_cells = 10000000;
inline constexpr int32_t lheap = 9999999;
inline constexpr uint32_t heap_fill_pattern = 0x7149F2CAu;

struct heap_block {
  std::vector<float> cell;  // cell[0] unused; cells 1..heap_cells
};
extern heap_block heap;

struct heap_info_block {
  int32_t top = 0;   // last cell in use
  int32_t peak = 0;  // largest top of the run
};
extern heap_info_block heap_info;

// qaz: the OLDCOWAN switch and the integers-per-cell ratio.
struct qaz_block {
  int32_t oldcowan = 0;
  int32_t ints_per_cell = 1;
};
extern qaz_block qaz;

// Cell `pos` seen as a real or as an integer (1-based positions).
float* rh(int32_t pos);
int32_t* ih(int32_t pos);

void alloc(std::string_view name, int32_t n, int32_t& start);
void illoc(std::string_view name, int32_t n, int32_t& start);
void dealloc(std::string_view name, int32_t n, int32_t start);
void cut_heap(std::string_view name, int32_t start);
void remove_region(std::string_view name, int32_t first_marker, int32_t second_marker);

// Stops the run ("Increase dimension. See output.") when value > limit.
void check(int32_t value, int32_t limit, std::string_view name, int32_t print);

void zero(float* a, int32_t n);
void izero(int32_t* a, int32_t n);

// Empties the work array and clears the peak (tests, start of run).
void reset_heap();

}  // namespace mv
