// Looking things up in the data model: configuration references, enum
// names, UUIDs and times in their text forms.
#pragma once

#include <google/protobuf/descriptor.h>
#include <google/protobuf/timestamp.pb.h>

#include <string>

#include "common_dto/model/references.h"
#include "ray.pb.h"
#include "ray_config.pb.h"
#include "sweep_config.pb.h"
#include "uuid.pb.h"
#include "volume_config.pb.h"

namespace common_dto {
namespace cli {

// The value's name, or its number when the enum does not list it.
std::string EnumName(const google::protobuf::EnumDescriptor* type, int number);

// The canonical 36-character form.
std::string UuidText(const kyt::pb::common::UUID& uuid);

// RFC 3339 in UTC ("2026-01-01T00:00:12.500Z"); "invalid time" when the
// Timestamp is out of its range.
std::string TimeText(const google::protobuf::Timestamp& time);
// Seconds from `a` to `b`.
double SecondsBetween(const google::protobuf::Timestamp& a, const google::protobuf::Timestamp& b);
bool Earlier(const google::protobuf::Timestamp& a, const google::protobuf::Timestamp& b);

// A number without needless digits: 0.5, 12, 1e-07.
std::string Number(double value);

}  // namespace cli
}  // namespace common_dto
