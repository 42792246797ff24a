// common-dto demo: builds a ray record, sends it through the binary wire
// format, and prints what a receiver gets back in text and JSON form.
#include <google/protobuf/text_format.h>
#include <google/protobuf/util/json_util.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "ray.pb.h"

namespace {

using kyt::pb::common::Ray;

Ray MakeRay() {
  Ray ray;
  ray.mutable_aq_start_time()->set_seconds(1767225600);  // 2026-01-01T00:00:00Z
  ray.mutable_aq_end_time()->set_seconds(1767225600);
  ray.mutable_aq_end_time()->set_nanos(2'500'000);
  ray.set_index(17);
  ray.mutable_az_range_deg()->set_start_deg(17.0);
  ray.mutable_az_range_deg()->set_span_deg(1.0);
  ray.mutable_el_range_deg()->set_start_deg(0.5);
  ray.mutable_el_range_deg()->set_span_deg(0.0);
  ray.set_ray_config_index(0);  // The first RayConfig of the volume.
  for (double noise : {-112.4, -111.9}) ray.add_noise_dbm(noise);
  for (double stddev : {0.3, 0.4}) ray.add_std_noise_dbm(stddev);
  return ray;
}

int Fail(const std::string& what) {
  std::cerr << "demo: " << what << "\n";
  return EXIT_FAILURE;
}

}  // namespace

int main() {
  GOOGLE_PROTOBUF_VERIFY_VERSION;

  const Ray sent = MakeRay();
  std::string wire;
  if (!sent.SerializeToString(&wire)) return Fail("could not serialize the ray");
  std::cout << "== Ray on the wire: " << wire.size() << " bytes\n";

  Ray received;
  if (!received.ParseFromString(wire)) return Fail("could not parse the ray back");

  std::string text;
  google::protobuf::TextFormat::PrintToString(received, &text);
  std::cout << "\n== As text\n" << text;

  google::protobuf::util::JsonPrintOptions options;
  options.add_whitespace = true;
  options.preserve_proto_field_names = true;  // aq_start_time, not aqStartTime
  std::string json;
  if (!google::protobuf::util::MessageToJsonString(received, &json, options).ok()) {
    return Fail("could not print the ray as JSON");
  }
  std::cout << "\n== As JSON\n" << json;
  return EXIT_SUCCESS;
}
