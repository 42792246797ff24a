// Stream throughput: rays per second through split -> frame -> write to
// memory -> read -> reassemble (stream_path.h), against the bulk parse of
// the same data into a reused message; and allocations per ray in the
// steady state (a second M volume through the same path; the L sweeps after
// the first), against those of copying what the path delivers.
//
//   Stream/M/whole_volume    M as one Volume, reassembled whole
//                            (DeliveryMode::kWholeVolumes); baseline: parse of
//                            M's serialization into a reused Volume.
//   Stream/L/sweep_by_sweep  L produced one sweep at a time and reassembled
//                            sweep by sweep (kSweepBySweep); baseline: parse
//                            of each sweep's serialization into a reused
//                            Sweep. Producing the sweeps is not timed.
//   Stream/{M,L}/copy_floor  the two copies the path cannot avoid, alone:
//                            each ray's slices out of the sweep buffers
//                            into one reused frame buffer, and from there
//                            onto the end of fresh sweep buffers. Against
//                            the same baselines, the most the path could
//                            reach on this machine.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "bench_util.h"
#include "stream_path.h"

namespace common_dto_bench {
namespace {

using common_dto::stream::AssembledSweep;
using common_dto::stream::AssembledVolume;
using common_dto::stream::DeliveryMode;
using kyt::pb::common::Sweep;
using kyt::pb::common::Volume;

// Allocations per ray of the ray-level messages on each side of the path,
// and those of copying the rays delivered (the output's own records, which
// any receiver allocates); per volume and sweep, those of the others.
void SetAllocationCounters(benchmark::State& state, const Allocations& counted,
                           std::uint64_t output_rays, std::size_t rays, std::size_t sweeps) {
  state.counters["producer_allocs_per_ray"] = double(counted.producer_rays) / double(rays);
  state.counters["receiver_allocs_per_ray"] = double(counted.receiver_rays) / double(rays);
  state.counters["output_allocs_per_ray"] = double(output_rays) / double(rays);
  state.counters["producer_allocs_per_sweep"] = double(counted.producer_other) / double(sweeps);
  state.counters["receiver_allocs_per_sweep"] = double(counted.receiver_other) / double(sweeps);
}

// Allocations of copying the rays of `sweep`.
std::uint64_t RayCopyAllocations(const Sweep& sweep) {
  Sweep copy;
  const std::uint64_t before = CountedAllocations();
  *copy.mutable_rays() = sweep.rays();
  return CountedAllocations() - before;
}

// Same samples and rays as the original, sweep by sweep.
void CheckSweep(const Sweep& got, const Sweep& want, const std::string& where) {
  Check(got.rays_size() == want.rays_size(), where + ": ray count");
  Check(got.sweep_moments_size() == want.sweep_moments_size(), where + ": moment count");
  for (const auto& [name, buffer] : want.sweep_moments()) {
    auto it = got.sweep_moments().find(name);
    Check(it != got.sweep_moments().end(), where + ": moment " + name + " missing");
    Check(it->second.data() == buffer.data(), where + ": moment " + name + " differs");
  }
  for (int r = 0; r < want.rays_size(); r += 97) {
    Check(got.rays(r).SerializeAsString() == want.rays(r).SerializeAsString(),
          where + ": ray " + std::to_string(r) + " differs");
  }
}

// M's baseline: the parse of its serialization into `reused` (warmed here
// with a first parse).
TimedStep ParseInto(const Reference& ref, Volume* reused) {
  Check(reused->ParseFromString(ref.wire), "warming the reused message");
  return [&ref, reused] {
    Stopwatch t;
    const bool ok = reused->ParseFromArray(ref.wire.data(), static_cast<int>(ref.wire.size()));
    const double s = t.Seconds();
    Check(ok, "parsing M");
    return s;
  };
}

// L's baseline, per sweep: the parse of its serialization into `reused`.
double TimeSweepParse(const std::string& wire, Sweep* reused) {
  Stopwatch t;
  const bool ok = reused->ParseFromString(wire);
  const double s = t.Seconds();
  Check(ok, "parsing an L sweep");
  return s;
}

void StreamWholeVolume(benchmark::State& state) {
  const Reference& ref = GetReference("M");
  {
    // One checked pass before timing.
    StreamPath path(DeliveryMode::kWholeVolumes);
    Check(path.Stream(ref.volume).ok(), "streaming M");
    std::vector<AssembledVolume> volumes = path.assembler().TakeVolumes();
    Check(volumes.size() == 1 && volumes[0].complete, "M reassembled complete");
    Check(volumes[0].volume.sweep_size() == ref.volume.sweep_size(), "M sweep count");
    for (int s = 0; s < ref.volume.sweep_size(); ++s) {
      CheckSweep(volumes[0].volume.sweep(s), ref.volume.sweep(s), "M sweep " + std::to_string(s));
    }
    state.counters["frame_bytes"] = double(path.frame_bytes());
    state.counters["messages"] = double(path.messages());
    // The steady state: the next volume (M again, under another UUID)
    // through the same path, counted.
    Volume next = ref.volume;
    next.mutable_uuid()->set_least_significant_bits(next.uuid().least_significant_bits() + 1);
    CountAllocations(true);
    Check(path.Stream(next).ok(), "streaming M again");
    volumes = path.assembler().TakeVolumes();
    std::uint64_t output = 0;
    for (const Sweep& sweep : volumes.at(0).volume.sweep()) output += RayCopyAllocations(sweep);
    CountAllocations(false);
    SetAllocationCounters(state, path.allocations(), output, ref.layout->ray_count(),
                          std::size_t(ref.layout->sweep_count()));
  }
  Volume reused;
  RunPaired(
      state, {double(ref.layout->sample_bytes()), double(ref.layout->ray_count()), "parse_reused"},
      [&] {
        auto path = std::make_unique<StreamPath>(DeliveryMode::kWholeVolumes);
        std::vector<AssembledVolume> volumes;
        Stopwatch t;
        const bool ok = path->Stream(ref.volume).ok();
        volumes = path->assembler().TakeVolumes();
        const double s = t.Seconds();
        Check(ok && volumes.size() == 1, "streaming M");
        return s;
      },
      ParseInto(ref, &reused));
}

// The copy floor of one sweep: its samples, ray by ray, through `frame`
// into new buffers reserved at the sweep's size (freed untimed).
double TimeCopyFloor(const Sweep& sweep, std::string* frame) {
  std::vector<std::string_view> moments;
  for (const auto& entry : sweep.sweep_moments()) moments.push_back(entry.second.data());
  const std::size_t rays = std::size_t(sweep.rays_size());
  std::vector<std::string> out(moments.size());
  Stopwatch t;
  for (std::size_t m = 0; m < moments.size(); ++m) out[m].reserve(moments[m].size());
  for (std::size_t r = 0; r < rays; ++r) {
    frame->clear();
    for (std::string_view samples : moments) {
      const std::size_t per_ray = samples.size() / rays;
      frame->append(samples.data() + r * per_ray, per_ray);
    }
    std::size_t at = 0;
    for (std::size_t m = 0; m < moments.size(); ++m) {
      const std::size_t per_ray = moments[m].size() / rays;
      out[m].append(frame->data() + at, per_ray);
      at += per_ray;
    }
  }
  return t.Seconds();
}

void CopyFloorM(benchmark::State& state) {
  const Reference& ref = GetReference("M");
  std::string frame;
  Volume reused;
  RunPaired(
      state, {double(ref.layout->sample_bytes()), double(ref.layout->ray_count()), "parse_reused"},
      [&] {
        double s = 0;
        for (const Sweep& sweep : ref.volume.sweep()) s += TimeCopyFloor(sweep, &frame);
        return s;
      },
      ParseInto(ref, &reused));
}

void CopyFloorL(benchmark::State& state) {
  const VolumeLayout& layout = VolumeL();
  Sweep sweep;
  Sweep reused;
  std::string wire;
  std::string frame;
  RunPairedIterations(
      state,
      {double(layout.sample_bytes()), double(layout.ray_count()), "parse_reused_sweeps",
       /*warm_up=*/false},
      [&](std::int64_t iteration, double* op_s, double* base_s) {
        for (int s = 0; s < layout.sweep_count(); ++s) {
          MakeSweep(layout, s, &sweep);
          Check(sweep.SerializeToString(&wire), "serializing an L sweep");
          auto base = [&] { *base_s += TimeSweepParse(wire, &reused); };
          if ((iteration + s) % 2 == 0) base();
          *op_s += TimeCopyFloor(sweep, &frame);
          if ((iteration + s) % 2 != 0) base();
        }
      });
}

void StreamSweepBySweep(benchmark::State& state) {
  const VolumeLayout& layout = VolumeL();
  Volume shell;
  MakeVolumeShell(layout, &shell);
  Sweep reused;
  std::string wire;
  std::uint64_t frame_bytes = 0;
  std::size_t max_buffered = 0;
  Allocations counted;
  std::uint64_t output_allocations = 0;
  RunPairedIterations(
      state,
      {double(layout.sample_bytes()), double(layout.ray_count()), "parse_reused_sweeps",
       /*warm_up=*/false},
      [&](std::int64_t iteration, double* op_s, double* base_s) {
        StreamPath path(DeliveryMode::kSweepBySweep);
        for (int s = 0; s < layout.sweep_count(); ++s) {
          Sweep* sweep = shell.add_sweep();
          MakeSweep(layout, s, sweep);
          Check(sweep->SerializeToString(&wire), "serializing an L sweep");
          auto base = [&] { *base_s += TimeSweepParse(wire, &reused); };
          std::vector<AssembledSweep> out;
          // Allocations are counted once the first sweep has been seen.
          if (iteration == 0 && s == 1) CountAllocations(true);
          auto op = [&] {
            Stopwatch t;
            const bool ok = path.StreamSweep(shell, s, layout.sweep_count()).ok();
            out = path.assembler().TakeSweeps();
            *op_s += t.Seconds();
            Check(ok, "streaming L sweep " + std::to_string(s));
          };
          if ((iteration + s) % 2 == 0) {
            base();
            op();
          } else {
            op();
            base();
          }
          Check(out.size() == 1 && out[0].complete && out[0].position == std::size_t(s),
                "L sweep " + std::to_string(s) + " reassembled complete");
          if (iteration == 0 && s == 0) CheckSweep(out[0].sweep, *sweep, "L sweep 0");
          if (iteration == 0 && s > 0) output_allocations += RayCopyAllocations(out[0].sweep);
          shell.mutable_sweep()->RemoveLast();
        }
        std::vector<AssembledVolume> volumes = path.assembler().TakeVolumes();
        Check(
            volumes.size() == 1 && volumes[0].sweeps_delivered == std::size_t(layout.sweep_count()),
            "L volume closed after its sweeps");
        if (iteration == 0) {
          CountAllocations(false);
          counted = path.allocations();
        }
        frame_bytes = path.frame_bytes();
        max_buffered = path.max_buffered();
      });
  const std::size_t rays_after_first =
      std::size_t(layout.ray_count()) - std::size_t(layout.ray_count() / layout.sweep_count());
  SetAllocationCounters(state, counted, output_allocations, rays_after_first,
                        std::size_t(layout.sweep_count() - 1));
  state.counters["frame_bytes"] = double(frame_bytes);
  state.counters["max_buffered"] = double(max_buffered);
}

[[maybe_unused]] const bool registered = [] {
  benchmark::RegisterBenchmark("Stream/M/whole_volume", StreamWholeVolume)
      ->UseManualTime()
      ->Iterations(6)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Stream/L/sweep_by_sweep", StreamSweepBySweep)
      ->UseManualTime()
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Stream/M/copy_floor", CopyFloorM)
      ->UseManualTime()
      ->Iterations(6)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Stream/L/copy_floor", CopyFloorL)
      ->UseManualTime()
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace
}  // namespace common_dto_bench
