// The allocator of the picture build. While the tracer records, every block
// gets pages of its own, placed flush against a closed page, so the first
// read or write one byte past its end stops the program where it happens
// (a block's size is a multiple of its type's alignment, so the type's
// alignment still holds). A released block is not given back: its pages
// are closed, so a later use of it stops the program too, and a second
// release changes nothing. A release of an address no new returned is
// noted and changes nothing. A stop on a closed page is noted with whether
// the access read or wrote, as the fault itself tells. Each of these is written
// to picture_log, with where it was asked for, and the tracer reads the log at
// each step (a stop per block would make a run with many blocks crawl). The
// tracer sees each stop on a closed page first; then Opened() opens that page
// and the access is made again, so the run goes on. Before and after the
// recording, blocks come from malloc, still tracked.
#include "lab/picture/recorder/recorder.h"

#include <execinfo.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

const std::size_t kPage = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
// Mappings of recorded blocks before the oldest released ones are given
// back: each takes two of the kernel's (vm.max_map_count, 65530 at most).
constexpr std::size_t kMostMapped = 24000;

struct Block {
  std::uintptr_t start;  // 0: a free slot; 1: a slot whose block is gone
  std::size_t size;
  char* mapping;  // nullptr: from malloc
  std::size_t pages;
  bool released;
};

// Pages of their own for the recorder's tables: operator new cannot use
// the heap it provides. Aborts when the system has none left.
void* Pages(std::size_t bytes) {
  void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) std::abort();
  return pages;
}

// An open-addressing table of every block by its start, published whole
// through one pointer: the fault handler reads it without the lock. Tables
// outgrown are kept, as the handler may still be reading one. `filled`
// counts the slots of gone blocks too, so a lookup always meets an empty
// slot. The recorded blocks' starts in the order of their release, to give
// back the oldest.
struct Table {
  std::size_t slots;
  Block* entries;
};
std::atomic<Table*> published{nullptr};
Block* table = nullptr;
std::size_t slots = 0, used = 0, filled = 0, mapped = 0;
std::uintptr_t* released = nullptr;
std::size_t released_room = 0, released_first = 0, released_count = 0;
std::atomic_flag busy = ATOMIC_FLAG_INIT;  // one thread in the tables

