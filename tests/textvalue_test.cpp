#include "text/textvalue.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <memory>
#include <sstream>
#include <string>

#include "tests/support/allocprobe.h"
#include "tests/support/strongguarantee.h"

namespace {

std::string Text(const String& st) {
  std::ostringstream os;
  os << st;
  return os.str();
}

// Returns what remains unread in the stream.
std::string Rest(std::istream& is) {
  is.clear();
  return std::string(std::istreambuf_iterator<char>(is), {});
}

TEST(String, DefaultAndEmptyStringsAreEqualAndOwnABlock) {
  const long live = allocprobe::LiveBlocks();
  String none;
  String empty("");
  EXPECT_EQ(allocprobe::LiveBlocks(), live + 2)
      << "every String must own a block, an empty one too";
  EXPECT_EQ(none.length(), 0);
  EXPECT_EQ(Text(none), "");
  EXPECT_TRUE(none == empty);
  EXPECT_FALSE(none < empty);
  EXPECT_FALSE(none > empty);
}

TEST(String, SelfAssignmentKeepsTextAndAllocatesNothing) {
  String st("Mirela");
  String& alias = st;
  const long allocations = allocprobe::Allocations();
  st = alias;
  EXPECT_EQ(allocprobe::Allocations(), allocations)
      << "a copy assignment of a String to itself must do nothing: check for "
         "self-assignment first";
  EXPECT_EQ(Text(st), "Mirela") << "self-assignment lost the text";
  EXPECT_EQ(st.length(), 6);
}

TEST(String, CopiesOutliveAndIgnoreChangesToEitherSide) {
  auto source = std::make_unique<String>("Tobias Quenford");
  // Checked right after each copy, before anything is released: a copy
  // that shares its source's block allocates nothing.
  long allocations = allocprobe::Allocations();
  String constructed(*source);
  EXPECT_EQ(allocprobe::Allocations(), allocations + 1)
      << "the copy constructor must give the copy a block of its own: "
         "sharing the source's is a shallow copy";
  EXPECT_EQ(constructed.length(), 15)
      << "the copy constructor must copy the length";
  EXPECT_EQ(Text(constructed), "Tobias Quenford");
  String assigned("x");
  allocations = allocprobe::Allocations();
  assigned = *source;
  EXPECT_EQ(allocprobe::Allocations(), allocations + 1)
      << "the copy assignment must give the String a block of its own: "
         "sharing the source's is a shallow copy";
  EXPECT_EQ(assigned.length(), 15)
      << "the copy assignment must copy the length";
  EXPECT_EQ(Text(assigned), "Tobias Quenford");
  *source = "changed";
  EXPECT_EQ(Text(constructed), "Tobias Quenford")
      << "the copy changed with its source: they share one block, a "
         "shallow copy";
  EXPECT_EQ(Text(assigned), "Tobias Quenford")
      << "the assigned copy changed with its source: a shallow assignment";
  source.reset();
  EXPECT_EQ(Text(constructed), "Tobias Quenford")
      << "the copy must outlive its source";
  assigned = "other";
  EXPECT_EQ(Text(constructed), "Tobias Quenford");
  EXPECT_EQ(assigned.length(), 5);
  String survivor("kept");
  {
    String copy(survivor);
    copy = "gone";
  }
  EXPECT_EQ(Text(survivor), "kept");
}

TEST(String, ComparesByteByByte) {
  EXPECT_TRUE(String("abc") == String("abc"));
  EXPECT_FALSE(String("abc") < String("abc"));
  EXPECT_FALSE(String("abc") > String("abc"));
  EXPECT_TRUE(String("ab") < String("abc"));  // a proper prefix first
  EXPECT_TRUE(String("abc") > String("ab"));
  EXPECT_FALSE(String("ab") == String("abc"));
  EXPECT_TRUE(String("a\xe9") > String("a\x7f"));  // bytes above 127 last
  EXPECT_TRUE(String("\x7f") < String("\x80"));
  EXPECT_TRUE(String("B") < String("a"));
}

TEST(String, InsertionHonoursWidthAndFill) {
  std::ostringstream os;
  os << std::setw(6) << std::setfill('.') << String("abc") << '|' << std::left
     << std::setw(5) << String("de") << '|';
  EXPECT_EQ(os.str(), "...abc|de...|");
}

TEST(String, ExtractsOneLineAtATime) {
  std::istringstream in("first line\nsecond\n");
  String st;
  EXPECT_TRUE(in >> st);
  EXPECT_EQ(Text(st), "first line");
  EXPECT_EQ(st.length(), 10);
  EXPECT_TRUE(in >> st);
  EXPECT_EQ(Text(st), "second");
  EXPECT_FALSE(in >> st);  // end of input: unchanged
  EXPECT_EQ(Text(st), "second");
}

TEST(String, KeepsTheFirst79CharactersOfALine) {
  const std::string exact(79, 'x');
  std::istringstream fits(exact + "\nnext\n");
  String st;
  EXPECT_TRUE(fits >> st);
  EXPECT_EQ(Text(st), exact) << "a line of 79 characters must be kept whole";
  EXPECT_EQ(Rest(fits), "next\n");

  std::istringstream longer(exact + "yz and more\nnext\n");
  EXPECT_TRUE(longer >> st);
  EXPECT_EQ(Text(st), exact)
      << "a longer line must keep its first 79 characters: the 80-character "
         "buffer holds 79 and the terminator";
  EXPECT_EQ(st.length(), 79);
  EXPECT_EQ(Rest(longer), "next\n")
      << "the rest of a long line must be skipped, up to its line end";
}

TEST(String, EmptyLineFailsAndLeavesTargetAndLineEnd) {
  std::istringstream in("\nafter\n");
  String st("before");
  EXPECT_FALSE(in >> st) << "an empty line must fail the stream";
  EXPECT_EQ(Text(st), "before")
      << "a failed extraction must leave the String as it was";
  EXPECT_EQ(Rest(in), "\nafter\n");
}

TEST(String, LastLineWithoutLineEndIsStoredAndEndsTheInput) {
  std::istringstream in("tail");
  String st("before");
  in >> st;
  EXPECT_EQ(Text(st), "tail");
  EXPECT_TRUE(in.eof());
  EXPECT_TRUE(in.fail());
}

TEST(String, FailedStreamReadsNothing) {
  std::istringstream in("unread\n");
  in.setstate(std::ios_base::failbit);
  String st("before");
  in >> st;
  EXPECT_EQ(Text(st), "before");
  EXPECT_EQ(Rest(in), "unread\n");
}

TEST(String, EmbeddedZeroByteEndsTheText) {
  std::istringstream in(std::string("ab\0cd\nnext\n", 11));
  String st;
  EXPECT_TRUE(in >> st);
  EXPECT_EQ(Text(st), "ab");
  EXPECT_EQ(st.length(), 2);
  EXPECT_EQ(Rest(in), "next\n");
}

TEST(String, ReleasesEveryBlockExactlyOnce) {
  const long live = allocprobe::LiveBlocks();
  const long stray = allocprobe::StrayReleases();
  {
    String a("one");
    String b(a);
    String c;
    c = a;
    c = "two";
    const String& same = c;
    c = same;
    std::istringstream in("three\n");
    in >> c;
    auto d = std::make_unique<String>(b);
    EXPECT_EQ(allocprobe::LiveBlocks(), live + 4)
        << "every String must own exactly one block";
  }
  EXPECT_EQ(allocprobe::LiveBlocks(), live)
      << "a block was never released: a leak";
  EXPECT_EQ(allocprobe::StrayReleases(), stray) << "a block was released twice";
}

TEST(String, FailedAllocationLeavesNoLeakAndTargetUnchanged) {
  const long live = allocprobe::LiveBlocks();
  const long stray = allocprobe::StrayReleases();
  String source("Tobias Quenford");
  String target("Mirela Vont");
  auto read = [&] {
    return Text(target) + " " + std::to_string(target.length());
  };
  EXPECT_EQ(allocprobe::ForEachFailure([] { String s("x"); }, [] {}), 1);
  EXPECT_EQ(allocprobe::ForEachFailure([] { String s; }, [] {}), 1);
  EXPECT_EQ(allocprobe::ForEachFailure([&] { return String(source); }, [] {}),
            1);
  const std::string copied = allocprobe::StrongGuaranteeBroken(
      "the copy assignment", 1, [&] { target = source; }, read);
  EXPECT_TRUE(copied.empty()) << copied;
  target = "Mirela Vont";
  const std::string assigned = allocprobe::StrongGuaranteeBroken(
      "the assignment from text", 1, [&] { target = "Flint"; }, read);
  EXPECT_TRUE(assigned.empty()) << assigned;
  target = "Mirela Vont";
  auto extract = [&] {
    std::istringstream in("Flint\n");
    in >> target;
  };
  const std::string extracted =
      allocprobe::StrongGuaranteeBroken("the extraction", 1, extract, read);
  EXPECT_TRUE(extracted.empty()) << extracted;
  EXPECT_EQ(Text(target), "Flint");
  EXPECT_EQ(allocprobe::LiveBlocks(), live + 2)
      << "a block was never released: a leak";
  EXPECT_EQ(allocprobe::StrayReleases(), stray) << "a block was released twice";
}

}  // namespace
