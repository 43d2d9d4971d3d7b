// Free-form (list-directed) row records: repeat counts, null values and '/',
// each case checked against what gfortran 12 reads with
//   READ(u,*) i, n, (c(k), v(k), k = 1, n)
// from variables preset to i = -1, n = -2, c = -99, v = -9.5.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/listread.h"
#include "io/numedit.h"
#include "io/units.h"

namespace mv {
namespace {

struct Row {
  int32_t code = 0, i = -1, n = -2;
  std::vector<int32_t> c = {-99, -99, -99};
  std::vector<float> v = {-9.5f, -9.5f, -9.5f};
  std::string next;  // the line the following read starts on
  bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Row& r) {
  os << "code=" << r.code << " i=" << r.i << " n=" << r.n;
  for (std::size_t k = 0; k < 3; ++k) os << " (" << r.c[k] << "," << r.v[k] << ")";
  return os << " next='" << r.next << "'";
}

// Reads one row record followed by the line "NEXT" the way rncowan does.
Row read_row(const std::string& text) {
  attach_memory(14, text + "\nNEXT\n");
  Row r;
  ListReader record(14);
  r.code = record.read_int(r.i);
  if (r.code == 0) r.code = record.read_int(r.n);
  for (int32_t k = 0; r.code == 0 && k < std::min(r.n, 3); ++k) {
    r.code = record.read_int(r.c[k]);
    if (r.code == 0) r.code = record.read_real(r.v[k]);
  }
  if (r.code == 0) read_line(14, r.next);
  reset_units();
  return r;
}

Row row(int32_t i, int32_t n, std::vector<int32_t> c, std::vector<float> v,
        std::string next = "NEXT") {
  c.resize(3, -99);
  v.resize(3, -9.5f);
  return {0, i, n, c, v, next};
}

TEST(ListRead, PlainRecordsReadAsBefore) {
  EXPECT_EQ(read_row("1 2 1 0.5 2 1.5"), row(1, 2, {1, 2}, {0.5f, 1.5f}));
  EXPECT_EQ(read_row("1\t2\t1 .5,2 1.5e0"), row(1, 2, {1, 2}, {0.5f, 1.5f}));
  EXPECT_EQ(read_row("\n\n 1 2\n 1 0.5\n 2 1.5 99 junk"), row(1, 2, {1, 2}, {0.5f, 1.5f}));
  EXPECT_EQ(read_row("1 2 1 0.5 2 1.5,"), row(1, 2, {1, 2}, {0.5f, 1.5f}));
  EXPECT_EQ(read_row("1 1 1 0.5,junk"), row(1, 1, {1}, {0.5f}));
  EXPECT_EQ(read_row("1 1 1 2"), row(1, 1, {1}, {2.0f}));
}

TEST(ListRead, RepeatCountsGiveCopiesOfOneValue) {
  EXPECT_EQ(read_row("3*1 1.0"), row(1, 1, {1}, {1.0f}));
  EXPECT_EQ(read_row("2*1 1 0.5"), row(1, 1, {1}, {0.5f}));
  EXPECT_EQ(read_row("2*1\n1 0.5"), row(1, 1, {1}, {0.5f}));
  EXPECT_EQ(read_row("1 1 1 2*1"), row(1, 1, {1}, {1.0f}));  // an integer and a real item
  EXPECT_EQ(read_row("1 2 1 1*0.5 1*2 1*1.5"), row(1, 2, {1, 2}, {0.5f, 1.5f}));
  EXPECT_EQ(read_row("1 1 1 02*+0.5"), row(1, 1, {1}, {0.5f}));
  EXPECT_EQ(read_row("1 1 1 200000000*0.5"), row(1, 1, {1}, {0.5f}));
  // Copies beyond the record's last item are dropped with the rest of the line.
  EXPECT_EQ(read_row("1 2 1 0.5 2 3*1.5"), row(1, 2, {1, 2}, {0.5f, 1.5f}));
  EXPECT_EQ(read_row("1 1 1 3*0.5/"), row(1, 1, {1}, {0.5f}));
}

TEST(ListRead, NullValuesLeaveTheirItems) {
  EXPECT_EQ(read_row("1 1 2*"), row(1, 1, {-99}, {-9.5f}));
  EXPECT_EQ(read_row("1 2 1,,2 3.5"), row(1, 2, {1, 2}, {-9.5f, 3.5f}));
  EXPECT_EQ(read_row("1 2 1 , , 2 3.5"), row(1, 2, {1, 2}, {-9.5f, 3.5f}));
  EXPECT_EQ(read_row("1 2 1 0.5,,2 1.5"), row(1, 2, {1, -99}, {0.5f, 2.0f}));
  EXPECT_EQ(read_row("1 2 1 2*,5"), row(1, 2, {1, -99}, {-9.5f, 5.0f}));
  EXPECT_EQ(read_row("1 2 1 2*\n2 3"), row(1, 2, {1, -99}, {-9.5f, 2.0f}));
  // A comma before the first value of the first line is a null; after a
  // line end (a blank) it only separates.
  EXPECT_EQ(read_row(",2 1 0.5 2 1.5"), row(-1, 2, {1, 2}, {0.5f, 1.5f}));
  EXPECT_EQ(read_row(" , 1 1 0.5"), row(-1, 1, {1}, {0.5f}));
  EXPECT_EQ(read_row("\n,1 1 1 0.5"), row(1, 1, {1}, {0.5f}));
  EXPECT_EQ(read_row("1 2 1 0.5\n,2 3.5"), row(1, 2, {1, 2}, {0.5f, 3.5f}));
  EXPECT_EQ(read_row("1 1 1 ,\n0.5"), row(1, 1, {1}, {0.5f}));
  // A comma at a line end and one at the start of the next: a null between.
  EXPECT_EQ(read_row("1 2 1 0.5,\n,2 3.5"), row(1, 2, {1, -99}, {0.5f, 2.0f}));
  EXPECT_EQ(read_row("1,\n\n,1 1 0.5"), row(1, -2, {}, {}));
}

TEST(ListRead, SlashEndsTheRecordAndTheRestKeepTheirValues) {
  EXPECT_EQ(read_row("1 2 1 0.5 / 9"), row(1, 2, {1}, {0.5f}));
  EXPECT_EQ(read_row("1 2 1,/"), row(1, 2, {1}, {}));
  EXPECT_EQ(read_row("1 2 1 2*/"), row(1, 2, {1}, {}));
  EXPECT_EQ(read_row("1 2 2*\n/"), row(1, 2, {}, {}));
  EXPECT_EQ(read_row("1 2 1 0.5 2 1.5/"), row(1, 2, {1, 2}, {0.5f, 1.5f}));
}

TEST(ListRead, MalformedRepeatsAndValuesAreInputErrors) {
  for (const char* bad :
       {"1 2 1 0*5", "1 2 1 +2*3", "1 2 1 *5", "1 1 1 a*0.5", "1 1 1 2*a", "1 1 1 2**3",
        "1 1 1 2*2*0.5", "1 2 2*1.5", "1 2 1 2*-1.5e1 2", "1 2 1 2 * 3", "1.0 1 1 0.5"}) {
    EXPECT_EQ(read_row(bad).code, ioerr_bad_value) << bad;
  }
  EXPECT_EQ(read_row("1 1 1 200000001*0.5").code, ioerr_overflow);
  EXPECT_EQ(read_row("1 1 1 99999999999*0.5").code, ioerr_overflow);
}

}  // namespace
}  // namespace mv
