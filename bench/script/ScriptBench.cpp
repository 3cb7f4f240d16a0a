// How long the application spends on one script from the controller: compile, check every
// object and run, against the main interface file's windows (offscreen).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QFile>
#include <QUiLoader>
#include <QWidget>

#include <memory>
#include <vector>

#include "platform/script/ScriptInterpreter.h"

using namespace tvl;

namespace {

class Host : public script::ScriptHost {
 public:
  QString applicationName() const override { return "Mac Tovalo"; }
  void activate() override {}
  bool openLocation(const QString&) override { return true; }
};

const char* const kProbe =
    "tell application \"Mac Tovalo\"\rget visible of window \"sharingsheet\"\rend tell\r";
const char* const kFillFields =
    "set thecrap to \"x\"\rset contents of text field \"remotesecret\" of tab view item "
    "\"control\" of tab view \"tvlremotetabs\" of window \"tvlremote\" to \"SECRET\"\rset "
    "contents of text field \"remotekey\" of tab view item \"control\" of tab view "
    "\"tvlremotetabs\" of window \"tvlremote\" to \"KEY\"\r";

void runScript(benchmark::State& state, const char* source) {
  Host host;
  for (auto _ : state) {
    script::ScriptResult r = script::executeScript(source, host);
    benchmark::DoNotOptimize(r);
    if (!r.ok) state.SkipWithError("script failed");
  }
}

void BM_SharingProbe(benchmark::State& state) {
  runScript(state, kProbe);
}
void BM_LaunchUrlFields(benchmark::State& state) {
  runScript(state, kFillFields);
}
BENCHMARK(BM_SharingProbe);
BENCHMARK(BM_LaunchUrlFields);

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QFile file(TVL_MAIN_INTERFACE);
  if (!file.open(QIODevice::ReadOnly)) return 1;
  QUiLoader loader;
  std::unique_ptr<QWidget> root(loader.load(&file));
  if (!root) return 1;
  std::vector<std::unique_ptr<QWidget>> windows;
  for (QWidget* w : root->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    w->setParent(nullptr, Qt::Window);
    windows.emplace_back(w);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
