// The library registers exactly the schema's files, each with its single
// file option and nothing the schema does not declare.
#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/descriptor_database.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "geo_polyline.pb.h"
#include "instrument_data.pb.h"
#include "ray_stream_message.pb.h"
#include "ymds_time.pb.h"

namespace {

using google::protobuf::DescriptorPool;
using google::protobuf::DescriptorProto;
using google::protobuf::EnumDescriptorProto;
using google::protobuf::FileDescriptor;
using google::protobuf::FileDescriptorProto;

const std::set<std::string> kCommonFiles = {"uuid.proto",
                                            "time.proto",
                                            "ymds_time.proto",
                                            "step_scale.proto",
                                            "range_mask.proto",
                                            "data_descriptor.proto",
                                            "data_type_request.proto",
                                            "data_buffer.proto",
                                            "geo_primitives.proto",
                                            "bbox.proto",
                                            "geo_polyline.proto",
                                            "geo_event.proto",
                                            "georeference.proto",
                                            "projection.proto",
                                            "sable_projection.proto",
                                            "geoid.proto",
                                            "instrument.proto",
                                            "wmo_id.proto",
                                            "opera_id.proto",
                                            "radar_properties.proto",
                                            "radar_id.proto",
                                            "radar_calib.proto",
                                            "georeference_correction.proto",
                                            "lidar_properties.proto",
                                            "lidar_calib.proto",
                                            "pulse_definition.proto",
                                            "pulse_calib.proto",
                                            "pulse_sequence.proto",
                                            "ray_config.proto",
                                            "sweep_config.proto",
                                            "sweep_description.proto",
                                            "volume_config.proto",
                                            "ray.proto",
                                            "sector.proto",
                                            "sweep.proto",
                                            "volume.proto",
                                            "instrument_data.proto",
                                            "product_configuration.proto",
                                            "cappi_info.proto",
                                            "catch_info.proto",
                                            "comp_info.proto",
                                            "cross_info.proto",
                                            "dwell_info.proto",
                                            "layer_info.proto",
                                            "max_info.proto",
                                            "ppi_info.proto",
                                            "rain_info.proto",
                                            "shear_info.proto",
                                            "sri_info.proto",
                                            "tops_info.proto",
                                            "user_info.proto",
                                            "vad_info.proto",
                                            "vvp_info.proto",
                                            "product.proto",
                                            "raster_data.proto",
                                            "measurement_data.proto",
                                            "rain_accumulation_data.proto"};

const std::set<std::string> kStreamFiles = {
    "ray_stream_message.proto", "volume_header.proto", "volume_config_uri.proto",
    "volume_end.proto",         "sweep_header.proto",  "sweep_end.proto",
    "ray_header.proto",         "ray_end.proto",       "parameter_data.proto"};

// The four roots reach every file through their imports; referring to them
// also keeps the library linked whatever the linker's as-needed policy.
void RegisterAll() {
  kyt::pb::common::InstrumentData::descriptor();
  kyt::pb::stream::RayStreamMessage::descriptor();
  kyt::pb::common::GeoPolylineList::descriptor();
  kyt::pb::common::YMDSTime::descriptor();
}

// Names of the registered files that are not the runtime's own.
std::set<std::string> RegisteredSchemaFiles() {
  std::vector<std::string> all;
  EXPECT_TRUE(DescriptorPool::internal_generated_database()->FindAllFileNames(&all));
  std::set<std::string> ours;
  for (const std::string& name : all) {
    if (name.compare(0, 16, "google/protobuf/") != 0) ours.insert(name);
  }
  return ours;
}

// Counts the messages (map entries aside) and reports anything declared
// beyond fields, oneofs, nested types and enum values.
int CheckMessage(const DescriptorProto& m, const std::string& where) {
  if (m.options().map_entry()) return 0;
  const std::string name = where + "." + m.name();
  EXPECT_FALSE(m.has_options()) << name << " has options";
  EXPECT_EQ(m.extension_size() + m.extension_range_size(), 0) << name << " has extensions";
  EXPECT_EQ(m.reserved_range_size() + m.reserved_name_size(), 0) << name << " reserves";
  for (const auto& f : m.field()) {
    EXPECT_FALSE(f.has_options()) << name << "." << f.name() << " has options";
    EXPECT_FALSE(f.proto3_optional()) << name << "." << f.name() << " is optional";
  }
  for (const EnumDescriptorProto& e : m.enum_type()) {
    EXPECT_FALSE(e.has_options()) << name << "." << e.name() << " has options";
    EXPECT_EQ(e.reserved_range_size() + e.reserved_name_size(), 0) << e.name() << " reserves";
  }
  int count = 1;
  for (const DescriptorProto& nested : m.nested_type()) count += CheckMessage(nested, name);
  return count;
}

TEST(Completeness, ThePoolHoldsExactlyTheSchemaFiles) {
  RegisterAll();
  std::set<std::string> expected = kCommonFiles;
  expected.insert(kStreamFiles.begin(), kStreamFiles.end());
  ASSERT_EQ(kCommonFiles.size(), 57u);
  ASSERT_EQ(kStreamFiles.size(), 9u);
  EXPECT_EQ(RegisteredSchemaFiles(), expected);

  const DescriptorPool* pool = DescriptorPool::generated_pool();
  int common = 0, stream = 0, messages = 0;
  for (const std::string& name : expected) {
    const FileDescriptor* file = pool->FindFileByName(name);
    ASSERT_NE(file, nullptr) << name;
    FileDescriptorProto proto;
    file->CopyTo(&proto);
    EXPECT_EQ(proto.syntax(), "proto3") << name;
    const bool is_stream = kStreamFiles.count(name) > 0;
    if (file->package() == (is_stream ? "kyt.pb.stream" : "kyt.pb.common")) {
      ++(is_stream ? stream : common);
    } else {
      ADD_FAILURE() << name << " is in package " << file->package();
    }

    // Exactly one option, java_package, and nothing in the unknown fields.
    const auto& options = proto.options();
    std::vector<const google::protobuf::FieldDescriptor*> set_options;
    options.GetReflection()->ListFields(options, &set_options);
    ASSERT_EQ(set_options.size(), 1u) << name << ": " << options.ShortDebugString();
    EXPECT_EQ(set_options[0]->name(), "java_package") << name;
    EXPECT_EQ(options.java_package(),
              is_stream ? "com.quandel.larch.protobuf.stream" : "com.quandel.larch.protobuf.common")
        << name;
    EXPECT_EQ(options.GetReflection()->GetUnknownFields(options).field_count(), 0) << name;

    EXPECT_EQ(proto.service_size(), 0) << name << " has services";
    EXPECT_EQ(proto.extension_size(), 0) << name << " has extensions";
    for (const EnumDescriptorProto& e : proto.enum_type()) {
      EXPECT_FALSE(e.has_options()) << name << ": " << e.name() << " has options";
      EXPECT_EQ(e.reserved_range_size() + e.reserved_name_size(), 0) << e.name() << " reserves";
    }
    for (const DescriptorProto& m : proto.message_type()) messages += CheckMessage(m, name);

    // Imports stay inside the schema, plus the timestamp type; common files
    // never import stream files.
    for (int i = 0; i < file->dependency_count(); ++i) {
      const std::string dep = file->dependency(i)->name();
      EXPECT_TRUE(kCommonFiles.count(dep) > 0 || (is_stream && kStreamFiles.count(dep) > 0) ||
                  dep == "google/protobuf/timestamp.proto")
          << name << " imports " << dep;
    }
  }
  EXPECT_EQ(common, 57);
  EXPECT_EQ(stream, 9);
  EXPECT_EQ(messages, 97);

  // Messages are found by full name in either package.
  EXPECT_NE(pool->FindMessageTypeByName("kyt.pb.common.Ray"), nullptr);
  EXPECT_NE(pool->FindMessageTypeByName("kyt.pb.stream.RayStreamMessage"), nullptr);
}

TEST(Completeness, TheEnvelopeReachesAllCommonFilesButTwo) {
  RegisterAll();
  std::set<std::string> reached;
  std::vector<const FileDescriptor*> todo = {kyt::pb::common::InstrumentData::descriptor()->file()};
  while (!todo.empty()) {
    const FileDescriptor* file = todo.back();
    todo.pop_back();
    for (int i = 0; i < file->dependency_count(); ++i) {
      if (reached.insert(file->dependency(i)->name()).second) todo.push_back(file->dependency(i));
    }
  }
  std::set<std::string> expected = kCommonFiles;
  expected.erase("instrument_data.proto");
  expected.erase("geo_polyline.proto");
  expected.erase("ymds_time.proto");
  expected.insert("google/protobuf/timestamp.proto");
  EXPECT_EQ(reached, expected);

  // The two left out are imported by no schema file at all.
  for (const std::string& name : kCommonFiles) {
    const FileDescriptor* file = DescriptorPool::generated_pool()->FindFileByName(name);
    ASSERT_NE(file, nullptr) << name;
    for (int i = 0; i < file->dependency_count(); ++i) {
      EXPECT_NE(file->dependency(i)->name(), "geo_polyline.proto") << name;
      EXPECT_NE(file->dependency(i)->name(), "ymds_time.proto") << name;
    }
  }
}

}  // namespace
