// The main of every test binary. GoogleTest runs the tests; a listener
// prints each failure as a learner reads it: the test, where, its sentence,
// then GoogleTest's own lines. When a test cannot finish (a sanitizer stops
// the program, or the test runs past TEST_TIME_LIMIT seconds), that test is
// reported and the program runs again without the tests that already ran,
// so one crash hides no other failure. Outcomes of earlier runs reach the
// XML report as the attribute "before" of <testsuites>; the reports go to
// the folder TESTS_RESULTS names, as PROGRAM.xml, PROGRAM.2.xml, ...
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef __has_feature
#if __has_feature(address_sanitizer)
#include <sanitizer/common_interface_defs.h>
#define TESTS_SANITIZED 1
#endif
#endif

namespace {

std::vector<std::string> arguments;  // as the program was started
std::string before;                  // "NAME:OUTCOME ..." of earlier runs
std::string outcomes;                // the same for this run's tests
std::mutex printing;

std::string Name(const testing::TestInfo& test) {
  return std::string(test.test_suite_name()) + "." + test.name();
}

// "CopiesOwnTheirNames" as "copies own their names", "OfALine" as "of a
// line", "First79Characters" as "first 79 characters".
std::string Words(const std::string& camel) {
  std::string words;
  for (std::size_t at = 0; at < camel.size(); ++at) {
    const auto c = static_cast<unsigned char>(camel[at]);
    if (at > 0) {
      const auto prior = static_cast<unsigned char>(camel[at - 1]);
      const bool next_lower =
          at + 1 < camel.size() &&
          std::islower(static_cast<unsigned char>(camel[at + 1]));
      if ((std::isupper(c) && (!std::isupper(prior) || next_lower)) ||
          (std::isdigit(c) != 0) != (std::isdigit(prior) != 0)) {
        words += ' ';
      }
    }
    words += static_cast<char>(std::tolower(c));
  }
  return words;
}

// A path in the checkout as relative to it; GoogleTest has none for a
// failure it cannot place, such as an exception out of a test's body.
std::string Relative(const char* path) {
  const std::string top = TESTS_SOURCE_DIR "/";
  if (path == nullptr) return "(in the test)";
  return std::strncmp(path, top.c_str(), top.size()) == 0 ? path + top.size()
                                                          : path;
}

// GoogleTest's own lines of a failure, as opposed to the test's sentence.
bool Own(const std::string& line) {
  static const char* const kOwn[] = {"Expected",   "Value of:", "Actual:",
                                     "Which is:",  "Failed",    "Google Test",
                                     "With diff:", "@@"};
  if (line.empty() || line[0] == ' ') return true;
  for (const char* own : kOwn) {
    if (line.rfind(own, 0) == 0) return true;
  }
  return false;
}

class LearnerPrinter : public testing::EmptyTestEventListener {
  // GoogleTest holds its lock while it calls OnTestPartResult, so the
  // running test is noted here, not asked for there.
  void OnTestStart(const testing::TestInfo& test) override {
    name_ = Name(test);
    failed_ = false;
  }

  void OnTestPartResult(const testing::TestPartResult& result) override {
    if (!result.failed()) return;
    std::lock_guard<std::mutex> lock(printing);
    if (!failed_) std::printf("\nFAILED %s\n", name_.c_str());
    failed_ = true;
    std::vector<std::string> lines;
    std::istringstream message(result.message());
    for (std::string line; std::getline(message, line);) lines.push_back(line);
    const bool said = !lines.empty() && !Own(lines.back());
    std::printf("  %s:%d:%s%s\n", Relative(result.file_name()).c_str(),
                result.line_number(), said ? " " : "",
                said ? lines.back().c_str() : "");
    if (said) lines.pop_back();
    for (const std::string& line : lines) {
      if (line == "With diff:") break;  // the values again, as a diff
      if (line != "Failed") std::printf("    %s\n", line.c_str());
    }
    std::fflush(stdout);
  }

  void OnTestEnd(const testing::TestInfo& test) override {
    outcomes +=
        Name(test) + (test.result()->Failed() ? ":failed " : ":passed ");
  }

