// Lines streamed through a PaneSink into a shown Window, written in pieces
// and flushed once, flushed after every line with std::endl, or flushed in
// 4 KiB pieces with a return to the event loop after each, against one
// setPlainText of the same text; each until the view holds the whole text
// and has painted it. Prints the ratios to the one call, the growth from 1
// to 10 MiB, the longest wait of the event loop while the yielding writer
// runs, and the peak memory of each way, measured in a fresh process each
// (--peak=WAY/BYTES runs one and prints its peak).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "window/panesink.h"
#include "window/window.h"

namespace {

constexpr long kMiB = 1 << 20;
const char* const kWays[] = {"SetPlainTextOnce", "StreamPieces",
                             "StreamEndlPerLine", "StreamYieldEvery4KiB"};
double longest_wait_ms = 0;  // of the last yielding run

// The lines of about bytes characters, each without its line end.
std::vector<std::string> Lines(long bytes) {
  std::vector<std::string> lines;
  for (long total = 0; total < bytes;) {
    lines.push_back("line " + std::to_string(lines.size()) +
                    ": the quick brown fox jumps over the lazy dog");
    total += static_cast<long>(lines.back().size()) + 1;
  }
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + '\n';
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

// Writes the lines 4 KiB at a time, flushing and returning to the event
// loop after each piece, as a program that logs while it works; notes the
// longest the loop kept the writer waiting between two pieces.
void WriteYielding(const std::vector<std::string>& lines, std::ostream& out) {
  std::size_t next = 0;
  bool done = false;
  QElapsedTimer clock;
  clock.start();
  qint64 yielded_at = 0;
  longest_wait_ms = 0;
  std::function<void()> piece = [&] {
    longest_wait_ms =
        std::max(longest_wait_ms,
                 static_cast<double>(clock.nsecsElapsed() - yielded_at) / 1e6);
    for (std::size_t bytes = 0; next < lines.size() && bytes < 4096; ++next) {
      out << lines[next] << '\n';
      bytes += lines[next].size() + 1;
    }
    out.flush();
    yielded_at = clock.nsecsElapsed();
    if (next < lines.size()) {
      QTimer::singleShot(0, piece);
    } else {
      done = true;
    }
  };
  QTimer::singleShot(0, piece);
  while (!done) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// Writes the lines into the window one of the four ways, then lets the
// event loop run as a shown window's would, until the view holds the whole
// text and has painted it.
void Write(const char* way, const std::vector<std::string>& lines,
           const std::string& text, Window& window) {
  if (std::strcmp(way, "SetPlainTextOnce") == 0) {
    View(window)->setPlainText(
        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
  } else {
    PaneSink sink(&window);
    std::ostream out(&sink);
    if (std::strcmp(way, "StreamPieces") == 0) {
      for (const std::string& line : lines) out << line << '\n';
      out.flush();
    } else if (std::strcmp(way, "StreamEndlPerLine") == 0) {
      for (const std::string& line : lines) out << line << std::endl;
    } else {
      WriteYielding(lines, out);
    }
  }
  // A document holds one character more than its text: the last block's end.
  const int characters =
      static_cast<int>(
          QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))
              .size()) +
      1;
  while (View(window)->document()->characterCount() < characters) {
    QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  QApplication::processEvents();  // the paint of the last text
}

void BM_Write(benchmark::State& state, const char* way) {
  const std::vector<std::string> lines = Lines(state.range(0));
  const std::string text = Joined(lines);
  double longest_wait = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<Window> window = ShownWindow();
    state.ResumeTiming();
    Write(way, lines, text, *window);
    state.PauseTiming();
    longest_wait = std::max(longest_wait, longest_wait_ms);
    if (View(*window)->toPlainText().toStdString() != text) {
      state.SkipWithError("the view does not hold the text written");
    }
    window.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  if (std::strcmp(way, "StreamYieldEvery4KiB") == 0) {
    state.counters["longest_wait_ms"] = longest_wait;
  }
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
  for (const char* way :
       {"StreamPieces", "StreamEndlPerLine", "StreamYieldEvery4KiB"}) {
    const double once1 = Time(r, "SetPlainTextOnce", kMiB);
    const double once10 = Time(r, "SetPlainTextOnce", 10 * kMiB);
    const double way1 = Time(r, way, kMiB), way10 = Time(r, way, 10 * kMiB);
    if (once1 <= 0 || once10 <= 0 || way1 <= 0 || way10 <= 0) continue;
    std::printf("  %-18s 1 MiB %.2f   10 MiB %.2f   growth %.2f\n", way,
                way1 / once1, way10 / once10,
                (way10 / way1) / (once10 / once1));
  }
}

// Runs one way once in this process and prints its peak resident set, in
// KiB, over what the process held before writing.
int PrintPeak(const std::string& way_and_bytes) {
  const std::string::size_type slash = way_and_bytes.find('/');
  const std::string way = way_and_bytes.substr(0, slash);
  const std::vector<std::string> lines =
      Lines(std::stol(way_and_bytes.substr(slash + 1)));
  const std::string text = Joined(lines);
  std::unique_ptr<Window> window = ShownWindow();
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  Write(way.c_str(), lines, text, *window);
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
  for (const char* way : kWays) {
    benchmark::RegisterBenchmark((std::string("BM_Write/") + way).c_str(),
                                 BM_Write, way)
        ->Arg(kMiB)
        ->Arg(10 * kMiB)
        ->Repetitions(3)
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PrintRatios(reporter);
  PrintPeaks();
  return 0;
}
