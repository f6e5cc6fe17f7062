// Text streamed through a PaneSink into a shown Window, written in pieces
// and flushed once, flushed after every line with std::endl, flushed in
// 4 KiB pieces with a return to the event loop after each, or handed to
// append() in one call, against one setPlainText of the same text; each
// until the view holds the whole text and has painted it. The text is
// lines, or the same characters as one line without a line break or any
// other break opportunity. Prints the ratios to the one call and of one
// line to lines, the longest the event loop was held, and the peak memory
// of each way, measured in a fresh process each (--peak=WAY/BYTES runs one
// and prints its peak).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "window/panesink.h"
#include "window/window.h"

namespace {

constexpr long kMiB = 1 << 20;
const char* const kWays[] = {"SetPlainTextOnce", "StreamPieces",
                             "StreamEndlPerLine", "StreamYieldEvery4KiB",
                             "AppendOnce"};

// Lines of about bytes characters in all, each ended by a line end.
std::string Lines(long bytes) {
  std::string text;
  for (long line = 0; static_cast<long>(text.size()) < bytes; ++line) {
    text += "line " + std::to_string(line) +
            ": the quick brown fox jumps over the lazy dog\n";
  }
  return text;
}

// The same characters as one line that offers no place to break it.
std::string OneLine(std::string text) {
  std::replace(text.begin(), text.end(), ' ', '_');
  std::replace(text.begin(), text.end(), '\n', '_');
  return text;
}

std::unique_ptr<Window> ShownWindow() {
  auto window = std::make_unique<Window>();
  window->show();
  QApplication::processEvents();
  return window;
}

QPlainTextEdit* View(Window& window) {
  return window.findChild<QPlainTextEdit*>();
}

// Notes the longest the event loop went without returning to idle: a
// zero-interval timer runs at every idle turn.
class Heartbeat {
 public:
  Heartbeat() {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      longest_ms = std::max(longest_ms,
                            static_cast<double>(clock_.nsecsElapsed()) / 1e6);
      clock_.restart();
    });
    clock_.start();
    timer_.start(0);
  }
  double longest_ms = 0;

 private:
  QTimer timer_;
  QElapsedTimer clock_;
};

// Writes the text 4 KiB at a time, flushing and returning to the event
// loop after each piece, as a program that logs while it works.
void WriteYielding(const std::string& text, std::ostream& out) {
  std::size_t next = 0;
  std::function<void()> piece = [&] {
    out.write(text.data() + next,
              static_cast<std::streamsize>(
                  std::min<std::size_t>(4096, text.size() - next)));
    out.flush();
    next = std::min(text.size(), next + 4096);
    if (next < text.size()) QTimer::singleShot(0, piece);
  };
  QTimer::singleShot(0, piece);
  while (next < text.size()) {
    QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
}

// Writes the text into the window one of the ways, then lets the event loop
// run as a shown window's would, until the view holds the whole text and
// has painted it. Returns the longest the event loop was held, from the
// start for the writer that yields, else once the writer is done.
double Write(const std::string& way, const std::string& text, Window& window) {
  std::unique_ptr<Heartbeat> heartbeat;
  if (way == "SetPlainTextOnce") {
    View(window)->setPlainText(QString::fromStdString(text));
  } else if (way == "AppendOnce") {
    window.append(text.data(), static_cast<int>(text.size()));
  } else {
    PaneSink sink(&window);
    std::ostream out(&sink);
    std::istringstream lines(text);
    std::string line;
    if (way == "StreamPieces") {
      while (std::getline(lines, line)) out << line << '\n';
      out.flush();
    } else if (way == "StreamEndlPerLine") {
      while (std::getline(lines, line)) out << line << std::endl;
    } else {
      heartbeat = std::make_unique<Heartbeat>();
      WriteYielding(text, out);
    }
  }
  if (!heartbeat) heartbeat = std::make_unique<Heartbeat>();
  // Characters other than line ends, which fill blocks of the document.
  const qsizetype wanted =
      QString::fromStdString(text).size() -
      static_cast<qsizetype>(std::count(text.begin(), text.end(), '\n'));
  const QTextDocument* document = View(window)->document();
  while (document->characterCount() - document->blockCount() < wanted) {
    QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  QApplication::processEvents();  // the paint of the last text
  return heartbeat->longest_ms;
}

void BM_Write(benchmark::State& state, const char* way, bool one_line) {
  const std::string text =
      one_line ? OneLine(Lines(state.range(0))) : Lines(state.range(0));
  double longest_wait = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<Window> window = ShownWindow();
    state.ResumeTiming();
    const double held = Write(way, text, *window);
    state.PauseTiming();
    longest_wait = std::max(longest_wait, held);
    if (window->text().toStdString() != text) {
      state.SkipWithError("the view does not hold the text written");
    }
    window.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.counters["longest_wait_ms"] = longest_wait;
}

// Keeps the median time of every benchmark, by name, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.aggregate_name == "median") {
        median[run.run_name.function_name + "/" + run.run_name.args] =
            run.GetAdjustedRealTime();
      }
    }
  }
  std::map<std::string, double> median;  // "BM_Write/Way/BYTES" to ms
};

