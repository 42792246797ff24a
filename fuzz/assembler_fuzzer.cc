// The assembler fed message sequences built from the fuzz input: each step
// is a small choice (which message, which of a few volumes, sweeps, rays and
// moments, which buffer layout and compression), so that runs reach the deep
// states: duplicates, unknown and closed sweeps, interleaved volumes, rays
// before their headers, LZ4 frames and blocks good and bad, limits hit, age
// and ray-count closing. Checks the documented bookkeeping after every step,
// that delivered buffers are canonical, and that every volume handed back
// (complete or not) splits and reassembles to the same bytes. A twin
// assembler takes every message serialized (Assembler::AddSerialized) and
// must answer and deliver exactly the same.
#include <fuzzer/FuzzedDataProvider.h>
#include <lz4.h>
#include <lz4frame.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "common_dto/stream/assembler.h"
#include "common_dto/model/buffers.h"
#include "common_dto/stream/splitter.h"
#include "fuzz_support.h"
#include "ray_stream_message.pb.h"

namespace {

using common_dto::stream::AssembledSweep;
using common_dto::stream::AssembledVolume;
using common_dto::stream::Assembler;
using common_dto::stream::AssemblerOptions;
using common_dto::Compression;
using common_dto::stream::DeliveryMode;
using kyt::pb::common::DataBuffer;
using kyt::pb::common::DataDescriptor;
using kyt::pb::common::UUID;
using kyt::pb::stream::RayStreamMessage;

constexpr Compression kCompressions[] = {Compression::kNone, Compression::kLz4Frame,
                                         Compression::kLz4Block};
constexpr std::int32_t kRayIndices[] = {0, 1, 2, 3, 4, -1, 65535, 2147483647};
const char* const kMoments[] = {"DBZ", "VRAD", "", "ZDR"};
constexpr int kStorage[] = {DataBuffer::UINT8,  DataBuffer::UINT16,       DataBuffer::FLOAT,
                            DataBuffer::DOUBLE, DataBuffer::INT64,        DataBuffer::INT32,
                            DataBuffer::STRING, DataBuffer::UNKNOWN_TYPE, 99};
constexpr double kFills[] = {0.0, -1.0, 255.0, 1e10, std::numeric_limits<double>::quiet_NaN(), 0.5};

UUID VolumeUuid(int i) {
  UUID uuid;
  if (i > 0) {  // Volume 0 has no UUID: it reads as the all-zero one.
    uuid.set_most_significant_bits(0x1000 + i);
    uuid.set_least_significant_bits(-i);
  }
  return uuid;
}

UUID SweepUuid(int i) {
  UUID uuid;
  if (i > 0) {
    uuid.set_most_significant_bits(0x2000 + i);
    uuid.set_least_significant_bits(std::numeric_limits<std::int64_t>::min() + i);
  }
  return uuid;
}

void SetTime(FuzzedDataProvider& in, google::protobuf::Timestamp* t) {
  t->set_seconds(1767225600 + in.ConsumeIntegralInRange<int>(0, 100));
  t->set_nanos(in.ConsumeBool() ? 0 : 500000000);
}

kyt::pb::common::VolumeConfig MakeConfig(FuzzedDataProvider& in) {
  kyt::pb::common::VolumeConfig config;
  auto* sweep_config = config.add_sweep_config();
  sweep_config->mutable_uuid()->set_least_significant_bits(42);
  DataDescriptor& dbz = (*sweep_config->mutable_data_moments())["DBZ"];
  dbz.set_type(kyt::pb::common::REFLECTIVITY_DBZ);
  if (in.ConsumeBool()) {
    dbz.mutable_scale()->set_type(DataDescriptor::DataScale::LINEAR);
    dbz.mutable_scale()->mutable_linear_scale()->set_not_scanned(in.ConsumeBool() ? 1 : 1000);
  }
  auto* ray_config = config.add_ray_config();
  ray_config->mutable_uuid()->set_least_significant_bits(7);
  (*ray_config->mutable_data_moments())["VRAD"].set_type(kyt::pb::common::VELOCITY_M_P_S);
  return config;
}

// The samples of one ParameterData, encoded as the input chooses.
void FillBuffer(FuzzedDataProvider& in, DataBuffer* buffer) {
  buffer->set_endian(static_cast<DataBuffer::Endianness>(in.ConsumeIntegralInRange(0, 2)));
  buffer->set_type(static_cast<DataBuffer::StorageType>(
      kStorage[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kStorage) - 1)]));
  const int width = std::max(1, common_dto::SampleWidth(buffer->type()));
  const std::size_t samples = in.ConsumeIntegralInRange<std::size_t>(0, 12);
  std::string raw = in.ConsumeBytesAsString(samples * static_cast<std::size_t>(width) +
                                            (in.ConsumeIntegralInRange(0, 7) == 0 ? 1 : 0));
  if (in.ConsumeBool()) raw.append(in.ConsumeIntegralInRange<std::size_t>(0, 600), 'x');
  std::string data;
  switch (in.ConsumeIntegralInRange(0, 6)) {
    case 0:
      buffer->set_compression(DataBuffer::NONE);
      data = raw;
      break;
    case 1:
      buffer->set_compression(DataBuffer::UNKNOWN_COMPRESSION);
      data = raw;
      break;
    case 2: {  // LZ4 frame, with or without content size and checksums.
      LZ4F_preferences_t prefs;
      std::memset(&prefs, 0, sizeof prefs);
      if (in.ConsumeBool()) prefs.frameInfo.contentSize = raw.size();
      if (in.ConsumeBool()) prefs.frameInfo.contentChecksumFlag = LZ4F_contentChecksumEnabled;
      if (in.ConsumeBool()) prefs.frameInfo.blockChecksumFlag = LZ4F_blockChecksumEnabled;
      data.resize(LZ4F_compressFrameBound(raw.size(), &prefs));
      const std::size_t n =
          LZ4F_compressFrame(&data[0], data.size(), raw.data(), raw.size(), &prefs);
      data.resize(LZ4F_isError(n) ? 0 : n);
      if (in.ConsumeBool()) data += data;  // Two frames in a row.
      buffer->set_compression(DataBuffer::LZ4);
      break;
    }
    case 3: {  // LZ4 block.
      data.resize(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(raw.size()))));
      const int n = LZ4_compress_default(raw.data(), &data[0], static_cast<int>(raw.size()),
                                         static_cast<int>(data.size()));
      data.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
      buffer->set_compression(DataBuffer::LZ4);
      break;
    }
    case 4:  // LZ4 by name only: whatever bytes came.
      buffer->set_compression(DataBuffer::LZ4);
      data = raw;
      break;
    case 5:  // A compression number the schema does not know.
      buffer->set_compression(static_cast<DataBuffer::CompressionType>(7));
      data = raw;
      break;
    default:  // LZ4 data with a damaged byte.
      buffer->set_compression(DataBuffer::LZ4);
      data.resize(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(raw.size()))));
      data.resize(static_cast<std::size_t>(
          std::max(0, LZ4_compress_default(raw.data(), &data[0], static_cast<int>(raw.size()),
                                           static_cast<int>(data.size())))));
      if (!data.empty()) {
        data[in.ConsumeIntegralInRange<std::size_t>(0, data.size() - 1)] ^=
            static_cast<char>(in.ConsumeIntegralInRange(1, 255));
      }
      break;
  }
  // uncompressed_size: right, absent, off by a little, or absurd.
  switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0:
    case 1:
      buffer->set_uncompressed_size(static_cast<std::int32_t>(raw.size()));
      break;
    case 2:
      break;
    case 3:
      buffer->set_uncompressed_size(static_cast<std::int32_t>(raw.size()) +
                                    in.ConsumeIntegralInRange(-3, 3));
      break;
    default:
      buffer->set_uncompressed_size(in.ConsumeBool() ? std::numeric_limits<std::int32_t>::max()
                                                     : -1);
      break;
  }
  buffer->set_data(std::move(data));
}

