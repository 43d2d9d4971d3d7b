// Definition expressions: the grammar's values, the one target changed, and
// the three fatal stops with their messages.
#include "command_fixture.h"
#include "input/definitions.h"

namespace mv::test {
namespace {

using DefinitionTest = CommandTest;

constexpr float sentinel = 77.0f;

struct targets {
  float t[6] = {sentinel, sentinel, sentinel, sentinel, sentinel, sentinel};
};

// analydef on one definition text with DEL = 4, UCV = 6, UVV = 2.
targets evaluate(std::string text) {
  targets r;
  analydef(text, 4.0f, 6.0f, 2.0f, r.t[0], r.t[1], r.t[2], r.t[3], r.t[4], r.t[5]);
  return r;
}

float value_of(const std::string& rhs) { return evaluate("DEF EG1=" + rhs).t[0]; }

TEST_F(DefinitionTest, RightHandSides) {
  EXPECT_EQ(value_of("DEL"), 4.0f);
  EXPECT_EQ(value_of("DEL-UCV"), -2.0f);
  EXPECT_EQ(value_of("2DEL-2UCV+UVV"), -2.0f);
  EXPECT_EQ(value_of("-DEL+1.5UNITY"), -2.5f);
  EXPECT_EQ(value_of("UVV-0.5UCV+DEL"), 3.0f);
  EXPECT_EQ(value_of("DEL+0.5"), 4.0f);  // a bare number adds nothing
  EXPECT_EQ(value_of("DEL*2"), 4.0f);    // nor does what follows a name
  EXPECT_EQ(value_of("DEL+DEL"), 4.0f);  // only the first occurrence counts
  EXPECT_EQ(value_of("UNITY"), 1.0f);
  EXPECT_EQ(value_of("-UNITY"), -1.0f);
  EXPECT_EQ(value_of("+-2DEL"), -8.0f);  // a sign ends the coefficient's digits
  EXPECT_EQ(value_of(".5UVV"), 1.0f);
  EXPECT_EQ(value_of("0.1UCV"), 0.6f);  // 6 * 0.1 in single precision
  EXPECT_EQ(value_of("1.5-3"), 0.0f);   // no variable: the target is just cleared
  EXPECT_TRUE(log().empty());
}

TEST_F(DefinitionTest, OnlyTheNamedTargetChanges) {
  const char* names[] = {"EG1", "EG2", "EG3", "EF1", "EF2", "EF3"};
  for (int k = 0; k < 6; ++k) {
    const targets r = evaluate(std::string(" D E F ") + names[k] + " = U V V ");
    for (int j = 0; j < 6; ++j) EXPECT_EQ(r.t[j], j == k ? 2.0f : sentinel) << names[k];
  }
  const targets none = evaluate("DEF XYZ=DEL");
  for (float v : none.t) EXPECT_EQ(v, sentinel);
  EXPECT_TRUE(log().empty());
  // Text before DEF on the same line belongs to the compacted buffer only.
  EXPECT_EQ(evaluate("W 1.0 DEF EF2 = DEL").t[4], 4.0f);
}

TEST_F(DefinitionTest, BlanksAreRemovedAndCounted) {
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
  const struct {
    std::string text, compacted;
  } cases[] = {{"DEF EG1 DEL", "DEFEG1DEL"},
               {"DEF EG10=DEL", "DEFEG10=DEL"},
               {"DEF EG=DEL", "DEFEG=DEL"},
               {"DEF", "DEF"}};  // the definition on the next line
  for (const auto& c : cases) {
    attach_memory(6);
    std::string buffer = c.text;
    float t[6] = {};
    const RunStop s = stop_of([&] { analydef(buffer, 1, 1, 1, t[0], t[1], t[2], t[3], t[4], t[5]); });
    EXPECT_EQ(s.text, "subroutine ANALYDEF") << c.text;
    EXPECT_EQ(s.status, status_fatal);
    EXPECT_EQ(log_records(), (std::vector<std::string>{" Equals sign required in definition.",
                                                       " " + padded(c.compacted, 80)}))
        << c.text;
  }
  EXPECT_EQ(comwarn.count, 0);  // fatal, never counted
}

TEST_F(DefinitionTest, BadCharacterBeforeATermStops) {
  const struct {
    std::string rhs;
    int32_t position;
  } cases[] = {{"2*DEL", 2},
               {"DEL%NOTEWITHUCV", 12},   // a comment naming a variable
               {"UCV+1/2DEL", 6}};
  for (const auto& c : cases) {
    attach_memory(6);
    const RunStop s = stop_of([&] { value_of(c.rhs); });
    EXPECT_EQ(s.text, "subroutine SUBANAx") << c.rhs;
    EXPECT_EQ(s.status, status_fatal);
    const std::string pt = std::to_string(c.position);
    EXPECT_EQ(log_records(),
              (std::vector<std::string>{" ERROR IN DEFINITION: PT=" +
                                            std::string(12 - pt.size(), ' ') + pt,
                                        " " + padded(c.rhs, 80)}))
        << c.rhs;
  }
  // A comment without a variable name is harmless.
  attach_memory(6);
  EXPECT_EQ(value_of("DEL%NOTE"), 4.0f);
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

TEST_F(DefinitionTest, DefinitionOnTheNextLineStopsTheBlock) {
  band_parameters p;
  commands("DEF\nEG2=DEL\nTRIADS\n");
  const RunStop s = stop_of([&] { getact(p); });
  EXPECT_EQ(s.text, "subroutine ANALYDEF");
}

}  // namespace
}  // namespace mv::test
