// Validation of data-model messages and ray streams: what the schema cannot
// enforce. References that do not resolve, duplicate identifiers, sample
// buffers that do not fit their declarations, moments nobody describes,
// enum numbers outside their lists, invalid times, and for ray streams the
// sequence problems of reassembly.
//
// A receiving service runs the same rules as `common-dto check`:
//
//   common_dto::validate::Options options;
//   for (const auto& finding : common_dto::validate::ValidateMessage(data, options)) {
//     if (finding.severity == common_dto::validate::Severity::kFinding) Reject(finding);
//   }
//
// Findings come as records: programs decide by code and severity, people
// read location and text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common_dto/model/status.h"
#include "common_dto/validate/export.h"

namespace google {
namespace protobuf {
class Message;
}
}  // namespace google

namespace kyt {
namespace pb {
namespace stream {
class RayStreamMessage;
}
}  // namespace pb
}  // namespace kyt

namespace common_dto {
namespace validate {

enum class FindingCode : std::uint8_t {
  kInvalidTime = 1,      // A Timestamp outside years 1 to 9999 or its nanos range.
  kUnknownEnumValue,     // An enum number its enum does not list.
  kUnknownFields,        // Field numbers not in the schema (a note unless strict).
  kDuplicateUuid,        // Two things of a volume with one UUID.
  kDuplicateRayIndex,    // Two rays of a sweep with one Ray.index.
  kUnresolvedReference,  // A configuration reference that points at nothing.
  kEmptyReference,       // A RayConfigReference with neither UUID, index nor config.
  kUndescribedMoment,    // A moment no DataDescriptor of its sweep describes.
  kBufferUndecodable,    // LZ4 data that does not decompress.
  kBufferSizeMismatch,   // uncompressed_size against the bytes there are.
  kBufferWidth,          // Bytes no multiple of the sample width.
  kBufferRays,           // Samples that do not divide among the sweep's rays.
  kMoreOmitted,          // The count of further findings of a kind not listed.
  kUnknownKind,          // A stream message of a kind this version does not know.
  kSequence,             // Reassembly refused a message (order, limits, references).
  kIncomplete,           // A sweep or volume closed with parts missing.
  kAssemblyWarning,      // Reassembly carried on past a doubtful message.
  kDamaged,              // A damaged frame ended the stream.
  kGeoreference,         // A raster's georeference that does not hold together
                         // (checked by the formats library, which knows CRSs).
};

enum class Severity : std::uint8_t {
  kFinding,  // The input breaks a rule.
  kNote,     // Said, but no fault (unknown fields of a newer schema, ...).
};

struct Finding {
  FindingCode code;
  Severity severity = Severity::kFinding;
  // Where: a field path inside the message ("volume.sweep[0].rays[3].index"),
  // for stream messages after their place ("message 4 at byte offset 812 /
  // ray_header.ray.index"), or the sweep or volume a verdict is about.
  std::string location;
  std::string text;
};

struct Options {
  // Bound on the decompressed size of one sample buffer.
  std::size_t max_buffer_size = std::size_t{256} << 20;
  // Unknown fields and unknown kinds are findings, not notes.
  bool strict = false;
};

// The findings about one message of any type of the schema: the value
// rules everywhere, and the structural ones for InstrumentData, Volume,
// Sweep, Product, VolumeConfig and DataBuffer. In location order, the
// counts of findings not listed last.
COMMON_DTO_VALIDATE_EXPORT std::vector<Finding> ValidateMessage(
    const google::protobuf::Message& message, const Options& options = {});

// A ray stream checked message by message, with its reassembly (in
// validation mode: no samples are kept).
class COMMON_DTO_VALIDATE_EXPORT StreamValidator {
 public:
  explicit StreamValidator(const Options& options = {});
  ~StreamValidator();
  StreamValidator(StreamValidator&&) noexcept;
  StreamValidator& operator=(StreamValidator&&) noexcept;

  // The findings about the next message, whose place in the stream `where`
  // names; with the verdicts on the sweeps and volumes it closed.
  std::vector<Finding> Add(kyt::pb::stream::RayStreamMessage&& message, const std::string& where);
  // The verdicts on what is still open at the end of the stream.
  std::vector<Finding> Finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// "message 3 at byte offset 1234": the place of a stream's message as
// findings name it.
COMMON_DTO_VALIDATE_EXPORT std::string MessagePlace(std::uint64_t index, std::uint64_t offset);

// A length-delimited ray stream file, every message and its reassembly; a
// damaged frame ends the stream as its end would, and is a kDamaged
// finding. An error only when the file cannot be opened.
COMMON_DTO_VALIDATE_EXPORT Result<std::vector<Finding>> ValidateStreamFile(
    const std::string& path, const Options& options = {});

}  // namespace validate
}  // namespace common_dto
