// Foundation types: identifiers, time, scales, data descriptors, data buffers
// and rays. Exact wire bytes, the generic rules every generated class follows,
// and the Ray oneof state machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "data_buffer.pb.h"
#include "data_descriptor.pb.h"
#include "data_type_request.pb.h"
#include "range_mask.pb.h"
#include "ray.pb.h"
#include "sector.pb.h"
#include "step_scale.pb.h"
#include "time.pb.h"
#include "uuid.pb.h"
#include "wire_testing.h"
#include "ymds_time.pb.h"

namespace kyt::pb::common {
namespace {

using common_dto_test::Hex;
using common_dto_test::LogCapture;
using common_dto_test::SerializeDeterministic;
using common_dto_test::Unhex;

template <typename M>
M Parse(const std::string& hex) {
  M message;
  EXPECT_TRUE(message.ParseFromString(Unhex(hex))) << M::descriptor()->full_name() << " " << hex;
  return message;
}

const std::string kNineFf = "ff ff ff ff ff ff ff ff ff";

// ---------------------------------------------------------------------------
// Identifiers and time.

TEST(UuidWire, HalvesAreZigzagVarints) {
  UUID id;
  EXPECT_EQ(Hex(id.SerializeAsString()), "");
  id.set_least_significant_bits(-1);
  EXPECT_EQ(Hex(id.SerializeAsString()), "08 01");
  id.set_least_significant_bits(1);
  id.set_most_significant_bits(-2);
  EXPECT_EQ(Hex(id.SerializeAsString()), "08 02 10 03");

  id.Clear();
  id.set_most_significant_bits(std::numeric_limits<int64_t>::min());
  EXPECT_EQ(Hex(id.SerializeAsString()), "10 " + kNineFf + " 01");
  id.Clear();
  id.set_least_significant_bits(std::numeric_limits<int64_t>::max());
  EXPECT_EQ(Hex(id.SerializeAsString()), "08 fe ff ff ff ff ff ff ff ff 01");

  // What a plain int64 writer would send for 1 reads as -1 here.
  EXPECT_EQ(Parse<UUID>("08 01").least_significant_bits(), -1);
}

TEST(UuidWire, HalfWithAnotherWireTypeIsKeptAsUnknownAndWrittenLast) {
  const UUID id = Parse<UUID>("09 01 00 00 00 00 00 00 00 10 04");
  EXPECT_EQ(id.least_significant_bits(), 0);
  EXPECT_EQ(id.most_significant_bits(), 2);
  EXPECT_EQ(Hex(id.SerializeAsString()), "10 04 09 01 00 00 00 00 00 00 00");
}

TEST(IdentifierWire, PresenceAndInvalidUtf8) {
  Identifier named;
  EXPECT_EQ(named.ByteSizeLong(), 0u);
  named.mutable_id();  // Present, all zero: still written.
  EXPECT_EQ(Hex(named.SerializeAsString()), "12 00");
  EXPECT_TRUE(Parse<Identifier>("12 00").has_id());

  Identifier parsed;
  LogCapture log;
  EXPECT_FALSE(parsed.ParseFromString(Unhex("0a 02 ff fe")));
  EXPECT_NE(log.text().find("kyt.pb.common.Identifier.name"), std::string::npos) << log.text();

  // Serializing such a name logs the same error and writes the bytes anyway.
  Identifier bad;
  bad.set_name(Unhex("ff fe"));
  LogCapture write_log;
  EXPECT_EQ(Hex(bad.SerializeAsString()), "0a 02 ff fe");
  EXPECT_NE(write_log.text().find("kyt.pb.common.Identifier.name"), std::string::npos);
}

TEST(TimeWire, TimeSpanAndYmdsTime) {
  TimeSpan span;
  EXPECT_EQ(span.ByteSizeLong(), 0u);
  span.mutable_start()->set_seconds(10);
  span.mutable_end()->set_seconds(5);  // End before start is stored as given.
  EXPECT_EQ(Hex(span.SerializeAsString()), "0a 02 08 0a 12 02 08 05");
  span.clear_start();
  const TimeSpan back = Parse<TimeSpan>(Hex(span.SerializeAsString()));
  EXPECT_FALSE(back.has_start());
  EXPECT_EQ(back.end().seconds(), 5);

  YMDSTime time;
  time.set_second(300);
  EXPECT_EQ(Hex(time.SerializeAsString()), "08 ac 02");
  time.Clear();
  time.set_day(31);
  EXPECT_EQ(Hex(time.SerializeAsString()), "28 1f");
  time.Clear();
  time.set_month(13);
  time.set_millisecond(0xffffffffu);
  EXPECT_EQ(Hex(time.SerializeAsString()), "10 ff ff ff ff 0f 20 0d");
}

// ---------------------------------------------------------------------------
// Scales.

TEST(ScaleWire, StepScaleAndRangeScaleSegments) {
  StepScale scale;
  scale.set_start(100);
  scale.set_step(250);
  scale.set_count(4);
  const std::string first = "09 00 00 00 00 00 00 59 40 11 00 00 00 00 00 40 6f 40 18 04";
  EXPECT_EQ(Hex(scale.SerializeAsString()), first);

  RangeScale range;
  *range.add_range_m() = scale;
  range.add_range_m()->set_step(500);
  range.mutable_range_m(1)->set_count(2);
  range.add_range_m();  // All zero, still a record.
  const std::string wire = "0a 14 " + first + " 0a 0b 11 00 00 00 00 00 40 7f 40 18 02 0a 00";
  EXPECT_EQ(Hex(range.SerializeAsString()), wire);
  const RangeScale back = Parse<RangeScale>(wire);
  ASSERT_EQ(back.range_m_size(), 3);
  EXPECT_EQ(back.range_m(1).step(), 500);

  StepScale negative;
  negative.set_count(-1);
  EXPECT_EQ(Hex(negative.SerializeAsString()), "18 " + kNineFf + " 01");

  // Merging appends segments.
  RangeScale merged = back;
  merged.MergeFrom(back);
  EXPECT_EQ(merged.range_m_size(), 6);
}

// The runtime writes a singular floating-point zero only when its bits are not
// all zero: -0.0 is written and keeps its sign, +0.0 is not, NaN keeps its
// bit pattern.
TEST(FloatingPointWire, NegativeZeroKeepsItsSignAndNanItsBits) {
  Sector sector;
  sector.set_start_deg(0.0);
  EXPECT_EQ(sector.ByteSizeLong(), 0u);
  sector.set_start_deg(-0.0);
  EXPECT_EQ(Hex(sector.SerializeAsString()), "09 00 00 00 00 00 00 00 80");
  const Sector back = Parse<Sector>(Hex(sector.SerializeAsString()));
  EXPECT_TRUE(std::signbit(back.start_deg()));

  sector.set_start_deg(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(Hex(sector.SerializeAsString()), "09 00 00 00 00 00 00 f8 7f");
  EXPECT_TRUE(std::isnan(Parse<Sector>("09 00 00 00 00 00 00 f8 7f").start_deg()));

  DataDescriptor::QualityLimits limits;
  limits.set_end_value(-0.0f);
  EXPECT_EQ(Hex(limits.SerializeAsString()), "15 00 00 00 80");
  EXPECT_TRUE(std::signbit(Parse<DataDescriptor::QualityLimits>("15 00 00 00 80").end_value()));
}

// ---------------------------------------------------------------------------
// Data descriptors.

TEST(DataDescriptorWire, EnumsAndNegativeVarints) {
  DataDescriptor descriptor;
  EXPECT_EQ(descriptor.ByteSizeLong(), 0u);
  descriptor.set_type(REFLECTIVITY_DBZ);
  EXPECT_EQ(Hex(descriptor.SerializeAsString()), "08 0a");

  // Open enums: a number outside the list survives, a negative one takes ten bytes.
  EXPECT_EQ(Parse<DataDescriptor>("08 63").type(), 99);
  EXPECT_FALSE(DataType_IsValid(99));
  descriptor.set_type(static_cast<DataType>(99));
  EXPECT_EQ(Hex(descriptor.SerializeAsString()), "08 63");
  descriptor.set_type(static_cast<DataType>(-1));
  EXPECT_EQ(Hex(descriptor.SerializeAsString()), "08 " + kNineFf + " 01");

  DataTypeRequest request;
  request.set_type(ZDR_DB);
  request.set_short_name("ZDR");
  EXPECT_EQ(Hex(request.SerializeAsString()), "08 13 12 03 5a 44 52");

  DataDescriptor flags;
  flags.set_is_quality_parameter(true);
  flags.mutable_quality_limits();
  EXPECT_EQ(Hex(flags.SerializeAsString()), "58 01 62 00");
  EXPECT_TRUE(Parse<DataDescriptor>("62 00").has_quality_limits());

  DataDescriptor::DisplayLimits display;
  display.set_start_value(-32.0f);
  EXPECT_EQ(Hex(display.SerializeAsString()), "0d 00 00 00 c2");  // range 0 not written
}

TEST(DataDescriptorWire, CorrectionsArePackedAndUnpackedInputIsAccepted) {
  DataDescriptor descriptor;
  descriptor.add_corrections(DataDescriptor::CLUTTER_FILTERING);
  descriptor.add_corrections(DataDescriptor::CLUTTER_FILTERING);
  descriptor.add_corrections(DataDescriptor::RANGE_NORMALIZATION);
  EXPECT_EQ(Hex(descriptor.SerializeAsString()), "52 03 03 03 01");

  const DataDescriptor unpacked = Parse<DataDescriptor>("50 03 50 03 50 01");
  EXPECT_EQ(Hex(unpacked.SerializeAsString()), "52 03 03 03 01");

  // Packed, then one more unpacked: appended in wire order; 20 is kept.
  const DataDescriptor mixed = Parse<DataDescriptor>("52 02 03 01 50 14");
  ASSERT_EQ(mixed.corrections_size(), 3);
  EXPECT_EQ(mixed.corrections(2), 20);
}

TEST(DataDescriptorWire, MapEntriesLastWinsAndDeterministicOrder) {
  DataDescriptor descriptor;
  (*descriptor.mutable_thresholds())["a"] = 0.0f;
  EXPECT_EQ(Hex(descriptor.SerializeAsString()), "4a 08 0a 01 61 15 00 00 00 00");

  // Same key twice: the value read last stays. An entry without its value
  // yields 0, one without its key is stored under "".
  const DataDescriptor twice = Parse<DataDescriptor>(
      "4a 08 0a 01 61 15 00 00 80 3f 4a 08 0a 01 61 15 00 00 00 40 4a 03 0a 01 62 4a 05 15 00 "
      "00 40 40");
  ASSERT_EQ(twice.thresholds().size(), 3u);
  EXPECT_EQ(twice.thresholds().at("a"), 2.0f);
  EXPECT_EQ(twice.thresholds().at("b"), 0.0f);
  EXPECT_EQ(twice.thresholds().at(""), 3.0f);

  DataDescriptor::DataScale scale;
  (*scale.mutable_enum_names())[1] = "rain";
  EXPECT_EQ(Hex(scale.SerializeAsString()), "1a 08 08 01 12 04 72 61 69 6e");
  scale.Clear();
  (*scale.mutable_enum_names())[0] = "";
  EXPECT_EQ(Hex(scale.SerializeAsString()), "1a 04 08 00 12 00");
  scale.Clear();
  (*scale.mutable_enum_names())[-1] = "x";
  EXPECT_EQ(Hex(scale.SerializeAsString()), "1a 0e 08 " + kNineFf + " 01 12 01 78");

  // Deterministic: string keys by bytes, integer keys numerically (negative first).
  DataDescriptor ordered;
  for (const char* key : {"zz", "b", "a", "ab"}) (*ordered.mutable_thresholds())[key] = 1.0f;
  for (int code : {7, -3, 0, 300}) (*ordered.mutable_scale()->mutable_bitfield_names())[code] = "n";
  const std::string wire = SerializeDeterministic(ordered);
  std::vector<size_t> positions;
  for (std::string key : {"a", "ab", "b", "zz"}) {
    positions.push_back(wire.find("\x0a" + std::string(1, static_cast<char>(key.size())) + key));
  }
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end())) << Hex(wire);
  EXPECT_EQ(SerializeDeterministic(Parse<DataDescriptor>(Hex(wire))), wire);
  const std::string bitfields = SerializeDeterministic(ordered.scale());
  EXPECT_EQ(Hex(bitfields),
            "22 0e 08 fd ff ff ff ff ff ff ff ff 01 12 01 6e 22 05 08 00 12 01 6e "
            "22 05 08 07 12 01 6e 22 06 08 ac 02 12 01 6e");
}

TEST(DataDescriptorWire, InvalidUtf8InKeysAndNamesFailsNamingTheField) {
  struct Case {
    const char* hex;
    const char* field;
  };
  for (const Case& c : {
           Case{"22 01 ff", "kyt.pb.common.DataDescriptor.short_name"},
           Case{"2a 01 ff", "kyt.pb.common.DataDescriptor.legend"},
           Case{"32 01 ff", "kyt.pb.common.DataDescriptor.description"},
           Case{"42 01 ff", "kyt.pb.common.DataDescriptor.custom_data_unit"},
           Case{"4a 03 0a 01 ff", "kyt.pb.common.DataDescriptor.ThresholdsEntry.key"},
           Case{"72 07 1a 05 08 01 12 01 ff",
                "kyt.pb.common.DataDescriptor.DataScale.EnumNamesEntry.value"},
           Case{"72 07 22 05 08 01 12 01 ff",
                "kyt.pb.common.DataDescriptor.DataScale.BitfieldNamesEntry.value"},
       }) {
    DataDescriptor descriptor;
    LogCapture log;
    EXPECT_FALSE(descriptor.ParseFromString(Unhex(c.hex))) << c.field;
    EXPECT_NE(log.text().find(c.field), std::string::npos) << c.field << ": " << log.text();
  }
  DataTypeRequest request;
  LogCapture log;
  EXPECT_FALSE(request.ParseFromString(Unhex("12 01 ff")));
  EXPECT_NE(log.text().find("kyt.pb.common.DataTypeRequest.short_name"), std::string::npos);
}

TEST(DataDescriptorWire, LinearScaleEncodings) {
  DataDescriptor::DataScale::LinearDataScale linear;
  linear.set_under_threshold(-1);
  EXPECT_EQ(Hex(linear.SerializeAsString()), "08 " + kNineFf + " 01");
  linear.Clear();
  linear.set_offset(-32);
  EXPECT_EQ(Hex(linear.SerializeAsString()), "19 00 00 00 00 00 00 40 c0");
  linear.Clear();
  linear.set_step(0.5);
  EXPECT_EQ(Hex(linear.SerializeAsString()), "21 00 00 00 00 00 00 e0 3f");

  // A linear scale beside a type that says otherwise is stored as given.
  DataDescriptor::DataScale scale;
  scale.set_type(DataDescriptor::DataScale::ENUM);
  *scale.mutable_linear_scale() = linear;
  EXPECT_EQ(Hex(scale.SerializeAsString()), "08 02 12 09 21 00 00 00 00 00 00 e0 3f");
}

// ---------------------------------------------------------------------------
// Data buffers.

TEST(DataBufferWire, FieldsAndOpaqueBytes) {
  DataBuffer buffer;
  EXPECT_EQ(buffer.ByteSizeLong(), 0u);
  buffer.set_endian(DataBuffer::LITTLE);
  buffer.set_type(DataBuffer::UINT16);
  buffer.set_compression(DataBuffer::NONE);
  buffer.set_uncompressed_size(4);
  buffer.set_data(Unhex("01 00 02 01"));
  EXPECT_EQ(Hex(buffer.SerializeAsString()), "08 01 10 02 18 01 20 04 2a 04 01 00 02 01");

  // Bytes are not text: no UTF-8 check. Nothing is checked against anything.
  DataBuffer opaque;
  opaque.set_compression(DataBuffer::LZ4);
  opaque.set_uncompressed_size(-1);
  opaque.set_data(Unhex("ff fe"));
  const std::string wire = "18 02 20 " + kNineFf + " 01 2a 02 ff fe";
  EXPECT_EQ(Hex(opaque.SerializeAsString()), wire);
  EXPECT_EQ(Parse<DataBuffer>(wire).data(), Unhex("ff fe"));

  const DataBuffer odd = Parse<DataBuffer>("10 09");
  EXPECT_EQ(odd.type(), 9);
  EXPECT_FALSE(DataBuffer_StorageType_IsValid(9));
  EXPECT_EQ(Hex(odd.SerializeAsString()), "10 09");

  buffer.Clear();
  buffer.set_compression(DataBuffer::UNKNOWN_COMPRESSION);
  EXPECT_EQ(buffer.ByteSizeLong(), 0u);
}

// ---------------------------------------------------------------------------
// Rays.

TEST(RayWire, ExactBytes) {
  Ray ray;
  EXPECT_EQ(ray.ByteSizeLong(), 0u);
  ray.set_index(5);
  ray.mutable_az_range_deg()->set_start_deg(90);
  ray.mutable_az_range_deg()->set_span_deg(1);
  ray.set_ray_config_index(0);
  EXPECT_EQ(Hex(ray.SerializeAsString()),
            "18 05 22 12 09 00 00 00 00 00 80 56 40 11 00 00 00 00 00 00 f0 3f 38 00");

  Ray negative;
  negative.set_index(-1);
  EXPECT_EQ(Hex(negative.SerializeAsString()), "18 " + kNineFf + " 01");

  Ray times;
  times.mutable_aq_start_time()->set_seconds(1);
  times.mutable_aq_end_time();
  times.mutable_el_range_deg();
  EXPECT_EQ(Hex(times.SerializeAsString()), "0a 02 08 01 12 00 2a 00");
}

TEST(RayWire, ListsArePackedBitForBitAndUnpackedInputIsAccepted) {
  Ray ray;
  ray.add_noise_dbm(0.0);
  ray.add_noise_dbm(-0.0);
  EXPECT_EQ(Hex(ray.SerializeAsString()), "42 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 80");
  EXPECT_TRUE(std::signbit(Parse<Ray>(Hex(ray.SerializeAsString())).noise_dbm(1)));

  const std::string packed = "42 10 00 00 00 00 00 00 f0 3f 00 00 00 00 00 00 00 40";
  const Ray unpacked = Parse<Ray>("41 00 00 00 00 00 00 f0 3f 41 00 00 00 00 00 00 00 40");
  EXPECT_EQ(Hex(unpacked.SerializeAsString()), packed);

  // Each list has its own tag; packed then unpacked appends in wire order.
  const Ray all = Parse<Ray>("4a 08 00 00 00 00 00 00 08 40 52 00 59 00 00 00 00 00 00 10 40 " +
                             packed + " 41 00 00 00 00 00 00 08 40");
  EXPECT_EQ(all.noise_dbm_size(), 3);
  EXPECT_EQ(all.noise_dbm(2), 3.0);
  EXPECT_EQ(all.std_noise_dbm(0), 3.0);
  EXPECT_EQ(all.burst_power_dbm_size(), 0);
  EXPECT_EQ(all.std_burst_power_dbm(0), 4.0);
}

TEST(RayWire, UnknownFieldsAreKeptAndWrittenLast) {
  const Ray ray = Parse<Ray>("60 07 18 02");
  EXPECT_EQ(ray.index(), 2);
  EXPECT_EQ(Hex(ray.SerializeAsString()), "18 02 60 07");
}

// The RayConfigReference oneof: none, UUID (case 6) or index (case 7).
TEST(RayOneof, CaseTransitions) {
  Ray ray;
  EXPECT_EQ(ray.RayConfigReference_case(), Ray::RAYCONFIGREFERENCE_NOT_SET);
  ray.mutable_ray_config_uuid()->set_least_significant_bits(3);
  EXPECT_EQ(ray.RayConfigReference_case(), Ray::kRayConfigUuid);
  EXPECT_EQ(static_cast<int>(Ray::kRayConfigUuid), 6);
  ray.set_ray_config_index(0);
  EXPECT_EQ(ray.RayConfigReference_case(), Ray::kRayConfigIndex);
  EXPECT_EQ(static_cast<int>(Ray::kRayConfigIndex), 7);
  EXPECT_FALSE(ray.has_ray_config_uuid());
  EXPECT_EQ(ray.ray_config_uuid().least_significant_bits(), 0);

  // An index of 0 is a reference and differs from no reference.
  const Ray zero = Parse<Ray>("38 00");
  EXPECT_TRUE(zero.has_ray_config_index());
  EXPECT_NE(zero.SerializeAsString(), Ray().SerializeAsString());

  ray.clear_ray_config_uuid();  // Not the current member: nothing changes.
  EXPECT_EQ(ray.RayConfigReference_case(), Ray::kRayConfigIndex);
  EXPECT_EQ(ray.release_ray_config_uuid(), nullptr);
  ray.clear_RayConfigReference();
  EXPECT_EQ(ray.RayConfigReference_case(), Ray::RAYCONFIGREFERENCE_NOT_SET);

  ray.set_allocated_ray_config_uuid(new UUID);
  EXPECT_EQ(ray.RayConfigReference_case(), Ray::kRayConfigUuid);
  ray.set_allocated_ray_config_uuid(nullptr);
  EXPECT_EQ(ray.RayConfigReference_case(), Ray::RAYCONFIGREFERENCE_NOT_SET);
}

TEST(RayOneof, LastMemberOnTheWireWinsAndUuidRecordsMerge) {
  EXPECT_EQ(Parse<Ray>("32 02 08 02 38 05").ray_config_index(), 5);
  const Ray uuid = Parse<Ray>("38 05 32 02 08 02");
  EXPECT_EQ(uuid.RayConfigReference_case(), Ray::kRayConfigUuid);
  EXPECT_EQ(uuid.ray_config_uuid().least_significant_bits(), 1);

  const Ray merged = Parse<Ray>("32 02 08 02 32 02 10 04");
  EXPECT_EQ(merged.ray_config_uuid().least_significant_bits(), 1);
  EXPECT_EQ(merged.ray_config_uuid().most_significant_bits(), 2);
}

TEST(RayOneof, MergeFollowsTheSourceCase) {
  Ray with_uuid;
  with_uuid.mutable_ray_config_uuid()->set_least_significant_bits(1);
  with_uuid.add_noise_dbm(1.0);
  with_uuid.set_index(3);
  Ray with_index;
  with_index.set_ray_config_index(9);
  with_index.add_noise_dbm(2.0);
  Ray with_other_half;
  with_other_half.mutable_ray_config_uuid()->set_most_significant_bits(2);

  Ray destination = with_uuid;
  destination.MergeFrom(Ray());  // Source without a reference changes nothing.
  EXPECT_EQ(destination.RayConfigReference_case(), Ray::kRayConfigUuid);
  destination.MergeFrom(with_other_half);  // UUID into UUID: field by field.
  EXPECT_EQ(destination.ray_config_uuid().least_significant_bits(), 1);
  EXPECT_EQ(destination.ray_config_uuid().most_significant_bits(), 2);
  destination.MergeFrom(with_index);  // Index replaces the UUID; lists append.
  EXPECT_EQ(destination.ray_config_index(), 9);
  EXPECT_EQ(destination.noise_dbm_size(), 2);
  EXPECT_EQ(destination.index(), 3);       // Source index 0 does not overwrite.
  destination.MergeFrom(with_other_half);  // UUID into index: a new UUID.
  EXPECT_EQ(destination.ray_config_uuid().least_significant_bits(), 0);
  EXPECT_EQ(destination.ray_config_uuid().most_significant_bits(), 2);
}

TEST(RayOneof, OwnershipOnAnArena) {
  google::protobuf::Arena arena;
  Ray* ray = google::protobuf::Arena::CreateMessage<Ray>(&arena);
  ray->set_allocated_ray_config_uuid(new UUID);  // Heap object handed to the arena.
  ray->mutable_ray_config_uuid()->set_most_significant_bits(7);

  // Release from an arena message gives the caller a heap copy.
  std::unique_ptr<UUID> released(ray->release_ray_config_uuid());
  ASSERT_NE(released, nullptr);
  EXPECT_EQ(released->GetArena(), nullptr);
  EXPECT_EQ(released->most_significant_bits(), 7);
  EXPECT_EQ(ray->RayConfigReference_case(), Ray::RAYCONFIGREFERENCE_NOT_SET);

  // A UUID on the ray's own arena is adopted as it is.
  UUID* local = google::protobuf::Arena::CreateMessage<UUID>(&arena);
  local->set_least_significant_bits(4);
  ray->set_allocated_ray_config_uuid(local);
  EXPECT_EQ(&ray->ray_config_uuid(), local);

  Ray heap;
  heap.set_ray_config_index(2);
  heap.Swap(ray);
  EXPECT_EQ(heap.ray_config_uuid().least_significant_bits(), 4);
  EXPECT_EQ(ray->ray_config_index(), 2);
}

}  // namespace
}  // namespace kyt::pb::common
