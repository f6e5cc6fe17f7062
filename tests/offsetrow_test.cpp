#include "arrays/offsetrow.h"

#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <string>

namespace {

struct Rejection {
  bool thrown;
  int badIndex, lowBound, highBound;
};

// Returns what the subscripts throw for i; both forms must agree.
Rejection Probe(LimitArE& row, int i) {
  Rejection seen[2] = {{false, 0, 0, 0}, {false, 0, 0, 0}};
  for (int form = 0; form < 2; ++form) {
    try {
      if (form == 0) {
        row[i];
      } else {
        static_cast<const LimitArE&>(row)[i];
      }
    } catch (const LimitArE::SonOfBad& bad) {
      seen[form] = {true, bad.badIndex, bad.lowBound, bad.highBound};
    }
  }
  EXPECT_EQ(seen[0].thrown, seen[1].thrown)
      << "index " << i << ": the two subscripts must check the same range";
  EXPECT_EQ(seen[0].highBound, seen[1].highBound)
      << "index " << i << ": the two subscripts must report the same range";
  return seen[0];
}

void ExpectRejected(LimitArE& row, int i, int low, int high) {
  Rejection r = Probe(row, i);
  EXPECT_TRUE(r.thrown) << "index " << i << " is outside [" << low << ", "
                        << high << "]: the subscript must throw SonOfBad";
  EXPECT_EQ(r.badIndex, i) << "SonOfBad must carry the index it refused";
  EXPECT_EQ(r.lowBound, low)
      << "index " << i << ": SonOfBad must carry the lowest valid index";
  EXPECT_EQ(r.highBound, high)
      << "index " << i << ": SonOfBad must carry the highest valid index, "
      << "lower bound + size - 1";
}

TEST(LimitArE, YearsIndexTheElementsAndEveryOtherIndexIsRejected) {
  LimitArE row(4, 1998, 0.0);
  ASSERT_NO_THROW({
    for (int year = 1998; year <= 2001; ++year) row[year] = year - 1997;
  }) << "every year from the lower bound to lower bound + size - 1 must be "
        "an index";
  EXPECT_EQ(static_cast<const LimitArE&>(row)[1998], 1.0)
      << "the lower bound must index the first element";
  EXPECT_EQ(row[2001], 4.0)
      << "lower bound + size - 1 must index the last element";
  row[1999] = 9.5;
  std::ostringstream os;
  os << row;
  EXPECT_EQ(os.str(), "1 9.5 3 4 \n");
  EXPECT_EQ(row.ArSize(), 4u);
  for (int bad : {2002, 1997, 0, -1, INT_MIN, INT_MAX}) {
    ExpectRejected(row, bad, 1998, 2001);
  }
}

TEST(LimitArE, LowerBoundZeroActsLikeScoreListButReportsTheRange) {
  LimitArE row(3, 0, 2.0);
  EXPECT_FALSE(Probe(row, 0).thrown) << "index 0 must be accepted";
  EXPECT_FALSE(Probe(row, 2).thrown) << "the last index must be accepted";
  ExpectRejected(row, 3, 0, 2);
  ExpectRejected(row, -1, 0, 2);
}

TEST(LimitArE, EmptyRowRejectsEverythingWithHighBelowLow) {
  LimitArE years(0, 1998, 0.0);
  ExpectRejected(years, 1998, 1998, 1997);
  LimitArE from_zero(0, 0, 0.0);
  ExpectRejected(from_zero, 0, 0, -1);
  ExpectRejected(from_zero, INT_MIN, 0, -1);
}

TEST(LimitArE, RangeAtTheTopOfIntDoesNotWrap) {
  LimitArE row(4, INT_MAX, 1.0);  // only INT_MAX itself is an int in range
  EXPECT_FALSE(Probe(row, INT_MAX).thrown)
      << "the range check overflowed: compute it without adding to INT_MAX";
  EXPECT_TRUE(Probe(row, INT_MAX - 1).thrown);
  EXPECT_TRUE(Probe(row, -1).thrown);
  EXPECT_TRUE(Probe(row, INT_MIN).thrown);
  EXPECT_TRUE(Probe(row, 0).thrown);
}

TEST(LimitArE, BaseHandlerCatchesTheDerivedExceptionUnlessOneStandsFirst) {
  LimitArE row(4, 1998, 0.0);
  ScoreList& base = row;  // the virtual subscript still checks years
  std::string caught;
  try {
    base[4];
  } catch (ScoreList::BadIndex& bad) {
    caught = "base " + std::to_string(bad.badIndex);
  }
  EXPECT_EQ(caught, "base 4")
      << "through a ScoreList reference the subscript must still check "
         "years: the subscripts must be virtual";
  try {
    base[2002];
  } catch (LimitArE::SonOfBad& bad) {
    caught = "derived " + std::to_string(bad.highBound);
  } catch (ScoreList::BadIndex&) {
    caught = "base";
  }
  EXPECT_EQ(caught, "derived 2001")
      << "a handler for SonOfBad standing first must catch it, with the "
         "range";
}

// A further-derived check proves the subscripts call ok() virtually.
class EvenYearsOnly : public LimitArE {
 public:
  EvenYearsOnly() : LimitArE(4, 1998, 0.0) {}
  void ok(int i) const override {
    ++checks;
    if (i % 2 != 0) throw SonOfBad(i, -2, -2);
    LimitArE::ok(i);
  }
  mutable int checks = 0;
};

TEST(LimitArE, SubscriptsRunTheCheckThroughTheVirtualMechanism) {
  EvenYearsOnly row;
  const EvenYearsOnly& view = row;
  EXPECT_EQ(Probe(row, 1999).lowBound, -2)
      << "the subscripts did not run the derived class's ok(): call ok() "
         "unqualified, so that it is virtual";
  row[2000] = 1.0;
  EXPECT_EQ(view[2000], 1.0);
  EXPECT_EQ(row.checks, 4) << "every subscript, both forms, must run ok() once";
}

}  // namespace
