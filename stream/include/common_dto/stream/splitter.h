// Splitting volumes into ray streams: the inverse of the Assembler.
//
// SplitVolume turns a kyt.pb.common.Volume into the message sequence of the
// ray stream protocol, each message a kyt.pb.stream.RayStreamMessage:
//
//   VolumeHeader   volume_uuid = Volume.uuid, instrument, the volume
//                  configuration inline (or SplitOptions::config_uri),
//                  start = SplitOptions::volume_start
//   for each sweep s, in Volume.sweep order:
//     SweepHeader  sweep_uuid = DeriveSweepUuid(Volume.uuid, s) (uuid.h),
//                  volume_uuid, description, index_in_task,
//                  start = input_timespan.start
//     for each ray r, in Sweep.rays order:
//       RayHeader      ray = Sweep.rays[r], sweep_uuid, ray_index = r
//       ParameterData  one per moment, in ascending order of the moment
//                      name: sweep_uuid, ray_index = r,
//                      data_type = {type from the moment's descriptor,
//                      short_name = moment name}, data = ray r's part of the
//                      sweep buffer
//       RayEnd         sweep_uuid, ray_index = r, end = Ray.aq_end_time
//     SweepEnd     sweep_uuid, end = input_timespan.end
//   VolumeEnd      volume_uuid, end = SplitOptions::volume_end
//
// The ray index is the ray's position in Sweep.rays (Ray.index travels
// unchanged inside the Ray), so reassembly restores the list order. Each
// moment buffer is decompressed if needed and cut into Sweep.rays_size()
// equal parts as buffers.h describes; a length that does not divide evenly
// (into whole samples, for types with a fixed width) is an error. The
// moment's DataType is looked up in the descriptor of the same name in the
// sweep's SweepConfig (by the description's reference: inline, by index
// into or UUID in the volume configuration), else in the first ray's
// RayConfig; CUSTOM_TYPE when there is none. A ray's buffers state
// `endian` and `type` as the sweep buffer does, compression as
// SplitOptions::ray_compression says, and `uncompressed_size`.
//
// Fields the stream cannot carry are reported in SplitReport::not_carried
// rather than dropped silently: per sweep task_name, task_start,
// first_azimuth_gate_index, rotation_direction, time_reference and
// ray_accumulation_time when set, an input_timespan present with neither end
// set, a moment of a sweep without rays, and a moment buffer that is not
// canonical (its declared compression or uncompressed_size will not come
// back as they were). A volume with none of these is reassembled by the
// Assembler byte for byte equal under deterministic serialization.
#pragma once

#include <google/protobuf/timestamp.pb.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common_dto/model/buffers.h"
#include "common_dto/model/uuid.h"
#include "common_dto/model/status.h"
#include "common_dto/stream/export.h"
#include "common_dto/stream/framing.h"
#include "ray_stream_message.pb.h"
#include "volume.pb.h"
#include "volume_config_uri.pb.h"

namespace common_dto {
namespace stream {

struct SplitOptions {
  // Compression of the per-ray buffers.
  Compression ray_compression = Compression::kNone;
  // Times the Volume has no field for (see AssembledVolume).
  std::optional<google::protobuf::Timestamp> volume_start;
  std::optional<google::protobuf::Timestamp> volume_end;
  // Send this reference instead of the inline volume configuration.
  std::optional<kyt::pb::stream::VolumeConfigUri> config_uri;
  // Largest decoded sweep buffer accepted.
  std::size_t max_buffer_size = std::size_t{2} << 30;
};

// A part of a volume produced a sweep (or a few) at a time, for
// SplitVolumePart(): each part is a Volume holding the whole volume's uuid,
// instrument and configuration and its next sweeps, and the parts make one
// stream.
struct VolumePart {
  // Position of the part's first sweep in the whole volume (sweep UUIDs are
  // derived from positions).
  int first_sweep = 0;
  // The volume's first part, which sends the VolumeHeader, and its last,
  // which sends the VolumeEnd.
  bool first = true;
  bool last = true;
};

struct SplitReport {
  // One entry per field that the stream cannot carry, e.g.
  // "sweep 0: task_name".
  std::vector<std::string> not_carried;
};

// Receives each message in stream order; a returned error stops the split
// and is returned by SplitVolume.
using MessageSink = std::function<Status(kyt::pb::stream::RayStreamMessage&&)>;

// Emits the stream of `volume` to `sink`. Buffer lengths are checked before
// the first message is emitted (LZ4 buffers by their declared
// uncompressed_size), so an indivisible buffer emits nothing; an LZ4 buffer
// that fails to decode, or an error returned by the sink, stops the split
// where it happens. `report` may be null.
COMMON_DTO_STREAM_EXPORT Status SplitVolume(const kyt::pb::common::Volume& volume, const SplitOptions& options,
                   const MessageSink& sink, SplitReport* report = nullptr);

// The same stream written as frames to `writer`: the bytes are those of
// writing each message SplitVolume() hands a sink. RayHeader,
// ParameterData and RayEnd are encoded straight from the volume, without a
// message being built, so each sample is copied once, from the sweep buffer
// into the writer's buffer, and a steady stream allocates nothing per ray.
// `on_boundary`, when given, is called after each message other than
// RayHeader and ParameterData (after every RayEnd, header and end marker):
// where a live sender flushes, for instance. An error it returns stops the
// split.
COMMON_DTO_STREAM_EXPORT Status SplitVolume(const kyt::pb::common::Volume& volume,
                                            const SplitOptions& options, DelimitedWriter* writer,
                                            SplitReport* report = nullptr,
                                            const std::function<Status()>& on_boundary = {});

// The stream of one part of a volume (see VolumePart): its VolumeHeader if
// it is the first part, its sweeps at their positions in the whole volume,
// its VolumeEnd if it is the last. SplitVolume() splits a volume as one
// part.
COMMON_DTO_STREAM_EXPORT Status SplitVolumePart(const kyt::pb::common::Volume& volume,
                                                const VolumePart& part, const SplitOptions& options,
                                                const MessageSink& sink,
                                                SplitReport* report = nullptr);
COMMON_DTO_STREAM_EXPORT Status SplitVolumePart(const kyt::pb::common::Volume& volume,
                                                const VolumePart& part, const SplitOptions& options,
                                                DelimitedWriter* writer,
                                                SplitReport* report = nullptr,
                                                const std::function<Status()>& on_boundary = {});

// The same, appending the messages to *out; on error *out is unchanged.
COMMON_DTO_STREAM_EXPORT Status SplitVolume(const kyt::pb::common::Volume& volume, const SplitOptions& options,
                   std::vector<kyt::pb::stream::RayStreamMessage>* out,
                   SplitReport* report = nullptr);

}  // namespace stream
}  // namespace common_dto
