// Splitting a Volume into the messages of a ray stream.
#include "common_dto/stream/splitter.h"

#include <lz4frame.h>

#include <algorithm>
#include <limits>
#include <map>
#include <type_traits>
#include <utility>

#include "common_dto/model/references.h"
#include "common_dto/model/utf8.h"
#include "prefetch.h"
#include "ray_parts.h"

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

bool HasUnknownFields(const google::protobuf::Message& message) {
  return !message.GetReflection()->GetUnknownFields(message).empty();
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

// Where the splitter's messages go. Headers and end markers come as
// messages; the ray-level RayHeader and ParameterData by their parts, which
// point into the volume.
class Emitter {
 public:
  virtual ~Emitter() = default;
  virtual Status Message(RayStreamMessage&& message) = 0;
  // True when Message() only reads the message it is given (it may then
  // hold parts of the volume, lent).
  virtual bool OnlyReads() const { return false; }
  virtual Status RayHeader(const internal::RayHeaderParts& parts) = 0;
  virtual Status ParameterData(const internal::ParameterDataParts& parts) = 0;
  virtual Status RayEnd(const internal::RayEndParts& parts) = 0;
};

// Builds each message for a MessageSink. The ray-level envelopes, one per
// payload kind, are refilled for every ray rather than built anew, which
// saves their allocations. Each refill sets every field of the payload, so
// nothing of one message stays in the next. The sink may move an envelope
// away or change it: mutable_*() then re-creates what is gone.
class MessageEmitter : public Emitter {
 public:
  explicit MessageEmitter(const MessageSink& sink) : sink_(sink) {}

  Status Message(RayStreamMessage&& message) override { return sink_(std::move(message)); }

  Status RayHeader(const internal::RayHeaderParts& parts) override {
    DropUnknownFields(&header_message_);
    auto* header = header_message_.mutable_ray_header();
    DropUnknownFields(header);
    *header->mutable_ray() = *parts.ray;
    SetUuid(parts.sweep_uuid, header->mutable_sweep_uuid());
    header->set_ray_index(parts.ray_index);
    return sink_(std::move(header_message_));
  }

  Status ParameterData(const internal::ParameterDataParts& parts) override {
    BuildParameterData(parts, &data_message_);
    return sink_(std::move(data_message_));
  }

  Status RayEnd(const internal::RayEndParts& parts) override {
    DropUnknownFields(&end_message_);
    auto* end = end_message_.mutable_ray_end();
    DropUnknownFields(end);
    SetUuid(parts.sweep_uuid, end->mutable_sweep_uuid());
    end->set_ray_index(parts.ray_index);
    if (parts.has_end) {
      end->mutable_end()->set_seconds(parts.end_seconds);
      end->mutable_end()->set_nanos(parts.end_nanos);
    } else {
      end->clear_end();
    }
    return sink_(std::move(end_message_));
  }

  // Fills *message with the ParameterData of `parts` (from the splitter,
  // which sets every part).
  static void BuildParameterData(const internal::ParameterDataParts& parts,
                                 RayStreamMessage* message) {
    DropUnknownFields(message);
    auto* data = message->mutable_parameter_data();
    DropUnknownFields(data);
    SetUuid(parts.sweep_uuid, data->mutable_sweep_uuid());
    data->set_ray_index(parts.ray_index);
    auto* data_type = data->mutable_data_type();
    data_type->Clear();
    data_type->set_type(static_cast<kyt::pb::common::DataType>(parts.data_type));
    data_type->set_short_name(std::string(parts.short_name));
    auto* buffer = data->mutable_data();
    // Keeps the string holding the previous ray's samples, whose capacity
    // fits if the sink left it.
    std::string bytes = std::move(*buffer->mutable_data());
    buffer->Clear();
    buffer->set_endian(static_cast<DataBuffer::Endianness>(parts.endian));
    buffer->set_type(static_cast<DataBuffer::StorageType>(parts.storage));
    buffer->set_compression(static_cast<DataBuffer::CompressionType>(parts.compression));
    buffer->set_uncompressed_size(parts.uncompressed_size);
    bytes.assign(parts.samples.data(), parts.samples.size());
    buffer->set_data(std::move(bytes));
  }

 private:
  static void SetUuid(const internal::UuidParts& parts, kyt::pb::common::UUID* uuid) {
    uuid->set_least_significant_bits(parts.lsb);
    uuid->set_most_significant_bits(parts.msb);
  }

  const MessageSink& sink_;
  RayStreamMessage header_message_;
  RayStreamMessage data_message_;
  RayStreamMessage end_message_;
};

// Writes each message as a frame; the ray-level ones are encoded straight
// from their parts, so a sample is copied once, from the sweep buffer into
// the writer's buffer.
class FrameEmitter : public Emitter {
 public:
  FrameEmitter(DelimitedWriter* writer, const std::function<Status()>& on_boundary)
      : writer_(writer), on_boundary_(on_boundary) {}

  bool OnlyReads() const override { return true; }

  Status Message(RayStreamMessage&& message) override {
    Status status = writer_->Write(message);
    if (status.ok() && on_boundary_) status = on_boundary_();
    return status;
  }

  Status RayHeader(const internal::RayHeaderParts& parts) override {
    internal::Encode(parts, &uuid_, &scratch_);
    return writer_->WriteSerialized(scratch_);
  }

  Status ParameterData(const internal::ParameterDataParts& parts) override {
    if (!IsValidUtf8(parts.short_name)) {
      // Built as a message, so that the writer refuses it (or, without its
      // UTF-8 check, writes it) as it would any other.
      MessageEmitter::BuildParameterData(parts, &refused_);
      return writer_->Write(refused_);
    }
    const std::string_view samples = internal::EncodeHead(parts, &uuid_, &scratch_);
    return writer_->WriteSerialized(scratch_, samples);
  }

  Status RayEnd(const internal::RayEndParts& parts) override {
    internal::Encode(parts, &uuid_, &scratch_);
    Status status = writer_->WriteSerialized(scratch_);
    if (status.ok() && on_boundary_) status = on_boundary_();
    return status;
  }

 private:
  DelimitedWriter* writer_;
  const std::function<Status()>& on_boundary_;
  std::string scratch_;  // The message, or its part before the samples.
  internal::UuidMemo uuid_;
  RayStreamMessage refused_;
};

// Emits one volume's messages in stream order (see splitter.h).
class VolumeSplitter {
 public:
  VolumeSplitter(const Volume& volume, const VolumePart& part, const SplitOptions& options,
                 Emitter* emitter)
      : volume_(volume),
        part_(part),
        options_(options),
        emit_(emitter),
        config_(volume.has_volume_config() ? &volume.volume_config() : nullptr) {}

  Status Run() {
    Status status = part_.first ? EmitVolumeHeader() : Status::Ok();
    for (int s = 0; status.ok() && s < volume_.sweep_size(); ++s) status = EmitSweep(s);
    if (!status.ok() || !part_.last) return status;
    RayStreamMessage message;
    auto* end = message.mutable_volume_end();
    if (volume_.has_uuid()) *end->mutable_volume_uuid() = volume_.uuid();
    if (options_.volume_end.has_value()) *end->mutable_end() = *options_.volume_end;
    return emit_->Message(std::move(message));
  }

 private:
  Status EmitVolumeHeader() {
    RayStreamMessage message;
    auto* header = message.mutable_volume_header();
    if (volume_.has_uuid()) *header->mutable_volume_uuid() = volume_.uuid();
    if (options_.config_uri.has_value()) {
      *header->mutable_volume_config_uri() = *options_.config_uri;
    }
    if (options_.volume_start.has_value()) *header->mutable_start() = *options_.volume_start;
    const kyt::pb::common::Instrument* instrument =
        volume_.has_instrument() ? &volume_.instrument() : nullptr;
    const kyt::pb::common::VolumeConfig* config =
        options_.config_uri.has_value() ? nullptr : config_;
    if (!emit_->OnlyReads()) {
      if (instrument != nullptr) *header->mutable_instrument() = *instrument;
      if (config != nullptr) *header->mutable_volume_config() = *config;
      return emit_->Message(std::move(message));
    }
    // The instrument and configuration (often the largest part) are lent to
    // the message rather than copied, and taken back before it goes.
    using Lent = std::remove_const_t<std::remove_pointer_t<decltype(instrument)>>;
    using LentConfig = std::remove_const_t<std::remove_pointer_t<decltype(config)>>;
    if (instrument != nullptr) {
      header->unsafe_arena_set_allocated_instrument(const_cast<Lent*>(instrument));
    }
    if (config != nullptr) {
      header->unsafe_arena_set_allocated_volume_config(const_cast<LentConfig*>(config));
    }
    Status status = emit_->Message(std::move(message));
    if (instrument != nullptr) header->unsafe_arena_release_instrument();
    if (config != nullptr) header->unsafe_arena_release_volume_config();
    return status;
  }

  Status EmitSweep(int s) {
    const Sweep& sweep = volume_.sweep(s);
    const kyt::pb::common::UUID sweep_uuid =
        DeriveSweepUuid(volume_.uuid(), part_.first_sweep + s);
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
    return emit_->Message(std::move(message));
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
      if (m.per_ray > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return Status(ErrorCode::kTooLarge, MomentName(index, m.name) + ": " +
                                                std::to_string(m.per_ray) +
                                                " bytes per ray exceed the 2 GiB a buffer can declare");
      }
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
    header->set_index_in_task(sweep.index_in_task());
    if (sweep.input_timespan().has_start()) {
      *header->mutable_start() = sweep.input_timespan().start();
    }
    if (!sweep.has_description()) return emit_->Message(std::move(message));
    if (!emit_->OnlyReads()) {
      *header->mutable_description() = sweep.description();
      return emit_->Message(std::move(message));
    }
    // Lent, as the volume header's parts are (it may hold a configuration).
    header->unsafe_arena_set_allocated_description(
        const_cast<kyt::pb::common::SweepDescription*>(&sweep.description()));
    Status status = emit_->Message(std::move(message));
    header->unsafe_arena_release_description();
    return status;
  }

  Status EmitRay(const Sweep& sweep, const kyt::pb::common::UUID& sweep_uuid,
                 const std::vector<RayMoment>& moments, int r) {
    const internal::UuidParts uuid{sweep_uuid.least_significant_bits(),
                                   sweep_uuid.most_significant_bits()};
    internal::RayHeaderParts header;
    header.ray = &sweep.rays(r);
    header.has_sweep_uuid = true;
    header.sweep_uuid = uuid;
    header.ray_index = r;
    Status status = emit_->RayHeader(header);
    for (auto m = moments.begin(); status.ok() && m != moments.end(); ++m) {
      status = EmitParameterData(uuid, *m, r);
    }
    if (!status.ok()) return status;
    const kyt::pb::common::Ray& ray = sweep.rays(r);
    if (ray.has_aq_end_time() && HasUnknownFields(ray.aq_end_time())) {
      // A time of a newer schema: sent as a message, so it goes whole.
      RayStreamMessage message;
      auto* end = message.mutable_ray_end();
      *end->mutable_sweep_uuid() = sweep_uuid;
      end->set_ray_index(r);
      *end->mutable_end() = ray.aq_end_time();
      return emit_->Message(std::move(message));
    }
    internal::RayEndParts end;
    end.has_sweep_uuid = true;
    end.sweep_uuid = uuid;
    end.ray_index = r;
    if (ray.has_aq_end_time()) {
      end.has_end = true;
      end.end_seconds = ray.aq_end_time().seconds();
      end.end_nanos = ray.aq_end_time().nanos();
    }
    return emit_->RayEnd(end);
  }

  Status EmitParameterData(const internal::UuidParts& sweep_uuid, const RayMoment& m, int r) {
    internal::ParameterDataParts parts;
    parts.has_sweep_uuid = true;
    parts.sweep_uuid = sweep_uuid;
    parts.ray_index = r;
    parts.has_data_type = true;
    parts.data_type = m.type;
    parts.short_name = m.name;
    parts.has_data = true;
    parts.endian = m.buffer->endian();
    parts.storage = m.buffer->type();
    const std::string_view samples =
        m.samples.substr(static_cast<std::size_t>(r) * m.per_ray, m.per_ray);
    // The next ray's slice, while this one is copied (see prefetch.h).
    const std::size_t next = static_cast<std::size_t>(r + 1) * m.per_ray;
    if (next + m.per_ray <= m.samples.size()) {
      internal::Prefetch(m.samples.data() + next, m.per_ray, /*for_write=*/false);
    }
    if (options_.ray_compression == Compression::kNone) {
      parts.compression = DataBuffer::NONE;
      parts.uncompressed_size = static_cast<std::int32_t>(samples.size());
      parts.samples = samples;
    } else {
      Status status = SetSamples(samples, options_.ray_compression, &compressed_);
      if (!status.ok()) return status;
      parts.compression = compressed_.compression();
      parts.uncompressed_size = compressed_.uncompressed_size();
      parts.samples = compressed_.data();
    }
    return emit_->ParameterData(parts);
  }

  const Volume& volume_;
  const VolumePart& part_;
  const SplitOptions& options_;
  Emitter* emit_;
  const kyt::pb::common::VolumeConfig* config_;
  DataBuffer compressed_;  // A ray's samples when ray_compression asks.
};

}  // namespace