void CheckCanonical(const kyt::pb::common::Sweep& sweep) {
  for (const auto& entry : sweep.sweep_moments()) {
    const DataBuffer& buffer = entry.second;
    FUZZ_CHECK(buffer.compression() == DataBuffer::NONE || buffer.compression() == DataBuffer::LZ4,
               "moment '" + entry.first + "': compression not stated");
    std::string samples;
    const auto status =
        common_dto::AppendUncompressed(buffer, &samples, std::size_t{1} << 30);
    FUZZ_CHECK(status.ok(), "moment '" + entry.first + "' does not decode: " + status.message());
    FUZZ_CHECK(static_cast<std::int64_t>(samples.size()) == buffer.uncompressed_size(),
               "moment '" + entry.first + "': uncompressed_size is not the sample length");
    const auto rays = static_cast<std::size_t>(sweep.rays_size());
    FUZZ_CHECK(rays > 0, "moment '" + entry.first + "' in a sweep without rays");
    FUZZ_CHECK(samples.size() % rays == 0,
               "moment '" + entry.first + "': rays of different lengths");
    const int width = common_dto::SampleWidth(buffer.type());
    FUZZ_CHECK(width == 0 || (samples.size() / rays) % static_cast<std::size_t>(width) == 0,
               "moment '" + entry.first + "': rays are not whole samples");
  }
}

