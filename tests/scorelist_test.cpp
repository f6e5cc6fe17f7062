#include "arrays/scorelist.h"

#include <gtest/gtest.h>

#include <climits>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/allocprobe.h"
#include "tests/support/streamcapture.h"
#include "tests/support/strongguarantee.h"

namespace {

constexpr int kAccepted = INT_MIN + 1;  // no test below uses it as an index

// Returns the badIndex thrown for i through both subscripts (which must
// agree), or kAccepted when neither throws.
int Rejected(ScoreList& list, int i) {
  int from_modifiable = kAccepted;
  int from_const = kAccepted;
  try {
    list[i];
  } catch (const ScoreList::BadIndex& bad) {
    from_modifiable = bad.badIndex;
  }
  try {
    static_cast<const ScoreList&>(list)[i];
  } catch (const ScoreList::BadIndex& bad) {
    from_const = bad.badIndex;
  }
  EXPECT_EQ(from_modifiable, from_const)
      << "index " << i << ": the two subscripts must check the same range";
  return from_modifiable;
}

std::string Inserted(const ScoreList& list) {
  std::ostringstream os;
  os << list;
  return os.str();
}

ScoreList Counting(unsigned int n) {  // 1, 2, ..., n
  std::vector<double> values;
  for (unsigned int i = 1; i <= n; ++i) values.push_back(i);
  return ScoreList(values.data(), n);
}

TEST(ScoreList, RejectsEveryIndexOutsideTheArray) {
  ScoreList list = Counting(3);
  EXPECT_EQ(Rejected(list, -1), -1)
      << "index -1 is below the array: the subscript must throw BadIndex";
  EXPECT_EQ(Rejected(list, 3), 3)
      << "index 3 is one past the end of 3 elements: the subscript must "
         "throw BadIndex (valid indices are 0 to size - 1)";
  EXPECT_EQ(Rejected(list, INT_MIN), INT_MIN);
  EXPECT_EQ(Rejected(list, INT_MAX), INT_MAX);
  EXPECT_EQ(Rejected(list, 0), kAccepted)
      << "index 0, the first element, must be accepted";
  EXPECT_EQ(Rejected(list, 2), kAccepted)
      << "index size - 1, the last element, must be accepted";
  EXPECT_EQ(list[2], 3.0);
  EXPECT_EQ(static_cast<const ScoreList&>(list)[0], 1.0);
}

TEST(ScoreList, EmptyArraysHoldNothingAndAverageToZeroOnStderr) {
  const double none[] = {0.0};
  std::vector<std::unique_ptr<ScoreList>> empties;
  empties.push_back(std::make_unique<ScoreList>());
  empties.push_back(std::make_unique<ScoreList>(0, 7.0));
  empties.push_back(std::make_unique<ScoreList>(none, 0));
  for (auto& list : empties) {
    EXPECT_EQ(list->ArSize(), 0u);
    EXPECT_EQ(Inserted(*list), "");
    EXPECT_EQ(Rejected(*list, 0), 0)
        << "an empty array has no index 0: the subscript must throw";
    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    EXPECT_EQ(list->Average(), 0.0)
        << "an empty array averages to 0, not to 0 divided by 0";
    EXPECT_EQ(err.Take(), "No entries in score array\n")
        << "averaging an empty array must say so on standard error";
    EXPECT_EQ(out.Take(), "");
  }
}

TEST(ScoreList, WrittenElementIsSeenByReadsAverageAndInsertion) {
  ScoreList list = Counting(4);
  StreamCapture err(std::cerr);
  EXPECT_EQ(list.Average(), 2.5);
  list[1] = 6.0;
  EXPECT_EQ(static_cast<const ScoreList&>(list)[1], 6.0);
  EXPECT_EQ(list.Average(), 3.5);
  EXPECT_EQ(Inserted(list), "1 6 3 4 \n");
  EXPECT_EQ(err.Take(), "");
}

TEST(ScoreList, InsertionPutsFiveValuesToALine) {
  EXPECT_EQ(Inserted(Counting(0)), "");
  EXPECT_EQ(Inserted(Counting(4)), "1 2 3 4 \n");
  EXPECT_EQ(Inserted(Counting(5)), "1 2 3 4 5 \n");
  EXPECT_EQ(Inserted(Counting(7)), "1 2 3 4 5 \n6 7 \n");
  EXPECT_EQ(Inserted(Counting(10)), "1 2 3 4 5 \n6 7 8 9 10 \n");
  std::ostringstream fixed;
  fixed.precision(1);
  fixed.setf(std::ios_base::fixed, std::ios_base::floatfield);
  fixed << ScoreList(2, 0.25);
  EXPECT_EQ(fixed.str(), "0.2 0.2 \n");  // the stream's own settings apply
}

TEST(ScoreList, CopiesAreIndependentAndOutliveTheirSource) {
  auto source = std::make_unique<ScoreList>(Counting(3));
  // Checked right after each copy, before anything is released: a copy
  // that shares its source's block allocates nothing.
  long allocations = allocprobe::Allocations();
  ScoreList constructed(*source);
  EXPECT_EQ(allocprobe::Allocations(), allocations + 1)
      << "the copy constructor must give the copy an element block of its "
         "own: sharing the source's is a shallow copy";
  EXPECT_EQ(Inserted(constructed), "1 2 3 \n")
      << "the copy constructor must copy the length and every element";
  ScoreList assigned = Counting(7);
  allocations = allocprobe::Allocations();
  assigned = *source;
  EXPECT_EQ(allocprobe::Allocations(), allocations + 1)
      << "the copy assignment must give the array an element block of its "
         "own: sharing the source's is a shallow copy";
  EXPECT_EQ(assigned.ArSize(), 3u)
      << "the assignment must take the source's length";
  EXPECT_EQ(Inserted(assigned), "1 2 3 \n")
      << "the copy assignment must copy every element";

  (*source)[0] = 100;
  constructed[1] = 200;
  assigned[2] = 300;
  EXPECT_EQ(Inserted(*source), "100 2 3 \n")
      << "a change to a copy showed in its source: they share one element "
         "block, a shallow copy";
  source.reset();
  EXPECT_EQ(Inserted(constructed), "1 200 3 \n")
      << "the copy constructor must copy every element into a block of "
         "its own";
  EXPECT_EQ(Inserted(assigned), "1 2 300 \n")
      << "the assignment must copy every element into a block of its own";

  ScoreList from_empty = Counting(2);
  from_empty = ScoreList();
  EXPECT_EQ(from_empty.ArSize(), 0u)
      << "assigning an empty array must leave an empty array";
  EXPECT_EQ(Rejected(from_empty, 0), 0);
}

TEST(ScoreList, SelfAssignmentKeepsElementsAndAllocatesNothing) {
  ScoreList list = Counting(6);
  ScoreList& alias = list;
  const long allocations = allocprobe::Allocations();
  list = alias;
  EXPECT_EQ(allocprobe::Allocations(), allocations)
      << "a copy assignment of an array to itself must do nothing: check for "
         "self-assignment first";
  EXPECT_EQ(Inserted(list), "1 2 3 4 5 \n6 \n")
      << "self-assignment lost the elements";
}

TEST(ScoreList, ReleasesEveryBlockExactlyOnce) {
  const long live = allocprobe::LiveBlocks();
  const long stray = allocprobe::StrayReleases();
  {
    ScoreList a = Counting(3);
    ScoreList b(a);
    ScoreList c;
    c = a;
    c = ScoreList(0, 1.0);
    std::unique_ptr<ScoreList> d = std::make_unique<ScoreList>(b);
    EXPECT_EQ(allocprobe::LiveBlocks(), live + 4)
        << "every array must own one element block; an empty one too";
  }
  EXPECT_EQ(allocprobe::LiveBlocks(), live)
      << "an element block was never released: a leak";
  EXPECT_EQ(allocprobe::StrayReleases(), stray)
      << "an element block was released twice";
}

TEST(ScoreList, FailedAllocationLeavesNoLeakAndTargetUnchanged) {
  const long live = allocprobe::LiveBlocks();
  const long stray = allocprobe::StrayReleases();
  ScoreList source = Counting(7);
  ScoreList target = Counting(2);
  int failures = allocprobe::ForEachFailure([] { ScoreList s(4, 1.0); }, [] {});
  EXPECT_EQ(failures, 1);
  failures =
      allocprobe::ForEachFailure([&] { return ScoreList(source); }, [] {});
  EXPECT_EQ(failures, 1);
  const std::string broken = allocprobe::StrongGuaranteeBroken(
      "the copy assignment", 1, [&] { target = source; },
      [&] {
        return std::to_string(target.ArSize()) + ": " + Inserted(target);
      });
  EXPECT_TRUE(broken.empty()) << broken;
  EXPECT_EQ(Inserted(target), Inserted(source))
      << "the assignment must copy every element";
  EXPECT_EQ(allocprobe::LiveBlocks(), live + 2)
      << "an element block was never released: a leak";
  EXPECT_EQ(allocprobe::StrayReleases(), stray)
      << "an element block was released twice";
}

}  // namespace
