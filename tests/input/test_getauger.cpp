// The Auger block: channel selection, the block's private DEL, UCV, UVV, the
// report after each definition, gamma, unknown words and AUGER in a band block.
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
  commands("NO 10 DIP 0.4 NO 2 DIP 0.5 CI 0.8 NO 0 CI 0.6 NO 9 CI 0.1 ENDAUGER NEXT\n");
  read();
  EXPECT_EQ(std::vector<float>({dipaug[0], dipaug[1], ci[0], ci[1], ci[8]}),
            std::vector<float>({0.4f, 0.5f, 1.0f, 0.6f, 0.1f}));
  EXPECT_EQ(comwarn.count, 0);  // a bad NO is not a warning
  EXPECT_EQ(log_records(),
            (std::vector<std::string>{" ERROR: NO MUST BE 1..9 , NO UNCHANGED , NO=           1",
                                      " ERROR: NO MUST BE 1..9 , NO UNCHANGED , NO=           2"}));
  EXPECT_EQ(chaget(), padded("NEXT", 20));  // ENDAUGER returns right after itself
}

TEST_F(GetaugerTest, GridGammaAndUnknownWords) {
  commands("NOMEGA 40 ESTART -2.5 ESTEP 0.125 GAMMA 0.3 ENDAUGER\nW 1 TRIADS ENDAUGER\n");
  read();
  EXPECT_EQ(nomega, 40);
  EXPECT_EQ(estart, -2.5f);
  EXPECT_EQ(estep, 0.125f);
  EXPECT_EQ(com_gamma.gamma, 0.3f);
  read();  // a new block: gamma back to 0, the grid kept; band words are unknown here
  EXPECT_EQ(com_gamma.gamma, 0.0f);
  EXPECT_EQ(nomega, 40);
  EXPECT_EQ(comwarn.count, 3);
  EXPECT_EQ(log_records()[0],
            " ERROR: Expected one of the following AUGER commandsNOMEGA,ESTART, ESTEP, NO, UCV, "
            "UVV, DIP, CI, DEF");
}

// Every photon energy writes a spectrum block and a yield line: NOMEGA
// 2147483647 would fill hundreds of GB. Above a million it is refused as an
// input error, which the calculation driver then makes fatal.
TEST_F(GetaugerTest, NomegaAboveAMillionIsRefused) {
  commands("NOMEGA 1000000 NOMEGA 1000001 NOMEGA 2147483647 ENDAUGER\n");
  read();
  EXPECT_EQ(nomega, 1000000);
  EXPECT_EQ(comwarn.count, 2);
  const auto out = log_records();
  ASSERT_EQ(out.size(), 8u);
  EXPECT_EQ(out[0], " NOMEGA must be at most 1000000, value ignored, NOMEGA=     1000001");
  EXPECT_EQ(out[4], " NOMEGA must be at most 1000000, value ignored, NOMEGA=  2147483647");
}

TEST_F(GetaugerTest, DefinitionsUseTheBlocksOwnEnergies) {
  commands(
      "DELTA 3.0 DEF EF2 = DEL - UCV\n"
      "NO 3 DEF EF1=UNITY\nDEF EF2=2UNITY\nDEF EF3=3UNITY\nDEF EG1=DEL\nENDAUGER\n");
  read(1.0f, 0.5f, 2.0f);        // the band-calculation DEL, UCV, UVV
  EXPECT_EQ(efaug[0][1], 2.5f);  // DEL' = 3.0 (DELTA is DEL here), UCV' = 0.5
  EXPECT_EQ(std::vector<float>(efaug[2], efaug[2] + 3), std::vector<float>({1.0f, 2.0f, 3.0f}));
  const auto out = log_records();
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0], " No= 1 EF1=     0.000 EF2=     2.500 EF3=     0.000");
  EXPECT_EQ(out[3], " No= 3 EF1=     1.000 EF2=     2.000 EF3=     3.000");
  EXPECT_EQ(out[4], out[3]);  // EG1 changes nothing here, but the report is written
}

TEST_F(GetaugerTest, AugerCommandOfTheBandBlock) {
  band_parameters p;
  commands(
      "DEL 1 AUGER DEL 3.0 DEF EF2=DEL\n"
      "GAMMA 0.2 ENDAUGER DEL 2 TRIADS\nENDTRIADS\n"
      "AUGER NO 2 DIP 0.5 ENDAUGER TRIADS\nENDTRIADS\nAUGER NO 2\n");
  getact(p);
  EXPECT_EQ(p.auger, 1);
  EXPECT_EQ(p.efaug[0][1], 3.0f);
  EXPECT_EQ(p.del, 2.0f);  // the block's DEL never reaches the band-calculation DEL
  EXPECT_EQ(com_gamma.gamma, 0.2f);
  const auto skip_triads = [] {
    newfil(command_unit);
    chaget();
    newfil(command_unit);
  };
  skip_triads();
  getact(p);
  EXPECT_EQ(com_gamma.gamma, 0.0f);
  EXPECT_EQ(p.dipaug[1], 0.5f);
  EXPECT_EQ(p.efaug[0][1], 3.0f);
  skip_triads();
  EXPECT_EQ(stop_of([&] { getact(p); }).status, 0);  // end of file inside the Auger block
  EXPECT_EQ(echo_records().back(), " FINISHED");
}

}  // namespace
}  // namespace mv::test
