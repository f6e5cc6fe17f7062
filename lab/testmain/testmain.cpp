// The main of every test binary. GoogleTest runs the tests; a listener
// prints each failure as a learner reads it: the test, where, its sentence,
// then GoogleTest's own lines. Each test's outcome is also written as data,
// one JSON object a line, to TESTS_RESULTS/NAME.jsonl when TESTS_RESULTS
// names a folder (NAME: TESTS_RECORD, or the program's; the lab's
// testreport reads it):
//   name, outcome (passed, failed, crashed, endless, waiting or slow), file,
//   line, seconds, cpu (processor seconds), failures [{at, sentence, detail}],
//   and for a test that was stopped: stopped (the sentence) and sanitizer
//   (its summary line, when one reported).
// When a test cannot finish (a sanitizer stops the program; the test uses
// TEST_TIME_LIMIT seconds of processor time, or prints more than 1 MiB
// under TESTS_RESULTS: endless; it uses almost none for TEST_WAIT_LIMIT
// seconds: waiting; it still runs at the TESTS_DEADLINE the run must end
// by: slow), that test is reported and the program runs again without the
// tests that already ran, so one crash hides no other failure.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

constexpr char kAgain[] = "--after_a_stop";  // marks a run after a stop
std::vector<std::string> arguments;          // as the program was started
bool rerun = false;                          // this run follows a stop
std::FILE* records = nullptr;                // PROGRAM.jsonl, or none
std::mutex recording;  // the record of the running test, and the printing
char summary[512];     // the sanitizer's summary line, once it reported

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

// A value of a megabyte says no more than its first few hundred characters,
// and would fill the screen (and the output's limit) instead.
std::string Shortened(const std::string& line) {
  constexpr std::size_t kShown = 300;
  if (line.size() <= kShown) return line;
  return line.substr(0, kShown) + "... (" + std::to_string(line.size()) +
         " characters in all)";
}

std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      quoted += escaped;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

double Seconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) +
         1e-9 * static_cast<double>(now.tv_nsec);
}

// The running test's record, written as one line when the test ends or is
// stopped.
struct Record {
  std::string name, file, failures;  // failures: JSON objects, comma-joined
  int line = 0;
  double started = 0, cpu_started = 0;

  // Prints a failure as the learner reads it, and keeps it for the record.
  void Fail(const std::string& at, const std::string& sentence,
            const std::vector<std::string>& detail) {
    if (failures.empty()) std::printf("\nFAILED %s\n", name.c_str());
    std::printf("  %s:%s%s\n", at.c_str(), sentence.empty() ? "" : " ",
                sentence.c_str());
    std::string lines;
    for (const std::string& line : detail) {
      std::printf("    %s\n", line.c_str());
      lines += (lines.empty() ? "" : ",") + Quoted(line);
    }
    std::fflush(stdout);
    failures += std::string(failures.empty() ? "" : ",") +
                "{\"at\":" + Quoted(at) + ",\"sentence\":" + Quoted(sentence) +
                ",\"detail\":[" + lines + "]}";
  }

  void Write(const char* outcome, const std::string& stopped = "") const {
    if (records == nullptr) return;
    std::string json =
        "{\"name\":" + Quoted(name) + ",\"outcome\":\"" + outcome +
        "\",\"file\":" + Quoted(file) + ",\"line\":" + std::to_string(line) +
        ",\"seconds\":" + std::to_string(Seconds(CLOCK_MONOTONIC) - started) +
        ",\"cpu\":" +
        std::to_string(Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_started) +
        ",\"failures\":[" + failures + "]";
    if (!stopped.empty()) json += ",\"stopped\":" + Quoted(stopped);
    if (summary[0] != '\0') json += ",\"sanitizer\":" + Quoted(summary);
    std::fputs((json + "}\n").c_str(), records);
    std::fflush(records);
  }
};
Record running;

class LearnerPrinter : public testing::EmptyTestEventListener {
  // GoogleTest holds its lock while it calls OnTestPartResult, so the
  // running test is noted here, not asked for there.
  void OnTestStart(const testing::TestInfo& test) override {
    std::lock_guard<std::mutex> lock(recording);
    running = {Name(test),
               Relative(test.file()),
               "",
               test.line(),
               Seconds(CLOCK_MONOTONIC),
               Seconds(CLOCK_PROCESS_CPUTIME_ID)};
  }

