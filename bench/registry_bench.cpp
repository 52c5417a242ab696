// Cost of the registry calls on the activity log's path: open a key, query
// one value, close, as every log entry does whether logging is on or off.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/registry.h"

namespace {

// All benchmarks share one machine folder under /tmp, made once and removed
// when the program ends.
struct ScratchMachine {
  std::string dir;
  ScratchMachine() {
    char pattern[] = "/tmp/vellomar-registry-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    dir = pattern;
    setenv("VELLOMAR_PREFIX", pattern, 1);
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\Log", 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
      std::abort();
    }
    RegSetValueExA(key, "Enabled", 0, REG_SZ, reinterpret_cast<const BYTE*>("0"), 2);
    RegCloseKey(key);
  }
  ~ScratchMachine() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
};

void use_scratch_machine() {
  static ScratchMachine machine;
}

void read_setting(benchmark::State& state, const char* path) {
  use_scratch_machine();
  for (auto _ : state) {
    char buffer[32768];
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) == ERROR_SUCCESS) {
      DWORD size = sizeof buffer;
      benchmark::DoNotOptimize(RegQueryValueExA(key, "Enabled", nullptr, nullptr,
                                                reinterpret_cast<BYTE*>(buffer), &size));
      RegCloseKey(key);
    }
    benchmark::DoNotOptimize(buffer[0]);
  }
}

void BM_OpenQueryClose(benchmark::State& state) {
  read_setting(state, "Software\\Vellomar\\Log");
}
BENCHMARK(BM_OpenQueryClose);
BENCHMARK(BM_OpenQueryClose)->Threads(2);

// A fresh machine: the key is missing and the open fails.
void BM_OpenMissingKey(benchmark::State& state) {
  read_setting(state, "Software\\Vellomar\\Nope");
}
BENCHMARK(BM_OpenMissingKey);

void BM_SetValue(benchmark::State& state) {
  use_scratch_machine();
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vellomar\\Bench", 0, nullptr, 0, KEY_ALL_ACCESS,
                  nullptr, &key, nullptr);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        RegSetValueExA(key, "Value", 0, REG_SZ, reinterpret_cast<const BYTE*>("1"), 2));
  }
  RegCloseKey(key);
}
BENCHMARK(BM_SetValue);

// Walking every value of a key by index, as vmreg export and the browser
// settings do: each step should cost the same however far the walk is.
void BM_EnumerateValues(benchmark::State& state) {
  use_scratch_machine();
  const auto count = static_cast<int>(state.range(0));
  const std::string path = "Software\\Vellomar\\Many" + std::to_string(count);
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                  nullptr);
  platform::registry::begin_transaction(true);
  for (int i = 0; i < count; ++i) {
    const std::string name = "value" + std::to_string(i);
    RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>("data"), 5);
  }
  platform::registry::end_transaction(true);
  for (auto _ : state) {
    char name[64];
    for (DWORD index = 0;; ++index) {
      DWORD size = sizeof name;
      if (RegEnumValueA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * count);
  RegCloseKey(key);
}
BENCHMARK(BM_EnumerateValues)->Arg(5000)->Arg(40000)->Unit(benchmark::kMillisecond);

}  // namespace
