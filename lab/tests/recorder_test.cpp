// The picture build's allocator on its own, without the tracer: a stop on
// a recorded block's closed page is logged with whether the access read or
// wrote, as the fault itself says, and the program goes on.
#include "lab/picture/recorder/recorder.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// The faults logged since the last call, as the tracer empties the log.
std::vector<PictureRecord> Faults() {
  std::vector<PictureRecord> faults;
  faults.reserve(64);  // before reading: an allocation may log an event
  const std::size_t logged = picture_logged;
  for (std::size_t i = 0; i < logged && faults.size() < 64; ++i) {
    if (picture_log[i].kind == picture_faulted)
      faults.push_back(picture_log[i]);
  }
  picture_logged = 0;
  return faults;
}

TEST(Recorder, TellsAReadPastTheEndFromAWriteAndGoesOn) {
  picture_recording = 1;
  auto* read = new double[4]{1, 2, 3, 4};
  auto* written = new double[4]{};
  auto* released = new char[8]{};
  picture_recording = 0;
  // Through pointers the compiler cannot follow: it would warn of each slip.
  volatile double* volatile past_read = read + 4;
  volatile double* volatile past_written = written + 4;
  volatile char* volatile gone = released;
  delete[] released;
  Faults();

  const double seen =
      *past_read;  // the first byte past the end: stops, then goes on
  *past_written = seen;
  // The read of a released block is the slip this test makes on purpose.
  const char after = *gone;  // NOLINT(clang-analyzer-cplusplus.NewDelete)
  const std::vector<PictureRecord> faults = Faults();

  ASSERT_EQ(faults.size(), 3u)
      << "each access to a closed page must be logged once";
  EXPECT_EQ(faults[0].start, read + 4);
  EXPECT_EQ(faults[0].access, picture_read)
      << "a read past the end was told as a write";
  EXPECT_EQ(faults[1].start, written + 4);
  EXPECT_EQ(faults[1].access, picture_write)
      << "a write past the end was told as a read";
  EXPECT_EQ(faults[2].access, picture_read)
      << "a read of a released block was told as a write";
  EXPECT_EQ(after, 0);
  delete[] read;
  delete[] written;
}

}  // namespace