  void OnTestPartResult(const testing::TestPartResult& result) override {
    if (!result.failed()) return;
    std::vector<std::string> lines;
    std::istringstream message(result.message());
    for (std::string line; std::getline(message, line);) lines.push_back(line);
    const bool said = !lines.empty() && !Own(lines.back());
    const std::string sentence = said ? lines.back() : "";
    if (said) lines.pop_back();
    std::vector<std::string> detail;  // up to the values again, as a diff
    for (const std::string& line : lines) {
      if (line == "With diff:") break;
      if (line != "Failed") detail.push_back(Shortened(line));
    }
    std::lock_guard<std::mutex> lock(recording);
    running.Fail(Relative(result.file_name()) + ":" +
                     std::to_string(result.line_number()),
                 sentence, detail);
  }

  void OnTestEnd(const testing::TestInfo& test) override {
    std::lock_guard<std::mutex> lock(recording);
    running.Write(test.result()->Failed() ? "failed" : "passed");
  }
};

std::string ended;  // "A.B:C.D:" the tests of this run that have ended

// The output of the tests passes through a child process, the relay, that
// lets at most kOutputLimit bytes a test through and tells this process when
// a test goes past it: a test that prints without end is named within the
// run's time, and CTest keeps megabytes, not gigabytes. A process, not a
// thread, so what a test printed still arrives when the test crashes.
constexpr long kOutputLimit = 1 << 20;
pid_t relay = 0;                   // the relay, or none
std::atomic<bool> flooded{false};  // the running test went past the limit
volatile std::sig_atomic_t next_test = 0;  // in the relay: count afresh

// Gives up when no one reads: the relay still drains, so no test blocks.
void WriteAll(int to, const char* bytes, long size) {
  while (size > 0) {
    const ssize_t wrote = write(to, bytes, static_cast<std::size_t>(size));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;
    bytes += wrote;
    size -= wrote;
  }
}

