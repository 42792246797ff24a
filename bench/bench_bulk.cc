// Bulk throughput: a whole volume serialized, parsed, sized and copied, each
// against the memcpy of the same number of bytes.
#include <google/protobuf/arena.h>

#include <cstring>
#include <memory>
#include <vector>

#include "bench_util.h"

namespace common_dto_bench {
namespace {

using kyt::pb::common::Volume;

// A buffer of `size` bytes, written once so that its pages are mapped.
std::unique_ptr<char[]> TouchedBuffer(std::size_t size) {
  std::unique_ptr<char[]> p(new char[size]);
  std::memset(p.get(), 0x5a, size);
  return p;
}

void RegisterVolume(const std::string& name) {
  // Fixed iteration counts keep the run short: on a virtual machine the
  // page faults of a fresh 58 MB buffer can cost a fifth of a second.
  const int iterations = name == "M" ? 15 : 100;
  auto reg = [&](const std::string& what, auto fn) {
    benchmark::RegisterBenchmark(("Bulk/" + name + "/" + what).c_str(), fn)
        ->UseManualTime()
        ->Iterations(iterations)
        ->Unit(benchmark::kMillisecond);
  };

  reg("serialize_string", [name](benchmark::State& state) {
    const Reference& ref = GetReference(name);
    const std::size_t size = ref.wire.size();
    RunPaired(
        state, {double(size), 0, "memcpy_fresh"},
        [&] {
          auto out = std::make_unique<std::string>();
          Stopwatch t;
          const bool ok = ref.volume.SerializeToString(out.get());
          const double s = t.Seconds();
          Check(ok && out->size() == size, "SerializeToString");
          return s;
        },
        [&] { return TimeMemcpyFresh(ref.wire.data(), size); });
  });

  reg("serialize_array", [name](benchmark::State& state) {
    const Reference& ref = GetReference(name);
    const std::size_t size = ref.wire.size();
    auto out = TouchedBuffer(size);
    auto copy = TouchedBuffer(size);
    RunPaired(
        state, {double(size), 0, "memcpy_touched"},
        [&] {
          Stopwatch t;
          const bool ok = ref.volume.SerializeToArray(out.get(), static_cast<int>(size));
          const double s = t.Seconds();
          Check(ok, "SerializeToArray");
          return s;
        },
        [&] { return TimeMemcpyTouched(ref.wire.data(), size, copy.get()); });
  });

  reg("parse_heap", [name](benchmark::State& state) {
    const Reference& ref = GetReference(name);
    const std::size_t size = ref.wire.size();
    RunPaired(
        state, {double(size), double(ref.layout->ray_count()), "memcpy_fresh"},
        [&] {
          Stopwatch t;
          auto* v = new Volume;
          const bool ok = v->ParseFromArray(ref.wire.data(), static_cast<int>(size));
          const double s = t.Seconds();
          Check(ok, "ParseFromArray (heap)");
          delete v;
          return s;
        },
        [&] { return TimeMemcpyFresh(ref.wire.data(), size); });
  });

  reg("parse_arena", [name](benchmark::State& state) {
    const Reference& ref = GetReference(name);
    const std::size_t size = ref.wire.size();
    RunPaired(
        state, {double(size), double(ref.layout->ray_count()), "memcpy_fresh"},
        [&] {
          Stopwatch t;
          auto* arena = new google::protobuf::Arena;
          auto* v = google::protobuf::Arena::CreateMessage<Volume>(arena);
          const bool ok = v->ParseFromArray(ref.wire.data(), static_cast<int>(size));
          const double s = t.Seconds();
          Check(ok, "ParseFromArray (arena)");
          delete arena;
          return s;
        },
        [&] { return TimeMemcpyFresh(ref.wire.data(), size); });
  });

  reg("parse_reused", [name](benchmark::State& state) {
    const Reference& ref = GetReference(name);
    const std::size_t size = ref.wire.size();
    auto copy = TouchedBuffer(size);
    Volume v;
    Check(v.ParseFromString(ref.wire), "warming the reused message");
    RunPaired(
        state, {double(size), double(ref.layout->ray_count()), "memcpy_touched"},
        [&] {
          Stopwatch t;
          const bool ok = v.ParseFromArray(ref.wire.data(), static_cast<int>(size));
          const double s = t.Seconds();
          Check(ok, "ParseFromArray (reused)");
          return s;
        },
        [&] { return TimeMemcpyTouched(ref.wire.data(), size, copy.get()); });
  });

  reg("byte_size", [name](benchmark::State& state) {
    const Reference& ref = GetReference(name);
    const std::size_t size = ref.wire.size();
    auto copy = TouchedBuffer(size);
    RunPaired(
        state, {double(size), 0, "memcpy_touched"},
        [&] {
          Stopwatch t;
          const std::size_t n = ref.volume.ByteSizeLong();
          const double s = t.Seconds();
          Check(n == size, "ByteSizeLong");
          return s;
        },
        [&] { return TimeMemcpyTouched(ref.wire.data(), size, copy.get()); });
  });

  reg("deep_copy", [name](benchmark::State& state) {
    const Reference& ref = GetReference(name);
    const std::size_t size = ref.wire.size();
    RunPaired(
        state, {double(size), 0, "memcpy_fresh"},
        [&] {
          Stopwatch t;
          auto* v = new Volume(ref.volume);
          const double s = t.Seconds();
          benchmark::DoNotOptimize(v);
          delete v;
          return s;
        },
        [&] { return TimeMemcpyFresh(ref.wire.data(), size); });
  });
}

[[maybe_unused]] const bool registered = [] {
  RegisterVolume("M");
  RegisterVolume("S");
  return true;
}();

}  // namespace
}  // namespace common_dto_bench
