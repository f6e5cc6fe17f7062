// The allocator of the picture build. While the tracer records, every block
// gets pages of its own, and a released block is never given back: its
// pages are closed, so the first later read or write of it stops the
// program where it happens, and a second release changes nothing. The
// tracer learns of each allocation and release at picture_event().
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

constexpr int kMost = 1 << 14;  // blocks recorded in one run

struct Block {
  void* start;
  std::size_t size;
  bool released;
};
Block blocks[kMost];
int recorded = 0;

std::size_t Pages(std::size_t size) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return (size + page) / page * page;  // at least one byte past the block
}

Block* Find(void* start) {
  for (int i = recorded - 1; i >= 0; --i) {
    if (blocks[i].start == start) return &blocks[i];
  }
  return nullptr;
}

// Output reaches the file as it is written, so each step shows the output
// so far; the bytes are the same as in any other run.
[[maybe_unused]] const int kUnbuffered =
    std::setvbuf(stdout, nullptr, _IONBF, 0);

}  // namespace

extern "C" {
volatile int picture_recording = 0;  // set by the tracer while it records
}

// Where the tracer hears of a block: kind 0 allocated, 1 released, 2
// released again. It does nothing; the picture build is unoptimised, so
// every call stays a call, with its arguments on the stack for GDB to read.
extern "C" void picture_event([[maybe_unused]] int kind,
                              [[maybe_unused]] void* start,
                              [[maybe_unused]] std::size_t size) {}

void* operator new(std::size_t size) {
  if (picture_recording == 0 || recorded == kMost) {
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
  }
  void* start = mmap(nullptr, Pages(size), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (start == MAP_FAILED) throw std::bad_alloc();
  blocks[recorded++] = {start, size, false};
  picture_event(0, start, size);
  return start;
}

void operator delete(void* start) noexcept {
  Block* block = start == nullptr ? nullptr : Find(start);
  if (block == nullptr) {
    std::free(start);
  } else if (block->released) {
    picture_event(2, start, block->size);
  } else {
    block->released = true;
    mprotect(start, Pages(block->size), PROT_NONE);
    picture_event(1, start, block->size);
  }
}

void operator delete(void* start, std::size_t) noexcept {
  operator delete(start);
}
