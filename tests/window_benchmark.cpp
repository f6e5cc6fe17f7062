// Formatted lines streamed through a PaneSink into the real Window
// (offscreen), against handing the same text to the view in one call.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>

#include "window/panesink.h"
#include "window/window.h"

namespace {

void WriteLine(std::ostream& out, int i) {
  out << "line " << i << ": value " << i * 0.25 << ", total " << i * 3 << '\n';
}

void WriteLines(std::ostream& out, int lines) {
  for (int i = 0; i < lines; ++i) WriteLine(out, i);
}

// Returns the number of lines that make at least bytes characters.
int LinesFor(long bytes) {
  std::ostringstream probe;
  int lines = 0;
  for (; static_cast<long>(probe.tellp()) < bytes; ++lines) {
    WriteLine(probe, lines);
  }
  return lines;
}

void BM_StreamIntoWindow(benchmark::State& state) {
  const int lines = LinesFor(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    auto window = std::make_unique<Window>();
    state.ResumeTiming();
    PaneSink sink(window.get());
    std::ostream out(&sink);
    WriteLines(out, lines);
    out.flush();
    QApplication::processEvents();
    state.PauseTiming();
    window.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_SetPlainTextOnce(benchmark::State& state) {
  std::ostringstream text;
  WriteLines(text, LinesFor(state.range(0)));
  const std::string utf8 = text.str();
  for (auto _ : state) {
    state.PauseTiming();
    auto window = std::make_unique<Window>();
    state.ResumeTiming();
    window->findChild<QPlainTextEdit*>()->setPlainText(
        QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
    QApplication::processEvents();
    state.PauseTiming();
    window.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

constexpr long kMiB = 1 << 20;
BENCHMARK(BM_StreamIntoWindow)
    ->Arg(kMiB)
    ->Arg(10 * kMiB)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SetPlainTextOnce)
    ->Arg(kMiB)
    ->Arg(10 * kMiB)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
