// Measured sweeps and volumes: wire layout of the sweep map and of the
// volume's sweeps, and string validation.

#include <gtest/gtest.h>

#include <string>

#include "sweep.pb.h"
#include "volume.pb.h"
#include "wire_testing.h"

namespace {

using common_dto_test::Hex;
using common_dto_test::LogCapture;
using common_dto_test::SerializeDeterministic;
using common_dto_test::Unhex;
using kyt::pb::common::DataBuffer;
using kyt::pb::common::Sweep;
using kyt::pb::common::Volume;

TEST(PolarDataTest, SweepWireLayout) {
  Sweep zero;
  zero.set_index_in_task(0);
  zero.set_first_azimuth_gate_index(0);
  EXPECT_EQ(zero.ByteSizeLong(), 0u) << "zero indices must not be written";
  EXPECT_EQ(Volume().ByteSizeLong(), 0u);

  // Every field once, set in reverse order; one ray but a three-sample buffer
  // (nothing compares the two).
  Sweep sweep;
  sweep.set_ray_accumulation_time(-1);
  sweep.set_time_reference("e");
  sweep.set_rotation_direction("cw");
  sweep.set_first_azimuth_gate_index(3);
  sweep.add_rays()->set_index(4);
  DataBuffer& z = (*sweep.mutable_sweep_moments())["Z"];
  z.set_type(DataBuffer::UINT8);
  z.set_data("\x01\x02\x03");
  sweep.mutable_input_timespan();
  sweep.mutable_task_start()->set_seconds(1);
  sweep.set_index_in_task(2);
  sweep.set_task_name("T");
  sweep.mutable_description();
  const std::string expected =
      "0a 00 12 01 54 18 02 22 02 08 01 2a 00 "
      "32 0c 0a 01 5a 12 07 10 01 2a 03 01 02 03 "
      "3a 02 18 04 40 03 4a 02 63 77 52 01 65 "
      "58 ff ff ff ff ff ff ff ff ff 01";
  EXPECT_EQ(Hex(sweep.SerializeAsString()), expected);
  Sweep parsed;
  ASSERT_TRUE(parsed.ParseFromString(Unhex(expected)));
  EXPECT_EQ(Hex(SerializeDeterministic(parsed)), expected) << parsed.ShortDebugString();
  EXPECT_TRUE(parsed.has_description());
  EXPECT_EQ(parsed.ray_accumulation_time(), -1);
  EXPECT_EQ(parsed.sweep_moments().at("Z").data(), "\x01\x02\x03");

  // Map entries: key and value are written even when empty.
  Sweep empty_entry;
  (*empty_entry.mutable_sweep_moments())[""];
  EXPECT_EQ(Hex(empty_entry.SerializeAsString()), "32 04 0a 00 12 00");

  // The same key twice: the later buffer replaces the earlier one.
  Sweep twice;
  ASSERT_TRUE(
      twice.ParseFromString(Unhex("32 07 0a 01 5a 12 02 08 01 "
                                  "32 07 0a 01 5a 12 02 10 06")));
  ASSERT_EQ(twice.sweep_moments_size(), 1);
  EXPECT_EQ(twice.sweep_moments().at("Z").endian(), DataBuffer::UNKNOWN_ENDIANNESS);
  EXPECT_EQ(twice.sweep_moments().at("Z").type(), DataBuffer::DOUBLE);

  // Deterministic output sorts the keys bytewise.
  Sweep sorted;
  for (const char* key : {"c", "b", "a"}) (*sorted.mutable_sweep_moments())[key];
  EXPECT_EQ(Hex(SerializeDeterministic(sorted)),
            "32 05 0a 01 61 12 00 32 05 0a 01 62 12 00 32 05 0a 01 63 12 00");
}

TEST(PolarDataTest, VolumeWritesSweepsBeforeItsConfiguration) {
  Volume one;
  one.add_sweep();
  EXPECT_EQ(Hex(one.SerializeAsString()), "1a 00");
  Volume one_parsed;
  ASSERT_TRUE(one_parsed.ParseFromString(Unhex("1a 00")));
  ASSERT_EQ(one_parsed.sweep_size(), 1);
  EXPECT_EQ(one_parsed.sweep(0).ByteSizeLong(), 0u);

  // Configuration set first, sweeps after: the wire still has sweeps first.
  Volume volume;
  volume.mutable_volume_config();
  for (int i = 1; i <= 3; ++i) volume.add_sweep()->set_index_in_task(i);
  volume.mutable_instrument();
  volume.mutable_uuid()->set_most_significant_bits(-1);
  const std::string expected = "0a 02 10 01 12 00 1a 02 18 01 1a 02 18 02 1a 02 18 03 22 00";
  EXPECT_EQ(Hex(volume.SerializeAsString()), expected);
  Volume parsed;
  ASSERT_TRUE(parsed.ParseFromString(Unhex(expected)));
  ASSERT_EQ(parsed.sweep_size(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(parsed.sweep(i).index_in_task(), i + 1) << "order";
  EXPECT_TRUE(parsed.has_volume_config());
  EXPECT_TRUE(parsed.has_instrument());
  EXPECT_EQ(parsed.uuid().most_significant_bits(), -1);
}

TEST(PolarDataTest, InvalidUtf8FailsTheParseAndNamesTheField) {
  const struct {
    const char* hex;
    const char* field;
  } cases[] = {
      {"12 01 ff", "kyt.pb.common.Sweep.task_name"},
      {"4a 01 ff", "kyt.pb.common.Sweep.rotation_direction"},
      {"52 01 ff", "kyt.pb.common.Sweep.time_reference"},
      {"32 05 0a 01 ff 12 00", "kyt.pb.common.Sweep.SweepMomentsEntry.key"},
  };
  for (const auto& c : cases) {
    LogCapture log;
    Sweep sweep;
    EXPECT_FALSE(sweep.ParseFromString(Unhex(c.hex))) << c.field;
    EXPECT_NE(log.text().find(c.field), std::string::npos) << log.text();
  }
  // Inside a volume the whole volume fails.
  LogCapture log;
  Volume volume;
  EXPECT_FALSE(volume.ParseFromString(Unhex("1a 03 12 01 ff")));
  EXPECT_NE(log.text().find("kyt.pb.common.Sweep.task_name"), std::string::npos) << log.text();
}

}  // namespace
