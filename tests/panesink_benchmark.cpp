// The cost of PaneSink itself: formatted lines through a PaneSink into a
// window stand-in that only counts, against an std::ostringstream.
#include <benchmark/benchmark.h>

#include <ostream>
#include <sstream>

#include "window/panesink.h"
#include "window/window.h"  // the counting stand-in

namespace {

void WriteLines(std::ostream& out, int lines) {
  for (int i = 0; i < lines; ++i) {
    out << "line " << i << ": value " << i * 0.25 << ", total " << i * 3
        << '\n';
  }
}

constexpr int kLines = 30000;  // about 1 MiB

void BM_StreamIntoCountingWindow(benchmark::State& state) {
  Window window;
  window.recording = false;
  for (auto _ : state) {
    PaneSink sink(&window);
    std::ostream out(&sink);
    WriteLines(out, kLines);
    out.flush();
  }
  benchmark::DoNotOptimize(window.characters);
  state.SetBytesProcessed(window.characters);
}

void BM_StreamIntoOstringstream(benchmark::State& state) {
  long long characters = 0;
  for (auto _ : state) {
    std::ostringstream out;
    WriteLines(out, kLines);
    characters += static_cast<long long>(out.tellp());
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(characters);
}

BENCHMARK(BM_StreamIntoCountingWindow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamIntoOstringstream)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
