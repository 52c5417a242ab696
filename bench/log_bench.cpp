// The cost of one activity log entry: with logging off (the Log key missing,
// or "Enabled" reading 0) it is one registry read; with logging on it adds the
// stamp, the formatting and one open, append and close of the file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "settings/activity_log.h"
#include "settings/registry_settings.h"

namespace fs = std::filesystem;

namespace {

// A machine folder of its own, with the installation folder as the current
// directory; removed again when the benchmark ends.
class Machine {
 public:
  Machine() {
    char pattern[] = "/tmp/vm_log_bench_XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    root_ = pattern;
    setenv("VELLOMAR_PREFIX", root_.c_str(), 1);
    const std::string install = root_ + "/drive_c/Program Files/Vellomar";
    fs::create_directories(install);
    old_cwd_ = fs::current_path();
    fs::current_path(install);
  }
  ~Machine() {
    fs::current_path(old_cwd_);
    fs::remove_all(root_);
  }
  std::string root_;
  fs::path old_cwd_;
};

void log_one(benchmark::State& state) {
  for (auto _ : state) {
    log_activity("Blocked Ad: %s%s", "ads.example.com", "/banner.gif");
  }
}

void BM_LogActivityOffKeyMissing(benchmark::State& state) {
  Machine machine;
  log_one(state);
  if (fs::exists("vellomar.log")) state.SkipWithError("log written while off");
}
BENCHMARK(BM_LogActivityOffKeyMissing);

void BM_LogActivityOffEnabledZero(benchmark::State& state) {
  Machine machine;
  write_log_enabled(0);
  log_one(state);
  if (fs::exists("vellomar.log")) state.SkipWithError("log written while off");
}
BENCHMARK(BM_LogActivityOffEnabledZero);

void BM_LogActivityOn(benchmark::State& state) {
  Machine machine;
  write_log_enabled(1);
  log_one(state);
  state.counters["bytes_per_entry"] =
      static_cast<double>(fs::file_size("vellomar.log")) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_LogActivityOn);

void BM_LogActivityOnThreads(benchmark::State& state) {
  static Machine* machine = nullptr;
  if (state.thread_index() == 0) {
    machine = new Machine;
    write_log_enabled(1);
  }
  log_one(state);
  if (state.thread_index() == 0) {
    delete machine;
    machine = nullptr;
  }
}
BENCHMARK(BM_LogActivityOnThreads)->Threads(4)->UseRealTime();

void BM_FormatLogTime(benchmark::State& state) {
  char out[25];
  std::time_t when = 1796560742;
  for (auto _ : state) {
    format_log_time(when++, out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_FormatLogTime);

}  // namespace
