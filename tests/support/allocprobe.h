// Counts the array allocations (new[]) and releases (delete[]) of a test
// binary and can make a chosen allocation fail, to test what a class does
// when std::bad_alloc strikes in the middle of an operation.
// Linking this module replaces the global operator new[] / delete[] pair.
#ifndef TESTS_SUPPORT_ALLOCPROBE_H_
#define TESTS_SUPPORT_ALLOCPROBE_H_

#include <new>

namespace allocprobe {

// Returns the number of array allocations made since the program started.
long Allocations();
// Returns the number of array blocks allocated and not yet released.
long LiveBlocks();
// Returns the number of delete[] calls on a pointer that was not live:
// a double release, or a release of memory new[] never gave out.
long StrayReleases();
// Makes the nth array allocation from now (1 is the next) throw
// std::bad_alloc; 0 cancels a pending failure.
void FailAllocation(long nth);

// Runs op with its 1st, 2nd, 3rd... array allocation failing in turn, until
// a run makes no allocation fail; calls after_failure() after each run that
// threw std::bad_alloc. Returns the number of failing runs.
template <class Op, class Check>
int ForEachFailure(Op op, Check after_failure) {
  for (int nth = 1;; ++nth) {
    FailAllocation(nth);
    bool threw = false;
    try {
      op();
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    FailAllocation(0);
    if (!threw) return nth - 1;
    after_failure();
  }
}

}  // namespace allocprobe

#endif  // TESTS_SUPPORT_ALLOCPROBE_H_