  std::string name_;
  bool failed_ = false;
};

// Reports the running test as stopped, then runs the program again without
// it and the tests before it. Returns only when no test is running.
void StopTest(const std::string& why, bool draw) {
  static std::mutex once;
  if (!once.try_lock()) return;
  const testing::TestInfo* test =
      testing::UnitTest::GetInstance()->current_test_info();
  if (test == nullptr) return;
  const std::string name = Name(*test);
  ADD_FAILURE_AT(test->file(), test->line()) << why;
  std::string suite = test->test_suite_name();
  // A typed test's "Overdrafts/OverdraftD" as Overdrafts<OverdraftD>.
  if (test->type_param() != nullptr) {
    suite = suite.substr(0, suite.find('/')) + "<" + test->type_param() + ">";
  }
  std::printf("    it checks: %s %s\n", suite.c_str(),
              Words(test->name()).c_str());
  if (draw) std::printf("    to draw it: make picture TEST=%s\n", name.c_str());
  std::fflush(stdout);

  before += outcomes + name + ":stopped ";
  std::string filter = GTEST_FLAG_GET(filter);
  filter += filter.find('-') == std::string::npos ? "-" : ":";
  std::istringstream ran(before);
  for (std::string word; ran >> word;)
    filter += word.substr(0, word.rfind(':')) + ":";
  std::vector<std::string> again = arguments;
  again.push_back("--gtest_filter=" + filter);
  // Each run writes a report of its own: NAME.xml, NAME.2.xml, ...
  const char* first = std::getenv("TESTS_REPORT");
  const std::string report = first == nullptr ? "" : first;
  if (report.size() > 4) {
    int runs = 1;
    for (auto at = before.find(":stopped"); at != std::string::npos;
         at = before.find(":stopped", at + 1)) {
      ++runs;
    }
    again.push_back("--gtest_output=" + report.substr(0, report.size() - 4) +
                    "." + std::to_string(runs) + ".xml");
  }
  setenv("TESTS_BEFORE", before.c_str(), 1);
  std::vector<char*> argv;
  argv.reserve(again.size() + 1);
  for (std::string& argument : again) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::fflush(nullptr);
  execv("/proc/self/exe", argv.data());
  std::perror("execv");
  _exit(1);
}

// Ends a test that runs past its time. At most one test runs at a time, so
// one deadline will do; it is a plain global, as the thread outlives every
// object of the program.
std::atomic<std::int64_t> deadline{0};  // steady-clock ns; 0 while none runs

class Watchdog : public testing::EmptyTestEventListener {
 public:
  explicit Watchdog(int seconds) : seconds_(seconds) {
    std::thread([seconds] {
      for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::int64_t end = deadline.load();
        if (end != 0 && Now() > end) {
          StopTest("did not finish within " + std::to_string(seconds) +
                       " s: a loop that never ends?",
                   false);
        }
      }
    }).detach();
  }

 private:
  static std::int64_t Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void OnTestStart(const testing::TestInfo&) override {
    deadline = Now() + std::int64_t{seconds_} * 1'000'000'000;
  }
  void OnTestEnd(const testing::TestInfo&) override { deadline = 0; }

  const int seconds_;
};

#ifdef TESTS_SANITIZED
void OnSanitizerStop() {
  StopTest("stopped by the sanitizer: its report is above", true);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  arguments.assign(argv, argv + argc);
  const char* results = std::getenv("TESTS_RESULTS");  // a folder for reports
  if (results != nullptr && std::getenv("TESTS_REPORT") == nullptr) {
    const std::string program = arguments[0];
    GTEST_FLAG_SET(output, std::string("xml:") + results + "/" +
                               program.substr(program.rfind('/') + 1) + ".xml");
  }
  testing::InitGoogleTest(&argc, argv);  // after the output: it opens it
  if (const char* earlier = std::getenv("TESTS_BEFORE")) before = earlier;
  if (!before.empty()) testing::Test::RecordProperty("before", before);
  setenv("TESTS_REPORT", GTEST_FLAG_GET(output).c_str(), 0);  // the first's
  testing::TestEventListeners& listeners =
      testing::UnitTest::GetInstance()->listeners();
  delete listeners.Release(listeners.default_result_printer());
  listeners.Append(new LearnerPrinter);
  if (const char* limit = std::getenv("TEST_TIME_LIMIT")) {
    listeners.Append(new Watchdog(std::atoi(limit)));
  }
#ifdef TESTS_SANITIZED
  __sanitizer_set_death_callback(OnSanitizerStop);
#endif
  const bool failed = RUN_ALL_TESTS() != 0;
  return failed || before.find(":failed") != std::string::npos ||
         before.find(":stopped") != std::string::npos;
}
