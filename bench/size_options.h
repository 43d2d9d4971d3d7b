// Command line of the kernel-against-OpenBLAS benchmarks: matrix sizes as
// plain numbers, `--threads T` for the engine's pool and `--lanes W` to cap
// the vector width. OpenBLAS always runs on one thread.
#pragma once
#include <cstdlib>
#include <string>
#include <vector>

#include "parallel/pool.h"
#include "spectra/simd.h"

namespace bench {

struct SizeOptions {
  std::vector<int> sizes;  // empty: the benchmark's own list
  int threads = 1;
};

// Reads the options and applies the thread count and lane cap.
inline SizeOptions size_options(int argc, char** argv) {
  SizeOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--threads" && i + 1 < argc) {
      o.threads = std::atoi(argv[++i]);
    } else if (arg == "--lanes" && i + 1 < argc) {
      mv::simd::limit_width(std::atoi(argv[++i]));
    } else {
      o.sizes.push_back(std::atoi(arg.c_str()));
    }
  }
  mv::parallel::set_threads(o.threads);
  return o;
}

}  // namespace bench
