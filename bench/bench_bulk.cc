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

void BulkSerializeString(benchmark::State& state, const std::string& name) {
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
}

void BulkSerializeArray(benchmark::State& state, const std::string& name) {
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
}

void BulkParseHeap(benchmark::State& state, const std::string& name) {
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
}

void BulkParseArena(benchmark::State& state, const std::string& name) {
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
}

void BulkParseReused(benchmark::State& state, const std::string& name) {
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
}

void BulkByteSize(benchmark::State& state, const std::string& name) {
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
}

void BulkDeepCopy(benchmark::State& state, const std::string& name) {
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
}

void RegisterVolume(const std::string& name) {
  // Fixed iteration counts keep the run short: on a virtual machine the
  // page faults of a fresh 58 MB buffer can cost a fifth of a second.
  const int iterations = name == "M" ? 15 : 100;
  auto reg = [&](const std::string& what, auto fn) {
    benchmark::RegisterBenchmark(("Bulk/" + name + "/" + what).c_str(), fn, name)
        ->UseManualTime()
        ->Iterations(iterations)
        ->Unit(benchmark::kMillisecond);
  };

  reg("serialize_string", BulkSerializeString);
  reg("serialize_array", BulkSerializeArray);
  reg("parse_heap", BulkParseHeap);
  reg("parse_arena", BulkParseArena);
  reg("parse_reused", BulkParseReused);
  reg("byte_size", BulkByteSize);
  reg("deep_copy", BulkDeepCopy);
}

[[maybe_unused]] const bool registered = [] {
  RegisterVolume("M");
  RegisterVolume("S");
  return true;
}();

}  // namespace
}  // namespace common_dto_bench