// A volume the assembler handed back splits into a stream that reassembles
// to the same bytes.
void CheckRoundTrip(const AssembledVolume& volume, const AssemblerOptions& options,
                    Compression ray_compression) {
  common_dto::stream::SplitOptions split;
  split.ray_compression = ray_compression;
  split.volume_start = volume.start;
  split.volume_end = volume.end;
  split.config_uri = volume.config_uri;
  common_dto::stream::SplitReport report;
  std::vector<RayStreamMessage> messages;
  const auto status = common_dto::stream::SplitVolume(volume.volume, split, &messages, &report);
  FUZZ_CHECK(status.ok(), "an assembled volume does not split: " + status.message());
  if (!report.not_carried.empty()) return;
  AssemblerOptions again;
  again.output_compression = options.output_compression;
  Assembler assembler(again);
  for (auto& message : messages) {
    const auto added = assembler.Add(std::move(message));
    FUZZ_CHECK(added.ok(), "the split stream does not reassemble: " + added.message());
  }
  auto volumes = assembler.TakeVolumes();
  FUZZ_CHECK(volumes.size() == 1 && volumes[0].complete, "reassembly gave no complete volume");
  const std::string before = common_dto_fuzz::Serialize(volume.volume);
  const std::string after = common_dto_fuzz::Serialize(volumes[0].volume);
  FUZZ_CHECK(before == after, "split and reassembly changed the volume:\n" +
                                  volume.volume.ShortDebugString() + "\n" +
                                  volumes[0].volume.ShortDebugString());
}

