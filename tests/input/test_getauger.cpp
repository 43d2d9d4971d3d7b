// The Auger block: channel selection, the block's private DEL, UCV, UVV, the
// report after each definition, gamma, unknown words and the band block's
// AUGER command around it.
#include "command_fixture.h"
#include "input/getauger.h"

namespace mv::test {
namespace {

class GetaugerTest : public CommandTest {
 protected:
  float efaug[9][3] = {};
  float dipaug[9] = {};
  float ci[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
  int32_t nomega = 0;
  float estart = 0, estep = 0;

  void read(float del = 0, float ucv = 0, float uvv = 0) {
    getauger(del, ucv, uvv, efaug, dipaug, ci, nomega, estart, estep);
  }
};

TEST_F(GetaugerTest, ChannelDataGoToTheChannelSelectedLast) {
  commands("NO 2 DIP 0.5 CI 0.8 NO 10 DIP 0.4 NO 0 NO 9 CI 0.1 NO 1 DIP 0.3 ENDAUGER NEXT\n");
  read();
  EXPECT_EQ(dipaug[1], 0.4f);  // NO 10 kept channel 2 for the DIP after it
  EXPECT_EQ(ci[1], 0.8f);
  EXPECT_EQ(dipaug[0], 0.3f);
  EXPECT_EQ(ci[0], 1.0f);
  EXPECT_EQ(ci[8], 0.1f);
  EXPECT_EQ(dipaug[8], 0.0f);
  EXPECT_EQ(comwarn.count, 0);  // a bad NO is not a warning
  const auto out = log_records();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], " ERROR: NO MUST BE 1..9 , NO UNCHANGED , NO=           2");
  EXPECT_EQ(out[1], out[0]);
  EXPECT_EQ(chaget(), padded("NEXT", 20));  // ENDAUGER returned right after itself
}

TEST_F(GetaugerTest, BadNoBeforeAnyNoReportsChannelOne) {
  commands("NO 10 DIP 0.4 ENDAUGER\n");
  read();
  EXPECT_EQ(log_records(),
            std::vector<std::string>{" ERROR: NO MUST BE 1..9 , NO UNCHANGED , NO=           1"});
  EXPECT_EQ(dipaug[0], 0.4f);
}

TEST_F(GetaugerTest, GridAndGamma) {
  commands("NOMEGA 40 ESTART -2.5 ESTEP 0.125 GAMMA 0.3 ENDAUGER\nENDAUGER\n");
  read();
  EXPECT_EQ(nomega, 40);
  EXPECT_EQ(estart, -2.5f);
  EXPECT_EQ(estep, 0.125f);
  EXPECT_EQ(com_gamma.gamma, 0.3f);
  read();  // a new block: gamma back to 0, the grid kept
  EXPECT_EQ(com_gamma.gamma, 0.0f);
  EXPECT_EQ(nomega, 40);
  EXPECT_EQ(estep, 0.125f);
}

TEST_F(GetaugerTest, DefinitionsUseTheBlocksOwnEnergies) {
  commands(
      "DELTA 3.0 DEF EF2 = DEL - UCV\n"
      "NO 3 DEF EF1=UNITY\n"
      "DEF EF2=2UNITY\n"
      "DEF EF3=3UNITY + UVV\n"
      "DEF EG1=DEL\n"
      "ENDAUGER\n");
  read(1.0f, 0.5f, 2.0f);  // band-calculation DEL, UCV, UVV
  EXPECT_EQ(efaug[0][1], 2.5f);  // DEL' = 3.0 from DELTA, UCV' = 0.5 from the band block
  EXPECT_EQ(efaug[2][0], 1.0f);
  EXPECT_EQ(efaug[2][1], 2.0f);
  EXPECT_EQ(efaug[2][2], 5.0f);
  const auto out = log_records();
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0], " No= 1 EF1=     0.000 EF2=     2.500 EF3=     0.000");
  EXPECT_EQ(out[3], " No= 3 EF1=     1.000 EF2=     2.000 EF3=     5.000");
  EXPECT_EQ(out[4], out[3]);  // EG1 changes nothing here, but the report is written
}

TEST_F(GetaugerTest, UnknownWordsAreWarnings) {
  commands("W 1 TRIADS ENDAUGER\n");
  read();
  EXPECT_EQ(comwarn.count, 3);
  const auto out = log_records();
  EXPECT_EQ(out[0],
            " ERROR: Expected one of the following AUGER commandsNOMEGA,ESTART, ESTEP, NO, UCV, "
            "UVV, DIP, CI, DEF");
}

TEST_F(GetaugerTest, AugerCommandOfTheBandBlock) {
  band_parameters p;
  commands(
      "DEL 1 UCV 0.5 AUGER DEL 3.0 DEF EF2=DEL\n"
      "GAMMA 0.2 ENDAUGER DEL 2 TRIADS\nENDTRIADS\n"
      "AUGER NO 2 DIP 0.5 ENDAUGER TRIADS\n");
  getact(p);
  EXPECT_EQ(p.auger, 1);
  EXPECT_EQ(p.efaug[0][1], 3.0f);
  EXPECT_EQ(p.del, 2.0f);  // the block's DEL 3.0 never reached the band-calculation DEL
  EXPECT_EQ(com_gamma.gamma, 0.2f);
  EXPECT_EQ(trimmed(ctrace.name), "getact");
  newfil(command_unit);
  chaget();
  newfil(command_unit);
  getact(p);
  EXPECT_EQ(com_gamma.gamma, 0.0f);
  EXPECT_EQ(p.dipaug[1], 0.5f);
  EXPECT_EQ(p.efaug[0][1], 3.0f);
  EXPECT_EQ(comwarn.count, 0);
}

TEST_F(GetaugerTest, EndOfCommandFileInsideTheBlockIsTheNormalEnd) {
  commands("NO 2 DEF EF1=DEL\n");  // the DEF line is the last: the run ends before it acts
  const RunStop s = stop_of([&] { read(4.0f); });
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(s.text, "Normal end because of end of file on input");
  EXPECT_EQ(efaug[1][0], 0.0f);
  EXPECT_EQ(echo_records().back(), " FINISHED");
}

}  // namespace
}  // namespace mv::test
