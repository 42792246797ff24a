// Reassembly of ray streams into volumes.
//
// An Assembler takes kyt.pb.stream.RayStreamMessages one at a time, in any
// order that keeps each piece after the header of its container (a sweep
// after its VolumeHeader, ray-level messages after their SweepHeader), and
// hands back each completed volume as a kyt.pb.common.Volume, or each
// completed sweep as a kyt.pb.common.Sweep, together with what those
// messages have no field for.
//
// Matching
// --------
// Messages are matched to their volume, sweep and ray by identifiers, never
// by arrival order: a SweepHeader names its volume by `volume_uuid`;
// RayHeader, ParameterData and RayEnd name their sweep by `sweep_uuid` and
// their ray by `ray_index` (an absent UUID reads as the all-zero UUID, an
// absent index as 0). Rays and sweeps may interleave, a ray's ParameterData
// may arrive before its RayHeader, and a RayEnd may arrive before the ray's
// data.
//
// Mapping
// -------
//   VolumeHeader.volume_uuid      -> Volume.uuid
//   VolumeHeader.instrument       -> Volume.instrument
//   VolumeHeader.volume_config    -> Volume.volume_config
//   VolumeHeader.volume_config_uri-> AssembledVolume::config_uri (Volume has
//                                    no field for it; volume_config stays unset)
//   VolumeHeader.start            -> AssembledVolume::start
//   VolumeEnd.end                 -> AssembledVolume::end
//   one Sweep per SweepHeader, in Volume.sweep in the order the SweepHeaders
//   arrived:
//   SweepHeader.description       -> Sweep.description
//   SweepHeader.index_in_task     -> Sweep.index_in_task
//   SweepHeader.start, SweepEnd.end -> Sweep.input_timespan.start / .end
//                                    (input_timespan is set when either is)
//   RayHeader.ray                 -> one element of Sweep.rays; the list is in
//                                    ascending ray_index (the ray's own
//                                    Ray.index is kept as it came)
//   RayEnd.end                    -> Ray.aq_end_time where the ray has none;
//                                    a different aq_end_time is kept and a
//                                    warning records the conflict
//   ParameterData.data            -> the ray's part of
//                                    Sweep.sweep_moments[data_type.short_name],
//                                    laid out as buffers.h describes: the rays'
//                                    samples concatenated in ray-index order
//   ParameterData.data_type.type  -> not stored; the Volume records a moment's
//                                    type in the DataDescriptor of its
//                                    configuration (the sweep's SweepConfig
//                                    data_moments, else the ray's RayConfig).
//                                    A warning notes a type that disagrees with
//                                    that descriptor or has none to go to.
// Sweep fields the stream does not carry (task_name, task_start,
// first_azimuth_gate_index, rotation_direction, time_reference,
// ray_accumulation_time) stay unset.
//
// Buffers
// -------
// ParameterData buffers may be uncompressed or LZ4 (frame or block, see
// buffers.h); each is decoded when it arrives. The assembled moment buffers
// are canonical (buffers.h), uncompressed or LZ4 as
// AssemblerOptions::output_compression asks. All rays of a moment in a sweep
// must agree on `endian` and `type` (an error naming the sweep, ray and
// moment rejects the disagreeing ParameterData) and have the same number of
// samples. A ray with fewer samples than the longest, or with no data for a
// moment that other rays of the sweep have, is an error unless a fill value
// is set (AssemblerOptions::fill): then short rays are padded to the longest
// and missing rays filled entirely, and a warning records each such ray. A
// moment that cannot be assembled is left out of the sweep and listed in
// `missing`.
//
// Completion and delivery
// -----------------------
// A ray is complete when its RayHeader and RayEnd have arrived. A sweep is
// complete when its SweepEnd has arrived and all its rays are complete. A
// volume completes at its VolumeEnd: sweeps still incomplete then are closed
// as they are (listed in `missing`).
//   * DeliveryMode::kWholeVolumes: each volume is handed back at its VolumeEnd
//     (TakeVolumes()), its sweeps inside. Completed sweeps are assembled into
//     their final buffers at once, so the per-ray pieces are not kept.
//   * DeliveryMode::kSweepBySweep: each sweep is handed back as soon as it is
//     complete (TakeSweeps()) with its volume's UUID and VolumeHeader, and
//     then forgotten, so memory is bounded by the open sweeps. This is how
//     volumes too large for one message (2 GiB) are received. At VolumeEnd
//     the volume is handed back without sweeps (AssembledVolume::
//     sweeps_delivered counts them).
//
// Incomplete data
// ---------------
// End markers get lost (aborted scans, restarted producers). Finish(), at
// the end of input, closes every open volume and sweep and hands them back
// marked incomplete, with `missing` listing what never arrived ("VolumeEnd",
// "sweep <uuid>: SweepEnd", "sweep <uuid> ray 7: RayEnd", ...). A ray that
// never got its RayHeader appears in Sweep.rays as a Ray holding only `index`
// (its ray index), so that rays and buffer rows stay aligned. The limits
// max_volume_age and max_rays_per_volume close a volume the same way while
// the stream goes on.
//
// Streams of newer producers
// --------------------------
// Unknown fields (of a newer schema) are kept wherever the Volume holds the
// same message: rays, sweep descriptions, instrument, configuration, and a
// moment's buffer (those of its first ParameterData's DataBuffer). Those of
// envelopes, headers, end markers and ParameterData have no place;
// AssembledVolume::unknown_left_out counts them by kind. An envelope holding only unknown fields
// (a payload kind this version does not know) is skipped: Add() returns
// kUnsupported and changes nothing.
//
// Memory
// ------
// AddSerialized() reads RayHeader, ParameterData and RayEnd where they lie
// in the frame: a ParameterData's samples are appended straight to the
// sweep's buffer, so with a reader's ReadBytes() each sample is copied once
// on the way in; once a sweep has closed, a steady stream allocates nothing
// per ray beyond the delivered rays' own records.
// Decoded samples are held once. A ray's samples are decoded onto the end
// of the moment's buffer when room was reserved for them (for the rays the
// sweep is expected to have, see buffered_bytes(); at most 64 MiB ahead),
// else into a piece of their own; a sweep's buffer is then built by copying
// the pieces in order, freeing each as it is copied, so memory peaks at the
// decoded sweep plus one ray's samples. No size a message declares is
// allocated before its data backs it (buffers.h).
//
// Errors
// ------
// Add() returns an error, and otherwise ignores the message, for: an unset
// payload; a SweepHeader naming an unknown volume; a ray-level message or
// SweepEnd naming an unknown sweep; a duplicate VolumeHeader, SweepHeader,
// RayHeader, RayEnd, SweepEnd or ParameterData (same sweep, ray and moment);
// a message for a volume or sweep already closed; an undecodable buffer; a
// buffer whose byte order or storage type disagrees with the moment's other
// rays; and anything that would exceed a limit of AssemblerOptions. Add() also
// returns an error when it closes a volume or sweep that lacks data (a
// moment left out), after queueing the result: its code is kIncomplete and
// its text one of the result's `missing` items. Errors name the volume or
// sweep by UUID, the ray by index and the moment by name. The assembler stays
// usable after every error.
//
// Observation
// -----------
// A program that looks at a stream alongside the assembler (a checker, a
// summary) sets an AssemblerObserver instead of tracking volumes and sweeps
// itself: the assembler calls it as it takes each VolumeHeader, SweepHeader,
// RayHeader and ParameterData, as it closes each sweep and volume, and for
// every error Add() returns. Each open volume and sweep carries a slot
// (std::any) that the observer fills as it likes; the slot is handed to
// every later call about that volume or sweep and dropped after it closes.
//
// An Assembler is not thread-safe.
#pragma once