// Options: tight limits so that inputs of a few hundred bytes reach them.
// The clock, when the age limit is on, reads *now.
AssemblerOptions ConsumeOptions(FuzzedDataProvider& in, const std::int64_t* now) {
  AssemblerOptions options;
  options.delivery = in.ConsumeBool() ? DeliveryMode::kSweepBySweep : DeliveryMode::kWholeVolumes;
  options.output_compression = kCompressions[in.ConsumeIntegralInRange(0, 2)];
  if (in.ConsumeBool()) {
    common_dto::stream::FillValue fill;
    fill.value = kFills[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kFills) - 1)];
    fill.prefer_not_scanned = in.ConsumeBool();
    options.fill = fill;
  }
  options.max_open_volumes = in.ConsumeIntegralInRange<std::size_t>(1, 4);
  options.max_open_sweeps = in.ConsumeIntegralInRange<std::size_t>(1, 8);
  options.max_rays_per_sweep = in.ConsumeIntegralInRange<std::size_t>(1, 16);
  options.max_moments_per_sweep = in.ConsumeIntegralInRange<std::size_t>(1, 4);
  options.max_buffer_size = std::size_t{16} << (2 * in.ConsumeIntegralInRange(0, 4));
  // From below one volume's header and bookkeeping up to a few sweeps' worth.
  options.max_buffered_bytes = std::uint64_t{1} << in.ConsumeIntegralInRange(9, 20);
  options.max_rays_per_volume = in.ConsumeIntegralInRange<std::size_t>(0, 40);
  options.remembered_closed = in.ConsumeIntegralInRange<std::size_t>(0, 3);
  if (in.ConsumeBool()) {
    options.max_volume_age = std::chrono::seconds(in.ConsumeIntegralInRange(1, 5));
    options.clock = [now] {
      return std::chrono::steady_clock::time_point(std::chrono::seconds(*now));
    };
  }
  return options;
}

// Which volume (0 to 2), sweep (0 to 4) and ray a message is for.
struct Target {
  int volume;
  int sweep;
  std::int32_t ray;
};

void VolumeHeaderOf(FuzzedDataProvider& in, const Target& t, RayStreamMessage* m) {
  auto* header = m->mutable_volume_header();
  if (t.volume > 0 || in.ConsumeBool()) *header->mutable_volume_uuid() = VolumeUuid(t.volume);
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
      *header->mutable_volume_config() = MakeConfig(in);
      break;
    case 1:
      header->mutable_volume_config_uri()->set_endpoint("tcp://config");
      break;
    default:
      break;
  }
  if (in.ConsumeBool()) header->mutable_instrument()->set_name("radar");
  if (in.ConsumeBool()) SetTime(in, header->mutable_start());
}

void SweepHeaderOf(FuzzedDataProvider& in, const Target& t, RayStreamMessage* m) {
  auto* header = m->mutable_sweep_header();
  *header->mutable_sweep_uuid() = SweepUuid(t.sweep);
  *header->mutable_volume_uuid() = VolumeUuid(t.volume);
  auto* config = header->mutable_description()->mutable_config();
  switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0:
      config->set_sweep_config_index(0);
      break;
    case 1:
      config->set_sweep_config_index(in.ConsumeIntegralInRange(-1, 5));
      break;
    case 2:
      config->mutable_sweep_config_uuid()->set_least_significant_bits(42);
      break;
    case 3:
      (*config->mutable_sweep_config()->mutable_data_moments())["ZDR"].set_type(
          kyt::pb::common::ZDR_DB);
      break;
    default:
      header->clear_description();
      break;
  }
  header->set_index_in_task(in.ConsumeIntegralInRange(-1, 3));
  if (in.ConsumeBool()) SetTime(in, header->mutable_start());
}

void RayHeaderOf(FuzzedDataProvider& in, const Target& t, RayStreamMessage* m) {
  auto* header = m->mutable_ray_header();
  *header->mutable_sweep_uuid() = SweepUuid(t.sweep);
  header->set_ray_index(t.ray);
  auto* r = header->mutable_ray();
  r->set_index(in.ConsumeIntegralInRange(-1, 5));
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
      r->set_ray_config_index(in.ConsumeIntegralInRange(0, 2));
      break;
    case 1:
      r->mutable_ray_config_uuid()->set_least_significant_bits(7);
      break;
    default:
      break;
  }
  if (in.ConsumeBool()) SetTime(in, r->mutable_aq_end_time());
  if (in.ConsumeBool()) r->add_noise_dbm(-110.5);
}

