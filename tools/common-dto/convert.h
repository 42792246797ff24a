// Conversions between messages and their binary, JSON and text forms.
#pragma once

#include <google/protobuf/message.h>

#include <string>
#include <string_view>

namespace common_dto {
namespace cli {

// The binary encoding with map entries in key order, so that equal messages
// give equal bytes. Empty `error` on success.
std::string SerializeDeterministic(const google::protobuf::Message& message, std::string* error);

// The proto3 JSON mapping with the schema's field names (zero values left
// out, bytes in base64, map entries in key order). `pretty` indents it over
// several lines; otherwise it is one line. Returns false, with *error, for a
// message JSON cannot express (a Timestamp out of its range).
bool ToJson(const google::protobuf::Message& message, bool pretty, std::string* json,
            std::string* error);

// JSON into `message` (cleared first); accepts the schema's field names and
// their lowerCamelCase forms, enum values by name or number. On failure
// *error holds one line saying what and where.
bool FromJson(std::string_view json, google::protobuf::Message* message, std::string* error);

// The runtime's text format: several lines, or one line (for streams).
std::string ToText(const google::protobuf::Message& message, bool single_line);
bool FromText(std::string_view text, google::protobuf::Message* message, std::string* error);

}  // namespace cli
}  // namespace common_dto
