// The band-calculation block: defaults and their persistence, matching of
// keywords, every command's arguments, the operator tables and their bounds,
// capacity stops and the store deletions at TRIADS.
#include <algorithm>

#include "command_fixture.h"

namespace mv::test {
namespace {

using GetactTest = CommandTest;

const std::string unknown_line =
    " ERROR. Expected one of the following commands:  NCONF , N2 , N3 , W , DEL , UVV , UCV , "
    "XHAM , XMIX , TRAN, AUGER , DEF , DIP, OLDCOWAN, OLDGROUND, OLDEXCITE or PRMULT";

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
  p.w = 9.0f;
  p.dip = 3.0f;
  p.auger = 1;
  p.ci[4] = 0.5f;
  p.efaug[2][1] = 4.0f;
  p.nomega = 7;
  p.estart = 1.5f;
  p.estep = 0.25f;
  actor_count(1, 2, 1, 2) = 3;
  bandexpansion.order = 4;
  bandexpansion.c[0] = 2.0f;
  spectr.window = 5.0f;
  iter.maxiter = 3;
  cprmult.prmult = 1;
  qaz.oldcowan = 1;
  commands("NCONF 1 1\nN2 10\nTRIADS\n");
  getact(p);
  EXPECT_EQ(p.nconf[0], 1);
  EXPECT_EQ(p.nconf[1], 1);
  EXPECT_EQ(p.n2, 10);
  EXPECT_EQ(p.n3, 0);
  EXPECT_EQ(p.w, 0.0f);
  EXPECT_EQ(p.dip, 1.0f);
  EXPECT_EQ(p.auger, 0);
  EXPECT_EQ(p.ci[4], 1.0f);
  EXPECT_EQ(p.efaug[2][1], 0.0f);
  // The photon-energy grid has no default: whatever it held stays.
  EXPECT_EQ(p.nomega, 7);
  EXPECT_EQ(p.estart, 1.5f);
  EXPECT_EQ(p.estep, 0.25f);
  EXPECT_EQ(actor_count(1, 2, 1, 2), 0);
  EXPECT_EQ(bandexpansion.order, 0);
  EXPECT_EQ(bandexpansion.c[0], 1.0f);
  EXPECT_EQ(spectr.window, 1.0e-6f);
  EXPECT_EQ(iter.maxiter, 100);
  EXPECT_EQ(cprmult.prmult, 0);
  EXPECT_EQ(qaz.oldcowan, 0);
  EXPECT_EQ(trimmed(ctrace.name), "getact");
  EXPECT_EQ(comwarn.count, 0);
  EXPECT_TRUE(log().empty());  // empty store: no deletion message
}

TEST_F(GetactTest, EveryScalarCommandAndPersistenceAcrossBlocks) {
  band_parameters p;
  commands(
      "NCONF 2 3 N2 100 N3 5 W 3.5 DEL 1 UVV 3 UCV 2\n"
      "EG1 0.1 EG2 0.2 EG3 0.3 EF1 1.1 EF2 1.2 EF3 1.3 DIP 0.5\n"
      "PRMULT OLDCOWAN MAXITER 7 ERANGE 0.01 SHAPE 3 1.0 0.3 -0.5 0.25\n"
      "AUGER NO 2 CI 0.7 ENDAUGER TRIADS rest ignored\n"
      "ENDTRIADS\n"
      "del 2.5 TRIADS\n");
  getact(p);
  EXPECT_EQ(p.nconf[0], 2);
  EXPECT_EQ(p.nconf[1], 3);
  EXPECT_EQ(p.n2, 100);  // the limit itself is accepted
  EXPECT_EQ(p.n3, 5);
  EXPECT_EQ(p.w, 3.5f);
  EXPECT_EQ(p.del, 1.0f);
  EXPECT_EQ(p.uvv, 3.0f);
  EXPECT_EQ(p.ucv, 2.0f);
  EXPECT_EQ(p.eg[0], 0.1f);
  EXPECT_EQ(p.eg[1], 0.2f);
  EXPECT_EQ(p.eg[2], 0.3f);
  EXPECT_EQ(p.ef[0], 1.1f);
  EXPECT_EQ(p.ef[1], 1.2f);
  EXPECT_EQ(p.ef[2], 1.3f);
  EXPECT_EQ(p.dip, 0.5f);
  EXPECT_EQ(cprmult.prmult, 1);
  EXPECT_EQ(qaz.oldcowan, 1);
  EXPECT_EQ(iter.maxiter, 7);
  EXPECT_EQ(spectr.window, 0.01f);
  EXPECT_EQ(bandexpansion.order, 3);
  EXPECT_EQ(bandexpansion.c[1], 0.3f);
  EXPECT_EQ(bandexpansion.c[3], 0.25f);
  EXPECT_EQ(p.auger, 1);
  EXPECT_EQ(p.ci[1], 0.7f);

  skip_triads();
  getact(p);
  EXPECT_EQ(p.del, 2.5f);
  EXPECT_EQ(p.nconf[1], 3);
  EXPECT_EQ(p.n2, 100);
  EXPECT_EQ(p.w, 3.5f);
  EXPECT_EQ(p.ef[2], 1.3f);
  EXPECT_EQ(p.dip, 0.5f);
  EXPECT_EQ(p.auger, 1);  // cleared only by the first block's defaults
  EXPECT_EQ(p.ci[1], 0.7f);
  EXPECT_EQ(cprmult.prmult, 1);
  EXPECT_EQ(bandexpansion.order, 3);
  EXPECT_EQ(comwarn.count, 0);
}

TEST_F(GetactTest, BandShapeCommands) {
  band_parameters p;
  commands("SHAPE 3 1.0 0.3 -0.5 0.25 CIRCLE TRIADS\nENDTRIADS\nSQUARE TRIADS\n");
  getact(p);
  EXPECT_EQ(bandexpansion.order, 2);
  EXPECT_EQ(bandexpansion.c[0], 1.0f);
  EXPECT_EQ(bandexpansion.c[1], 0.3f);  // CIRCLE leaves c(1) as SHAPE set it
  EXPECT_EQ(bandexpansion.c[2], -1.0f);
  EXPECT_EQ(bandexpansion.c[3], 0.25f);  // above the order: kept, unused
  skip_triads();
  getact(p);
  EXPECT_EQ(bandexpansion.order, 0);
  EXPECT_EQ(bandexpansion.c[0], 1.0f);
  EXPECT_EQ(bandexpansion.c[2], -1.0f);
}

TEST_F(GetactTest, KeywordsMatchWholeWordsAfterConversion) {
  band_parameters p;
  commands("NCONFS 1 DELTA ncOnf 2 1 n_2 5 DEL 0.5 TRIADSX TRIADS\n");
  getact(p);
  EXPECT_EQ(p.nconf[0], 2);
  EXPECT_EQ(p.nconf[1], 1);
  EXPECT_EQ(p.n2, 5);
  EXPECT_EQ(p.del, 0.5f);  // DELTA is unknown in a band block, DEL is DEL
  EXPECT_EQ(comwarn.count, 4);
  EXPECT_EQ(count_of(log_records(), unknown_line), 4);
}

TEST_F(GetactTest, UnknownWordAndItsNumbersAreThreeWarnings) {
  band_parameters p;
  commands("FOO 1 2 W 1 TRIADS\n");
  getact(p);
  EXPECT_EQ(comwarn.count, 3);
  EXPECT_EQ(p.w, 1.0f);
  const auto out = log_records();
  EXPECT_EQ(out[0], unknown_line);
  EXPECT_EQ(out[1], " routine=getact               file= 50 line=     1 col=  4 =>");
  EXPECT_EQ(out[2], " FOO<< 1 2 W 1 TRIADS");
}

TEST_F(GetactTest, OperatorCommandsFillTheActorTables) {
  band_parameters p;
  commands(
      "XHAM 2 1.0 0.5 2 1 1 2 1\n"
      "XMIX 1 0.7 1 1 1 2\n"
      "TRAN 1 1 2\n"
      "XTRAN 2 0.3 0.4 2 2 3 3 3\n"
      "XHAM 1 9.0 1 2 2 TRIADS\nENDTRIADS\n"
      "XHAM 0 1 2 2 TRIADS\n");
  getact(p);
  EXPECT_EQ(actor_count(1, 1, 1, 1), 2);
  EXPECT_EQ(actor_count(2, 2, 1, 1), 2);
  EXPECT_EQ(actor_factor(1, 1, 1, 1, 1), 1.0f);
  EXPECT_EQ(actor_factor(2, 1, 1, 1, 1), 0.5f);
  EXPECT_EQ(actor_factor(1, 2, 2, 1, 1), 1.0f);
  EXPECT_EQ(actor_factor(2, 2, 2, 1, 1), 0.5f);
  EXPECT_EQ(actor_count(1, 1, 1, 2), 1);
  EXPECT_EQ(actor_factor(1, 1, 1, 1, 2), 0.7f);
  EXPECT_EQ(actor_count(1, 1, 2, 1), 0);
  EXPECT_EQ(actor_count(1, 2, 1, 2), 1);
  EXPECT_EQ(actor_factor(1, 1, 2, 1, 2), 1.0f);
  EXPECT_EQ(actor_count(1, 2, 2, 3), 2);
  EXPECT_EQ(actor_count(1, 2, 3, 3), 2);
  EXPECT_EQ(actor_factor(2, 1, 2, 3, 3), 0.4f);
  EXPECT_EQ(actor_count(2, 2, 2, 2), 1);
  EXPECT_EQ(actor_factor(1, 2, 2, 2, 2), 9.0f);

  skip_triads();
  getact(p);  // tables accumulate; a count of 0 switches a pair off
  EXPECT_EQ(actor_count(2, 2, 2, 2), 0);
  EXPECT_EQ(actor_count(1, 1, 1, 1), 2);
  EXPECT_EQ(actor_count(1, 2, 1, 2), 1);
  EXPECT_EQ(comwarn.count, 0);
}

TEST_F(GetactTest, OperatorAndNconfValuesOutsideTheTablesAreRejected) {
  band_parameters p;
  commands(
      "XHAM 11 1 2 3 4 5 6 7 8 9 10 11 1 1 1 W 4\n"  // count too large: nothing stored
      "XTRAN -1 1 2 3\n"                            // negative count
      "XHAM 1 2.0 2 3 1 2 2\n"                      // side type 3; the other pair is fine
      "XMIX 1 0.7 1 1 1 4\n"                        // configuration 4
      "TRAN 2 0 1 1 1\n"                            // configuration 0; the other pair is fine
      "NCONF 4 2 TRIADS\n");
  getact(p);
  EXPECT_EQ(p.w, 4.0f);  // reading stayed in step
  EXPECT_EQ(actor_count(1, 1, 1, 1), 0);
  EXPECT_EQ(actor_count(1, 2, 1, 1), 1);
  EXPECT_EQ(actor_count(2, 2, 2, 2), 1);
  EXPECT_EQ(actor_factor(1, 2, 2, 2, 2), 2.0f);
  EXPECT_EQ(actor_count(1, 2, 2, 3), 0);
  EXPECT_EQ(p.nconf[0], 0);
  EXPECT_EQ(p.nconf[1], 2);
  EXPECT_EQ(comwarn.count, 6);
  const auto out = log_records();
  const std::string seen[] = {
      " XHAM: number of factors must be 0..10, command ignored, N=          11",
      " XTRAN: number of factors must be 0..10, command ignored, N=          -1",
      " XHAM: side type must be 1 or 2, entry ignored, side type=           3",
      " XMIX: configuration number must be 1..3, entry ignored, configuration=           4",
      " TRAN: configuration number must be 1..3, entry ignored, configuration=           0",
      " NCONF: number of configurations must be 1..3, value ignored, NCONF=           4"};
  for (const auto& line : seen) EXPECT_EQ(count_of(out, line), 1) << line;
}

TEST_F(GetactTest, CapacityLimitsStopTheRun) {
  const struct {
    const char* text;
    const char* limit;
  } cases[] = {{"N2 101\n", " Increase parameter maxlevels from          100  to          101"},
               {"N3 101\n", " Increase parameter maxlevels from          100  to          101"},
               {"SHAPE 26\n", " Increase parameter maxexpansion from           25  to           26"}};
  for (const auto& c : cases) {
    SetUp();
    band_parameters p;
    commands(c.text);
    const RunStop s = stop_of([&] { getact(p); });
    EXPECT_EQ(s.text, "quitprog: see output") << c.text;
    EXPECT_EQ(s.status, status_fatal);
    const auto out = log_records();
    ASSERT_EQ(out.size(), 2u) << c.text;
    EXPECT_EQ(out[0], c.limit);
    EXPECT_EQ(out[1], " Increase dimension. See output.");
  }
}

TEST_F(GetactTest, TriadsClearsStoreRecordsUnlessKept) {
  const std::string ground_deleted =
      " States   1 to   1 deleted from store (as far as they were present).";
  const std::string excited_deleted =
      " States   2 to 100 deleted from store (as far as they were present).";
  const auto left = [](int n) {
    return " The number of records still in store is" + std::string(n < 10 ? "  " : " ") +
           std::to_string(n);
  };
  const auto fill = [] {
    store_index.count = 3;
    store_index.state[0] = 1;
    store_index.state[1] = 2;
    store_index.state[2] = 7;
  };
  band_parameters p;
  fill();
  commands("TRIADS\nENDTRIADS\nOLDGROUND TRIADS\nENDTRIADS\nOLDEXCITE TRIADS\nENDTRIADS\n"
           "OLDGROUND OLDEXCITE TRIADS\n");
  getact(p);
  EXPECT_EQ(log_records(), (std::vector<std::string>{ground_deleted, left(3), excited_deleted,
                                                      left(0)}));
  EXPECT_EQ(store_index.count, 0);

  fill();
  attach_memory(6);
  skip_triads();
  getact(p);  // OLDGROUND: the ground record survives at the front
  EXPECT_EQ(log_records(), (std::vector<std::string>{excited_deleted, left(1)}));
  EXPECT_EQ(store_index.count, 1);
  EXPECT_EQ(store_index.state[0], 1);

  fill();
  attach_memory(6);
  skip_triads();
  getact(p);  // OLDEXCITE: the cleared ground record stays as a hole
  EXPECT_EQ(log_records(), (std::vector<std::string>{ground_deleted, left(3)}));
  EXPECT_EQ(store_index.state[0], 0);
  EXPECT_EQ(store_index.state[2], 7);

  attach_memory(6);
  skip_triads();
  getact(p);
  EXPECT_TRUE(log().empty());

  store_index = {};
  delete_from_store(1, 1);  // empty store: silent
  EXPECT_TRUE(log().empty());
}

TEST_F(GetactTest, DefinitionsUseTheValuesOfTheirMoment) {
  band_parameters p;
  commands(
      "DEL 4 UCV 6 UVV 2 DEF EF3 = 2DEL - 2UCV + UVV + 0.5UNITY W 9\n"
      "def eg2=del DEL 1\n"
      "N2 3 DEL 5 TRIADS\n");
  getact(p);
  EXPECT_EQ(p.ef[2], -1.5f);
  // The rest of a DEF line belongs to the definition, never to the commands:
  // EG2=DELDEL1 is DEL as it stood then, and neither DEL 1 nor W 9 was executed.
  EXPECT_EQ(p.eg[1], 4.0f);
  EXPECT_EQ(p.w, 0.0f);
  EXPECT_EQ(p.del, 5.0f);
  EXPECT_EQ(p.n2, 3);
}

TEST_F(GetactTest, EndOfCommandFileInsideABlockIsTheNormalEnd) {
  band_parameters p;
  commands("NCONF 1 1 AUGER NO 2\n");
  const RunStop s = stop_of([&] { getact(p); });
  EXPECT_EQ(s.text, "Normal end because of end of file on input");
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(echo_records().back(), " FINISHED");
}

}  // namespace
}  // namespace mv::test
