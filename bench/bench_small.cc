// Small envelopes: a RayStreamMessage holding a RayHeader with a typical Ray
// (times, sectors, configuration index, two noise and two burst-power values
// with their deviations), as a ray stream sends one per ray. Measured in
// batches of 1024 distinct messages, each against the same number of
// memcpy calls of the same sizes.
#include <google/protobuf/arena.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_util.h"
#include "ray_stream_message.pb.h"

namespace common_dto_bench {
namespace {

using kyt::pb::stream::RayStreamMessage;

constexpr int kBatch = 1024;

struct SmallBatch {
  std::vector<RayStreamMessage> messages;
  std::string wire;                 // All messages back to back.
  std::vector<std::size_t> offset;  // Start of message i in wire; one extra at the end.
  std::size_t size(int i) const { return offset[i + 1] - offset[i]; }
};

const SmallBatch& Batch() {
  static const SmallBatch batch = [] {
    SmallBatch b;
    const VolumeLayout& layout = VolumeM();
    kyt::pb::common::Sweep sweep;
    MakeSweep(layout, 0, &sweep);
    kyt::pb::common::UUID sweep_uuid;
    sweep_uuid.set_most_significant_bits(0x5a3c6e2b91f04d8bLL);
    sweep_uuid.set_least_significant_bits(-0x6f1e2d3c4b5a6978LL);
    b.messages.resize(kBatch);
    b.offset.push_back(0);
    for (int i = 0; i < kBatch; ++i) {
      auto* header = b.messages[i].mutable_ray_header();
      *header->mutable_ray() = sweep.rays(i % sweep.rays_size());
      *header->mutable_sweep_uuid() = sweep_uuid;
      header->set_ray_index(i % sweep.rays_size());
      b.wire += b.messages[i].SerializeAsString();
      b.offset.push_back(b.wire.size());
    }
    return b;
  }();
  return batch;
}

// The baselines: each message copied into touched memory, or into memory
// fresh from malloc.
double TouchedMemcpy(const SmallBatch& b, std::vector<char>* copy) {
  Stopwatch t;
  for (int i = 0; i < kBatch; ++i) {
    std::memcpy(copy->data() + b.offset[i], b.wire.data() + b.offset[i], b.size(i));
    benchmark::ClobberMemory();
  }
  return t.Seconds();
}

double FreshMemcpy(const SmallBatch& b) {
  Stopwatch t;
  for (int i = 0; i < kBatch; ++i) {
    char* p = static_cast<char*>(std::malloc(b.size(i)));
    std::memcpy(p, b.wire.data() + b.offset[i], b.size(i));
    benchmark::DoNotOptimize(p);
    benchmark::ClobberMemory();
    std::free(p);
  }
  return t.Seconds();
}

// The rows: each step against the memcpy of the same bytes.
void SmallSerializeArray(benchmark::State& state) {
  const SmallBatch& b = Batch();
  std::vector<char> out(b.wire.size(), 1), copy(b.wire.size(), 1);
  RunPaired(
      state, {double(b.wire.size()), double(kBatch), "memcpy_touched"},
      [&] {
        Stopwatch t;
        bool ok = true;
        for (int i = 0; i < kBatch; ++i) {
          ok &= b.messages[i].SerializeToArray(out.data() + b.offset[i],
                                               static_cast<int>(b.size(i)));
        }
        const double s = t.Seconds();
        Check(ok, "SerializeToArray (small)");
        return s;
      },
      [&] { return TouchedMemcpy(b, &copy); });
}

void SmallParseHeap(benchmark::State& state) {
  const SmallBatch& b = Batch();
  RunPaired(
      state, {double(b.wire.size()), double(kBatch), "memcpy_fresh"},
      [&] {
        Stopwatch t;
        bool ok = true;
        for (int i = 0; i < kBatch; ++i) {
          auto* m = new RayStreamMessage;
          ok &= m->ParseFromArray(b.wire.data() + b.offset[i], static_cast<int>(b.size(i)));
          benchmark::DoNotOptimize(m);
          delete m;
        }
        const double s = t.Seconds();
        Check(ok, "ParseFromArray (small, heap)");
        return s;
      },
      [&] { return FreshMemcpy(b); });
}

void SmallParseArena(benchmark::State& state) {
  const SmallBatch& b = Batch();
  // One arena per message over a reused first block, the usual set-up for
  // small messages: nothing is allocated from the heap.
  std::vector<char> block(4096);
  google::protobuf::ArenaOptions options;
  options.initial_block = block.data();
  options.initial_block_size = block.size();
  RunPaired(
      state, {double(b.wire.size()), double(kBatch), "memcpy_fresh"},
      [&] {
        Stopwatch t;
        bool ok = true;
        for (int i = 0; i < kBatch; ++i) {
          google::protobuf::Arena arena(options);
          auto* m = google::protobuf::Arena::CreateMessage<RayStreamMessage>(&arena);
          ok &= m->ParseFromArray(b.wire.data() + b.offset[i], static_cast<int>(b.size(i)));
          benchmark::DoNotOptimize(m);
        }
        const double s = t.Seconds();
        Check(ok, "ParseFromArray (small, arena)");
        return s;
      },
      [&] { return FreshMemcpy(b); });
}

void SmallParseReused(benchmark::State& state) {
  const SmallBatch& b = Batch();
  std::vector<char> copy(b.wire.size(), 1);
  RayStreamMessage m;
  RunPaired(
      state, {double(b.wire.size()), double(kBatch), "memcpy_touched"},
      [&] {
        Stopwatch t;
        bool ok = true;
        for (int i = 0; i < kBatch; ++i) {
          ok &= m.ParseFromArray(b.wire.data() + b.offset[i], static_cast<int>(b.size(i)));
          benchmark::DoNotOptimize(m);
        }
        const double s = t.Seconds();
        Check(ok, "ParseFromArray (small, reused)");
        return s;
      },
      [&] { return TouchedMemcpy(b, &copy); });
}


void Register() {
  auto reg = [](const std::string& what, auto fn) {
    benchmark::RegisterBenchmark(("Small/RayHeader/" + what).c_str(), fn)
        ->UseManualTime()
        ->MinTime(0.3)
        ->Unit(benchmark::kMicrosecond);
  };

  reg("serialize_array", SmallSerializeArray);
  reg("parse_heap", SmallParseHeap);
  reg("parse_arena", SmallParseArena);
  reg("parse_reused", SmallParseReused);
}

[[maybe_unused]] const bool registered = (Register(), true);

}  // namespace
}  // namespace common_dto_bench