void ParameterDataOf(FuzzedDataProvider& in, const Target& t, RayStreamMessage* m) {
  auto* p = m->mutable_parameter_data();
  *p->mutable_sweep_uuid() = SweepUuid(t.sweep);
  p->set_ray_index(t.ray);
  p->mutable_data_type()->set_short_name(
      kMoments[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kMoments) - 1)]);
  p->mutable_data_type()->set_type(
      static_cast<kyt::pb::common::DataType>(in.ConsumeIntegralInRange(0, 12)));
  FillBuffer(in, p->mutable_data());
}

void RayEndOf(FuzzedDataProvider& in, const Target& t, RayStreamMessage* m) {
  auto* end = m->mutable_ray_end();
  *end->mutable_sweep_uuid() = SweepUuid(t.sweep);
  end->set_ray_index(t.ray);
  if (in.ConsumeBool()) SetTime(in, end->mutable_end());
}

void SweepEndOf(FuzzedDataProvider& in, const Target& t, RayStreamMessage* m) {
  auto* end = m->mutable_sweep_end();
  *end->mutable_sweep_uuid() = SweepUuid(t.sweep);
  if (in.ConsumeBool()) SetTime(in, end->mutable_end());
}

void VolumeEndOf(FuzzedDataProvider& in, const Target& t, RayStreamMessage* m) {
  auto* end = m->mutable_volume_end();
  if (t.volume > 0 || in.ConsumeBool()) *end->mutable_volume_uuid() = VolumeUuid(t.volume);
  if (in.ConsumeBool()) SetTime(in, end->mutable_end());
}

// Builds message `kind` (0 to 6: VolumeHeader ... VolumeEnd) of a few
// volume and sweep UUIDs and ray indices, with choices taken from `in`.
using Builder = void (*)(FuzzedDataProvider&, const Target&, RayStreamMessage*);
constexpr Builder kBuilders[] = {VolumeHeaderOf, SweepHeaderOf, RayHeaderOf, ParameterDataOf,
                                 RayEndOf,       SweepEndOf,    VolumeEndOf};

// What is handed back is consistent and canonical, and whole volumes
// survive a split and reassembly.
void CheckDelivered(const std::vector<AssembledVolume>& volumes,
                    const std::vector<AssembledSweep>& sweeps, const AssemblerOptions& options,
                    Compression ray_compression) {
  for (const AssembledSweep& s : sweeps) {
    FUZZ_CHECK(s.complete == s.missing.empty(), "sweep: complete disagrees with missing");
    CheckCanonical(s.sweep);
  }
  for (const AssembledVolume& v : volumes) {
    FUZZ_CHECK(v.complete == v.missing.empty(), "volume: complete disagrees with missing");
    for (const auto& s : v.volume.sweep()) CheckCanonical(s);
    // Incomplete volumes too: what was assembled must survive the trip.
    if (options.delivery == DeliveryMode::kWholeVolumes)
      CheckRoundTrip(v, options, ray_compression);
  }
}

// What an assembler handed back, as bytes and texts.
std::string Describe(const std::vector<AssembledVolume>& volumes,
                     const std::vector<AssembledSweep>& sweeps) {
  std::string out;
  auto lists = [&out](const std::vector<std::string>& items) {
    for (const auto& item : items) out += item + "\n";
  };
  for (const auto& v : volumes) {
    out += common_dto_fuzz::Serialize(v.volume) + (v.complete ? "+" : "-");
    lists(v.missing);
    lists(v.warnings);
    lists(v.unknown_left_out);
  }
  for (const auto& s : sweeps) {
    out += common_dto_fuzz::Serialize(s.sweep) + (s.complete ? "+" : "-");
    lists(s.missing);
    lists(s.warnings);
  }
  return out;
}

