// The band-calculation block: defaults and persistence, whole-word matching,
// every command's arguments, the actor tables and their bounds, capacity stops
// and the store deletions at TRIADS.
#include <algorithm>

#include "command_fixture.h"

namespace mv::test {
namespace {

using GetactTest = CommandTest;

int count_of(const std::vector<std::string>& r, const std::string& line) {
  return static_cast<int>(std::count(r.begin(), r.end(), line));
}

// What the main program does between two blocks: the triad list up to ENDTRIADS.
void skip_triads() {
  newfil(command_unit);
  ASSERT_TRUE(same_word(chaget(), "ENDTRIADS"));
  newfil(command_unit);
}

TEST_F(GetactTest, FirstBlockSetsDefaultsOnce) {
  band_parameters p;
  p.dip = 3.0f;
  p.auger = 1;
  p.ci[4] = 0.5f;
  p.nomega = 7;
  p.estep = 0.25f;
  actor_count(1, 2, 1, 2) = 3;
  bandexpansion.c[0] = 2.0f;
  spectr.window = 5.0f;
  qaz.oldcowan = 1;
  commands("NCONF 1 1\nN2 10\nTRIADS\n");
  getact(p);
  EXPECT_EQ(p.n2, 10);
  EXPECT_EQ(std::vector<float>({p.dip, p.ci[4], p.w, p.del, p.ef[0], bandexpansion.c[0]}),
            std::vector<float>({1.0f, 1.0f, 0.0f, 0.0f, 0.0f, 1.0f}));
  EXPECT_EQ(std::vector<int32_t>({p.auger, actor_count(1, 2, 1, 2), qaz.oldcowan, iter.maxiter}),
            std::vector<int32_t>({0, 0, 0, 100}));
  EXPECT_EQ(spectr.window, 1.0e-6f);
  EXPECT_EQ(p.nomega, 7);  // the photon-energy grid has no default
  EXPECT_EQ(p.estep, 0.25f);
  EXPECT_EQ(trimmed(ctrace.name), "getact");
  EXPECT_TRUE(log().empty());  // empty store: no deletion message
}

TEST_F(GetactTest, EveryScalarCommandAndPersistenceAcrossBlocks) {
  band_parameters p;
  commands(
      "NCONF 2 3 N2 100 N3 5 W 3.5 DEL 1 UVV 3 UCV 2\n"
      "EG1 0.1 EG2 0.2 EG3 0.3 EF1 1.1 EF2 1.2 EF3 1.3 DIP 0.5\n"
      "PRMULT OLDCOWAN MAXITER 7 ERANGE 0.01 SHAPE 3 1.0 0.3 -0.5 0.25 CIRCLE\n"
      "AUGER NO 2 CI 0.7 ENDAUGER TRIADS rest ignored\nENDTRIADS\n"
      "del 2.5 SQUARE TRIADS\n");
  getact(p);
  const auto reals = [&] {
    return std::vector<float>({p.w, p.del, p.uvv, p.ucv, p.eg[0], p.eg[1], p.eg[2], p.ef[0],
                               p.ef[1], p.ef[2], p.dip, p.ci[1], spectr.window});
  };
  const auto ints = [&] {
    return std::vector<int32_t>(
        {p.nconf[0], p.nconf[1], p.n2, p.n3, cprmult.prmult, qaz.oldcowan, iter.maxiter, p.auger});
  };
  std::vector<float> want = {3.5f, 1, 3, 2, 0.1f, 0.2f, 0.3f, 1.1f, 1.2f, 1.3f, 0.5f, 0.7f, 0.01f};
  EXPECT_EQ(reals(), want);
  EXPECT_EQ(ints(), std::vector<int32_t>({2, 3, 100, 5, 1, 1, 7, 1}));
  // CIRCLE over SHAPE: order 2, c(0) = 1, c(2) = -1, c(1) and c(3) kept.
  EXPECT_EQ(bandexpansion.order, 2);
  EXPECT_EQ(std::vector<float>(bandexpansion.c, bandexpansion.c + 4),
            std::vector<float>({1.0f, 0.3f, -1.0f, 0.25f}));

  skip_triads();
  getact(p);  // only DEL and the band shape change; the Auger flag stays set
  want[1] = 2.5f;
  EXPECT_EQ(reals(), want);
  EXPECT_EQ(ints(), std::vector<int32_t>({2, 3, 100, 5, 1, 1, 7, 1}));
  EXPECT_EQ(bandexpansion.order, 0);
  EXPECT_EQ(comwarn.count, 0);
}

TEST_F(GetactTest, KeywordsMatchWholeWordsAndUnknownWordsWarn) {
  band_parameters p;
  commands("NCONFS 1 DELTA ncOnf 2 1 n_2 5 DEL 0.5 TRIADSX TRIADS\n");
  getact(p);
  EXPECT_EQ(p.nconf[0], 2);
  EXPECT_EQ(p.n2, 5);
  EXPECT_EQ(p.del, 0.5f);
  EXPECT_EQ(comwarn.count, 4);  // NCONFS, its 1, DELTA, TRIADSX
  const auto out = log_records();
  EXPECT_EQ(count_of(out,
                     " ERROR. Expected one of the following commands:  NCONF , N2 , N3 , W , DEL , "
                     "UVV , UCV , XHAM , XMIX , TRAN, AUGER , DEF , DIP, OLDCOWAN, OLDGROUND, "
                     "OLDEXCITE or PRMULT"),
            4);
  EXPECT_EQ(out[2], " NCONFS<< 1 DELTA NCONF 2 1 N2 5 DEL 0.5 TRIADSX TRIADS");
}

TEST_F(GetactTest, OperatorCommandsFillTheActorTables) {
  band_parameters p;
  commands(
      "XHAM 2 1.0 0.5 2 1 1 2 1 XMIX 1 0.7 1 1 1 2 TRAN 1 1 2\n"
      "XTRAN 2 0.3 0.4 2 2 3 3 3 XHAM 1 9.0 1 2 2 TRIADS\nENDTRIADS\n"
      "XHAM 0 1 2 2 TRIADS\n");
  getact(p);
  EXPECT_EQ(std::vector<int32_t>({actor_count(1, 1, 1, 1), actor_count(2, 2, 1, 1),
                                  actor_count(1, 1, 1, 2), actor_count(1, 1, 2, 1),
                                  actor_count(1, 2, 1, 2), actor_count(1, 2, 2, 3),
                                  actor_count(1, 2, 3, 3), actor_count(2, 2, 2, 2)}),
            std::vector<int32_t>({2, 2, 1, 0, 1, 2, 2, 1}));
  EXPECT_EQ(std::vector<float>({actor_factor(1, 1, 1, 1, 1), actor_factor(2, 1, 1, 1, 1),
                                actor_factor(2, 2, 2, 1, 1), actor_factor(1, 1, 1, 1, 2),
                                actor_factor(1, 1, 2, 1, 2), actor_factor(2, 1, 2, 3, 3)}),
            std::vector<float>({1.0f, 0.5f, 0.5f, 0.7f, 1.0f, 0.4f}));
  skip_triads();
  getact(p);  // tables accumulate; a count of 0 switches a pair off
  EXPECT_EQ(actor_count(2, 2, 2, 2), 0);
  EXPECT_EQ(actor_count(1, 1, 1, 1), 2);
}

TEST_F(GetactTest, ThirtyTwoFactorsFitOnePair) {
  band_parameters p;
  std::string line = "XHAM 32";
  for (int k = 1; k <= 32; ++k) line += " " + std::to_string(k);
  commands(line + " 2 1 1 2 3\nXTRAN 13 1 2 3 4 5 6 7 8 9 10 11 12 13 1 1 1 TRIADS\n");
  getact(p);
  EXPECT_EQ(comwarn.count, 0);
  EXPECT_EQ(std::vector<int32_t>({actor_count(1, 1, 1, 1), actor_count(2, 2, 3, 3),
                                  actor_count(1, 2, 1, 1)}),
            std::vector<int32_t>({32, 32, 13}));
  EXPECT_EQ(std::vector<float>({actor_factor(1, 1, 1, 1, 1), actor_factor(11, 1, 1, 1, 1),
                                actor_factor(32, 1, 1, 1, 1), actor_factor(32, 2, 2, 3, 3),
                                actor_factor(13, 1, 2, 1, 1)}),
            std::vector<float>({1.0f, 11.0f, 32.0f, 32.0f, 13.0f}));
}

TEST_F(GetactTest, ValuesOutsideTheTablesAreRejected) {
  band_parameters p;
  commands(
      "XHAM 33 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 "
      "30 31 32 33 1 1 1 W 4\n"                       // too many factors: nothing stored
      "XTRAN -1 1 2 3\n"                             // negative count
      "XHAM 1 2.0 2 3 1 2 2\n"                       // side type 3; the other pair is fine
      "XMIX 1 0.7 1 1 1 4 TRAN 2 0 1 1 1\n"          // configurations 4 and 0
      "NCONF 4 2 TRIADS\n");
  getact(p);
  EXPECT_EQ(p.w, 4.0f);  // reading stayed in step
  EXPECT_EQ(std::vector<int32_t>({actor_count(1, 1, 1, 1), actor_count(1, 2, 2, 3),
                                  actor_count(2, 2, 2, 2), actor_count(1, 2, 1, 1), p.nconf[0],
                                  p.nconf[1]}),
            std::vector<int32_t>({0, 0, 1, 1, 0, 2}));
  EXPECT_EQ(comwarn.count, 6);
  const auto out = log_records();
  for (const char* line :
       {" XHAM: number of factors must be 0..32, command ignored, N=          33",
        " XTRAN: number of factors must be 0..32, command ignored, N=          -1",
        " XHAM: side type must be 1 or 2, entry ignored, side type=           3",
        " XMIX: configuration number must be 1..3, entry ignored, configuration=           4",
        " TRAN: configuration number must be 1..3, entry ignored, configuration=           0",
        " NCONF: number of configurations must be 1..3, value ignored, NCONF=           4"}) {
    EXPECT_EQ(count_of(out, line), 1) << line;
  }
}

// KRYLOV n holds from block to block like every parameter; 0 returns to exact
// spectra; a negative count, or a word where the count belongs, warns.
TEST_F(GetactTest, KrylovStepsPersistAndBadCountsWarn) {
  band_parameters p;
  commands(
      "KRYLOV 300 TRIADS\nENDTRIADS\nDEL 1 TRIADS\nENDTRIADS\nKRYLOV -5 TRIADS\n"
      "ENDTRIADS\nKRYLOV 0 TRIADS\n");
  getact(p);
  EXPECT_EQ(spectr.krylov_steps, 300);
  skip_triads();
  getact(p);
  EXPECT_EQ(spectr.krylov_steps, 300);
  EXPECT_EQ(comwarn.count, 0);
  skip_triads();
  getact(p);
  EXPECT_EQ(spectr.krylov_steps, 300);  // the negative count is refused
  EXPECT_EQ(comwarn.count, 1);
  EXPECT_EQ(count_of(log_records(),
                     " KRYLOV: the number of Lanczos steps must be 0 (exact "
                     "spectra) or positive, command ignored, n=          -5"),
            1);
  skip_triads();
  getact(p);
  EXPECT_EQ(spectr.krylov_steps, 0);
}

TEST_F(GetactTest, CapacityLimitsStopTheRun) {
  const std::pair<const char*, std::string> cases[] = {
      {"N2 101\n", " Increase parameter maxlevels from          100  to          101"},
      {"N3 101\n", " Increase parameter maxlevels from          100  to          101"},
      {"SHAPE 26\n", " Increase parameter maxexpansion from           25  to           26"}};
  for (const auto& [text, message] : cases) {
    SetUp();
    band_parameters p;
    commands(text);
    const RunStop s = stop_of([&] { getact(p); });
    EXPECT_EQ(s.text, "quitprog: see output") << text;
    EXPECT_EQ(log_records(),
              (std::vector<std::string>{message, " Increase dimension. See output."}));
  }
}

TEST_F(GetactTest, TriadsClearsStoreRecordsUnlessKept) {
  const std::string ground = " States   1 to   1 deleted from store (as far as they were present).";
  const std::string excited =
      " States   2 to 100 deleted from store (as far as they were present).";
  const auto left = [](int n) {
    return " The number of records still in store is  " + std::to_string(n);
  };
  const auto fill = [] { store_index = {3, {1, 2, 7}}; };
  band_parameters p;
  fill();
  commands(
      "TRIADS\nENDTRIADS\nOLDGROUND TRIADS\nENDTRIADS\nOLDEXCITE TRIADS\nENDTRIADS\n"
      "OLDGROUND OLDEXCITE TRIADS\n");
  getact(p);
  EXPECT_EQ(log_records(), (std::vector<std::string>{ground, left(3), excited, left(0)}));
  fill();
  attach_memory(6);
  skip_triads();
  getact(p);  // the ground record survives at the front
  EXPECT_EQ(log_records(), (std::vector<std::string>{excited, left(1)}));
  EXPECT_EQ(store_index.state[0], 1);
  fill();
  attach_memory(6);
  skip_triads();
  getact(p);  // the cleared ground record stays as a hole
  EXPECT_EQ(log_records(), (std::vector<std::string>{ground, left(3)}));
  EXPECT_EQ(std::vector<int32_t>(store_index.state, store_index.state + 3),
            std::vector<int32_t>({0, 2, 7}));
  attach_memory(6);
  skip_triads();
  getact(p);
  EXPECT_TRUE(log().empty());
}

TEST_F(GetactTest, DefinitionsAndEndOfFile) {
  band_parameters p;
  commands(
      "DEL 4 UCV 6 UVV 2 DEF EF3 = 2DEL - 2UCV + UVV + 0.5UNITY W 9\n"
      "def eg2=del DEL 1\n"
      "N2 3 DEL 5 TRIADS\nENDTRIADS\nNCONF 1 1\n");
  getact(p);
  EXPECT_EQ(p.ef[2], -1.5f);
  // The rest of a DEF line belongs to the definition, never to the commands:
  // EG2=DELDEL1 is DEL as it stood then; neither DEL 1 nor W 9 was executed.
  EXPECT_EQ(p.eg[1], 4.0f);
  EXPECT_EQ(p.w, 0.0f);
  EXPECT_EQ(p.del, 5.0f);
  skip_triads();
  const RunStop s = stop_of([&] { getact(p); });
  EXPECT_EQ(s.text, "Normal end because of end of file on input");
  EXPECT_EQ(echo_records().back(), " FINISHED");
}

}  // namespace
}  // namespace mv::test
