// The band-calculation commands: getact reads one block of the command file up
// to TRIADS into the model parameters; getmul looks up a symmetry's
// multiplicity and dimension in the recipe file's IRREP tables.
#pragma once
#include <cstdint>
#include <string_view>

namespace mv {

// The model parameters, owned by the main program and updated by every block.
struct band_parameters {
  int32_t nconf[2] = {0, 0};  // ground, excited
  int32_t n2 = 0, n3 = 0;
  float w = 0, del = 0, ucv = 0, uvv = 0;
  float eg[3] = {0, 0, 0}, ef[3] = {0, 0, 0};
  float dip = 1.0f;
  int32_t auger = 0;
  float efaug[9][3] = {};  // efaug[channel-1][config-1]
  int32_t nomega = 0;
  float estart = 0, estep = 0;  // start at 0 so runs are deterministic
  float dipaug[9] = {};
  float ci[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
};

// Reads commands from the current unit until TRIADS. The first call of a run
// sets the defaults; later blocks change only what they mention.
void getact(band_parameters& p);
// Makes the next getact call the run's first again (tests).
void reset_getact();

// Clears the computed-matrix store records whose state number lies in a..b.
void delete_from_store(int32_t a, int32_t b);

// Finds "IRREP <kind...> <label> MULT m DIM d" on the current unit; m is
// returned, d is filled when 0 on entry and checked otherwise.
void getmul(int32_t& m, int32_t& d, std::string_view label, std::string_view kind);

struct iter_block {
  int32_t maxiter = 100;
};
extern iter_block iter;

}  // namespace mv
