// The work array: one array of 4-byte cells, numbered from 1, from which
// every matrix and vector of a calculation is taken stack-like. A block is
// known only by its first cell; one block can be seen as reals or integers.
// Allocated and released cells are filled with 0x7149F2CA (the real 1.0E30),
// so a cell read before it is written shows 1.0E30, never a leftover (released
// cells on whole pages that hold no memory, such as those of a removed region,
// stay zero: filling them would only take the pages again).
//
// The array has 10,000,000 cells unless the run asks for another size
// (morvex7 --work-array CELLS). Its address space is reserved at once, but
// memory is taken from the system only as cells are first used, so a large
// work array costs nothing until a model needs it.
#pragma once
#include <cstdint>
#include <string_view>

namespace mv {

inline constexpr int32_t default_heap_cells = 10000000;
inline constexpr uint32_t heap_fill_pattern = 0x7149F2CAu;

// The size: cells 1..cells, and the limit of the size check, lheap =
// cells - 1: the last cell that can be in use is cells - 2.
struct heap_size_block {
  int32_t cells = default_heap_cells;
  int32_t lheap = default_heap_cells - 1;
};
extern heap_size_block heap_size;

struct heap_block {
  float* cell = nullptr;  // cell[0] unused; cells 1..heap_size.cells
};
extern heap_block heap;

// Gives the work array `cells` cells (at least 2), empty; before a run.
// False when the address space cannot be reserved (the old array stays).
bool set_heap_cells(int32_t cells);

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
// check(value, lheap, "lheap", 0) for a value that may exceed the 4-byte
// range (a product of dimensions): the message gives the value itself, and
// the stop names the --work-array size that would have sufficed.
void check_lheap(int64_t value);
// Stops the run as alloc would unless a block of n cells fits above the top.
void check_room(int64_t n);

void zero(float* a, int32_t n);
void izero(int32_t* a, int32_t n);

// Empties the work array and clears the peak (tests, start of run).
void reset_heap();

}  // namespace mv
