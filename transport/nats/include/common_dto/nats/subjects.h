// How ray stream messages are laid out on NATS JetStream.
//
// Subjects
// --------
// Every kyt.pb.stream.RayStreamMessage travels as one NATS message (its
// binary encoding, no framing) on the subject
//
//   <prefix>.<instrument>.<volume-uuid>.<kind>
//
//   prefix       StreamOptions::subject_prefix, "rays" by default (may hold
//                dots itself)
//   instrument   PublisherOptions::instrument, else the VolumeHeader's
//                Instrument.name, made a subject token: every byte outside
//                [A-Za-z0-9_-] becomes '_', an empty name becomes "unnamed"
//   volume-uuid  the volume's UUID in canonical text form; ray-level
//                messages and SweepEnd reach their volume through the
//                SweepHeader that named their sweep
//   kind         volume, sweep, ray, data, rayend, sweepend, volumeend
//                (VolumeHeader ... VolumeEnd)
//
// so `<prefix>.>` is the whole stream, `<prefix>.<instrument>.>` one
// instrument, `<prefix>.*.*.volume` the volume headers (what consumers share
// volumes by) and `<prefix>.<instrument>.<volume-uuid>.>` one volume.
//
// Message identity
// ----------------
// Each message carries a Nats-Msg-Id header naming what it is, so that a
// publish repeated within the stream's duplicate window is dropped by the
// server:
//
//   VolumeHeader   <volume-uuid>.vh        VolumeEnd  <volume-uuid>.ve
//   SweepHeader    <sweep-uuid>.sh         SweepEnd   <sweep-uuid>.se
//   RayHeader      <sweep-uuid>.rh.<ray>   RayEnd     <sweep-uuid>.re.<ray>
//   ParameterData  <sweep-uuid>.pd.<ray>.<moment>
//
// where <ray> is the decimal ray index and <moment> the moment's short name
// with '%', and bytes outside printable ASCII, written as %XX. Receivers use
// the same identity to tell an exact repeat (ignored) from a different
// message claiming a place already taken (an error).
#pragma once

#include <string>
#include <string_view>

#include "common_dto/nats/export.h"
#include "ray_stream_message.pb.h"

namespace common_dto {
namespace nats {

// The subject token of a message's kind ("volume", "sweep", ...); empty for
// a message without payload.
COMMON_DTO_NATS_EXPORT std::string_view KindToken(const kyt::pb::stream::RayStreamMessage& message);

// `name` made a valid subject token, as described above.
COMMON_DTO_NATS_EXPORT std::string InstrumentToken(std::string_view name);

// The Nats-Msg-Id of `message`; empty for a message without payload.
COMMON_DTO_NATS_EXPORT std::string MessageIdentity(const kyt::pb::stream::RayStreamMessage& message);

}  // namespace nats
}  // namespace common_dto
