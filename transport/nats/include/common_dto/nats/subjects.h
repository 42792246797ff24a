// How ray stream messages are laid out on NATS JetStream.
//
// Messages
// --------
// A NATS message carries length-delimited frames exactly as a ray stream
// file holds them (framing.h): the same bytes, so a receiver feeds them to
// an Assembler as they lie. Volume and sweep headers and ends travel alone,
// one frame each; a ray's RayHeader, ParameterData and RayEnd travel
// together, and PublisherOptions may put several consecutive rays of a
// sweep in one message. A message larger than the server's max_payload
// (or the stream's largest message) is cut into pieces that the receiver
// joins again before reading the frames; nothing is refused for its size.
// A sweep's SweepEnd may come after the next sweep's SweepHeader (the
// Publisher sends it once that header is stored): receivers match sweeps by
// UUID, as the Assembler does.
//
// Subjects
// --------
//
//   <prefix>.<instrument>.<volume-uuid>.<kind>
//
//   prefix       StreamOptions::subject_prefix, "rays" by default (may hold
//                dots itself)
//   instrument   PublisherOptions::instrument, else the VolumeHeader's
//                Instrument.name, made a subject token: every byte outside
//                [A-Za-z0-9_-] becomes '_', an empty name becomes "unnamed"
//   volume-uuid  the volume's UUID in canonical text form; rays and
//                SweepEnd reach their volume through the SweepHeader that
//                named their sweep
//   kind         volume, sweep, rays, sweepend, volumeend
//
// so `<prefix>.>` is the whole stream, `<prefix>.<instrument>.>` one
// instrument, `<prefix>.*.*.volume` the volume headers (what consumers share
// volumes by) and `<prefix>.<instrument>.<volume-uuid>.>` one volume.
//
// Message identity
// ----------------
// Each message carries a Nats-Msg-Id header naming what it holds, so that a
// publish repeated within the stream's duplicate window is dropped by the
// server:
//
//   VolumeHeader   <volume-uuid>.vh        VolumeEnd  <volume-uuid>.ve
//   SweepHeader    <sweep-uuid>.sh         SweepEnd   <sweep-uuid>.se
//   one ray        <sweep-uuid>.r.<ray>
//   several rays   <sweep-uuid>.r.<first>-<last>
//
// where <ray>, <first> and <last> are decimal ray indexes. A piece of a cut
// message adds .<k>of<n> (k counting from 1) to the whole message's
// identity. Receivers use the identity to tell an exact repeat (ignored)
// from a different message claiming a place already taken (an error).
//
// Streams written by earlier versions of this library (one NATS message per
// ray stream message, without frames) are not read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common_dto/nats/export.h"
#include "ray_stream_message.pb.h"

namespace common_dto {
namespace nats {

// The subject token of the NATS message that carries `message` ("volume",
// "sweep", "rays" for RayHeader, ParameterData and RayEnd, ...); empty for a
// message without payload.
COMMON_DTO_NATS_EXPORT std::string_view KindToken(const kyt::pb::stream::RayStreamMessage& message);

// `name` made a valid subject token, as described above.
COMMON_DTO_NATS_EXPORT std::string InstrumentToken(std::string_view name);

// The Nats-Msg-Id of the NATS message carrying `message` alone (for a
// ray-level message: its ray); empty for a message without payload.
COMMON_DTO_NATS_EXPORT std::string MessageIdentity(const kyt::pb::stream::RayStreamMessage& message);

// The Nats-Msg-Id of the rays first..last of a sweep.
COMMON_DTO_NATS_EXPORT std::string RaysIdentity(const kyt::pb::common::UUID& sweep, std::int64_t first,
                                                std::int64_t last);
// The same, the sweep's UUID given as FormatUuid() writes it.
COMMON_DTO_NATS_EXPORT std::string RaysIdentity(std::string_view sweep, std::int64_t first, std::int64_t last);

// The Nats-Msg-Id of piece `piece` (from 1) of `pieces` of the message `whole`.
COMMON_DTO_NATS_EXPORT std::string PieceIdentity(std::string_view whole, std::size_t piece, std::size_t pieces);

// Whether `id` names a piece; then *whole, *piece and *pieces say which
// (1 <= piece <= pieces).
COMMON_DTO_NATS_EXPORT bool ParsePieceIdentity(std::string_view id, std::string_view* whole, std::size_t* piece,
                                               std::size_t* pieces);

}  // namespace nats
}  // namespace common_dto