Status SplitVolumePart(const Volume& volume, const VolumePart& part, const SplitOptions& options,
                       const MessageSink& sink, SplitReport* report) {
  if (report != nullptr) report->not_carried.clear();
  Status status = Precheck(volume, report);
  if (!status.ok()) return status;
  MessageEmitter emitter(sink);
  return VolumeSplitter(volume, part, options, &emitter).Run();
}

Status SplitVolumePart(const Volume& volume, const VolumePart& part, const SplitOptions& options,
                       DelimitedWriter* writer, SplitReport* report,
                       const std::function<Status()>& on_boundary) {
  if (writer == nullptr) return Status(ErrorCode::kInvalidArgument, "no writer to split into");
  if (report != nullptr) report->not_carried.clear();
  Status status = Precheck(volume, report);
  if (!status.ok()) return status;
  FrameEmitter emitter(writer, on_boundary);
  return VolumeSplitter(volume, part, options, &emitter).Run();
}

Status SplitVolume(const Volume& volume, const SplitOptions& options, const MessageSink& sink,
                   SplitReport* report) {
  return SplitVolumePart(volume, VolumePart(), options, sink, report);
}

Status SplitVolume(const Volume& volume, const SplitOptions& options, DelimitedWriter* writer,
                   SplitReport* report, const std::function<Status()>& on_boundary) {
  return SplitVolumePart(volume, VolumePart(), options, writer, report, on_boundary);
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
