// Splitting a Volume into the messages of a ray stream.
#include "common_dto/stream/splitter.h"

#include <lz4frame.h>

#include <algorithm>
#include <map>
#include <utility>

#include "common_dto/model/references.h"

namespace common_dto {
namespace stream {
namespace {

using kyt::pb::common::DataBuffer;
using kyt::pb::common::Sweep;
using kyt::pb::common::Volume;
using kyt::pb::stream::RayStreamMessage;

// Drops unknown fields that a sink may have added to a reused message.
template <typename T>
void DropUnknownFields(T* message) {
  static const google::protobuf::Reflection* const reflection = T::GetReflection();
  if (!reflection->GetUnknownFields(*message).empty()) {
    reflection->MutableUnknownFields(message)->Clear();
  }
}

std::string MomentName(std::size_t sweep, const std::string& name) {
  return "sweep " + std::to_string(sweep) + " moment '" + name + "'";
}

// The decoded size a buffer declares, or -1 when only decoding tells.
std::int64_t DeclaredSize(const DataBuffer& buffer) {
  switch (buffer.compression()) {
    case DataBuffer::NONE:
    case DataBuffer::UNKNOWN_COMPRESSION:
      return static_cast<std::int64_t>(buffer.data().size());
    case DataBuffer::LZ4:
      if (IsLz4Frame(buffer.data())) {
        if (buffer.uncompressed_size() > 0) return buffer.uncompressed_size();
        return -1;
      }
      return buffer.uncompressed_size();
    default:
      return -1;
  }
}

Status CheckDivisible(std::size_t sweep, const std::string& name, const DataBuffer& buffer,
                      std::uint64_t size, int rays) {
  if (rays == 0) {
    return Status(ErrorCode::kInvalidArgument, MomentName(sweep, name) + ": " + std::to_string(size) +
                         " bytes of samples but the sweep has no rays to carry them");
  }
  const auto n = static_cast<std::uint64_t>(rays);
  if (size % n != 0) {
    return Status(ErrorCode::kInvalidArgument, MomentName(sweep, name) + ": " + std::to_string(size) +
                         " bytes do not divide evenly into " + std::to_string(rays) + " rays");
  }
  const int width = SampleWidth(buffer.type());
  if (width > 0 && (size / n) % static_cast<std::uint64_t>(width) != 0) {
    return Status(ErrorCode::kInvalidArgument, MomentName(sweep, name) + ": " + std::to_string(size / n) +
                         " bytes per ray are not a whole number of " +
                         DataBuffer::StorageType_Name(buffer.type()) + " samples");
  }
  return Status::Ok();
}

// The checks that need no decoding, and the report of what is not carried.
Status Precheck(const Volume& volume, SplitReport* report) {
  for (int s = 0; s < volume.sweep_size(); ++s) {
    const Sweep& sweep = volume.sweep(s);
    const auto index = static_cast<std::size_t>(s);
    const std::string where = "sweep " + std::to_string(s) + ": ";
    auto note = [&](const std::string& what) {
      if (report != nullptr) report->not_carried.push_back(where + what);
    };
    if (!sweep.task_name().empty()) note("task_name");
    if (sweep.has_task_start()) note("task_start");
    if (sweep.first_azimuth_gate_index() != 0) note("first_azimuth_gate_index");
    if (!sweep.rotation_direction().empty()) note("rotation_direction");
    if (!sweep.time_reference().empty()) note("time_reference");
    if (sweep.ray_accumulation_time() != 0) note("ray_accumulation_time");
    if (sweep.has_input_timespan() && !sweep.input_timespan().has_start() &&
        !sweep.input_timespan().has_end()) {
      note("input_timespan (present, but with neither start nor end)");
    }
    for (const auto& entry : sweep.sweep_moments()) {
      const DataBuffer& buffer = entry.second;
      const int compression = buffer.compression();
      if (compression != DataBuffer::NONE && compression != DataBuffer::LZ4 &&
          compression != DataBuffer::UNKNOWN_COMPRESSION) {
        return Status(ErrorCode::kUnsupported, MomentName(index, entry.first) + ": unknown compression " +
                             std::to_string(compression));
      }
      const std::int64_t size = DeclaredSize(buffer);
      if (size < 0 && !IsLz4Frame(buffer.data())) {
        return Status(ErrorCode::kInvalidArgument, MomentName(index, entry.first) +
                             ": LZ4 block with negative uncompressed_size");
      }
      if (sweep.rays_size() == 0) {
        if (buffer.data().empty()) {
          note("sweep_moments '" + entry.first + "' (no rays to carry it)");
          continue;
        }
        return CheckDivisible(index, entry.first, buffer,
                              size >= 0 ? static_cast<std::uint64_t>(size) : buffer.data().size(),
                              0);
      }
      if (size >= 0) {
        Status st = CheckDivisible(index, entry.first, buffer, static_cast<std::uint64_t>(size),
                                   sweep.rays_size());
        if (!st.ok()) return st;
      }
      const bool canonical =
          (compression == DataBuffer::NONE &&
           buffer.uncompressed_size() == static_cast<std::int64_t>(buffer.data().size())) ||
          (compression == DataBuffer::LZ4 && buffer.uncompressed_size() > 0) ||
          (compression == DataBuffer::LZ4 && buffer.data().empty());
      if (!canonical) {
        note("sweep_moments '" + entry.first + "': compression " +
             DataBuffer::CompressionType_Name(buffer.compression()) + ", uncompressed_size " +
             std::to_string(buffer.uncompressed_size()) +
             " (reassembly declares NONE or LZ4 and the true size)");
      }
    }
  }
  return Status::Ok();
}

// A sweep's moment buffer, decoded if need be, ready to be cut into rays.
struct RayMoment {
  std::string name;
  const DataBuffer* buffer = nullptr;
  std::string decoded;  // Empty when the data is used as it is.
  std::string_view samples;
  std::size_t per_ray = 0;
  kyt::pb::common::DataType type = kyt::pb::common::CUSTOM_TYPE;
};

// Emits one volume's messages in stream order (see splitter.h).
//
// The ray-level envelopes, one per payload kind, are refilled for every ray
// rather than built anew, which saves their allocations. Each refill sets
// every field of the payload (clearing the optional ones), so nothing of
// one message stays in the next. The sink may move an envelope away or
// change it: mutable_*() then re-creates what is gone.
class VolumeSplitter {
 public:
  VolumeSplitter(const Volume& volume, const SplitOptions& options, const MessageSink& sink)
      : volume_(volume),
        options_(options),
        sink_(sink),
        config_(volume.has_volume_config() ? &volume.volume_config() : nullptr) {}

