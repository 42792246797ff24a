#include "common_dto/model/status.h"

namespace common_dto {

const char* ErrorCodeName(ErrorCode code) {
  switch (code) {
    case ErrorCode::kOk: return "ok";
    case ErrorCode::kTruncated: return "truncated";
    case ErrorCode::kMalformed: return "malformed";
    case ErrorCode::kUnparsable: return "unparsable";
    case ErrorCode::kInvalidUtf8: return "invalid_utf8";
    case ErrorCode::kTooLarge: return "too_large";
    case ErrorCode::kLimit: return "limit";
    case ErrorCode::kProtocol: return "protocol";
    case ErrorCode::kIncomplete: return "incomplete";
    case ErrorCode::kInvalidArgument: return "invalid_argument";
    case ErrorCode::kUnsupported: return "unsupported";
    case ErrorCode::kIo: return "io";
    case ErrorCode::kUnavailable: return "unavailable";
    case ErrorCode::kDenied: return "denied";
  }
  return "unknown";
}

void Location::MergeFrom(const Location& outer) {
  if (!message_index) message_index = outer.message_index;
  if (!byte_offset) byte_offset = outer.byte_offset;
  if (field.empty()) field = outer.field;
  if (volume_uuid.empty()) volume_uuid = outer.volume_uuid;
  if (sweep_uuid.empty()) sweep_uuid = outer.sweep_uuid;
  if (!ray_index) ray_index = outer.ray_index;
  if (moment.empty()) moment = outer.moment;
}

Status Status::Wrap(std::string_view prefix, const Location& outer) const {
  if (ok()) return *this;
  Location location = rep_->location;
  location.MergeFrom(outer);
  return Status(rep_->code, std::string(prefix) + rep_->message, std::move(location));
}

const std::string& Status::Empty() {
  static const std::string empty;
  return empty;
}

const Location& Status::EmptyLocation() {
  static const Location empty;
  return empty;
}

}  // namespace common_dto
