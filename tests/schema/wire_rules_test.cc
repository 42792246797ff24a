// The rules readers and writers of this schema rely on, each shown once on a
// message where it matters: open enums, negative zero, which fields are text
// (UTF-8 checked) and which bytes; and which fields share a oneof in the ray
// record and the stream envelope. (Packing on write: wire_bytes_test.cc.)
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "geo_primitives.pb.h"
#include "ray_stream_message.pb.h"
#include "sweep.pb.h"
#include "wire_testing.h"

namespace kyt::pb::common {
namespace {

using common_dto_test::ExpectWire;
using common_dto_test::Hex;
using common_dto_test::kVarintAllOnes;
using common_dto_test::LogCapture;
using common_dto_test::ParseHex;
using common_dto_test::Unhex;
using google::protobuf::Message;
using stream::RayStreamMessage;
using stream::VolumeHeader;

// Reads `hex` into a new message like `prototype` and writes it back.
std::string Rewritten(const Message& prototype, const std::string& hex) {
  std::unique_ptr<Message> message(prototype.New());
  EXPECT_TRUE(message->ParseFromString(Unhex(hex))) << prototype.GetTypeName() << ": " << hex;
  return Hex(message->SerializeAsString());
}

TEST(WireRules, EnumsAreOpen) {
  // A number the enum does not list is kept, alone or in a packed list.
  EXPECT_FALSE(DataType_IsValid(99));
  EXPECT_EQ(ParseHex<DataDescriptor>("08 63").type(), 99);
  EXPECT_EQ(Rewritten(DataDescriptor(), "08 63 52 02 14 03"), "08 63 52 02 14 03");
  DataDescriptor negative;  // A negative number takes ten bytes.
  negative.set_type(static_cast<DataType>(-1));
  ExpectWire(negative, "08 " + kVarintAllOnes);
}

// -0.0 is written and keeps its sign, +0.0 is not written, NaN keeps its bits.
TEST(WireRules, NegativeZeroAndNanKeepTheirBits) {
  Sector sector;
  sector.set_start_deg(0.0);
  EXPECT_EQ(sector.ByteSizeLong(), 0u);
  sector.set_start_deg(-0.0);
  EXPECT_EQ(Hex(sector.SerializeAsString()), "09 00 00 00 00 00 00 00 80");
  EXPECT_TRUE(std::signbit(ParseHex<Sector>("09 00 00 00 00 00 00 00 80").start_deg()));
  EXPECT_TRUE(std::isnan(ParseHex<Sector>("09 00 00 00 00 00 00 f8 7f").start_deg()));
  EXPECT_EQ(Rewritten(Sector(), "09 01 00 00 00 00 00 f8 7f"), "09 01 00 00 00 00 00 f8 7f");
  DataDescriptor::QualityLimits limits;
  limits.set_end_value(-0.0f);
  EXPECT_EQ(Hex(limits.SerializeAsString()), "15 00 00 00 80");
}

// Text fields, map keys and values included, must be UTF-8: the parse fails,
// however deep the field, and the log names it. Bytes fields are not checked.
TEST(WireRules, InvalidUtf8FailsTheParseNamingTheField) {
  const struct {
    const Message& prototype;
    const char* hex;
    const char* field;
  } cases[] = {
      {Identifier::default_instance(), "0a 02 ff fe", "kyt.pb.common.Identifier.name"},
      {Sweep::default_instance(), "32 05 0a 01 ff 12 00",
       "kyt.pb.common.Sweep.SweepMomentsEntry.key"},
      {GeoFeature::default_instance(), "2a 05 0a 00 12 01 ff",
       "kyt.pb.common.GeoFeature.PropertiesEntry.value"},
      {RayStreamMessage::default_instance(), "0a 05 22 03 12 01 ff",
       "kyt.pb.stream.VolumeConfigUri.endpoint"},
  };
  for (const auto& c : cases) {
    std::unique_ptr<Message> message(c.prototype.New());
    LogCapture log;
    EXPECT_FALSE(message->ParseFromString(Unhex(c.hex))) << c.field;
    EXPECT_NE(log.text().find(c.field), std::string::npos) << c.field << ": " << log.text();
  }
  EXPECT_EQ(ParseHex<DataBuffer>("2a 02 ff fe").data(), Unhex("ff fe"));
}

// The ray's RayConfigReference: none, UUID (field 6) or index (field 7).
TEST(RayOneof, OneReferenceAtATime) {
  static_assert(Ray::kRayConfigUuid == 6 && Ray::kRayConfigIndex == 7, "case numbers");
  Ray ray;
  EXPECT_EQ(ray.RayConfigReference_case(), Ray::RAYCONFIGREFERENCE_NOT_SET);
  ray.mutable_ray_config_uuid()->set_least_significant_bits(3);
  ray.set_ray_config_index(0);
  EXPECT_EQ(ray.RayConfigReference_case(), Ray::kRayConfigIndex);
  EXPECT_FALSE(ray.has_ray_config_uuid());
  EXPECT_EQ(ray.ray_config_uuid().least_significant_bits(), 0);
  // Index 0 is a reference: written, and read back as one.
  EXPECT_EQ(Hex(ray.SerializeAsString()), "38 00");
  EXPECT_TRUE(ParseHex<Ray>("38 00").has_ray_config_index());
  // On the wire the last member wins.
  EXPECT_EQ(ParseHex<Ray>("38 05 32 02 08 02").RayConfigReference_case(), Ray::kRayConfigUuid);
}

// Each stream message carries one payload, its case number its field number.
TEST(StreamEnvelope, OnePayloadPerMessage) {
  EXPECT_EQ(ParseHex<RayStreamMessage>("").payload_case(), RayStreamMessage::PAYLOAD_NOT_SET);
  const char* const tags[] = {"0a", "12", "1a", "22", "2a", "32", "3a"};
  for (int i = 0; i < 7; ++i) {
    const std::string hex = std::string(tags[i]) + " 00";
    EXPECT_EQ(ParseHex<RayStreamMessage>(hex).payload_case(), i + 1) << hex;
    EXPECT_EQ(Rewritten(RayStreamMessage(), hex), hex);
  }
  // The last piece on the wire wins.
  EXPECT_EQ(Rewritten(RayStreamMessage(), "0a 04 0a 02 08 02 32 00"), "32 00");

  // The volume header names its configuration inline or by URI, not both.
  static_assert(VolumeHeader::kVolumeConfig == 3 && VolumeHeader::kVolumeConfigUri == 4, "cases");
  const VolumeHeader both = ParseHex<VolumeHeader>("22 03 12 01 75 1a 00");
  EXPECT_EQ(both.config_ref_case(), VolumeHeader::kVolumeConfig);
  EXPECT_EQ(Hex(both.SerializeAsString()), "1a 00");
}

}  // namespace
}  // namespace kyt::pb::common
