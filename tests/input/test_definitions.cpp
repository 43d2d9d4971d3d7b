// Definition expressions: the grammar's values, the one target changed, and
// the three fatal stops with their messages.
#include "command_fixture.h"
#include "input/definitions.h"

namespace mv::test {
namespace {

using DefinitionTest = CommandTest;

constexpr float unset = 77.0f;

// analydef on one definition with DEL = 4, UCV = 6, UVV = 2; the six targets.
std::vector<float> evaluate(std::string text) {
  std::vector<float> t(6, unset);
  analydef(text, 4.0f, 6.0f, 2.0f, t[0], t[1], t[2], t[3], t[4], t[5]);
  return t;
}

float value_of(const std::string& rhs) { return evaluate("DEF EG1=" + rhs)[0]; }

TEST_F(DefinitionTest, RightHandSides) {
  const std::pair<const char*, float> cases[] = {{"DEL", 4.0f},
                                                 {"DEL-UCV", -2.0f},
                                                 {"2DEL-2UCV+UVV", -2.0f},
                                                 {"-DEL+1.5UNITY", -2.5f},
                                                 {"UVV-0.5UCV+DEL", 3.0f},
                                                 {"DEL+0.5", 4.0f},
                                                 {"DEL*2", 4.0f},
                                                 {"DEL+DEL", 4.0f},
                                                 {"UNITY", 1.0f},
                                                 {"-UNITY", -1.0f},
                                                 {"+-2DEL", -8.0f},
                                                 {".5UVV", 1.0f},
                                                 {"0.1UCV", 0.6f},
                                                 {"1.5-3", 0.0f},
                                                 {"DEL%NOTE", 4.0f}};
  for (const auto& [rhs, want] : cases) EXPECT_EQ(value_of(rhs), want) << rhs;
  EXPECT_TRUE(log().empty());
}

TEST_F(DefinitionTest, OnlyTheNamedTargetChanges) {
  const char* names[] = {"EG1", "EG2", "EG3", "EF1", "EF2", "EF3"};
  for (int k = 0; k < 6; ++k) {
    std::vector<float> want(6, unset);
    want[k] = 2.0f;
    EXPECT_EQ(evaluate(std::string(" D E F ") + names[k] + " = U V V "), want) << names[k];
  }
  EXPECT_EQ(evaluate("DEF XYZ=DEL"), std::vector<float>(6, unset));
  EXPECT_EQ(evaluate("W 1.0 DEF EF2 = DEL")[4], 4.0f);  // text before DEF is passed over
  EXPECT_TRUE(log().empty());
  std::string text = " A B  C ";
  int32_t kept = 0;
  spacecut(text, kept, 8);
  EXPECT_EQ(text, "ABC     ");
  EXPECT_EQ(kept, 3);
}

TEST_F(DefinitionTest, GetdefTakesEightyColumnsAndMovesOn) {
  commands("DEF EG2 = DEL" + std::string(70, ' ') + "X\nNEXT\n");
  chaget();
  std::string buffer;
  getdef(buffer);
  EXPECT_EQ(buffer, padded("DEF EG2 = DEL", 80));  // column 84 is not part of it
  EXPECT_EQ(chaget(), padded("NEXT", 20));
}

TEST_F(DefinitionTest, MisplacedEqualsSignStops) {
  const std::pair<std::string, std::string> cases[] = {
      {"DEF EG1 DEL", "DEFEG1DEL"}, {"DEF EG10=DEL", "DEFEG10=DEL"}, {"DEF EG=DEL", "DEFEG=DEL"}};
  for (const auto& [text, compacted] : cases) {
    attach_memory(6);
    const RunStop s = stop_of([&] { evaluate(text); });
    EXPECT_EQ(s.text, "subroutine ANALYDEF") << text;
    EXPECT_EQ(s.status, status_fatal);
    EXPECT_EQ(log_records(), (std::vector<std::string>{" Equals sign required in definition.",
                                                       " " + padded(compacted, 80)}));
  }
  band_parameters p;  // the definition on the line after DEF
  commands("DEF\nEG2=DEL\nTRIADS\n");
  EXPECT_EQ(stop_of([&] { getact(p); }).text, "subroutine ANALYDEF");
  EXPECT_EQ(comwarn.count, 0);  // fatal, never counted
}

TEST_F(DefinitionTest, BadCharacterBeforeATermStops) {
  const std::pair<std::string, std::string> cases[] = {
      {"2*DEL", "2"}, {"DEL%NOTEWITHUCV", "12"}, {"UCV+1/2DEL", "6"}};
  for (const auto& [rhs, pt] : cases) {
    attach_memory(6);
    const RunStop s = stop_of([&] { value_of(rhs); });
    EXPECT_EQ(s.text, "subroutine SUBANAx") << rhs;
    EXPECT_EQ(log_records(), (std::vector<std::string>{" ERROR IN DEFINITION: PT=" +
                                                           std::string(12 - pt.size(), ' ') + pt,
                                                       " " + padded(rhs, 80)}));
  }
}

TEST_F(DefinitionTest, UnreadableCoefficientStops) {
  const RunStop s = stop_of([] { value_of("UVV+1..5DEL"); });
  EXPECT_EQ(s.text, "subroutine SUBANA");
  EXPECT_EQ(s.status, status_fatal);
  const auto out = log_records();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].substr(0, 13), " IO ERROR NO=");
  EXPECT_EQ(out[0].substr(18), " OCCURED  ,CHECK DEF LINE IN FILE 50");
  EXPECT_EQ(out[1], " " + padded("UVV+1..5DEL", 80));
  EXPECT_EQ(out[2], " CHECK THIS FIGURE---->+1..5");
}

}  // namespace
}  // namespace mv::test
