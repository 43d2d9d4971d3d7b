// The main loop's limits of band-calculation blocks per run and triads per
// block: input past them stops the run with a message instead of being
// dropped (blocks) or read as commands (triads); a command file that ends at
// the limit ends normally. The limit is lowered to 2 so the runs stay short.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "driver/mainprog.h"
#include "hamiltonian/sparse.h"
#include "input/command_fixture.h"
#include "io/stop.h"
#include "io/units.h"
#include "workarray/heap.h"

namespace mv {
namespace {

std::string example_file(const std::string& name) {
  const auto path = std::filesystem::path(MORVEX7_SOURCE_DIR) / "examples" /
                    "ti4_oh_crystal_field" / name;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The command-language tests' fresh run, plus the work array and the sparse
// builder's tables, with every unit of a whole run in memory.
class LoopLimits : public test::CommandTest {
 protected:
  void SetUp() override {
    CommandTest::SetUp();
    reset_heap();
    ibuild = {};
    indx = {};
    for (int32_t unit : {6, 43, 44, 98, 99}) attach_memory(unit);
    attach_memory(14, example_file("FTN14"));
    attach_memory(15, example_file("FTN15"));
  }

  RunStop run(const std::string& commands) {
    attach_memory(command_unit, commands);
    return stop_of([] { MAIN(2); });
  }
  static std::string last_line(const std::string& text) {
    const std::size_t end = text.find_last_not_of('\n');
    return text.substr(text.rfind('\n', end) + 1, end - text.rfind('\n', end));
  }
};

TEST_F(LoopLimits, ABlockPastTheLimitStopsTheRun) {
  const RunStop s = run("TRIADS\nENDTRIADS\nTRIADS\nENDTRIADS\nTRIADS\nENDTRIADS\n");
  EXPECT_EQ(s.status, status_fatal);
  EXPECT_EQ(s.text, "quitprog: see output");
  EXPECT_EQ(last_line(unit_contents(6)),
            " The command file has more than 2 band-calculation blocks: a run reads no more; "
            "split the command file.");
}

TEST_F(LoopLimits, ACommandFileEndingAtTheLimitEndsNormally) {
  const RunStop s = run("TRIADS\nENDTRIADS\nTRIADS\nENDTRIADS\n% the end\n\n");
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(s.text, "Normal end because of end of file on input");
}

TEST_F(LoopLimits, ATriadPastTheLimitStopsTheRunBeforeItsCalculation) {
  std::string commands = example_file("fort.50");
  const std::size_t triad = commands.find("A1G T1U T1U\n");
  ASSERT_NE(triad, std::string::npos);
  commands.insert(triad, "A1G T1U T1U\n");  // two triads: at the limit
  RunStop s = run(commands);
  EXPECT_EQ(s.status, 0) << unit_contents(6);
  const std::string two_triads = unit_contents(43);
  EXPECT_FALSE(two_triads.empty());

  SetUp();
  commands.insert(triad, "A1G T1U T1U\n");
  s = run(commands);
  EXPECT_EQ(s.status, status_fatal);
  EXPECT_EQ(last_line(unit_contents(6)),
            " The command file has more than 2 triads in band-calculation block 1: a run reads "
            "no more; split the command file.");
  EXPECT_EQ(unit_contents(43), two_triads);  // the first two were calculated
}

}  // namespace
}  // namespace mv
