// Times the drawing of the four graph windows: the display step that runs every second
// (scroll by one column, draw the newest one) against the complete redraw from the ring.
// Runs on Qt's offscreen platform unless another one is asked for.
#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <array>
#include <memory>

#include "display/FigureDraw.h"

namespace zul {
namespace {

struct TFourWindows {
  // `full`: graph and readout with grid lines and scale label; otherwise the bare graph.
  TFourWindows(uint16_t connection, bool full) {
    SetDefaultCfg(Cfg, "");
    Cfg.Connection = connection;
    Cfg.DisplayMode = full ? dmBoth : dmGraphical;
    Cfg.GridLines = full;
    Cfg.ShowMaxValue = full;
    FixedFullScale = FullScaleFor(connection, Cfg.CustomKbps, Cfg.CustomPlus, 0);
    for (int v = 0; v < kViewCount; ++v) {
      Graphs[v] = std::make_unique<TGraph>(Cfg, Traffic);
      Graphs[v]->FViewIndex = v;
      Graphs[v]->SetCounters(static_cast<uint16_t>(kViewCounters[v].Up),
                             static_cast<uint16_t>(kViewCounters[v].Down));
      Graphs[v]->SetClientSize({217, 111});
    }
  }
  // One second of traffic in every counter, as the sampler stores it.
  void Store(uint32_t second, bool silent) {
    TCounterBlock block{};
    for (int c = 0; c < 8; ++c)
      block[c] = silent ? 0 : (second * 7919u + static_cast<uint32_t>(c) * 104729u) % 60000u;
    Traffic.LastSample = block;
    Traffic.Push(block);
  }
  void Fill(bool silent) {
    for (uint32_t s = 0; s < 499; ++s) Store(s, silent);
    for (auto& g : Graphs) g->FormPaint();
  }

  TCfgRec Cfg;
  TTraffic Traffic;
  std::array<std::unique_ptr<TGraph>, kViewCount> Graphs;
};

// Argument 1: graph, readout, grid lines and scale label; 0: the bare graph.

// The step of a busy second with a fixed scale: scroll and one new column.
void BM_DisplayStep(benchmark::State& state) {
  TFourWindows w(12, state.range(0) != 0);  // 10 mbps
  w.Fill(false);
  uint32_t second = 499;
  int redraws = 0;
  for (auto _ : state) {
    w.Store(second++, false);
    for (auto& g : w.Graphs) redraws += g->UpdateDisplay();
  }
  state.counters["redraws"] = redraws;
}
BENCHMARK(BM_DisplayStep)->Arg(1)->Arg(0);

// The complete redraw of a full ring, as after a resize, an exposure or an option change.
void BM_CompleteRedraw(benchmark::State& state) {
  TFourWindows w(12, state.range(0) != 0);
  w.Fill(false);
  for (auto _ : state)
    for (auto& g : w.Graphs) g->FormPaint();
}
BENCHMARK(BM_CompleteRedraw)->Arg(1)->Arg(0);

// The idle machine: automatic scale over silent seconds, where every step is a redraw.
void BM_IdleStep(benchmark::State& state) {
  TFourWindows w(0, true);
  w.Fill(true);
  uint32_t second = 499;
  for (auto _ : state) {
    w.Store(second++, true);
    for (auto& g : w.Graphs) g->UpdateDisplay();
  }
}
BENCHMARK(BM_IdleStep);

}  // namespace
}  // namespace zul

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
