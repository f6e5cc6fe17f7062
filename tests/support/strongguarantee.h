// The strong guarantee of an operation that allocates, checked the way
// abseil's exception-safety tester checks one: each of its array
// allocations is made to fail in turn, and after each failure the target
// must be as it was, holding every block it held.
#ifndef TESTS_SUPPORT_STRONGGUARANTEE_H_
#define TESTS_SUPPORT_STRONGGUARANTEE_H_

#include <gtest/gtest.h>

#include "tests/support/allocprobe.h"

namespace allocprobe {

// Runs op (what names it, "the copy assignment") with its 1st, 2nd, ...
// array allocation failing until one run makes none fail, and expects
// `allocations` failing runs, each leaving the live blocks and read() (the
// target as a test reads it: its display, its elements) as before. The
// blocks are counted before read() runs, so a released block is named
// before it is read.
template <class Op, class Read>
void ExpectStrongGuarantee(const char* what, int allocations, Op op,
                           Read read) {
  const auto before = read();
  const long held = LiveBlocks();
  const int failures = ForEachFailure(op, [&] {
    EXPECT_EQ(LiveBlocks(), held)
        << "a failed allocation in " << what
        << " released a block the target held: allocate the new block "
           "before releasing the old one";
    EXPECT_EQ(read(), before) << "a failed allocation in " << what
                              << " must leave the target as it was";
  });
  EXPECT_EQ(failures, allocations) << what << " must allocate " << allocations
                                   << " new block(s) of its own: a deep copy";
}

}  // namespace allocprobe

#endif  // TESTS_SUPPORT_STRONGGUARANTEE_H_
