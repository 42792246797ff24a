// The library registers exactly the schema's files, each with its single
// file option and nothing the schema does not declare.
#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/descriptor_database.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
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

// The schema's files of each package, without ".proto".
std::set<std::string> Files(const char* names) {
  std::istringstream in(names);
  std::set<std::string> out;
  for (std::string name; in >> name;) out.insert(name + ".proto");
  return out;
}

const std::set<std::string> kCommonFiles = Files(R"(
uuid time ymds_time step_scale range_mask data_descriptor data_type_request data_buffer
geo_primitives bbox geo_polyline geo_event georeference projection sable_projection geoid
instrument wmo_id opera_id radar_properties radar_id radar_calib georeference_correction
lidar_properties lidar_calib pulse_definition pulse_calib pulse_sequence ray_config
sweep_config sweep_description volume_config ray sector sweep volume instrument_data
product_configuration cappi_info catch_info comp_info cross_info dwell_info layer_info
max_info ppi_info rain_info shear_info sri_info tops_info user_info vad_info vvp_info
product raster_data measurement_data rain_accumulation_data)");

const std::set<std::string> kStreamFiles = Files(R"(
ray_stream_message volume_header volume_config_uri volume_end sweep_header sweep_end
ray_header ray_end parameter_data)");

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

// Reports an enum with options or reserved numbers, and counts it.
void CheckEnum(const EnumDescriptorProto& e, const std::string& where, int* enums) {
  ++*enums;
  EXPECT_FALSE(e.has_options()) << where << "." << e.name() << " has options";
  EXPECT_EQ(e.reserved_range_size() + e.reserved_name_size(), 0) << e.name() << " reserves";
}

// Counts the messages (map entries aside) and enums, and reports anything
// declared beyond fields, oneofs, nested types and enum values.
int CheckMessage(const DescriptorProto& m, const std::string& where, int* enums) {
  if (m.options().map_entry()) return 0;
  const std::string name = where + "." + m.name();
  EXPECT_FALSE(m.has_options()) << name << " has options";
  EXPECT_EQ(m.extension_size() + m.extension_range_size(), 0) << name << " has extensions";
  EXPECT_EQ(m.reserved_range_size() + m.reserved_name_size(), 0) << name << " reserves";
  for (const auto& f : m.field()) {
    EXPECT_FALSE(f.has_options()) << name << "." << f.name() << " has options";
    EXPECT_FALSE(f.proto3_optional()) << name << "." << f.name() << " is optional";
  }
  for (const EnumDescriptorProto& e : m.enum_type()) CheckEnum(e, name, enums);
  int count = 1;
  for (const DescriptorProto& nested : m.nested_type()) count += CheckMessage(nested, name, enums);
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
  int common = 0, stream = 0, messages = 0, enums = 0;
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
    for (const EnumDescriptorProto& e : proto.enum_type()) CheckEnum(e, name, &enums);
    for (const DescriptorProto& m : proto.message_type()) messages += CheckMessage(m, name, &enums);

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
  EXPECT_EQ(enums, 22);
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
