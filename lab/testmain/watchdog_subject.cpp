// The subject of testmain_test: tests that spin or sleep, run under the
// test main with its limits.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

TEST(Subject, PrintsWithoutEnd) {
  for (;;) std::printf("once more\n");
}

TEST(Subject, SleepsTwoSeconds) {
  std::this_thread::sleep_for(std::chrono::seconds(2));
}

TEST(Subject, WaitsForWhatNeverComes) {
  std::mutex lock;
  std::condition_variable never;
  std::unique_lock<std::mutex> held(lock);
  never.wait(held, [] { return false; });
}

// Writes its child's process id to SUBJECT_CHILD, then waits for the child,
// which spins.
TEST(Subject, WaitsForAChildThatSpins) {
  const pid_t child = fork();
  if (child == 0) {
    for (volatile unsigned long turns = 0;; turns = turns + 1) {
    }
  }
  if (const char* file = std::getenv("SUBJECT_CHILD")) {
    if (std::FILE* out = std::fopen(file, "w")) {
      std::fprintf(out, "%d\n", static_cast<int>(child));
      std::fclose(out);
    }
  }
  waitpid(child, nullptr, 0);
}

TEST(Subject, Spins) {
  for (volatile unsigned long turns = 0;; turns = turns + 1) {
  }
}
