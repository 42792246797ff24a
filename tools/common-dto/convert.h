// Conversions between messages and their binary, JSON and text forms.
#pragma once

#include <google/protobuf/message.h>

#include <string>
#include <string_view>

#include "common_dto/model/status.h"

namespace common_dto {
namespace cli {

// The binary encoding with map entries in key order, so that equal messages
// give equal bytes. kTooLarge for a message of 2 GiB or more.
Result<std::string> SerializeDeterministic(const google::protobuf::Message& message);

// The proto3 JSON mapping with the schema's field names (zero values left
// out, bytes in base64, map entries in key order). `pretty` indents it over
// several lines; otherwise it is one line. kUnsupported for a message JSON
// cannot express (a Timestamp out of its range).
Result<std::string> ToJson(const google::protobuf::Message& message, bool pretty);

// JSON into `message` (cleared first); accepts the schema's field names and
// their lowerCamelCase forms, enum values by name or number. On failure a
// kUnparsable error whose message is one line saying what and where.
Status FromJson(std::string_view json, google::protobuf::Message* message);

// The runtime's text format: several lines, or one line (for streams).
std::string ToText(const google::protobuf::Message& message, bool single_line);
Status FromText(std::string_view text, google::protobuf::Message* message);

}  // namespace cli
}  // namespace common_dto
