// A test that starts from an empty work array with chosen units attached to
// memory, and leaves both clean for the next test.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "io/units.h"
#include "workarray/heap.h"

namespace mv {

class WorkArrayTest : public ::testing::Test {
 protected:
  explicit WorkArrayTest(std::initializer_list<int32_t> units = {6}) : units_(units) {}
  void SetUp() override {
    reset_units();
    reset_heap();
    for (int32_t u : units_) attach_memory(u);
  }
  void TearDown() override {
    reset_units();
    reset_heap();
  }

 private:
  std::vector<int32_t> units_;
};

}  // namespace mv
