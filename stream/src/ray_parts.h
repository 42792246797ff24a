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
// The encoders write exactly the bytes the runtime writes for the equivalent
// message (fields in number order, proto3 defaults left out), so the stream
// is the same whichever way it was produced. Decode() reads the envelopes
// the runtime (or Encode) writes and declines everything else (unknown
// fields, repeated or reordered fields, invalid UTF-8 ...): the caller then
// parses the message with the runtime, which has the last word on what the
// bytes mean.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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

// The UUID last encoded or decoded, with its encoded fields. Every message
// of a sweep carries the sweep's UUID, whose two fields are mostly 10-byte
// varints: one memo per stream direction encodes and decodes it once.
class UuidMemo {
 public:
  // The UUID message's fields (without tag and length) for `uuid`.
  std::string_view Encoded(const UuidParts& uuid);
  // Decodes a UUID message's fields; false unless they are fields 1 and 2,
  // in order, each at most once (anything else is left to the runtime).
  bool Decode(std::string_view bytes, UuidParts* uuid);

 private:
  static constexpr std::size_t kMaxSize = 22;  // Two tags and two 10-byte varints.
  UuidParts parts_;
  char bytes_[kMaxSize] = {};
  std::size_t size_ = 0;  // 0: nothing remembered.
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

// A RayStreamMessage holding a RayHeader, as read: the ray still encoded.
struct RayHeaderView {
  bool has_sweep_uuid = false;
  UuidParts sweep_uuid;
  std::int32_t ray_index = 0;
  std::string_view ray;  // Ray's bytes; empty when absent.
};

// A RayStreamMessage holding a RayEnd.
struct RayEndParts {
  bool has_sweep_uuid = false;
  UuidParts sweep_uuid;
  std::int32_t ray_index = 0;
  bool has_end = false;
  std::int64_t end_seconds = 0;
  std::int32_t end_nanos = 0;
};

// Writes the envelope but its samples to *head (replacing what it held) and
// returns the samples, which follow: the message is *head + the result.
std::string_view EncodeHead(const ParameterDataParts& parts, UuidMemo* memo, std::string* head);

// Writes the whole envelope to *out (replacing what it held).
void Encode(const RayHeaderParts& parts, UuidMemo* memo, std::string* out);
void Encode(const RayEndParts& parts, UuidMemo* memo, std::string* out);

// Reads a serialized RayStreamMessage holding a ParameterData (a RayHeader,
// a RayEnd) into *parts, which then point into `envelope`. False, with
// *parts unspecified, for anything but the runtime's own encoding of such
// a message.
bool Decode(std::string_view envelope, UuidMemo* memo, ParameterDataParts* parts);
bool Decode(std::string_view envelope, UuidMemo* memo, RayHeaderView* parts);
bool Decode(std::string_view envelope, UuidMemo* memo, RayEndParts* parts);

}  // namespace internal
}  // namespace stream
}  // namespace common_dto
