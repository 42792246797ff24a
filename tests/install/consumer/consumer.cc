// Uses the installed headers and library: builds a ray, round-trips it and
// finds a schema file in the generated pool by its bare name.
#include <google/protobuf/descriptor.h>

#include <iostream>

#include "ray.pb.h"

int main() {
  kyt::pb::common::Ray ray;
  ray.set_index(5);
  ray.set_ray_config_index(0);
  kyt::pb::common::Ray back;
  if (!back.ParseFromString(ray.SerializeAsString()) || back.index() != 5 ||
      back.RayConfigReference_case() != kyt::pb::common::Ray::kRayConfigIndex) {
    std::cerr << "round trip failed\n";
    return 1;
  }
  const auto* file =
      google::protobuf::DescriptorPool::generated_pool()->FindFileByName("ray.proto");
  if (file == nullptr || file->package() != "kyt.pb.common") {
    std::cerr << "ray.proto not registered\n";
    return 1;
  }
  std::cout << "consumer ok\n";
  return 0;
}
