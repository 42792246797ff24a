// Test volumes and stream helpers shared by the stream library's tests.
#pragma once

#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common_dto/stream/assembler.h"
#include "common_dto/model/buffers.h"
#include "common_dto/stream/framing.h"
#include "common_dto/stream/splitter.h"
#include "instrument.pb.h"
#include "ray_stream_message.pb.h"
#include "volume.pb.h"
#include "wire_testing.h"

namespace common_dto_test {

using kyt::pb::common::DataBuffer;
using kyt::pb::common::Volume;
using kyt::pb::stream::RayStreamMessage;

inline std::string U16Le(std::uint16_t v) {
  return std::string{static_cast<char>(v & 0xff), static_cast<char>(v >> 8)};
}

// A volume as a receiver should get it back: an instrument, a configuration
// with one sweep configuration whose descriptors name the two moments, and
// per sweep `rays` rays with `gates` samples of "DBZ" (UINT16, little-endian;
// sample = sweep*1000 + ray*10 + gate) and "VRAD" (FLOAT, big-endian).
inline Volume MakeVolume(int sweeps, int rays, int gates) {
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
    common_dto::SetSamples(std::move(dbz_samples), common_dto::Compression::kNone,
                                   &d);
    DataBuffer& v = (*sweep->mutable_sweep_moments())["VRAD"];
    v.set_endian(DataBuffer::BIG);
    v.set_type(DataBuffer::FLOAT);
    common_dto::SetSamples(std::move(vrad_samples), common_dto::Compression::kNone,
                                   &v);
  }
  return volume;
}

// The stream of `volume`, as SplitVolume emits it with default options.
inline std::vector<RayStreamMessage> Split(const Volume& volume,
                                           common_dto::stream::SplitOptions options = {}) {
  std::vector<RayStreamMessage> messages;
  common_dto::Status status = common_dto::stream::SplitVolume(volume, options, &messages);
  EXPECT_TRUE(status.ok()) << status.message();
  return messages;
}

// One letter per message: V volume header, S sweep header, R ray header,
// P parameter data, E ray end, s sweep end, v volume end, - no payload.
inline std::string Kinds(const std::vector<RayStreamMessage>& messages) {
  static const char kLetters[] = "-VSRPEsv";
  std::string out;
  for (const auto& m : messages) out += kLetters[m.payload_case()];
  return out;
}

}  // namespace common_dto_test