#include <google/protobuf/timestamp.pb.h>

#include <any>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common_dto/model/buffers.h"
#include "common_dto/model/status.h"
#include "common_dto/stream/export.h"
#include "ray_stream_message.pb.h"
#include "sweep.pb.h"
#include "volume.pb.h"
#include "volume_config_uri.pb.h"
#include "volume_header.pb.h"

namespace common_dto {
namespace stream {

enum class DeliveryMode { kWholeVolumes, kSweepBySweep };

// What short and missing rays are filled with.
struct FillValue {
  // The value, converted to the moment's storage type (buffers.h AppendFill).
  double value = 0;
  // Use the moment descriptor's `scale.linear_scale.not_scanned` code instead
  // of `value` when the volume configuration has a descriptor for the moment
  // whose scale type is LINEAR.
  bool prefer_not_scanned = true;
};

struct AssemblerOptions {
  DeliveryMode delivery = DeliveryMode::kWholeVolumes;
  // Compression of the assembled moment buffers.
  Compression output_compression = Compression::kNone;
  // Unset: short or missing rays make a moment fail. Set: they are filled.
  std::optional<FillValue> fill;
  // False: validate without keeping samples (for checkers). Every
  // ParameterData buffer is still decoded, one at a time, and checked as
  // when assembling, but only its size is kept; the moment buffers handed
  // back declare endian, type and uncompressed_size (the size they would
  // have) and hold no data. Memory then stays bounded by one decoded buffer
  // plus the bookkeeping of the open sweeps, whatever the volume's size.
  bool keep_samples = true;

