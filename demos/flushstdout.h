// How a program ends when its output may not have been written, as the
// standard command-line tools do it: a failed write is an error, not a
// success that printed nothing.
#ifndef DEMOS_FLUSHSTDOUT_H_
#define DEMOS_FLUSHSTDOUT_H_

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

// Flushes standard output and returns the exit status: 0 when everything
// written reached it, else 1 after writing "PROGRAM: write error: REASON"
// to standard error, or "PROGRAM: write error" when the reason is unknown.
inline int FlushStdout(const char* program) {
  errno = 0;
  std::cout.flush();
  const bool failed =
      std::fflush(stdout) != 0 || std::ferror(stdout) || std::cout.bad();
  if (!failed) return 0;
  // A write that failed just now left its reason in errno. One that failed
  // earlier did too, but reads since may have overwritten it: ask the
  // descriptor again with a write of nothing, which a full device or a
  // closed descriptor refuses with the same reason.
  int reason = errno;
  if (reason == 0 && write(STDOUT_FILENO, "", 0) < 0) reason = errno;
  if (reason == 0) {
    std::fprintf(stderr, "%s: write error\n", program);
  } else {
    std::fprintf(stderr, "%s: write error: %s\n", program,
                 std::strerror(reason));
  }
  return 1;
}

#endif  // DEMOS_FLUSHSTDOUT_H_
