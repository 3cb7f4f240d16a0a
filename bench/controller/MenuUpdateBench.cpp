// The cost of opening the status menu: one menuNeedsUpdate (the auto-connect status with
// its process probe, and the updates of entries 1 and 4), beside the bare ps/grep pipeline
// that the probe runs. The service counts as installed so that the probe runs each time.
#include <benchmark/benchmark.h>

#include <QApplication>

#include <cstdlib>

#include "common/ShellUtilities.h"
#include "controller/AppController.h"
#include "platform/ui/ManualClock.h"

using namespace tvl;

namespace {

// withProbe false replaces the probe by a constant answer: what the controller's own part
// of an opening costs.
void menuNeedsUpdate(benchmark::State& state, bool withProbe) {
  ui::ManualClock clock;
  AppControllerServices s;
  s.bundle = bundle::Bundle(TVL_APPLICATIONS_DIR "/Mac Tovalo.app/Contents/Resources/TVLQC.app");
  s.timers = &clock;
  s.fileExistsAtPath = [](const std::string& p) {
    return p == "/Library/LaunchAgents/com.nrvk.vnc.plist";
  };
  s.gestaltSystemVersion = [] { return 0x1062; };
  if (!withProbe) s.runningStateForApplication = [](const std::string&) { return false; };
  AppController controller(std::move(s));
  controller.awakeFromNib();
  controller.setStatusBarMenu();
  for (auto _ : state) controller.statusMenu()->menuWillOpen();
}
void BM_MenuNeedsUpdate(benchmark::State& state) {
  menuNeedsUpdate(state, true);
}
void BM_MenuNeedsUpdateWithoutProbe(benchmark::State& state) {
  menuNeedsUpdate(state, false);
}
BENCHMARK(BM_MenuNeedsUpdate)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_MenuNeedsUpdateWithoutProbe)->Unit(benchmark::kMicrosecond);

void BM_BareProcessProbePipeline(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(common::doShellWithCommand("ps -e -o comm= | grep \"tvld\""));
}
BENCHMARK(BM_BareProcessProbePipeline)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
