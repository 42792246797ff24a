// A plugin (a module loaded with dlopen) that links libcommon-dto itself.
// The host program links the library too; both must share one registration.

#include <google/protobuf/descriptor.h>

#include <cstring>
#include <string>

#include "ray.pb.h"
#include "volume.pb.h"

extern "C" {

// The descriptor of kyt.pb.common.Ray as this plugin sees it.
const void* compat_plugin_ray_descriptor() { return kyt::pb::common::Ray::descriptor(); }

// The generated pool as this plugin sees it.
const void* compat_plugin_generated_pool() {
  return google::protobuf::DescriptorPool::generated_pool();
}

// Writes a Ray with the given index into buffer; returns its size, or 0 when
// it does not fit.
size_t compat_plugin_write_ray(int index, char* buffer, size_t capacity) {
  kyt::pb::common::Ray ray;
  ray.set_index(index);
  ray.set_ray_config_index(0);
  ray.add_noise_dbm(-112.5);
  const std::string wire = ray.SerializeAsString();
  if (wire.size() > capacity) return 0;
  std::memcpy(buffer, wire.data(), wire.size());
  return wire.size();
}

// Parses a Volume; returns its number of sweeps, or -1 when it does not parse.
int compat_plugin_count_sweeps(const char* data, size_t size) {
  kyt::pb::common::Volume volume;
  if (!volume.ParseFromArray(data, static_cast<int>(size))) return -1;
  return volume.sweep_size();
}

}  // extern "C"