// The relay: copies out to standard output and err to standard error until
// neither has a writer left.
[[noreturn]] void Relay(int out, int err, pid_t tests) {
  pollfd from[] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
  long passed = 0;  // this test's bytes
  char buffer[1 << 16];
  for (int open = 2; open > 0;) {
    if (poll(from, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (next_test != 0) next_test = 0, passed = 0;
    for (int at = 0; at < 2; ++at) {
      if (from[at].revents == 0) continue;
      const ssize_t got = read(from[at].fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {  // no writer left
        from[at].fd = -1;
        --open;
        continue;
      }
      if (passed <= kOutputLimit) {  // not yet cut
        const long shown = std::min<long>(got, kOutputLimit - passed);
        WriteAll(at + 1, buffer, shown);
        if (passed + got > kOutputLimit) {
          const char cut[] = "\n[more than 1 MiB printed: the rest is cut]\n";
          WriteAll(at + 1, cut, sizeof cut - 1);
          if (getppid() == tests) kill(tests, SIGUSR1);
        }
      }
      passed += got;
    }
  }
  _exit(0);
}

// Starts the relay when the output goes to a pipe (CTest's, which keeps it
// all in memory), or finds the one an earlier run of this program started.
void StartRelay() {
  struct sigaction told {};
  told.sa_handler = [](int) { flooded = true; };
  sigaction(SIGUSR1, &told, nullptr);
  if (rerun) {
    const char* started = std::getenv("TESTS_RELAY");
    relay = started != nullptr ? static_cast<pid_t>(std::atol(started)) : 0;
    return;
  }
  unsetenv("TESTS_RELAY");  // another program's, when this one starts none
  struct stat output {};
  if (fstat(STDOUT_FILENO, &output) != 0 || !S_ISFIFO(output.st_mode)) return;
  int out[2], err[2];
  if (pipe(out) != 0) return;
  if (pipe(err) != 0) {
    close(out[0]), close(out[1]);
    return;
  }
  const pid_t tests = getpid();
  std::fflush(nullptr);
  // Set before the fork: the first test may start before the relay runs.
  struct sigaction reset {};
  reset.sa_handler = [](int) { next_test = 1; };
  sigaction(SIGUSR2, &reset, nullptr);
  relay = fork();
  if (relay == 0) {
    close(out[1]), close(err[1]);
    Relay(out[0], err[0], tests);
  }
  signal(SIGUSR2, SIG_DFL);
  if (relay > 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    setenv("TESTS_RELAY", std::to_string(relay).c_str(), 1);
  } else {
    relay = 0;
  }
  for (const int end : {out[0], out[1], err[0], err[1]}) close(end);
}

// Ends every process this one started, and theirs: a stopped test's
// children must not outlive it (a forked child that spins, say).
void EndChildren(pid_t parent) {
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return;
  while (const dirent* entry = readdir(processes)) {
    const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
    if (pid <= 0) continue;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    std::FILE* stat = std::fopen(path, "r");
    if (stat == nullptr) continue;
    int ppid = 0;  // the field after the name, which may hold spaces
    char line[512] = "";
    const bool read = std::fgets(line, sizeof line, stat) != nullptr;
    std::fclose(stat);
    const char* after = read ? std::strrchr(line, ')') : nullptr;
    if (after != nullptr && std::sscanf(after, ") %*c %d", &ppid) == 1 &&
        ppid == parent) {
      EndChildren(pid);
      if (pid != relay) kill(pid, SIGKILL);
    }
  }
  closedir(processes);
}

// Reports the running test as stopped (OUTCOME: crashed, endless, slow),
// then runs the program again without it and the tests before it, unless
// the run's time is up. Returns only when no test is running.
void StopTest(const char* outcome, const std::string& why, bool draw) {
  static std::mutex once;
  if (!once.try_lock()) return;
  const testing::TestInfo* test =
      testing::UnitTest::GetInstance()->current_test_info();
  if (test == nullptr) {  // between two tests: the watchdog stays armed
    once.unlock();
    return;
  }
  const std::string name = Name(*test);
  std::string suite = test->test_suite_name();
  // A typed test's "Overdrafts/OverdraftD" as Overdrafts<OverdraftD>.
  if (test->type_param() != nullptr) {
    suite = suite.substr(0, suite.find('/')) + "<" + test->type_param() + ">";
  }
  std::vector<std::string> said = {"it checks: " + suite + " " +
                                   Words(test->name())};
  if (draw) said.push_back("to draw it: make picture TEST=" + name);
  // Held to the end: a test whose child this ends may finish meanwhile,
  // and must not record itself as passed after it was stopped.
  const std::lock_guard<std::mutex> lock(recording);
  running.Fail(running.file + ":" + std::to_string(running.line), why, said);
  running.Write(outcome, why);
  EndChildren(getpid());
  if (std::strcmp(outcome, "slow") == 0) _exit(1);  // no time for the rest

  std::string filter = GTEST_FLAG_GET(filter);
  filter += filter.find('-') == std::string::npos ? "-" : ":";
  std::vector<std::string> again = arguments;
  again.push_back("--gtest_filter=" + filter + ended + name);
  if (!rerun) again.insert(again.begin() + 1, kAgain);
  std::vector<char*> argv;
  argv.reserve(again.size() + 1);
  for (std::string& argument : again) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::fflush(nullptr);
  execv("/proc/self/exe", argv.data());
  std::perror("execv");
  _exit(1);
}

// Notes each test that ends, for StopTest.
class Ended : public testing::EmptyTestEventListener {
  void OnTestEnd(const testing::TestInfo& test) override {
    std::lock_guard<std::mutex> lock(recording);
    ended += Name(test) + ":";
  }
};

// Stops a test that has used its processor time (a loop that never ends),
// one that has used almost none for TEST_WAIT_LIMIT seconds (10 when unset)
// on the clock (it waits for what never comes: a lock, a condition nobody
// notifies, input), or one still running when the whole run must end (slow,
// on a busy machine).
// Processor time, not the clock: on shared cores a test may wait long for
// its turn, and waiting is not looping. One test runs at a time, so one
// start will do; plain globals, as the thread outlives every object.
std::atomic<double> cpu_start{-1};  // processor seconds; -1 while none runs
std::atomic<double> wall_start{0};  // the clock's seconds at the test's start

class Watchdog : public testing::EmptyTestEventListener {
 public:
  Watchdog(double limit, double deadline, double wait) {
    std::thread([limit, deadline, wait] {
      for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const double start = cpu_start.load();
        if (start < 0) continue;
        const double used = Seconds(CLOCK_PROCESS_CPUTIME_ID) - start;
        const double waited = Seconds(CLOCK_MONOTONIC) - wall_start.load();
        char why[200];
        if (flooded) {
          StopTest("endless",
                   "printed more than 1 MiB: a loop that prints without end?",
                   false);
        } else if (limit > 0 && used > limit) {
          std::snprintf(why, sizeof why,
                        "did not finish within %g s of processor time: a "
                        "loop that never ends?",
                        limit);
          StopTest("endless", why, false);
        } else if (wait > 0 && waited > wait && used < 0.1) {
          std::snprintf(why, sizeof why,
                        "waited %.0f s using no processor time: it waits for "
                        "something that never comes (a lock, a condition "
                        "nobody notifies, input)?",
                        waited);
          StopTest("waiting", why, false);
        } else if (deadline > 0 && Seconds(CLOCK_REALTIME) > deadline) {
          std::snprintf(why, sizeof why,
                        "still running when the run's time was up, after "
                        "only %.1f s of processor time: slow (a busy "
                        "machine?), not endless",
                        used);
          StopTest("slow", why, false);
        }
      }
    }).detach();
  }

 private:
  void OnTestStart(const testing::TestInfo&) override {
    if (relay > 0) {  // the last test's output counts no more
      std::fflush(nullptr);
      flooded = false;
      kill(relay, SIGUSR2);
    }
    wall_start = Seconds(CLOCK_MONOTONIC);
    cpu_start = Seconds(CLOCK_PROCESS_CPUTIME_ID);
  }
  void OnTestEnd(const testing::TestInfo&) override { cpu_start = -1; }
};

#ifdef TESTS_SANITIZED
void OnSanitizerStop() {
  StopTest("crashed", "stopped by the sanitizer: its report is above", true);
  // No test runs: a leak found as the program ends, say.
  if (records != nullptr && summary[0] != '\0') {
    running = {arguments[0].substr(arguments[0].rfind('/') + 1),
               "",
               "",
               0,
               Seconds(CLOCK_MONOTONIC),
               Seconds(CLOCK_PROCESS_CPUTIME_ID)};
    running.Write("crashed", "stopped by the sanitizer as the program ended");
  }
}
#endif

double Setting(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? 0 : std::atof(value);
}

}  // namespace

#ifdef TESTS_SANITIZED
// The sanitizers' hook for their summary line, kept for the record; it
// prints the line as the sanitizer would have.
extern "C" void __sanitizer_report_error_summary(const char* line) {
  std::snprintf(summary, sizeof summary, "%s", line);
  std::fprintf(stderr, "%s\n", line);
}
#endif

int main(int argc, char** argv) {
  arguments.assign(argv, argv + argc);
  rerun = argc > 1 && std::strcmp(argv[1], kAgain) == 0;
  if (rerun) {  // GoogleTest must not see it
    for (int i = 1; i < argc; ++i) argv[i] = argv[i + 1];
    --argc;
  }
  if (const char* folder = std::getenv("TESTS_RESULTS")) {
    StartRelay();
    const char* name = std::getenv("TESTS_RECORD");  // the test's, in CTest
    const std::string& program = arguments[0];
    const std::string file =
        name != nullptr ? name : program.substr(program.rfind('/') + 1);
    records = std::fopen((std::string(folder) + "/" + file + ".jsonl").c_str(),
                         rerun ? "a" : "w");
  }
  testing::InitGoogleTest(&argc, argv);
  testing::TestEventListeners& listeners =
      testing::UnitTest::GetInstance()->listeners();
  delete listeners.Release(listeners.default_result_printer());
  listeners.Append(new LearnerPrinter);
  listeners.Append(new Ended);
  const double limit = Setting("TEST_TIME_LIMIT");
  const double deadline = Setting("TESTS_DEADLINE");
  const double wait = std::getenv("TEST_WAIT_LIMIT") != nullptr
                          ? Setting("TEST_WAIT_LIMIT")
                          : 10;
  if (limit > 0 || deadline > 0 || wait > 0 || relay > 0)
    listeners.Append(new Watchdog(limit, deadline, wait));
#ifdef TESTS_SANITIZED
  __sanitizer_set_death_callback(OnSanitizerStop);
#endif
  // A run after a stop fails: the stopped test did.
  return RUN_ALL_TESTS() != 0 || rerun;
}
