// Configuration lookups and text forms of model values.
#include "model.h"

#include <fmt/format.h>
#include <google/protobuf/util/time_util.h>

#include "common_dto/model/uuid.h"

namespace common_dto {
namespace cli {

std::string EnumName(const google::protobuf::EnumDescriptor* type, int number) {
  const google::protobuf::EnumValueDescriptor* value = type->FindValueByNumber(number);
  return value != nullptr ? value->name() : std::to_string(number);
}

std::string UuidText(const kyt::pb::common::UUID& uuid) { return FormatUuid(uuid); }

std::string TimeText(const google::protobuf::Timestamp& time) {
  using google::protobuf::util::TimeUtil;
  if (time.seconds() < TimeUtil::kTimestampMinSeconds ||
      time.seconds() > TimeUtil::kTimestampMaxSeconds || time.nanos() < 0 ||
      time.nanos() > 999999999) {
    return "invalid time";
  }
  return TimeUtil::ToString(time);
}

double SecondsBetween(const google::protobuf::Timestamp& a, const google::protobuf::Timestamp& b) {
  return static_cast<double>(b.seconds() - a.seconds()) +
         static_cast<double>(b.nanos() - a.nanos()) * 1e-9;
}

bool Earlier(const google::protobuf::Timestamp& a, const google::protobuf::Timestamp& b) {
  return a.seconds() < b.seconds() || (a.seconds() == b.seconds() && a.nanos() < b.nanos());
}

std::string Number(double value) { return fmt::format("{}", value); }

}  // namespace cli
}  // namespace common_dto
