// How a program ends when its output may not have been written, as the
// standard command-line tools do it: a failed write is an error, not a
// success that printed nothing.
#ifndef DEMOS_CLOSESTDOUT_H_
#define DEMOS_CLOSESTDOUT_H_

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

// Flushes standard output and returns the exit status: 0 when everything
// written reached it, else 1 after writing "PROGRAM: write error: REASON"
// to standard error.
inline int CloseStdout(const char* program) {
  std::cout.flush();
  const bool failed =
      std::fflush(stdout) != 0 || std::ferror(stdout) || std::cout.bad();
  if (!failed) return 0;
  // errno still holds the failed write's reason, unless a number read since
  // was out of range: ERANGE is never a write's reason.
  const int reason = errno == 0 || errno == ERANGE ? EIO : errno;
  std::fprintf(stderr, "%s: write error: %s\n", program,
               std::strerror(reason));
  return 1;
}

#endif  // DEMOS_CLOSESTDOUT_H_
