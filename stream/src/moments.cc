// Moment descriptor lookup and UTF-8 validation.
#include "moments.h"

#include "common_dto/stream/references.h"

namespace common_dto {
namespace stream {
namespace internal {

using kyt::pb::common::DataDescriptor;
using kyt::pb::common::Ray;
using kyt::pb::common::SweepConfig;
using kyt::pb::common::VolumeConfig;

const SweepConfig* FindSweepConfig(const VolumeConfig* config,
                                   const kyt::pb::common::SweepDescription& description) {
  return ResolveSweepConfig(config, description.config());
}

const DataDescriptor* FindMomentDescriptor(const VolumeConfig* config,
                                           const kyt::pb::common::SweepDescription& description,
                                           const Ray* ray, const std::string& name) {
  if (const SweepConfig* sweep_config = ResolveSweepConfig(config, description.config())) {
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

}  // namespace internal

bool IsValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra = 0;
    unsigned char lo = 0x80, hi = 0xbf;  // Range of the second byte.
    if (c >= 0xc2 && c <= 0xdf) {
      extra = 1;
    } else if (c >= 0xe0 && c <= 0xef) {
      extra = 2;
      if (c == 0xe0) lo = 0xa0;  // No overlong forms.
      if (c == 0xed) hi = 0x9f;  // No surrogates.
    } else if (c >= 0xf0 && c <= 0xf4) {
      extra = 3;
      if (c == 0xf0) lo = 0x90;
      if (c == 0xf4) hi = 0x8f;  // Nothing above U+10FFFF.
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (int i = 2; i <= extra; ++i) {
      if (p[i] < 0x80 || p[i] > 0xbf) return false;
    }
    p += extra + 1;
  }
  return true;
}
}  // namespace stream
}  // namespace common_dto
