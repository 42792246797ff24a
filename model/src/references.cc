// Resolving configuration references.
#include "common_dto/model/references.h"

#include "common_dto/model/uuid.h"

namespace common_dto {

using kyt::pb::common::Ray;
using kyt::pb::common::RayConfig;
using kyt::pb::common::RayConfigReference;
using kyt::pb::common::SweepConfig;
using kyt::pb::common::SweepConfigReference;
using kyt::pb::common::UUID;
using kyt::pb::common::VolumeConfig;

namespace {

const RayConfig* RayConfigAt(const VolumeConfig* config, int index) {
  if (config == nullptr || index < 0 || index >= config->ray_config_size()) return nullptr;
  return &config->ray_config(index);
}

const RayConfig* RayConfigWithUuid(const VolumeConfig* config, const UUID& uuid) {
  if (config == nullptr) return nullptr;
  for (const RayConfig& candidate : config->ray_config()) {
    if (candidate.has_uuid() && SameUuid(candidate.uuid(), uuid)) return &candidate;
  }
  return nullptr;
}

}  // namespace

const SweepConfig* ResolveSweepConfig(const VolumeConfig* config, const SweepConfigReference& ref) {
  switch (ref.ConfigReference_case()) {
    case SweepConfigReference::kSweepConfig:
      return &ref.sweep_config();
    case SweepConfigReference::kSweepConfigIndex:
      if (config == nullptr || ref.sweep_config_index() < 0 ||
          ref.sweep_config_index() >= config->sweep_config_size()) {
        return nullptr;
      }
      return &config->sweep_config(ref.sweep_config_index());
    case SweepConfigReference::kSweepConfigUuid:
      if (config == nullptr) return nullptr;
      for (const SweepConfig& candidate : config->sweep_config()) {
        if (candidate.has_uuid() && SameUuid(candidate.uuid(), ref.sweep_config_uuid())) {
          return &candidate;
        }
      }
      return nullptr;
    default:
      return nullptr;
  }
}

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

const kyt::pb::common::DataDescriptor* FindMomentDescriptor(
    const kyt::pb::common::VolumeConfig* config,
    const kyt::pb::common::SweepDescription& description, const kyt::pb::common::Ray* ray,
    const std::string& name) {
  if (const auto* sweep_config = ResolveSweepConfig(config, description.config())) {
    auto it = sweep_config->data_moments().find(name);
    if (it != sweep_config->data_moments().end()) return &it->second;
  }
  if (ray != nullptr) {
    if (const auto* ray_config = ResolveRayConfig(config, *ray)) {
      auto it = ray_config->data_moments().find(name);
      if (it != ray_config->data_moments().end()) return &it->second;
    }
  }
  return nullptr;
}

}  // namespace common_dto
