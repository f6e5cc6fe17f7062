// The strong guarantee of an operation that allocates, checked the way
// abseil's exception-safety tester checks one: each of its array
// allocations is made to fail in turn, and after each failure the target
// must be as it was, holding every block it held.
#ifndef TESTS_SUPPORT_STRONGGUARANTEE_H_
#define TESTS_SUPPORT_STRONGGUARANTEE_H_

#include <string>

#include "tests/support/allocprobe.h"

namespace allocprobe {

// Runs op (what names it, "the copy assignment") with its 1st, 2nd, ...
// array allocation failing until one run makes none fail. Returns what
// broke, in a sentence, or "" when each failing run left the live blocks
// and read() (the target as a test reads it: its display, its elements) as
// before and there were `allocations` of them. The blocks are counted
// before read() runs, so a released block is named before it is read. A
// test expects it empty, so a failure is placed at the test's own line.
template <class Op, class Read>
std::string StrongGuaranteeBroken(const char* what, int allocations, Op op,
                                  Read read) {
  const auto before = read();
  const long held = LiveBlocks();
  std::string broken;
  const int failures = ForEachFailure(op, [&] {
    if (!broken.empty()) return;
    if (LiveBlocks() != held) {
      broken = std::string("a failed allocation in ") + what +
               " released a block the target held: allocate the new block "
               "before releasing the old one";
    } else if (read() != before) {
      broken = std::string("a failed allocation in ") + what +
               " must leave the target as it was";
    }
  });
  if (broken.empty() && failures != allocations) {
    broken = std::string(what) + " must allocate " +
             std::to_string(allocations) +
             " new block(s) of its own: a deep copy";
  }
  return broken;
}

}  // namespace allocprobe

#endif  // TESTS_SUPPORT_STRONGGUARANTEE_H_