struct Hold {
  Hold() {
    while (busy.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~Hold() { busy.clear(std::memory_order_release); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
};

Block* Slot(std::uintptr_t start) {
  std::size_t at = (start >> 4) * 0x9E3779B97F4A7C15ULL & (slots - 1);
  Block* gone = nullptr;
  for (;; at = (at + 1) & (slots - 1)) {
    if (table[at].start == start) return &table[at];
    if (table[at].start == 1 && gone == nullptr) gone = &table[at];
    if (table[at].start == 0) return gone != nullptr ? gone : &table[at];
  }
}

// Rehashes into a fresh table (twice the size when live blocks fill a
// quarter of it), dropping the slots of gone blocks.
void Grow() {
  Block* old = table;
  const std::size_t old_slots = slots;
  slots = slots == 0 ? 1 << 16 : (used + 1) * 4 > slots ? slots * 2 : slots;
  table = static_cast<Block*>(Pages(slots * sizeof(Block)));
  for (std::size_t i = 0; i < old_slots; ++i) {
    if (old[i].start > 1) *Slot(old[i].start) = old[i];
  }
  filled = used;
  auto* fresh = static_cast<Table*>(Pages(sizeof(Table)));
  *fresh = {slots, table};
  published.store(fresh, std::memory_order_release);
}

void Keep(const Block& block) {
  if ((filled + 1) * 2 > slots) Grow();
  Block* slot = Slot(block.start);
  if (slot->start == 0) ++filled;
  if (slot->start <= 1) ++used;
  *slot = block;
}

Block* Find(void* start) {
  if (slots == 0) return nullptr;
  Block* slot = Slot(reinterpret_cast<std::uintptr_t>(start));
  return slot->start > 1 ? slot : nullptr;
}

// Output reaches the file as it is written, so each step shows the output
// so far; the bytes are the same as in any other run.
[[maybe_unused]] const int kUnbuffered =
    std::setvbuf(stdout, nullptr, _IONBF, 0);

void picture_event(PictureEvent kind, void* start, std::size_t size,
                   PictureAccess access = picture_unknown);

// Whether the faulting access wrote: bit 1 of the page fault's error code.
PictureAccess AccessOf(void* context) {
#if defined(__x86_64__) && defined(REG_ERR)
  const auto error =
      static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_ERR];
  return (error & 2) != 0 ? picture_write : picture_read;
#else
  (void)context;
  return picture_unknown;
#endif
}

// A stop on a page of a recorded block (released, or the closed page past
// its end) is noted and opens that page, so the access is made again; any
// other stop ends the program as it would have ended without the picture.
void Opened(int, siginfo_t* info, void* context) {
  // Sent (raise, kill), not a fault: it ends the program.
  if (info->si_code <= 0) {
    signal(SIGSEGV, SIG_DFL);
    raise(SIGSEGV);  // delivered as this handler returns
    return;
  }
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  const Table* now = published.load(std::memory_order_acquire);
  for (std::size_t i = 0; now != nullptr && i < now->slots; ++i) {
    const Block& block = now->entries[i];
    const auto mapping = reinterpret_cast<std::uintptr_t>(block.mapping);
    if (block.start > 1 && mapping != 0 && address >= mapping &&
        address < mapping + block.pages * kPage) {
      picture_event(picture_faulted, info->si_addr, 0, AccessOf(context));
      mprotect(static_cast<char*>(info->si_addr) - address % kPage, kPage,
               PROT_READ | PROT_WRITE);
      return;
    }
  }
  signal(SIGSEGV, SIG_DFL);
}

// On a stack of its own, so a stack that overflowed still ends as it would.
int Handle() {
  static char stack[1 << 16];
  stack_t alternate{};
  alternate.ss_sp = stack;
  alternate.ss_size = sizeof stack;
  sigaltstack(&alternate, nullptr);
  struct sigaction action {};
  action.sa_sigaction = Opened;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  return sigaction(SIGSEGV, &action, nullptr);
}
[[maybe_unused]] const int kHandled = Handle();

}  // namespace

volatile int picture_recording = 0;
PictureRecord* picture_log = nullptr;
volatile std::size_t picture_logged = 0;

namespace {

std::size_t log_room = 0;

void picture_event(PictureEvent kind, void* start, std::size_t size,
                   PictureAccess access) {
  if (picture_logged == log_room) {
    auto* fresh = static_cast<PictureRecord*>(
        Pages((log_room * 2 + 4096) * sizeof(PictureRecord)));
    for (std::size_t i = 0; i < picture_logged; ++i) fresh[i] = picture_log[i];
    if (picture_log != nullptr) {
      munmap(picture_log, log_room * sizeof(PictureRecord));
    }
    picture_log = fresh;
    log_room = log_room * 2 + 4096;
  }
  PictureRecord& record = picture_log[picture_logged];
  record = {kind, access, start, size, nullptr, 0, {}};
  if (const Block* block = Find(start)) {
    record.mapping = block->mapping;
    record.mapped = block->pages * kPage;
  }
  if (kind != picture_faulted) {  // the tracer knows where a fault stopped
    // This function first, then the callers: enough for the line that
    // asked through std::make_shared's chain of library calls.
    void* stack[sizeof PictureRecord::callers / sizeof(void*) + 1];
    const int depth =
        backtrace(stack, static_cast<int>(sizeof stack / sizeof(void*)));
    for (int i = 1; i < depth; ++i) record.callers[i - 1] = stack[i];
  }
  picture_logged = picture_logged + 1;
}

// backtrace() loads what it needs on its first call, with malloc: not from
// inside operator new while the tracer waits.
[[maybe_unused]] const int kUnwinds = [] {
  void* frame[1];
  return backtrace(frame, 1);
}();

}  // namespace

namespace {

void NoteReleased(std::uintptr_t start) {
  if (released_first + released_count == released_room) {
    auto* fresh = static_cast<std::uintptr_t*>(
        Pages((released_room * 2 + 1024) * sizeof(std::uintptr_t)));
    for (std::size_t i = 0; i < released_count; ++i) {
      fresh[i] = released[released_first + i];
    }
    if (released != nullptr) {
      munmap(released, released_room * sizeof(std::uintptr_t));
    }
    released = fresh;
    released_room = released_room * 2 + 1024;
    released_first = 0;
  }
  released[released_first + released_count++] = start;
}

// Gives back the pages of the block released longest ago, when there is one.
bool GiveBackOldest() {
  if (released_count == 0) return false;
  --released_count;
  Block* oldest = Slot(released[released_first++]);
  munmap(oldest->mapping, oldest->pages * kPage);
  // Its start, as its mapping places it: the closed page follows its end.
  picture_event(picture_pages_reused,
                oldest->mapping + (oldest->pages - 1) * kPage - oldest->size,
                oldest->size);
  oldest->start = 1;
  --used;
  --mapped;
  return true;
}

// A recorded block, or nullptr where the system would not give one (too
// large, or no memory left): then malloc decides, as without the picture.
void* Recorded(std::size_t size) {
  // So large that its pages would not count.
  if (size > static_cast<std::size_t>(PTRDIFF_MAX) - 2 * kPage) return nullptr;
  const std::size_t data = (size + kPage - 1) / kPage;  // then a closed page
  if (mapped >= kMostMapped) GiveBackOldest();
  void* mapping;
  while ((mapping = mmap(nullptr, (data + 1) * kPage, PROT_NONE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) == MAP_FAILED) {
    if (!GiveBackOldest()) return nullptr;
  }
  auto* bytes = static_cast<char*>(mapping);
  if (mprotect(bytes, data * kPage, PROT_READ | PROT_WRITE) != 0) {
    munmap(bytes, (data + 1) * kPage);  // more than the system commits to
    return nullptr;
  }
  char* start = bytes + data * kPage - size;
  Keep({reinterpret_cast<std::uintptr_t>(start), size, bytes, data + 1, false});
  ++mapped;
  picture_event(picture_allocated, start, size);
  return start;
}

}  // namespace

void* operator new(std::size_t size) {
  if (size == 0) size = 1;
  const Hold hold;
  void* block = picture_recording != 0 ? Recorded(size) : nullptr;
  if (block == nullptr) {
    block = std::malloc(size);
    if (block == nullptr) throw std::bad_alloc();
    Keep({reinterpret_cast<std::uintptr_t>(block), size, nullptr, 0, false});
  }
  return block;
}

void operator delete(void* start) noexcept {
  if (start == nullptr) return;
  const Hold hold;
  Block* block = Find(start);
  if (block == nullptr) {
    picture_event(picture_bad_release, start, 0);
  } else if (block->mapping == nullptr) {  // from malloc
    block->start = 1;
    --used;
    std::free(start);
  } else if (block->released) {
    picture_event(picture_released_again, start, block->size);
  } else {
    block->released = true;
    NoteReleased(block->start);
    mprotect(block->mapping, (block->pages - 1) * kPage, PROT_NONE);
    picture_event(picture_released, start, block->size);
  }
}

void operator delete(void* start, std::size_t) noexcept {
  operator delete(start);
}

// The array forms only call the plain ones, so that the tracer sees from
// the calls which form allocated or released a block. Weak: a test
// binary's own (the allocation probe's) take their place.
[[gnu::weak, gnu::noinline]] void* operator new[](std::size_t size) {
  return operator new(size);
}

[[gnu::weak, gnu::noinline]] void operator delete[](void* start) noexcept {
  operator delete(start);
}

[[gnu::weak, gnu::noinline]] void operator delete[](void* start,
                                                    std::size_t) noexcept {
  operator delete[](start);
}