  Status Run() {
    Status status = EmitVolumeHeader();
    for (int s = 0; status.ok() && s < volume_.sweep_size(); ++s) status = EmitSweep(s);
    if (!status.ok()) return status;
    RayStreamMessage message;
    auto* end = message.mutable_volume_end();
    if (volume_.has_uuid()) *end->mutable_volume_uuid() = volume_.uuid();
    if (options_.volume_end.has_value()) *end->mutable_end() = *options_.volume_end;
    return sink_(std::move(message));
  }

 private:
  Status EmitVolumeHeader() {
    RayStreamMessage message;
    auto* header = message.mutable_volume_header();
    if (volume_.has_uuid()) *header->mutable_volume_uuid() = volume_.uuid();
    if (volume_.has_instrument()) *header->mutable_instrument() = volume_.instrument();
    if (options_.config_uri.has_value()) {
      *header->mutable_volume_config_uri() = *options_.config_uri;
    } else if (config_ != nullptr) {
      *header->mutable_volume_config() = *config_;
    }
    if (options_.volume_start.has_value()) *header->mutable_start() = *options_.volume_start;
    return sink_(std::move(message));
  }

  Status EmitSweep(int s) {
    const Sweep& sweep = volume_.sweep(s);
    const kyt::pb::common::UUID sweep_uuid = DeriveSweepUuid(volume_.uuid(), s);
    std::vector<RayMoment> moments;
    Status status = DecodeMoments(static_cast<std::size_t>(s), sweep, &moments);
    if (status.ok()) status = EmitSweepHeader(sweep, sweep_uuid);
    for (int r = 0; status.ok() && r < sweep.rays_size(); ++r) {
      status = EmitRay(sweep, sweep_uuid, moments, r);
    }
    if (!status.ok()) return status;
    RayStreamMessage message;
    auto* end = message.mutable_sweep_end();
    *end->mutable_sweep_uuid() = sweep_uuid;
    if (sweep.input_timespan().has_end()) *end->mutable_end() = sweep.input_timespan().end();
    return sink_(std::move(message));
  }

  // The sweep's moments in ascending order of name, LZ4 buffers decoded.
  Status DecodeMoments(std::size_t index, const Sweep& sweep, std::vector<RayMoment>* moments) {
    const int rays = sweep.rays_size();
    if (rays == 0) return Status::Ok();
    std::map<std::string, const DataBuffer*> sorted;
    for (const auto& entry : sweep.sweep_moments()) sorted.emplace(entry.first, &entry.second);
    moments->reserve(sorted.size());
    for (const auto& entry : sorted) {
      RayMoment& m = moments->emplace_back();
      m.name = entry.first;
      m.buffer = entry.second;
      if (m.buffer->compression() == DataBuffer::LZ4) {
        Status status = AppendUncompressed(*m.buffer, &m.decoded, options_.max_buffer_size);
        if (!status.ok()) return status.Wrap(MomentName(index, m.name) + ": ");
        status = CheckDivisible(index, m.name, *m.buffer, m.decoded.size(), rays);
        if (!status.ok()) return status;
        m.samples = m.decoded;
      } else {
        m.samples = m.buffer->data();
      }
      m.per_ray = m.samples.size() / static_cast<std::size_t>(rays);
      const auto* descriptor =
          FindMomentDescriptor(config_, sweep.description(), &sweep.rays(0), m.name);
      if (descriptor != nullptr) m.type = descriptor->type();
    }
    return Status::Ok();
  }

