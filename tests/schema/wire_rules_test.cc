// The rules readers and writers of this schema rely on, each shown once on a
// message where it matters: open enums, packed lists and their unpacked form,
// unknown fields, negative zero, UTF-8 checks; and the oneof state machines of
// the ray record and the stream envelope.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "geo_primitives.pb.h"
#include "lidar_calib.pb.h"
#include "product_configuration.pb.h"
#include "ray_stream_message.pb.h"
#include "sweep.pb.h"
#include "wire_testing.h"

namespace kyt::pb::common {
namespace {

using common_dto_test::ExpectWire;
using common_dto_test::Hex;
using common_dto_test::HexOf;
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

// Repeated numbers are written packed; readers take the unpacked form too,
// and both forms in one input, appended in wire order.
TEST(WireRules, PackedListsAcceptTheUnpackedForm) {
  const struct {
    const Message& prototype;
    std::string input, output;
  } cases[] = {
      {Ray::default_instance(), "41 " + HexOf(1.0) + " 42 08 " + HexOf(2.0) + " 41 " + HexOf(3.0),
       "42 18 " + HexOf(1.0) + " " + HexOf(2.0) + " " + HexOf(3.0)},
      {DataDescriptor::default_instance(), "50 03 52 01 01 50 14", "52 03 03 01 14"},
      {LidarCalib::default_instance(), "52 02 01 02 50 ac 02", "52 04 01 02 ac 02"},
      {ProductConfiguration::default_instance(), "18 01 1a 02 07 02", "1a 03 01 07 02"},
  };
  for (const auto& c : cases) EXPECT_EQ(Rewritten(c.prototype, c.input), c.output) << c.input;
}

// Numbers the schema leaves out, and known numbers arriving with another wire
// type, are kept apart from the known fields and written after them.
TEST(WireRules, UnknownFieldsAreKeptAndWrittenLast) {
  const struct {
    const Message& prototype;
    std::string known, unknown;
  } cases[] = {
      {Ray::default_instance(), "18 02", "60 07"},
      {Location::default_instance(), "19 " + HexOf(100.0), "11 " + HexOf(1.5)},  // the gap at 2
      {UUID::default_instance(), "10 04", "09 01 00 00 00 00 00 00 00"},      // fixed64, not sint64
      {LatLon::default_instance(), "09 " + HexOf(2.0), "0d " + HexOf(1.0f)},  // float, not double
      {SweepDescription::default_instance(), "0a 00 21 " + HexOf(0.5), "10 07 19 " + HexOf(1.0)},
  };
  for (const auto& c : cases) {
    std::unique_ptr<Message> message(c.prototype.New());
    ASSERT_TRUE(message->ParseFromString(Unhex(c.unknown + " " + c.known))) << c.unknown;
    EXPECT_EQ(Hex(message->SerializeAsString()), c.known + " " + c.unknown);
    message->DiscardUnknownFields();
    EXPECT_EQ(Hex(message->SerializeAsString()), c.known) << c.unknown;
  }
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

  ray.clear_ray_config_uuid();  // Not the current member: nothing changes.
  EXPECT_EQ(ray.RayConfigReference_case(), Ray::kRayConfigIndex);
  ray.mutable_ray_config_uuid();
  EXPECT_EQ(Hex(ray.SerializeAsString()), "32 00");
  ray.clear_RayConfigReference();
  EXPECT_EQ(ray.ByteSizeLong(), 0u);

  // On the wire the last member wins; two UUID records merge.
  EXPECT_EQ(ParseHex<Ray>("32 02 08 02 38 05").ray_config_index(), 5);
  EXPECT_EQ(ParseHex<Ray>("38 05 32 02 08 02").RayConfigReference_case(), Ray::kRayConfigUuid);
  const Ray merged = ParseHex<Ray>("32 02 08 02 32 02 10 04");
  EXPECT_EQ(merged.ray_config_uuid().least_significant_bits(), 1);
  EXPECT_EQ(merged.ray_config_uuid().most_significant_bits(), 2);
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
  // The last piece on the wire wins; the same piece twice merges.
  EXPECT_EQ(Rewritten(RayStreamMessage(), "0a 04 0a 02 08 02 32 00"), "32 00");
  const RayStreamMessage twice = ParseHex<RayStreamMessage>("22 02 10 07 22 04 1a 02 08 0a");
  EXPECT_EQ(twice.parameter_data().ray_index(), 7);
  EXPECT_EQ(twice.parameter_data().data_type().type(), REFLECTIVITY_DBZ);

  // The volume header names its configuration inline or by URI, not both.
  static_assert(VolumeHeader::kVolumeConfig == 3 && VolumeHeader::kVolumeConfigUri == 4, "cases");
  const VolumeHeader both = ParseHex<VolumeHeader>("22 03 12 01 75 1a 00");
  EXPECT_EQ(both.config_ref_case(), VolumeHeader::kVolumeConfig);
  EXPECT_EQ(Hex(both.SerializeAsString()), "1a 00");
}

}  // namespace
}  // namespace kyt::pb::common
