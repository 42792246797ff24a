#include "bench_util.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace common_dto_bench {

double ThreadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void RunPairedIterations(benchmark::State& state, const PairInfo& info,
                         const PairedIteration& step) {
  double op_total = 0;
  double base_total = 0;
  std::int64_t n = 0;
  if (info.warm_up) {
    double op_s = 0;
    double base_s = 0;
    step(0, &op_s, &base_s);
  }
  for (auto _ : state) {
    double op_s = 0;
    double base_s = 0;
    step(n, &op_s, &base_s);
    op_total += op_s;
    base_total += base_s;
    ++n;
    state.SetIterationTime(op_s > 0 ? op_s : 1e-9);
  }
  if (n == 0) return;
  const double op_mean = op_total / static_cast<double>(n);
  const double base_mean = base_total / static_cast<double>(n);
  state.counters["op_s"] = op_mean;
  state.counters["base_s"] = base_mean;
  state.counters["ratio"] = op_mean > 0 ? base_mean / op_mean : 0;
  if (info.bytes > 0) {
    state.counters["bytes"] = info.bytes;
    state.counters["MB_per_s"] = info.bytes / op_mean / 1e6;
    state.counters["base_MB_per_s"] = info.bytes / base_mean / 1e6;
    state.SetBytesProcessed(static_cast<std::int64_t>(info.bytes * static_cast<double>(n)));
  }
  if (info.items > 0) {
    state.counters["items"] = info.items;
    state.counters["items_per_s"] = info.items / op_mean;
  }
  state.SetLabel(info.baseline);
}

void RunPaired(benchmark::State& state, const PairInfo& info, const TimedStep& op,
               const TimedStep& baseline) {
  RunPairedIterations(state, info, [&](std::int64_t i, double* op_s, double* base_s) {
    if (i % 2 == 0) {
      *base_s = baseline();
      *op_s = op();
    } else {
      *op_s = op();
      *base_s = baseline();
    }
  });
}

double TimeMemcpyTouched(const char* src, std::size_t size, char* touched) {
  Stopwatch t;
  std::memcpy(touched, src, size);
  benchmark::ClobberMemory();
  const double s = t.Seconds();
  benchmark::DoNotOptimize(touched);
  return s;
}

double TimeMemcpyFresh(const char* src, std::size_t size) {
  Stopwatch t;
  char* p = static_cast<char*>(std::malloc(size));
  std::memcpy(p, src, size);
  benchmark::DoNotOptimize(p);
  benchmark::ClobberMemory();
  const double s = t.Seconds();
  std::free(p);
  return s;
}

const Reference& GetReference(const std::string& name) {
  static std::mutex mu;
  static std::map<std::string, std::unique_ptr<Reference>> refs;
  std::lock_guard<std::mutex> lock(mu);
  auto& slot = refs[name];
  if (!slot) {
    slot = std::make_unique<Reference>();
    slot->layout = &VolumeByName(name);
    MakeVolume(*slot->layout, &slot->volume);
    Check(slot->volume.SerializeToString(&slot->wire), "serializing volume " + name);
  }
  return *slot;
}

void Check(bool ok, const std::string& what) {
  if (ok) return;
  std::fprintf(stderr, "benchmark failed: %s\n", what.c_str());
  std::exit(2);
}

}  // namespace common_dto_bench
