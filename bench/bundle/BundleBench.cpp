// What a language costs a program: making its bundle (reading English.lproj, and the
// translation's tables beside it) at start, and a text's lookup, found in the translation
// or, for a text the translation lacks, in English.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "platform/bundle/Bundle.h"

using namespace tvl;

namespace {

constexpr char kTVLQC[] = TVL_APPLICATIONS_DIR "/Mac Tovalo.app/Contents/Resources/TVLQC.app";

void useLocale(const char* lang) {
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) ::unsetenv(name);
  ::setenv("LANG", lang, 1);
}

void makeBundle(benchmark::State& state, const char* lang) {
  useLocale(lang);
  for (auto _ : state) benchmark::DoNotOptimize(bundle::Bundle(kTVLQC));
}
BENCHMARK_CAPTURE(makeBundle, english, "C.UTF-8");
BENCHMARK_CAPTURE(makeBundle, german, "de_DE.UTF-8");

void lookUp(benchmark::State& state, const char* lang, const char* key) {
  useLocale(lang);
  bundle::Bundle b(kTVLQC);
  for (auto _ : state) benchmark::DoNotOptimize(b.localizedStringForKey(key, ""));
}
BENCHMARK_CAPTURE(lookUp, english, "C.UTF-8", "sTVLshare");
BENCHMARK_CAPTURE(lookUp, german, "de_DE.UTF-8", "sTVLshare");
BENCHMARK_CAPTURE(lookUp, german_falls_back, "de_DE.UTF-8", "sNotTranslated");

}  // namespace

BENCHMARK_MAIN();
