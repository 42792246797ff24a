// A consumer of libcommon-dto, built once per supported C++ standard
// (C++14, C++17, C++20). It ODR-uses the enum constants of message classes
// the way test macros and generic code do: by binding them to references and
// taking their addresses. A C++14 consumer then needs an out-of-line
// definition of each constant in the library, which C++17 code treats as
// inline variables; the program must link and run on every standard.

#include <cstdio>
#include <string>

#include "consumer_use.h"
#include "data_buffer.pb.h"
#include "data_descriptor.pb.h"
#include "product_configuration.pb.h"
#include "ray_stream_message.pb.h"

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "consumer (C++ %ld): %s\n", static_cast<long>(__cplusplus), what);
    ++failures;
  }
}

}  // namespace

int main() {
  using kyt::pb::common::DataBuffer;
  using kyt::pb::common::DataDescriptor;
  using kyt::pb::common::ProductConfiguration;

  Check(__cplusplus == COMMON_DTO_EXPECTED_CPLUSPLUS, "built with an unexpected C++ standard");

  // Enum-typed class constants bound to references of their own type, as
  // EXPECT_EQ(a, b) does through its const T& parameters.
  Check(UseCorrection(DataDescriptor::CLUTTER_FILTERING) == 3, "DataDescriptor::CLUTTER_FILTERING");
  Check(UseCompression(DataBuffer::LZ4) == DataBuffer::LZ4 + 0, "DataBuffer::LZ4");
  Check(UseCorrection(DataDescriptor::DataCorrections_MAX) ==
            kyt::pb::common::DataDescriptor_DataCorrections_DataCorrections_MAX,
        "DataDescriptor::DataCorrections_MAX");
  // int class constants bound to const int&.
  Check(UseInt(DataDescriptor::DataCorrections_ARRAYSIZE) ==
            kyt::pb::common::DataDescriptor_DataCorrections_DataCorrections_ARRAYSIZE,
        "DataDescriptor::DataCorrections_ARRAYSIZE");
  Check(UseInt(DataBuffer::CompressionType_ARRAYSIZE) ==
            kyt::pb::common::DataBuffer_CompressionType_CompressionType_ARRAYSIZE,
        "DataBuffer::CompressionType_ARRAYSIZE");
  // Addresses of constants, as generic code holding pointers does.
  Check(AddressOf(&DataDescriptor::UNKOWN_POLARIZATION) != nullptr,
        "&DataDescriptor::UNKOWN_POLARIZATION");
  Check(AddressOf(&ProductConfiguration::ProductIntegrator_MIN) != nullptr,
        "&ProductConfiguration::ProductIntegrator_MIN");

  // The library works as well: a message built here survives the wire.
  DataDescriptor descriptor;
  descriptor.add_corrections(DataDescriptor::CLUTTER_FILTERING);
  descriptor.add_corrections(DataDescriptor::BEAM_BLOCKAGE);
  kyt::pb::stream::RayStreamMessage message;
  message.mutable_ray_end()->set_ray_index(7);
  DataDescriptor descriptor_back;
  kyt::pb::stream::RayStreamMessage message_back;
  Check(descriptor_back.ParseFromString(descriptor.SerializeAsString()) &&
            descriptor_back.corrections_size() == 2 &&
            descriptor_back.corrections(0) == DataDescriptor::CLUTTER_FILTERING,
        "DataDescriptor round trip");
  Check(message_back.ParseFromString(message.SerializeAsString()) &&
            message_back.payload_case() == kyt::pb::stream::RayStreamMessage::kRayEnd &&
            message_back.ray_end().ray_index() == 7,
        "RayStreamMessage round trip");
  Check(DataDescriptor::DataCorrections_Name(DataDescriptor::CLUTTER_FILTERING) ==
            "CLUTTER_FILTERING",
        "DataCorrections_Name");

  if (failures == 0) std::printf("consumer (C++ %ld): ok\n", static_cast<long>(__cplusplus));
  return failures == 0 ? 0 : 1;
}
