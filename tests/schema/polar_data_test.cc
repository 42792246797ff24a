// Measured sweeps and volumes: field table, wire layout of the sweep map and
// of the volume's sweeps, and string validation.

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sweep.pb.h"
#include "volume.pb.h"
#include "wire_testing.h"

namespace {

using common_dto_test::Hex;
using common_dto_test::LogCapture;
using common_dto_test::SerializeDeterministic;
using common_dto_test::Unhex;
using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;
using kyt::pb::common::DataBuffer;
using kyt::pb::common::Sweep;
using kyt::pb::common::Volume;

std::string TypeOf(const FieldDescriptor* f) {
  if (f->message_type() != nullptr) return f->message_type()->full_name();
  if (f->enum_type() != nullptr) return f->enum_type()->full_name();
  return f->type_name();
}

// "<number> <name> [repeated ]<type>[ oneof:<name>][ packed]", maps as map<K,V>.
std::string Row(const FieldDescriptor* f) {
  std::string row = std::to_string(f->number()) + " " + f->name() + " ";
  if (f->is_map()) {
    const Descriptor* entry = f->message_type();
    row += "map<" + TypeOf(entry->map_key()) + "," + TypeOf(entry->map_value()) + ">";
  } else {
    row += (f->is_repeated() ? "repeated " : "") + TypeOf(f);
  }
  if (f->containing_oneof() != nullptr) row += " oneof:" + f->containing_oneof()->name();
  if (f->is_packed()) row += " packed";
  return row;
}

std::vector<std::string> Rows(const Descriptor* d) {
  std::vector<std::string> rows;
  for (int i = 0; i < d->field_count(); ++i) rows.push_back(Row(d->field(i)));
  return rows;
}

// Package, java_package (the only option), imports in order, messages.
std::string FileSummary(const FileDescriptor* file) {
  google::protobuf::FileOptions others = file->options();
  std::string s = file->package() + " java=" + others.java_package();
  others.clear_java_package();
  if (others.ByteSizeLong() != 0) s += " other-options=" + others.ShortDebugString();
  s += " imports=";
  for (int i = 0; i < file->dependency_count(); ++i) s += file->dependency(i)->name() + ",";
  s += " messages=";
  for (int i = 0; i < file->message_type_count(); ++i) s += file->message_type(i)->name() + ",";
  s += " enums=" + std::to_string(file->enum_type_count());
  return s;
}

TEST(PolarDataTest, DescriptorsMatchTheFieldTables) {
  const DescriptorPool* pool = DescriptorPool::generated_pool();
  const std::string java = " java=com.quandel.larch.protobuf.common";
  struct FileRow {
    const char* name;
    std::string summary;
  };
  const FileRow files[] = {
      {"sweep.proto", "kyt.pb.common" + java +
                          " imports=google/protobuf/timestamp.proto,time.proto,data_buffer.proto,"
                          "ray.proto,sweep_description.proto, messages=Sweep, enums=0"},
      {"volume.proto", "kyt.pb.common" + java +
                           " imports=uuid.proto,instrument.proto,volume_config.proto,sweep.proto,"
                           " messages=Volume, enums=0"},
  };
  for (const FileRow& f : files) {
    const FileDescriptor* file = pool->FindFileByName(f.name);
    ASSERT_NE(file, nullptr) << f.name << " is not registered";
    EXPECT_EQ(FileSummary(file), f.summary) << f.name;
  }

  const std::vector<std::string> sweep = {
      "1 description kyt.pb.common.SweepDescription",
      "2 task_name string",
      "3 index_in_task int32",
      "4 task_start google.protobuf.Timestamp",
      "5 input_timespan kyt.pb.common.TimeSpan",
      "6 sweep_moments map<string,kyt.pb.common.DataBuffer>",
      "7 rays repeated kyt.pb.common.Ray",
      "8 first_azimuth_gate_index int32",
      "9 rotation_direction string",
      "10 time_reference string",
      "11 ray_accumulation_time int32",
  };
  const std::vector<std::string> volume = {
      "1 uuid kyt.pb.common.UUID",
      "2 instrument kyt.pb.common.Instrument",
      "3 sweep repeated kyt.pb.common.Sweep",
      "4 volume_config kyt.pb.common.VolumeConfig",
  };
  EXPECT_EQ(Rows(Sweep::descriptor()), sweep);
  EXPECT_EQ(Rows(Volume::descriptor()), volume);
  EXPECT_EQ(Sweep::descriptor()->oneof_decl_count(), 0);
  EXPECT_EQ(Volume::descriptor()->oneof_decl_count(), 0);
  EXPECT_EQ(Sweep::descriptor()->full_name(), "kyt.pb.common.Sweep");
  EXPECT_EQ(Volume::descriptor()->full_name(), "kyt.pb.common.Volume");
  // The map's entry keeps the generated name the runtime uses in its errors.
  EXPECT_EQ(Sweep::descriptor()->FindFieldByName("sweep_moments")->message_type()->full_name(),
            "kyt.pb.common.Sweep.SweepMomentsEntry");
}

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