double Time(const RatioReporter& r, const std::string& way, long bytes) {
  const auto found =
      r.median.find("BM_Write/" + way + "/" + std::to_string(bytes));
  return found == r.median.end() ? 0.0 : found->second;
}

void PrintRatios(const RatioReporter& r) {
  std::printf(
      "\nTime / one setPlainText, medians (growth: 10 MiB / 1 MiB"
      " of the way, over the same of the one call):\n");
  const double once1 = Time(r, "SetPlainTextOnce", kMiB);
  const double once10 = Time(r, "SetPlainTextOnce", 10 * kMiB);
  for (const char* way : kWays) {
    const double way1 = Time(r, way, kMiB), way10 = Time(r, way, 10 * kMiB);
    if (once1 <= 0 || once10 <= 0 || way1 <= 0 || way10 <= 0) continue;
    std::printf("  %-20s 1 MiB %.2f   10 MiB %.2f   growth %.2f\n", way,
                way1 / once1, way10 / once10,
                (way10 / way1) / (once10 / once1));
  }
  std::printf("\nOne line / lines, the same characters, medians:\n");
  for (const char* way : {"StreamYieldEvery4KiB", "AppendOnce"}) {
    for (long bytes : {kMiB, 10 * kMiB}) {
      const double lines = Time(r, way, bytes);
      const double one = Time(r, std::string(way) + "/OneLine", bytes);
      if (lines <= 0 || one <= 0) continue;
      std::printf("  %-20s %2ld MiB %.2f\n", way, bytes / kMiB, one / lines);
    }
  }
}

// Runs one way once in this process and prints its peak resident set, in
// KiB, over what the process held before writing.
int PrintPeak(const std::string& way_and_bytes) {
  const std::string::size_type slash = way_and_bytes.find('/');
  const std::string way = way_and_bytes.substr(0, slash);
  const std::string text = Lines(std::stol(way_and_bytes.substr(slash + 1)));
  std::unique_ptr<Window> window = ShownWindow();
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  Write(way, text, *window);
  getrusage(RUSAGE_SELF, &after);
  std::printf("%ld\n", after.ru_maxrss - before.ru_maxrss);
  return 0;
}

// Each way's peak in a process of its own, so no way inherits another's.
void PrintPeaks() {
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return;
  std::printf(
      "\nPeak resident memory while writing 10 MiB, / one"
      " setPlainText:\n");
  double once = 0;
  for (const char* way : kWays) {
    const std::string command = std::string("'") + self + "' --peak=" + way +
                                "/" + std::to_string(10 * kMiB);
    FILE* child = popen(command.c_str(), "r");
    long kib = 0;
    if (child == nullptr || std::fscanf(child, "%ld", &kib) != 1) kib = 0;
    if (child != nullptr) pclose(child);
    if (once == 0) once = static_cast<double>(kib);
    const double mib = static_cast<double>(kib) / 1024.0;
    std::printf("  %-18s %7.1f MiB   %.2f\n", way, mib,
                once > 0 ? static_cast<double>(kib) / once : 0.0);
  }
}

// Keeps the offscreen platform's notices out of the figures.
void DropNotices(QtMsgType type, const QMessageLogContext&, const QString& m) {
  if (type == QtCriticalMsg || type == QtFatalMsg) {
    std::fprintf(stderr, "%s\n", qPrintable(m));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  qInstallMessageHandler(DropNotices);
  QApplication app(argc, argv);
  if (argc == 2 && std::strncmp(argv[1], "--peak=", 7) == 0) {
    return PrintPeak(argv[1] + 7);
  }
  auto add = [](const std::string& name, const char* way, bool one_line) {
    benchmark::RegisterBenchmark(("BM_Write/" + name).c_str(), BM_Write, way,
                                 one_line)
        ->Arg(kMiB)
        ->Arg(10 * kMiB)
        ->Repetitions(3)
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
  };
  for (const char* way : kWays) add(way, way, false);
  for (const char* way : {"StreamYieldEvery4KiB", "AppendOnce"}) {
    add(std::string(way) + "/OneLine", way, true);
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PrintRatios(reporter);
  PrintPeaks();
  return 0;
}