  // Bounds on what a stream can make the assembler hold. A message that
  // would exceed one is refused with an error.
  std::size_t max_open_volumes = 16;
  std::size_t max_open_sweeps = 256;  // over all open volumes
  std::size_t max_rays_per_sweep = 65536;
  std::size_t max_moments_per_sweep = 64;                     // distinct moment names
  std::size_t max_buffer_size = kDefaultMaxBufferSize;        // one decoded ParameterData
  std::uint64_t max_buffered_bytes = std::uint64_t{4} << 30;  // all that is held, see
                                                              // buffered_bytes()

  // Closing volumes that never end. 0 means no limit. A volume older than
  // max_volume_age (since its VolumeHeader, by `clock`), or whose ray count
  // would exceed max_rays_per_volume, is closed as incomplete; the message
  // that would add the extra ray is refused with an error. Age is checked in
  // every Add() and in CloseExpired().
  std::chrono::steady_clock::duration max_volume_age{0};
  std::size_t max_rays_per_volume = 0;
  std::function<std::chrono::steady_clock::time_point()> clock;  // default: steady_clock::now

  // How many closed volume and sweep UUIDs are remembered, to report late
  // messages for them as "already closed" rather than "unknown".
  std::size_t remembered_closed = 1024;
};

// A volume handed back by the assembler.
struct AssembledVolume {
  kyt::pb::common::Volume volume;
  std::optional<google::protobuf::Timestamp> start;  // VolumeHeader.start
  std::optional<google::protobuf::Timestamp> end;    // VolumeEnd.end
  // Set when the configuration came by reference; then volume_config is unset.
  std::optional<kyt::pb::stream::VolumeConfigUri> config_uri;
  // False when anything is listed in `missing`.
  bool complete = true;
  // What never arrived or could not be assembled, one entry per item.
  std::vector<std::string> missing;
  // Things that arrived but have no place in the Volume, or were changed
  // (padded rays, conflicting end times, unrecorded data types, ...).
  std::vector<std::string> warnings;
  // kSweepBySweep only: number of sweeps handed back through TakeSweeps().
  std::size_t sweeps_delivered = 0;
  // Unknown fields (of a newer schema) that had no place in the Volume: one
  // entry per message kind, such as "2 VolumeHeaders".
  std::vector<std::string> unknown_left_out;
};

// A sweep handed back in DeliveryMode::kSweepBySweep.
struct AssembledSweep {
  kyt::pb::common::UUID volume_uuid;
  // The volume's header as received, shared by all sweeps of the volume.
  std::shared_ptr<const kyt::pb::stream::VolumeHeader> volume_header;
  kyt::pb::common::UUID sweep_uuid;
  // 0-based position among the volume's SweepHeaders, in arrival order.
  std::size_t position = 0;
  kyt::pb::common::Sweep sweep;
  bool complete = true;
  std::vector<std::string> missing;
  std::vector<std::string> warnings;
};

// An open volume, as observers see it.
struct ObservedVolume {
  const kyt::pb::stream::VolumeHeader& header;
  std::any& state;  // The observer's own, empty at first.
};

// An open sweep, as observers see it.
struct ObservedSweep {
  const kyt::pb::stream::SweepHeader& header;
  std::size_t position;  // Among its volume's SweepHeaders, in arrival order.
  ObservedVolume volume;
  std::any& state;  // The observer's own, empty at first.
};

// One ParameterData taken, as observers see it (`name` only during the call).
struct ObservedMoment {
  std::int32_t ray_index = 0;
  std::string_view name;  // data_type.short_name
  int endian = 0;         // kyt::pb::common::DataBuffer::Endianness
  int storage = 0;        // kyt::pb::common::DataBuffer::StorageType
  int compression = 0;    // kyt::pb::common::DataBuffer::CompressionType, as it came
  std::uint64_t decoded_bytes = 0;
};

// The observation hooks (see "Observation" above). Each does nothing unless
// overridden. Calls happen inside Add(), CloseExpired() and Finish(); an
// observer must not call back into the assembler except its Find*()
// accessors.
class COMMON_DTO_STREAM_EXPORT AssemblerObserver {
 public:
  virtual ~AssemblerObserver();
  // A VolumeHeader was taken: the volume is open.
  virtual void VolumeStarted(const ObservedVolume& volume);
  // A SweepHeader was taken.
  virtual void SweepStarted(const ObservedSweep& sweep);
  // A RayHeader was taken for ray `ray_index` of `sweep`.
  virtual void RayStarted(const ObservedSweep& sweep, std::int32_t ray_index,
                          const kyt::pb::common::Ray& ray);
  // A ParameterData was taken (its samples decoded and checked).
  virtual void MomentTaken(const ObservedSweep& sweep, const ObservedMoment& moment);
  // A sweep closed, complete or not; `assembled` is what it became (in
  // DeliveryMode::kWholeVolumes it then goes into its volume).
  virtual void SweepEnded(const ObservedSweep& sweep, const AssembledSweep& assembled);
  // A volume closed, complete or not, after its sweeps.
  virtual void VolumeEnded(const ObservedVolume& volume, const AssembledVolume& assembled);
  // Add() or AddSerialized() returns `status`, an error.
  virtual void Problem(const Status& status);
};

class COMMON_DTO_STREAM_EXPORT Assembler {
 public:
  explicit Assembler(AssemblerOptions options = {});
  Assembler(Assembler&&) noexcept;
  Assembler& operator=(Assembler&&) noexcept;
  ~Assembler();

