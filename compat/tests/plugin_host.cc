// Links libcommon-dto and loads a plugin that links it as well, then checks
// that the process holds one copy of the library with one registration of
// the schema, and that messages pass between the two in both directions.
//
//   plugin_host PLUGIN LIBRARY-FILE
//
// LIBRARY-FILE is the library under its full versioned file name, a second
// path to the object the host is already linked with.

#include <dlfcn.h>
#include <google/protobuf/descriptor.h>
#include <link.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "ray.pb.h"
#include "volume.pb.h"

namespace {

int failures = 0;

void Check(bool ok, const std::string& what) {
  if (!ok) {
    std::fprintf(stderr, "plugin_host: %s\n", what.c_str());
    ++failures;
  }
}

// How many loaded objects have libcommon-dto in their file name.
int CountLoadedCopies() {
  int count = 0;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        if (info->dlpi_name != nullptr && std::strstr(info->dlpi_name, "libcommon-dto.so")) {
          ++*static_cast<int*>(data);
        }
        return 0;
      },
      &count);
  return count;
}

template <typename Function>
Function Symbol(void* handle, const char* name) {
  void* symbol = dlsym(handle, name);
  Check(symbol != nullptr, std::string("plugin lacks ") + name);
  return reinterpret_cast<Function>(symbol);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: plugin_host PLUGIN LIBRARY-FILE\n");
    return 2;
  }
  // Registers the schema through the host's own link to the library.
  const auto* volume_type = kyt::pb::common::Volume::descriptor();
  Check(CountLoadedCopies() == 1, "the host should start with one copy of libcommon-dto");

  void* plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (plugin == nullptr) {
    std::fprintf(stderr, "plugin_host: cannot load %s: %s\n", argv[1], dlerror());
    return 1;
  }
  // The library opened again under another path is the object already loaded.
  void* library = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
  Check(library != nullptr, std::string("cannot open ") + argv[2]);
  Check(CountLoadedCopies() == 1, "libcommon-dto is loaded more than once");

  auto ray_descriptor = Symbol<const void* (*)()>(plugin, "compat_plugin_ray_descriptor");
  auto generated_pool = Symbol<const void* (*)()>(plugin, "compat_plugin_generated_pool");
  auto write_ray = Symbol<size_t (*)(int, char*, size_t)>(plugin, "compat_plugin_write_ray");
  auto count_sweeps = Symbol<int (*)(const char*, size_t)>(plugin, "compat_plugin_count_sweeps");
  if (failures > 0) return 1;

  // One registration: the plugin sees the very descriptors and pool of the host.
  Check(ray_descriptor() == kyt::pb::common::Ray::descriptor(),
        "the plugin sees another descriptor of kyt.pb.common.Ray");
  Check(generated_pool() == google::protobuf::DescriptorPool::generated_pool(),
        "the plugin sees another generated pool");
  Check(volume_type->file()->pool()->FindFileByName("ray.proto") ==
            kyt::pb::common::Ray::descriptor()->file(),
        "ray.proto is registered twice");

  // A message from the plugin parses in the host ...
  char buffer[256];
  const size_t size = write_ray(42, buffer, sizeof buffer);
  kyt::pb::common::Ray ray;
  Check(size > 0 && ray.ParseFromArray(buffer, static_cast<int>(size)) && ray.index() == 42 &&
            ray.RayConfigReference_case() == kyt::pb::common::Ray::kRayConfigIndex &&
            ray.noise_dbm_size() == 1,
        "a Ray written by the plugin does not read back in the host");
  // ... and one from the host in the plugin.
  kyt::pb::common::Volume volume;
  volume.add_sweep();
  volume.add_sweep()->add_rays()->set_index(3);
  const std::string wire = volume.SerializeAsString();
  Check(count_sweeps(wire.data(), wire.size()) == 2,
        "a Volume written by the host does not read back in the plugin");

  if (library != nullptr) dlclose(library);
  dlclose(plugin);
  if (failures == 0)
    std::printf("plugin_host: one copy of libcommon-dto, messages pass both ways\n");
  return failures == 0 ? 0 : 1;
}
