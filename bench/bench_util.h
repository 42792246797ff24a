// Shared pieces of the benchmarks: CPU-time stopwatch, paired measurement of
// an operation against its baseline, memcpy baselines and the lazily built
// reference volumes.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common_dto/synthetic/volumes.h"
#include "volume.pb.h"

namespace common_dto_bench {

// The reference volumes M, S and L come from the synthetic volume builder.
using namespace common_dto::synthetic;  // NOLINT(build/namespaces)

// CPU time of the calling thread, in seconds (user and system, so page
// faults count; time spent descheduled by other processes does not).
double ThreadCpuSeconds();

class Stopwatch {
 public:
  Stopwatch() : start_(ThreadCpuSeconds()) {}
  double Seconds() const { return ThreadCpuSeconds() - start_; }

 private:
  double start_;
};

// A timed step: does its own untimed set-up and clean-up and returns the
// CPU seconds of the part that counts.
using TimedStep = std::function<double()>;

// What one pair measures, per iteration.
struct PairInfo {
  double bytes = 0;      // Bytes the operation moves (for MB/s); 0 if none.
  double items = 0;      // Rays or messages per operation; 0 if none.
  std::string baseline;  // Name of the baseline, for the report.
  // Run one untimed iteration first, so that what is measured is the steady
  // state of a program that handles volume after volume (the allocator has
  // grown its heap; the first volume's page faults are not counted).
  bool warm_up = true;
};

// Runs `op` and `baseline` alternately (the order flips every iteration so
// neither always finds the caches warmed by the other) and reports the
// operation's time as the iteration time. Counters, per iteration:
//   op_s, base_s  mean CPU seconds of the operation and of the baseline
//   ratio         base_s / op_s: the operation's speed as a fraction of the
//                 baseline's (1 = as fast; above 1 = faster)
//   MB_per_s, base_MB_per_s   when bytes is set (1 MB = 10^6 bytes)
//   items_per_s   when items is set
// The benchmark must be registered with UseManualTime().
void RunPaired(benchmark::State& state, const PairInfo& info, const TimedStep& op,
               const TimedStep& baseline);

// The same for operations that interleave with their baseline in finer
// steps: each call runs one iteration and adds the CPU seconds of the
// operation and of the baseline to *op_s and *base_s (both start at 0);
// `iteration` counts from 0, for flipping the order.
using PairedIteration = std::function<void(std::int64_t iteration, double* op_s, double* base_s)>;
void RunPairedIterations(benchmark::State& state, const PairInfo& info,
                         const PairedIteration& step);

// memcpy of `size` bytes of `src` into a buffer touched before (kept by the
// caller, at least `size` bytes).
double TimeMemcpyTouched(const char* src, std::size_t size, char* touched);
// malloc of `size` bytes and memcpy into it; the free is not timed.
double TimeMemcpyFresh(const char* src, std::size_t size);

// A reference volume as one message and its serialization, built on first
// use and kept for the rest of the run (M and S only).
struct Reference {
  const VolumeLayout* layout = nullptr;
  kyt::pb::common::Volume volume;
  std::string wire;  // volume serialized
};
const Reference& GetReference(const std::string& name);

// Aborts with a message when `ok` is false: benchmarks measure nothing
// useful after a failed step.
void Check(bool ok, const std::string& what);

}  // namespace common_dto_bench
