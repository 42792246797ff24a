// Ray-level stream messages by their parts.
//
// Most of a ray stream is ParameterData: per ray and moment a few fields and
// a slice of samples. Building a RayStreamMessage for each copies the
// samples into the message and serializing copies them again; parsing one
// copies them out of the input and assembling copies them once more. The
// parts here point at the samples where they already are (a sweep buffer on
// the way out, the received frame on the way in), so that each sample is
// copied once on each side.
//
// Encode() writes exactly the bytes the runtime writes for the equivalent
// message (fields in number order, proto3 defaults left out), so the stream
// is the same whichever way it was produced. Decode() reads the envelopes
// the runtime (or Encode) writes and declines everything else (unknown
// fields, repeated or reordered fields, invalid UTF-8 ...): the caller then
// parses the message with the runtime, which has the last word on what the
// bytes mean.
#pragma once

#include <google/protobuf/io/coded_stream.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ray.pb.h"

namespace common_dto {
namespace stream {
namespace internal {

// A kyt.pb.common.UUID's two fields.
struct UuidParts {
  std::int64_t lsb = 0;  // least_significant_bits (field 1)
  std::int64_t msb = 0;  // most_significant_bits (field 2)
};

// A RayStreamMessage holding a ParameterData. The `has_*` flags say whether
// a message field is present (an empty message still is).
struct ParameterDataParts {
  bool has_sweep_uuid = false;
  UuidParts sweep_uuid;
  std::int32_t ray_index = 0;
  bool has_data_type = false;
  std::int32_t data_type = 0;   // DataTypeRequest.type
  std::string_view short_name;  // DataTypeRequest.short_name
  bool has_data = false;
  std::int32_t endian = 0;
  std::int32_t storage = 0;
  std::int32_t compression = 0;
  std::int32_t uncompressed_size = 0;
  std::string_view samples;  // DataBuffer.data
};

// A RayStreamMessage holding a RayHeader with `ray` (not null).
struct RayHeaderParts {
  const kyt::pb::common::Ray* ray = nullptr;
  bool has_sweep_uuid = false;
  UuidParts sweep_uuid;
  std::int32_t ray_index = 0;
};

// Serialized size of the envelope.
std::size_t EncodedSize(const ParameterDataParts& parts);
std::size_t EncodedSize(const RayHeaderParts& parts);

// Writes the envelope, EncodedSize() bytes. EncodedSize() must have been
// called first: for a RayHeader it computes the sizes that the ray's
// serialization uses.
void Encode(const ParameterDataParts& parts, google::protobuf::io::CodedOutputStream* out);
void Encode(const RayHeaderParts& parts, google::protobuf::io::CodedOutputStream* out);

// Reads a serialized RayStreamMessage holding a ParameterData into *parts,
// which then point into `envelope`. False, with *parts unspecified, for
// anything but the runtime's own encoding of such a message.
bool Decode(std::string_view envelope, ParameterDataParts* parts);

}  // namespace internal
}  // namespace stream
}  // namespace common_dto
