#include "tests/support/allocprobe.h"

#include <cstdlib>
#include <unordered_set>

namespace {

long allocations = 0;
long stray_releases = 0;
long fail_countdown = 0;  // 0: no failure pending

// The registry uses scalar new, which is not replaced, so it never counts
// itself. It is never destroyed: releases can come after static destruction.
std::unordered_set<void*>& Live() {
  static auto* live = new std::unordered_set<void*>;
  return *live;
}

}  // namespace

namespace allocprobe {

long Allocations() { return allocations; }
long LiveBlocks() { return static_cast<long>(Live().size()); }
long StrayReleases() { return stray_releases; }
void FailAllocation(long nth) { fail_countdown = nth; }

}  // namespace allocprobe

void* operator new[](std::size_t size) {
  if (fail_countdown > 0 && --fail_countdown == 0) throw std::bad_alloc();
  // Through the plain operator new, so that an allocator put in its place
  // (the picture build's) sees these blocks too.
  void* block = ::operator new(size == 0 ? 1 : size);
  ++allocations;
  Live().insert(block);
  return block;
}

void operator delete[](void* block) noexcept {
  if (block == nullptr) return;
  if (Live().erase(block) == 0) {
    ++stray_releases;  // not ours to free: counting it is the whole point
    return;
  }
  ::operator delete(block);
}

void operator delete[](void* block, std::size_t) noexcept {
  operator delete[](block);
}