void CheckTwin(const std::vector<AssembledVolume>& volumes,
               const std::vector<AssembledVolume>& twin_volumes,
               const std::vector<AssembledSweep>& sweeps,
               const std::vector<AssembledSweep>& twin_sweeps) {
  FUZZ_CHECK(Describe(volumes, sweeps) == Describe(twin_volumes, twin_sweeps),
             "the twin, fed serialized messages, handed back something else");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  common_dto_fuzz::QuietRuntime();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);

  std::int64_t now = 0;
  const AssemblerOptions options = ConsumeOptions(in, &now);
  const Compression ray_compression = kCompressions[in.ConsumeIntegralInRange(0, 2)];

  Assembler assembler(options);
  // The twin takes every message serialized (AddSerialized) and must say
  // and deliver exactly what the assembler does.
  Assembler twin(options);
  std::vector<AssembledVolume> volumes, twin_volumes;
  std::vector<AssembledSweep> sweeps, twin_sweeps;
  auto collect = [&] {
    for (auto& v : assembler.TakeVolumes()) volumes.push_back(std::move(v));
    for (auto& s : assembler.TakeSweeps()) sweeps.push_back(std::move(s));
    for (auto& v : twin.TakeVolumes()) twin_volumes.push_back(std::move(v));
    for (auto& s : twin.TakeSweeps()) twin_sweeps.push_back(std::move(s));
  };

  for (int step = 0; step < 160 && in.remaining_bytes() > 0; ++step) {
    RayStreamMessage message;
    Target target;
    target.volume = in.ConsumeIntegralInRange(0, 2);
    target.sweep = in.ConsumeIntegralInRange(0, 4);
    target.ray = kRayIndices[in.ConsumeIntegralInRange<std::size_t>(
        0, in.ConsumeIntegralInRange(0, 3) == 0 ? std::size(kRayIndices) - 1 : 3)];
    const int kind = in.ConsumeIntegralInRange(0, 10);
    std::string bytes;
    if (kind < 7) {
      kBuilders[kind](in, target, &message);
      bytes = message.SerializeAsString();
    } else if (kind == 7) {  // Whatever the next few bytes parse as, payload or not.
      bytes = in.ConsumeBytesAsString(in.ConsumeIntegralInRange(0, 24));
      // The twin reads the bytes themselves, in whatever encoding they are.
      if (!message.ParseFromString(bytes)) bytes = message.SerializeAsString();
    } else if (kind == 8) {
      now += in.ConsumeIntegralInRange(0, 3);
      const std::size_t closed = assembler.CloseExpired();
      FUZZ_CHECK(twin.CloseExpired() == closed, "the twin closed other volumes");
      continue;
    } else {
      collect();
      continue;
    }
    const auto status =
        in.ConsumeBool() ? assembler.Add(std::move(message)) : assembler.Add(message);
    const auto twin_status = twin.AddSerialized(bytes);
    FUZZ_CHECK(twin_status.code() == status.code() && twin_status.message() == status.message() &&
                   twin_status.location().sweep_uuid == status.location().sweep_uuid &&
                   twin_status.location().ray_index == status.location().ray_index &&
                   twin_status.location().moment == status.location().moment,
               "serialized, the message gave '" + twin_status.message() + "' instead of '" +
                   status.message() + "'");
    FUZZ_CHECK(twin.buffered_bytes() == assembler.buffered_bytes(), "the twin holds other bytes");
    FUZZ_CHECK(status.ok() || !status.message().empty(), "an error without text");
    FUZZ_CHECK(assembler.open_volumes() <= options.max_open_volumes, "too many open volumes");
    FUZZ_CHECK(assembler.open_sweeps() <= options.max_open_sweeps, "too many open sweeps");
    FUZZ_CHECK(
        assembler.buffered_bytes() <= options.max_buffered_bytes,
        "buffered_bytes() " + std::to_string(assembler.buffered_bytes()) + " above the limit");
  }

  assembler.Finish();
  twin.Finish();
  collect();
  CheckTwin(volumes, twin_volumes, sweeps, twin_sweeps);
  FUZZ_CHECK(assembler.open_volumes() == 0 && assembler.open_sweeps() == 0,
             "Finish() left something open");
  FUZZ_CHECK(assembler.buffered_bytes() == 0, "bytes still counted after Finish()");

  CheckDelivered(volumes, sweeps, options, ray_compression);
  return 0;
}
