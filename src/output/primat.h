// The matrix printer: a spectrum leaves the program in the spectrum file
// (unit 44) as a one-row matrix block (bra energy, ket energies, elements).
// order and condens prepare an Auger spectrum for it.
#pragma once
#include <cstdint>
#include <string_view>

namespace mv {

// Writes one block of m lines (energies e, values v) to unit 44. Labels are
// taken at their full length, as fixed-length texts: a8 right-aligns a shorter
// one and keeps the first 8 characters of a longer one.
void primat(int32_t step, float bra_energy, const float* e, const float* v, int32_t m,
            std::string_view l1, std::string_view l2, std::string_view l3, int32_t idx1,
            int32_t idx2);

// Sorts n lines by ascending energy, each value moving with its energy; lines
// of equal energy keep the order they came in.
void order(float* e, float* v, int32_t n);

// Merges lines of a sorted spectrum in place: a line closer than delta/2 to the
// current kept line, or weaker than `weak`, adds its value to that kept line.
// Kept energies end at least delta apart. m returns the number of lines left.
void condens(float* e, float* v, int32_t n, float weak, float delta, int32_t& m);

}  // namespace mv
