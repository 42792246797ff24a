// Error values of the ray stream library.
//
// Nothing in this library throws or aborts on bad input: every operation
// that can fail returns a Status (or, for the reader, a ReadResult) whose
// message says what went wrong and where.
#pragma once

#include <string>
#include <utility>

namespace common_dto {
namespace stream {

// The outcome of an operation: success, or an error with a message meant
// for people ("message 3 at byte offset 1234: truncated: ...").
class Status {
 public:
  // Success.
  Status() = default;

  static Status Ok() { return Status(); }
  static Status Error(std::string message) { return Status(std::move(message)); }

  bool ok() const { return !failed_; }
  // The error text; empty on success.
  const std::string& message() const { return message_; }

 private:
  explicit Status(std::string message) : failed_(true), message_(std::move(message)) {}

  bool failed_ = false;
  std::string message_;
};

}  // namespace stream
}  // namespace common_dto
