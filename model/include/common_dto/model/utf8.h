// UTF-8 validation as the protobuf runtime's parser demands it.
#pragma once

#include <google/protobuf/message.h>

#include <string_view>

#include "common_dto/model/export.h"
#include "common_dto/model/status.h"

namespace common_dto {

// True when `text` is valid UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
COMMON_DTO_MODEL_EXPORT bool IsValidUtf8(std::string_view text);

// Checks every string field, map key and map value of `message` and of all
// messages nested in it (singular, repeated, oneof and map values) for valid
// UTF-8, as the runtime's parser does. Returns kInvalidUtf8 naming the first
// bad field by its full name and its path inside `message` (also in
// location().field), for example
//   invalid UTF-8 in field kyt.pb.stream.VolumeConfigUri.endpoint
//   (at volume_header.volume_config_uri.endpoint)
COMMON_DTO_MODEL_EXPORT Status CheckUtf8(const google::protobuf::Message& message);

}  // namespace common_dto
