// The small ramp volume of the tests (see volumes.h).
#include <cstdint>
#include <cstring>
#include <string>

#include "common_dto/model/buffers.h"
#include "common_dto/synthetic/volumes.h"

namespace common_dto {
namespace synthetic {
namespace {

using kyt::pb::common::DataBuffer;
using kyt::pb::common::Volume;

std::string U16Le(std::uint16_t v) {
  return std::string{static_cast<char>(v & 0xff), static_cast<char>(v >> 8)};
}

}  // namespace

Volume MakeTestVolume(int sweeps, int rays, int gates) {
  using kyt::pb::common::DataDescriptor;
  Volume volume;
  volume.mutable_uuid()->set_most_significant_bits(0x0123456789abcdefLL);
  volume.mutable_uuid()->set_least_significant_bits(-0x1000000000000001LL);
  volume.mutable_instrument()->set_name("Test radar");
  volume.mutable_instrument()->set_instrument_type(kyt::pb::common::Instrument::INSTR_RADAR);
  auto* config = volume.mutable_volume_config();
  config->set_name("two moments");
  auto* sweep_config = config->add_sweep_config();
  sweep_config->mutable_uuid()->set_least_significant_bits(42);
  DataDescriptor& dbz = (*sweep_config->mutable_data_moments())["DBZ"];
  dbz.set_type(kyt::pb::common::REFLECTIVITY_DBZ);
  dbz.set_short_name("DBZ");
  dbz.mutable_scale()->set_type(DataDescriptor::DataScale::LINEAR);
  dbz.mutable_scale()->mutable_linear_scale()->set_not_scanned(1);
  dbz.mutable_scale()->mutable_linear_scale()->set_step(0.5);
  DataDescriptor& vrad = (*sweep_config->mutable_data_moments())["VRAD"];
  vrad.set_type(kyt::pb::common::VELOCITY_M_P_S);
  vrad.set_short_name("VRAD");
  config->add_ray_config()->set_pulse_count(32);

  const std::int64_t t0 = 1767225600;  // 2026-01-01T00:00:00Z
  for (int s = 0; s < sweeps; ++s) {
    auto* sweep = volume.add_sweep();
    sweep->mutable_description()->mutable_config()->set_sweep_config_index(0);
    sweep->mutable_description()->set_fixed_angle_deg(0.5 + s);
    sweep->set_index_in_task(s);
    sweep->mutable_input_timespan()->mutable_start()->set_seconds(t0 + 60 * s);
    sweep->mutable_input_timespan()->mutable_end()->set_seconds(t0 + 60 * s + 30);
    std::string dbz_samples, vrad_samples;
    for (int r = 0; r < rays; ++r) {
      auto* ray = sweep->add_rays();
      ray->mutable_aq_start_time()->set_seconds(t0 + 60 * s + r);
      ray->mutable_aq_end_time()->set_seconds(t0 + 60 * s + r);
      ray->mutable_aq_end_time()->set_nanos(500000000);
      ray->set_index(r);
      ray->mutable_az_range_deg()->set_start_deg(r * 1.0);
      ray->mutable_az_range_deg()->set_span_deg(1.0);
      ray->set_ray_config_index(0);
      ray->add_noise_dbm(-110.0 - r);
      for (int g = 0; g < gates; ++g) {
        dbz_samples += U16Le(static_cast<std::uint16_t>(s * 1000 + r * 10 + g));
        const float f = static_cast<float>(r) + 0.25f * static_cast<float>(g);
        std::uint32_t bits;
        std::memcpy(&bits, &f, 4);
        for (int b = 3; b >= 0; --b) vrad_samples += static_cast<char>((bits >> (8 * b)) & 0xff);
      }
    }
    DataBuffer& d = (*sweep->mutable_sweep_moments())["DBZ"];
    d.set_endian(DataBuffer::LITTLE);
    d.set_type(DataBuffer::UINT16);
    // Neither buffer comes near the 2 GiB that SetSamples refuses.
    static_cast<void>(SetSamples(std::move(dbz_samples), Compression::kNone, &d));
    DataBuffer& v = (*sweep->mutable_sweep_moments())["VRAD"];
    v.set_endian(DataBuffer::BIG);
    v.set_type(DataBuffer::FLOAT);
    static_cast<void>(SetSamples(std::move(vrad_samples), Compression::kNone, &v));
  }
  return volume;
}

}  // namespace synthetic
}  // namespace common_dto
