// How long the keychain's calls take where it runs. Run it in the situation to measure:
//   tests/support/with-session-bus --keyring build/normal/bench/keychain/keychain_bench
//   tests/support/with-session-bus build/normal/bench/keychain/keychain_bench  (no collection)
//   env -u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR=/nonexistent .../keychain_bench (no bus)
// Log lines go to standard error; send it to /dev/null.
#include <benchmark/benchmark.h>

#include "mainapp/AGKeychain.h"

using namespace tvl;

using mainapp::AGKeychain;

namespace {

const std::string kName = "Mac Tovalo";
const std::string kKind = "Mac Tovalo Control";

void BM_CheckForExistance(benchmark::State& state) {
  AGKeychain::addKeychainItem(kName, kKind, "bench", "pw");
  for (auto _ : state)
    benchmark::DoNotOptimize(AGKeychain::checkForExistanceOfKeychainItem(kName, kKind, "bench"));
}
BENCHMARK(BM_CheckForExistance)->Unit(benchmark::kMillisecond);

void BM_GetPassword(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(AGKeychain::getPasswordFromKeychainItem(kName, kKind, "bench"));
}
BENCHMARK(BM_GetPassword)->Unit(benchmark::kMillisecond);

void BM_AddThenDelete(benchmark::State& state) {
  for (auto _ : state) {
    AGKeychain::addKeychainItem(kName, kKind, "bench-add", "pw");
    AGKeychain::deleteKeychainItem(kName, kKind, "bench-add");
  }
}
BENCHMARK(BM_AddThenDelete)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