  Status EmitSweepHeader(const Sweep& sweep, const kyt::pb::common::UUID& sweep_uuid) {
    RayStreamMessage message;
    auto* header = message.mutable_sweep_header();
    *header->mutable_sweep_uuid() = sweep_uuid;
    *header->mutable_volume_uuid() = volume_.uuid();
    if (sweep.has_description()) *header->mutable_description() = sweep.description();
    header->set_index_in_task(sweep.index_in_task());
    if (sweep.input_timespan().has_start()) {
      *header->mutable_start() = sweep.input_timespan().start();
    }
    return sink_(std::move(message));
  }

  Status EmitRay(const Sweep& sweep, const kyt::pb::common::UUID& sweep_uuid,
                 const std::vector<RayMoment>& moments, int r) {
    DropUnknownFields(&header_message_);
    auto* header = header_message_.mutable_ray_header();
    DropUnknownFields(header);
    *header->mutable_ray() = sweep.rays(r);
    *header->mutable_sweep_uuid() = sweep_uuid;
    header->set_ray_index(r);
    Status status = sink_(std::move(header_message_));
    for (auto m = moments.begin(); status.ok() && m != moments.end(); ++m) {
      status = EmitParameterData(sweep_uuid, *m, r);
    }
    if (!status.ok()) return status;
    DropUnknownFields(&end_message_);
    auto* end = end_message_.mutable_ray_end();
    DropUnknownFields(end);
    *end->mutable_sweep_uuid() = sweep_uuid;
    end->set_ray_index(r);
    if (sweep.rays(r).has_aq_end_time()) {
      *end->mutable_end() = sweep.rays(r).aq_end_time();
    } else {
      end->clear_end();
    }
    return sink_(std::move(end_message_));
  }

  Status EmitParameterData(const kyt::pb::common::UUID& sweep_uuid, const RayMoment& m, int r) {
    DropUnknownFields(&data_message_);
    auto* data = data_message_.mutable_parameter_data();
    DropUnknownFields(data);
    *data->mutable_sweep_uuid() = sweep_uuid;
    data->set_ray_index(r);
    auto* data_type = data->mutable_data_type();
    data_type->Clear();
    data_type->set_type(m.type);
    data_type->set_short_name(m.name);
    auto* buffer = data->mutable_data();
    buffer->Clear();  // Keeps the string holding the previous ray's samples.
    buffer->set_endian(m.buffer->endian());
    buffer->set_type(m.buffer->type());
    const std::string_view samples =
        m.samples.substr(static_cast<std::size_t>(r) * m.per_ray, m.per_ray);
    Status status;
    if (options_.ray_compression == Compression::kNone) {
      // Copied into that string, whose capacity fits if the sink left it.
      std::string bytes = std::move(*buffer->mutable_data());
      bytes.assign(samples.data(), samples.size());
      status = SetSamples(std::move(bytes), Compression::kNone, buffer);
    } else {
      status = SetSamples(samples, options_.ray_compression, buffer);
    }
    return status.ok() ? sink_(std::move(data_message_)) : status;
  }

  const Volume& volume_;
  const SplitOptions& options_;
  const MessageSink& sink_;
  const kyt::pb::common::VolumeConfig* config_;
  RayStreamMessage header_message_;
  RayStreamMessage data_message_;
  RayStreamMessage end_message_;
};

}  // namespace

Status SplitVolume(const Volume& volume, const SplitOptions& options, const MessageSink& sink,
                   SplitReport* report) {
  if (report != nullptr) report->not_carried.clear();
  Status status = Precheck(volume, report);
  if (!status.ok()) return status;
  return VolumeSplitter(volume, options, sink).Run();
}

Status SplitVolume(const Volume& volume, const SplitOptions& options,
                   std::vector<RayStreamMessage>* out, SplitReport* report) {
  std::vector<RayStreamMessage> messages;
  Status status = SplitVolume(
      volume, options,
      [&messages](RayStreamMessage&& message) {
        messages.push_back(std::move(message));
        return Status::Ok();
      },
      report);
  if (!status.ok()) return status;
  out->reserve(out->size() + messages.size());
  for (auto& message : messages) out->push_back(std::move(message));
  return Status::Ok();
}

}  // namespace stream
}  // namespace common_dto