  // Takes one message. The rvalue form takes uncompressed samples over
  // without copying them.
  Status Add(const kyt::pb::stream::RayStreamMessage& message);
  Status Add(kyt::pb::stream::RayStreamMessage&& message);
  // Takes one message in its serialized form (a frame's bytes, see
  // DelimitedReader::ReadBytes()), with the same outcome as parsing it and
  // calling Add(). A ParameterData is read in place: its samples are copied
  // once, from `message` into the sweep's buffer. Bytes that do not parse
  // are a kUnparsable error (kInvalidUtf8 for a string that is not UTF-8)
  // whose location names the field, as DiagnoseWire() finds it.
  Status AddSerialized(std::string_view message);

  // Closes volumes older than max_volume_age; for callers that wait on an
  // idle input. Returns how many it closed.
  std::size_t CloseExpired();

  // End of input: closes every open volume and sweep as incomplete.
  void Finish();

  // Hands over (and forgets) what has been completed or closed so far, in
  // the order it was.
  std::vector<AssembledVolume> TakeVolumes();
  std::vector<AssembledSweep> TakeSweeps();

  // The observer called from now on (null: none). Not owned; it must
  // outlive the assembler or be replaced first.
  void SetObserver(AssemblerObserver* observer);

  std::size_t open_volumes() const;
  std::size_t open_sweeps() const;

  // What the assembler matched so far, for programs that look at a stream
  // alongside it (a checker, a summary) instead of tracking volumes and
  // sweeps themselves. Null when the volume or sweep is not open. The
  // pointers stay valid until the next Add(), CloseExpired() or Finish().
  const kyt::pb::stream::VolumeHeader* FindOpenVolume(const kyt::pb::common::UUID& volume_uuid) const;
  const kyt::pb::stream::SweepHeader* FindOpenSweep(const kyt::pb::common::UUID& sweep_uuid) const;
  // The header of the open volume that an open sweep belongs to.
  const kyt::pb::stream::VolumeHeader* FindVolumeOfSweep(const kyt::pb::common::UUID& sweep_uuid) const;
  // Bytes currently held for open volumes, as counted against
  // max_buffered_bytes: the samples of open rays and sweeps, the padding of
  // short and missing rays, the headers kept (their serialized size plus a
  // fixed estimate of the assembler's bookkeeping for each volume, sweep and
  // ray), and in kWholeVolumes the closed sweeps of open volumes, at the
  // size they were counted with while open. Room reserved ahead for the
  // rays a sweep is expected to have (the count of the swept sector in its
  // SweepConfig, else the ray count of the volume's previous sweep) is not
  // counted here, but is kept within max_buffered_bytes together with it.
  std::uint64_t buffered_bytes() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace stream
}  // namespace common_dto
