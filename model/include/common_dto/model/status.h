// Errors with a code and a location.
//
// Nothing in the hand-written libraries throws or aborts on bad input: every
// operation that can fail returns a Status (or a result holding one). A
// Status carries
//   * a code, what kind of failure it is, for programs to decide on;
//   * a location, where in the input it happened (message index, byte
//     offset, field, volume, sweep, ray, moment), as far as known;
//   * a message for people, which already names the location in words
//     ("message 3 at byte offset 1234: truncated: ...").
// Callers decide by code() and location(), never by matching message().
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common_dto/model/export.h"

namespace common_dto {

enum class ErrorCode : std::uint8_t {
  kOk = 0,
  // The input ends inside a frame, a value or a compressed buffer.
  kTruncated,
  // Bytes that are not a valid encoding: a length prefix, wire data or LZ4
  // data that cannot be decoded.
  kMalformed,
  // Well-formed framing whose bytes do not parse as the expected message
  // type (wrong wire types, groups nested too deeply, bad tags).
  kUnparsable,
  // A string field, map key or map value holding invalid UTF-8.
  kInvalidUtf8,
  // A size, declared or actual, beyond a fixed or configured limit.
  kTooLarge,
  // A bound on what a consumer holds was reached (open volumes, open
  // sweeps, rays per sweep, buffered bytes).
  kLimit,
  // Messages that break the ray stream protocol: a piece for an unknown or
  // already closed volume or sweep, a duplicate, an envelope without payload.
  kProtocol,
  // Data that was closed with pieces missing (a moment left out, rays
  // without data).
  kIncomplete,
  // Values that contradict each other or the caller's request (a buffer that
  // does not divide into rays, a fill value a type cannot hold).
  kInvalidArgument,
  // Valid input this version does not handle (an unknown compression).
  kUnsupported,
  // Reading or writing failed in the operating system.
  kIo,
  // A server could not be reached or did not answer in time (connection
  // refused or lost, no acknowledgement, no JetStream); worth retrying.
  kUnavailable,
  // A server refused the client: authentication failed or a permission is
  // missing; retrying will not help.
  kDenied,
};

// "ok", "truncated", "malformed", ... (lowercase, stable: used in JSON
// output and by the Python package).
COMMON_DTO_MODEL_EXPORT const char* ErrorCodeName(ErrorCode code);

// Where an error happened. Every part is optional.
struct Location {
  std::optional<std::uint64_t> message_index;  // 0-based, in a stream
  std::optional<std::uint64_t> byte_offset;    // of the frame's length prefix
  std::string field;                           // full field name or path
  std::string volume_uuid;                     // canonical text form
  std::string sweep_uuid;
  std::optional<std::int64_t> ray_index;
  std::string moment;  // short name of a data moment

  bool empty() const {
    return !message_index && !byte_offset && field.empty() && volume_uuid.empty() &&
           sweep_uuid.empty() && !ray_index && moment.empty();
  }
  // Fills in what this location lacks from `outer`.
  COMMON_DTO_MODEL_EXPORT void MergeFrom(const Location& outer);
};

class [[nodiscard]] Status {
 public:
  // Success.
  Status() = default;
  Status(ErrorCode code, std::string message, Location location = {})
      : rep_(code == ErrorCode::kOk
                 ? nullptr
                 : std::make_shared<const Rep>(Rep{code, std::move(message), std::move(location)})) {}

  static Status Ok() { return Status(); }

  bool ok() const { return rep_ == nullptr; }
  ErrorCode code() const { return rep_ ? rep_->code : ErrorCode::kOk; }
  // The error text; empty on success.
  const std::string& message() const { return rep_ ? rep_->message : Empty(); }
  const Location& location() const { return rep_ ? rep_->location : EmptyLocation(); }

  // The same error with `prefix` put before its message and `outer` filling
  // in location parts it lacks. Success stays success.
  COMMON_DTO_MODEL_EXPORT Status Wrap(std::string_view prefix, const Location& outer = {}) const;

 private:
  struct Rep {
    ErrorCode code;
    std::string message;
    Location location;
  };
  COMMON_DTO_MODEL_EXPORT static const std::string& Empty();
  COMMON_DTO_MODEL_EXPORT static const Location& EmptyLocation();

  // Shared and immutable: copying a Status is cheap, success costs nothing.
  std::shared_ptr<const Rep> rep_;
};

// A value or the Status saying why there is none, as abseil's StatusOr:
//
//   Result<Volume> read = ReadSomething(path);
//   if (!read.ok()) return read.status();
//   Use(*read);
//
// A Result made from a success Status holds none of either: it becomes an
// kInvalidArgument error, so that ok() always means a value is there.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit, as StatusOr
  Result(Status status)                           // NOLINT
      : status_(status.ok() ? Status(ErrorCode::kInvalidArgument, "a result without a value")
                            : std::move(status)) {}

  bool ok() const { return status_.ok(); }
  const Status& status() const { return status_; }

  // The value; only when ok().
  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  T& operator*() & { return *value_; }
  const T& operator*() const& { return *value_; }
  T&& operator*() && { return std::move(*value_); }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }

  // The value, or `fallback` when there is none.
  T value_or(T fallback) const& { return ok() ? *value_ : std::move(fallback); }

 private:
  Status status_;
  std::optional<T> value_;
};

}  // namespace common_dto
