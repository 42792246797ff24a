// Lookups shared by the assembler and the splitter.
#pragma once

#include <string>
#include <string_view>

#include "data_descriptor.pb.h"
#include "ray.pb.h"
#include "sweep_description.pb.h"
#include "volume_config.pb.h"

namespace common_dto {
namespace stream {
namespace internal {

// The descriptor of moment `name` for a sweep: first the data_moments of the
// sweep's SweepConfig (inline in `description`, or by index into or UUID in
// `config`), then those of the RayConfig that `ray` refers to (by index or
// UUID in `config`). Null when there is none. `config` and `ray` may be null.
const kyt::pb::common::DataDescriptor* FindMomentDescriptor(
    const kyt::pb::common::VolumeConfig* config,
    const kyt::pb::common::SweepDescription& description, const kyt::pb::common::Ray* ray,
    const std::string& name);

// The SweepConfig that `description` refers to: inline, or by index into or
// UUID in `config` (which may be null). Null when there is none. Not
// exported: only the library's own code uses it.
[[gnu::visibility("hidden")]] const kyt::pb::common::SweepConfig* FindSweepConfig(
    const kyt::pb::common::VolumeConfig* config,
    const kyt::pb::common::SweepDescription& description);

}  // namespace internal
}  // namespace stream
}  // namespace common_dto
