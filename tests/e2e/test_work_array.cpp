// The size of the work array (--work-array): a larger one changes no byte of
// a run; a too small one stops the run with the size it needs, on standard
// output as designed and as the option on the error stream, and following
// that advice gives the run of the default size.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "e2e_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// Every file of the directory, with standard output and error.
std::map<std::string, std::string> outputs(const RunDir& dir, const RunResult& r) {
  std::map<std::string, std::string> all{{"<stdout>", r.out}, {"<stderr>", r.err}};
  for (const auto& e : fs::directory_iterator(dir.path())) {
    all[e.path().filename().string()] = dir.get(e.path().filename().string());
  }
  return all;
}

TEST(WorkArray, LargerArrayChangesNoByte) {
  for (const char* example : {"auger_resonance", "charge_transfer"}) {
    RunDir base(std::string("wa_default_") + example), large(std::string("wa_large_") + example);
    put_example(base, example);
    put_example(large, example);
    const RunResult a = base.run();
    const RunResult b = large.run("--work-array 60000000 --threads 2");
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(outputs(large, b), outputs(base, a)) << example;
  }
}

TEST(WorkArray, TooSmallArrayNamesTheSizeNeeded) {
  RunDir base("wa_reference");
  put_example(base, "auger_resonance");
  const RunResult want = base.run();
  ASSERT_EQ(want.status, 0) << want.err;

  // Start far too small and follow the advice of each stop: the first advice
  // already holds the Auger calculation, whose need grows by steps (following
  // the bare need of the failing step took 15 reruns), and the run that fits is
  // the run of the default size.
  int64_t cells = 700;
  for (int attempt = 0; attempt < 40; ++attempt) {
    RunDir dir("wa_small_" + std::to_string(attempt));
    put_example(dir, "auger_resonance");
    const RunResult r = dir.run("--work-array " + std::to_string(cells));
    if (r.status == 0) {
      EXPECT_EQ(attempt, 1) << "the first advice should hold the whole calculation";
      EXPECT_EQ(outputs(dir, r), outputs(base, want));
      return;
    }
    ASSERT_EQ(r.status, 1) << r.err;
    const std::string message = line_with(r.out, "Increase parameter lheap from");
    ASSERT_FALSE(message.empty()) << r.out;
    std::istringstream words(message.substr(message.find("from") + 4));
    int64_t limit = 0, needed = 0;
    std::string to;
    words >> limit >> to >> needed;
    EXPECT_EQ(limit, cells - 1);
    EXPECT_GT(needed, limit);
    const std::string note =
        "morvex7: the work array of " + std::to_string(cells) +
        " cells is too small: the step that stopped needs " + std::to_string(needed + 1) +
        " cells, counting only what the calculation holds so far; later steps may need more, "
        "so run with --work-array " + std::to_string(4 * (needed + 1)) +
        " (memory is taken only as the model uses it)\n";
    EXPECT_EQ(r.err, note + "STOP quitprog: see output\n");
    cells = 4 * (needed + 1);
  }
  FAIL() << "following the advice never gave a run that fits";
}

TEST(WorkArray, DefaultArrayGivesTheRealSizeOfALargeModel) {
  // 90 x 90 band levels: bases of tens of thousands of states, blocks of
  // hundreds of millions of cells, far beyond the default array.
  RunDir dir("wa_large_model");
  put_example(dir, "charge_transfer");
  std::string commands = dir.get("fort.50");
  const std::size_t at = commands.find("N2 4 N3 3 ");
  ASSERT_NE(at, std::string::npos);
  commands.replace(at, 10, "N2 90 N3 90 ");
  dir.put("fort.50", commands);
  const RunResult r = dir.run();
  EXPECT_EQ(r.status, 1);
  const std::string message = line_with(r.out, "Increase parameter lheap from      9999999  to ");
  ASSERT_FALSE(message.empty()) << r.out;
  const int64_t needed = std::stoll(message.substr(message.rfind(' ')));
  EXPECT_GT(needed, 100000000);
  EXPECT_EQ(r.err,
            "morvex7: the work array of 10000000 cells is too small: the step that stopped "
            "needs " + std::to_string(needed + 1) +
                " cells, counting only what the calculation holds so far; later steps may need "
                "more, so run with --work-array " +
                std::to_string(std::min<int64_t>(4 * (needed + 1), INT32_MAX)) +
                " (memory is taken only as the model uses it)\nSTOP quitprog: see output\n");
}

TEST(WorkArray, BadSizesAreRefusedBeforeTheRun) {
  RunDir dir("wa_bad");
  for (const char* args : {"--work-array", "--work-array 1", "--work-array 1e6", "--work-array=-5",
                           "--work-array 3000000000"}) {
    const RunResult r = dir.run(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find("usage: morvex7"), std::string::npos) << args << ": " << r.err;
  }
  EXPECT_FALSE(dir.exists("fort.44"));
}

}  // namespace
}  // namespace e2e
