// Resolving the configuration references of the data model.
//
// Sweeps and rays name their configuration in one of three ways: an inline
// copy, a 0-based index into the lists of the volume's VolumeConfig, or the
// configuration's UUID. The generated classes carry these references as
// values; these functions find what they point at.
#pragma once

#include "common_dto/model/export.h"

#include <string>

#include "data_descriptor.pb.h"
#include "ray.pb.h"
#include "ray_config.pb.h"
#include "sweep_config.pb.h"
#include "sweep_description.pb.h"
#include "volume_config.pb.h"

namespace common_dto {

// The SweepConfig `ref` points at, or null when the reference is unset or
// does not resolve. `config` may be null (then only an inline copy resolves).
COMMON_DTO_MODEL_EXPORT const kyt::pb::common::SweepConfig* ResolveSweepConfig(
    const kyt::pb::common::VolumeConfig* config, const kyt::pb::common::SweepConfigReference& ref);

// The RayConfig `ref` points at, or null (as above).
COMMON_DTO_MODEL_EXPORT const kyt::pb::common::RayConfig* ResolveRayConfig(const kyt::pb::common::VolumeConfig* config,
                                                   const kyt::pb::common::RayConfigReference& ref);

// The RayConfig a ray refers to (by index or UUID), or null.
COMMON_DTO_MODEL_EXPORT const kyt::pb::common::RayConfig* ResolveRayConfig(const kyt::pb::common::VolumeConfig* config,
                                                   const kyt::pb::common::Ray& ray);

// The descriptor of data moment `name` for a sweep: first the data_moments
// of the SweepConfig that `description` refers to, then those of the
// RayConfig that `ray` refers to. Null when there is none. `config` and
// `ray` may be null.
COMMON_DTO_MODEL_EXPORT const kyt::pb::common::DataDescriptor* FindMomentDescriptor(
    const kyt::pb::common::VolumeConfig* config,
    const kyt::pb::common::SweepDescription& description, const kyt::pb::common::Ray* ray,
    const std::string& name);

}  // namespace common_dto
