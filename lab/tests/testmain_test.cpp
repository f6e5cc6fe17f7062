// The test main's watchdog, on runs of a subject whose tests spin or sleep.
// A test is a loop that never ends when it has used its time of processor
// time, however long it waited for a core; one that only waits is waited
// for, and named slow only when the whole run's time is up.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

// Runs the subject's tests matching FILTER with SETTINGS in its
// environment; returns "NAME OUTCOME CPU" a line, from its records.
std::string Outcomes(const std::string& filter, const std::string& settings) {
  char folder[] = "/tmp/watchdogXXXXXX";
  if (mkdtemp(folder) == nullptr) return "no folder";
  const std::string command =
      "env " + settings + " TESTS_RESULTS=" + folder +
      " TESTS_RECORD=subject '" WATCHDOG_SUBJECT "' --gtest_filter=" + filter +
      " | cat >/dev/null";  // a pipe, as CTest gives
  if (std::system(command.c_str()) == -1) return "not run";
  std::ifstream file(std::string(folder) + "/subject.jsonl");
  std::stringstream found;
  const std::regex record(
      R"re(\{"name":"([^"]*)","outcome":"(\w+)".*"cpu":([\d.]+))re");
  for (std::string line; std::getline(file, line);) {
    std::smatch field;
    if (std::regex_search(line, field, record)) {
      found << field[1] << " " << field[2] << " "
            << (std::stod(field[3]) < 1.5 ? "within" : "past") << "\n";
    }
  }
  std::remove((std::string(folder) + "/subject.jsonl").c_str());
  rmdir(folder);
  return found.str();
}

TEST(Watchdog, StopsATestThatSpinsAndWaitsForOneThatSleeps) {
  EXPECT_EQ(Outcomes("Subject.S*", "TEST_TIME_LIMIT=1"),
            "Subject.SleepsTwoSeconds passed within\n"
            "Subject.Spins endless within\n")
      << "a test that spins must be stopped as endless once it has used its "
         "1 s of processor time; one that sleeps past it must be waited for";
}

TEST(Watchdog, NamesATestStillRunningWhenTheRunMustEndAsSlow) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const long deadline =
      std::chrono::duration_cast<std::chrono::seconds>(now).count() + 1;
  EXPECT_EQ(Outcomes("Subject.Sleeps*", "TEST_TIME_LIMIT=1 TESTS_DEADLINE=" +
                                            std::to_string(deadline)),
            "Subject.SleepsTwoSeconds slow within\n")
      << "a test still waiting when the run's time is up is slow, not endless";
}

TEST(Watchdog, NamesATestThatWaitsWithoutProcessorTimeAsWaiting) {
  EXPECT_EQ(Outcomes("Subject.WaitsForWhatNeverComes",
                     "TEST_TIME_LIMIT=1 TEST_WAIT_LIMIT=1"),
            "Subject.WaitsForWhatNeverComes waiting within\n")
      << "a test that waits for a condition nobody notifies must be named as "
         "waiting within its limit, not slow when the run's time is up";
}

TEST(Watchdog, StopsATestThatPrintsWithoutEndAndRunsTheNext) {
  EXPECT_EQ(Outcomes("Subject.PrintsWithoutEnd:Subject.SleepsTwoSeconds",
                     "TEST_TIME_LIMIT=60"),
            "Subject.PrintsWithoutEnd endless within\n"
            "Subject.SleepsTwoSeconds passed within\n")
      << "a test that prints without end must be stopped once its output "
         "passes the limit, long before its processor time is up, and the "
         "next test still run";
}

TEST(Watchdog, EndsTheChildrenOfATestItStops) {
  const std::string file = "/tmp/watchdog_child_" + std::to_string(getpid());
  EXPECT_EQ(
      Outcomes("Subject.WaitsForAChildThatSpins",
               "TEST_TIME_LIMIT=1 TEST_WAIT_LIMIT=1 SUBJECT_CHILD=" + file),
      "Subject.WaitsForAChildThatSpins waiting within\n")
      << "a test waiting for its spinning child is waiting";
  std::ifstream said(file);
  int child = 0;
  said >> child;
  std::remove(file.c_str());
  ASSERT_GT(child, 0) << "the subject did not say its child";
  // A child killed but not yet reaped by init is a zombie: gone all the same.
  std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
  std::string fields;
  std::getline(stat, fields);
  EXPECT_TRUE(fields.empty() || fields.find(") Z ") != std::string::npos)
      << "the stopped test's child still runs: " << fields;
}

}  // namespace
