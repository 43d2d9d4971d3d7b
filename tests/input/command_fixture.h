// Shared set-up of the command-language tests: every global block back to its
// start value, memory units for the command file, the spectrum file and the
// log, and helpers to run a reader call until the run stops.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "auger/com_gamma.h"
#include "coefficients/actors.h"
#include "coefficients/find_data.h"
#include "hamiltonian/bandexpansion.h"
#include "input/getact.h"
#include "input/reader.h"
#include "io/notice.h"
#include "io/stop.h"
#include "io/units.h"
#include "spectra/spectr.h"
#include "workarray/heap.h"

namespace mv::test {

inline std::vector<std::string> records(const std::string& text) {
  std::vector<std::string> r;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) r.push_back(line);
  return r;
}

class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_units();
    reset_reader();
    reset_getact();
    store_index = {};
    store_ir_index = {};
    actors = {};
    cprmult = {};
    qaz = {};
    spectr = {};
    bandexpansion = {};
    com_gamma = {};
    iter = {};
    attach_memory(6);
    attach_memory(44);
  }
  void TearDown() override {
    capture_notices(nullptr);
    reset_units();
  }

  // The command file; the reader starts on it as the main program does.
  void commands(std::string text) {
    attach_memory(command_unit, std::move(text));
    newfil(command_unit);
  }
  std::string log() const { return unit_contents(6); }
  std::vector<std::string> log_records() const { return records(unit_contents(6)); }
  std::vector<std::string> echo_records() const { return records(unit_contents(44)); }

  // Runs f, which must end the run; returns how it ended.
  static RunStop stop_of(const std::function<void()>& f) {
    try {
      f();
    } catch (const RunStop& s) {
      return s;
    }
    ADD_FAILURE() << "the run did not stop";
    return {};
  }
};

}  // namespace mv::test
