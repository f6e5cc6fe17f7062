// The subject of testmain_test: tests that spin or sleep, run under the
// test main with its limits.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

TEST(Subject, SleepsTwoSeconds) {
  std::this_thread::sleep_for(std::chrono::seconds(2));
}

TEST(Subject, WaitsForWhatNeverComes) {
  std::mutex lock;
  std::condition_variable never;
  std::unique_lock<std::mutex> held(lock);
  never.wait(held, [] { return false; });
}

TEST(Subject, Spins) {
  for (volatile unsigned long turns = 0;; turns = turns + 1) {
  }
}
