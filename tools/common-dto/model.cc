// Configuration lookups and text forms of model values.
#include "model.h"

#include <fmt/format.h>
#include <google/protobuf/util/time_util.h>

#include "common_dto/stream/ids.h"

namespace common_dto {
namespace cli {

using kyt::pb::common::Ray;
using kyt::pb::common::RayConfig;
using kyt::pb::common::RayConfigReference;
using kyt::pb::common::SweepConfig;
using kyt::pb::common::SweepConfigReference;
using kyt::pb::common::VolumeConfig;

const SweepConfig* ResolveSweepConfig(const VolumeConfig* config, const SweepConfigReference& ref) {
  switch (ref.ConfigReference_case()) {
    case SweepConfigReference::kSweepConfig:
      return &ref.sweep_config();
    case SweepConfigReference::kSweepConfigIndex:
      if (config != nullptr && ref.sweep_config_index() >= 0 &&
          ref.sweep_config_index() < config->sweep_config_size()) {
        return &config->sweep_config(ref.sweep_config_index());
      }
      return nullptr;
    case SweepConfigReference::kSweepConfigUuid:
      if (config == nullptr) return nullptr;
      for (const SweepConfig& candidate : config->sweep_config()) {
        if (candidate.has_uuid() && stream::SameUuid(candidate.uuid(), ref.sweep_config_uuid())) {
          return &candidate;
        }
      }
      return nullptr;
    default:
      return nullptr;
  }
}

namespace {

const RayConfig* RayConfigAt(const VolumeConfig* config, int index) {
  if (config == nullptr || index < 0 || index >= config->ray_config_size()) return nullptr;
  return &config->ray_config(index);
}

const RayConfig* RayConfigWithUuid(const VolumeConfig* config, const kyt::pb::common::UUID& uuid) {
  if (config == nullptr) return nullptr;
  for (const RayConfig& candidate : config->ray_config()) {
    if (candidate.has_uuid() && stream::SameUuid(candidate.uuid(), uuid)) return &candidate;
  }
  return nullptr;
}

}  // namespace

const RayConfig* ResolveRayConfig(const VolumeConfig* config, const RayConfigReference& ref) {
  switch (ref.RayConfigReference_case()) {
    case RayConfigReference::kRayConfig:
      return &ref.ray_config();
    case RayConfigReference::kRayConfigIndex:
      return RayConfigAt(config, ref.ray_config_index());
    case RayConfigReference::kRayConfigUuid:
      return RayConfigWithUuid(config, ref.ray_config_uuid());
    default:
      return nullptr;
  }
}

const RayConfig* ResolveRayConfig(const VolumeConfig* config, const Ray& ray) {
  switch (ray.RayConfigReference_case()) {
    case Ray::kRayConfigIndex:
      return RayConfigAt(config, ray.ray_config_index());
    case Ray::kRayConfigUuid:
      return RayConfigWithUuid(config, ray.ray_config_uuid());
    default:
      return nullptr;
  }
}

std::string EnumName(const google::protobuf::EnumDescriptor* type, int number) {
  const google::protobuf::EnumValueDescriptor* value = type->FindValueByNumber(number);
  return value != nullptr ? value->name() : std::to_string(number);
}

std::string UuidText(const kyt::pb::common::UUID& uuid) { return stream::FormatUuid(uuid); }

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
