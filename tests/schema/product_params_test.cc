// The product-parameter messages: every field's name, number, type and kind,
// and the wire bytes where a slip in those would show.
#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cappi_info.pb.h"
#include "catch_info.pb.h"
#include "comp_info.pb.h"
#include "cross_info.pb.h"
#include "dwell_info.pb.h"
#include "layer_info.pb.h"
#include "max_info.pb.h"
#include "ppi_info.pb.h"
#include "rain_info.pb.h"
#include "shear_info.pb.h"
#include "sri_info.pb.h"
#include "tops_info.pb.h"
#include "user_info.pb.h"
#include "vad_info.pb.h"
#include "vvp_info.pb.h"
#include "wire_testing.h"

namespace {

using common_dto_test::Hex;
using common_dto_test::LogCapture;
using common_dto_test::SerializeDeterministic;
using common_dto_test::Unhex;
using google::protobuf::DescriptorPool;
using google::protobuf::FieldDescriptor;
namespace pb = kyt::pb::common;

constexpr auto kDouble = FieldDescriptor::TYPE_DOUBLE;
constexpr auto kBool = FieldDescriptor::TYPE_BOOL;
constexpr auto kUint32 = FieldDescriptor::TYPE_UINT32;
constexpr auto kString = FieldDescriptor::TYPE_STRING;
constexpr auto kEnum = FieldDescriptor::TYPE_ENUM;
constexpr auto kMessage = FieldDescriptor::TYPE_MESSAGE;

// One field, in declaration order within its message. `kind` is "singular",
// "repeated", "packed", "map" or the name of the enclosing oneof; `ref` is
// the full name of a message or enum field's type.
struct FieldRow {
  const char* message;
  const char* name;
  int number;
  FieldDescriptor::Type type;
  const char* kind;
  const char* ref;
};

const std::vector<FieldRow> kFields = {
    {"ProductCappiInfo", "heights_m", 1, kDouble, "packed", ""},
    {"ProductCappiInfo", "is_pseudo", 2, kBool, "singular", ""},
    {"ProductCappiInfo", "is_r_vel_horizontal", 3, kBool, "singular", ""},
    {"ProductCatchInfo", "input_product_name", 1, kString, "singular", ""},
    {"ProductCatchInfo", "group_id", 2, kMessage, "singular", "Identifier"},
    {"ProductCatchInfo", "ids", 3, kMessage, "repeated", "Identifier"},
    {"ProductCatchInfo", "catchments", 4, kMessage, "repeated", "GeoFeature"},
    {"ProductCompInfo", "combine_scheme", 1, kEnum, "singular", "ProductCompInfo.CombineFlags"},
    {"ProductCompInfo", "input_timespan", 2, kMessage, "singular", "TimeSpan"},
    {"ProductCrossInfo", "azimuth_angle_deg", 1, kDouble, "singular", ""},
    {"ProductCrossInfo", "horizontal_resolution_m", 2, kDouble, "singular", ""},
    {"ProductCrossInfo", "vertical_resolution_m", 3, kDouble, "singular", ""},
    {"ProductCrossInfo", "center_lat_deg", 4, kDouble, "singular", ""},
    {"ProductCrossInfo", "center_lon_deg", 5, kDouble, "singular", ""},
    {"ProductCrossInfo", "length_km", 6, kDouble, "singular", ""},
    {"ProductDwellInfo", "input_timespan", 1, kMessage, "singular", "TimeSpan"},
    {"ProductLayerInfo", "bottom_m", 1, kDouble, "singular", ""},
    {"ProductLayerInfo", "top_m", 2, kDouble, "singular", ""},
    {"ProductMaxInfo", "bottom_m", 1, kDouble, "singular", ""},
    {"ProductMaxInfo", "top_m", 2, kDouble, "singular", ""},
    {"ProductMaxInfo", "side_size_pix", 3, kUint32, "singular", ""},
    {"ProductPpiInfo", "el_angle_deg", 1, kDouble, "packed", ""},
    {"ProductRainInfo", "input_timespan", 1, kMessage, "singular", "TimeSpan"},
    {"ProductShearInfo", "elevations_deg", 1, kMessage, "ShearParameters",
     "ProductShearInfo.Parameters"},
    {"ProductShearInfo", "heights_m", 2, kMessage, "ShearParameters",
     "ProductShearInfo.Parameters"},
    {"ProductShearInfo", "type", 3, kEnum, "singular", "ProductShearInfo.ShearType"},
    {"ProductShearInfo.Parameters", "val", 1, kDouble, "packed", ""},
    {"ProductSriInfo", "melt_height_m", 1, kDouble, "singular", ""},
    {"ProductSriInfo", "surface_height_m", 2, kDouble, "singular", ""},
    {"ProductSriInfo", "max_height_m", 6, kDouble, "singular", ""},
    {"ProductSriInfo", "use_profile", 7, kBool, "singular", ""},
    {"ProductSriInfo", "use_terrain", 4, kBool, "singular", ""},
    {"ProductTopsInfo", "z_threshold_dbz", 1, kDouble, "packed", ""},
    {"ProductTopsInfo", "is_pseudo", 2, kBool, "singular", ""},
    {"ProductUserInfo", "properties", 1, kMessage, "map", "ProductUserInfo.PropertiesEntry"},
    {"ProductVadInfo", "min_range_m", 1, kDouble, "singular", ""},
    {"ProductVadInfo", "max_range_m", 2, kDouble, "singular", ""},
    {"ProductVvpInfo", "min_range_m", 1, kDouble, "singular", ""},
    {"ProductVvpInfo", "max_range_m", 2, kDouble, "singular", ""},
    {"ProductVvpInfo", "min_height_m", 3, kDouble, "singular", ""},
    {"ProductVvpInfo", "max_height_m", 4, kDouble, "singular", ""},
    {"ProductVvpInfo", "intervals_count", 5, kUint32, "singular", ""},
};

// Each top-level message with its file and the files that file imports, in order.
struct FileRow {
  const char* message;
  const char* file;
  std::vector<std::string> imports;
};

const std::vector<FileRow> kFiles = {
    {"ProductCappiInfo", "cappi_info.proto", {}},
    {"ProductCatchInfo", "catch_info.proto", {"uuid.proto", "geo_primitives.proto"}},
    {"ProductCompInfo", "comp_info.proto", {"time.proto"}},
    {"ProductCrossInfo", "cross_info.proto", {}},
    {"ProductDwellInfo", "dwell_info.proto", {"time.proto"}},
    {"ProductLayerInfo", "layer_info.proto", {}},
    {"ProductMaxInfo", "max_info.proto", {}},
    {"ProductPpiInfo", "ppi_info.proto", {}},
    {"ProductRainInfo", "rain_info.proto", {"time.proto"}},
    {"ProductShearInfo", "shear_info.proto", {}},
    {"ProductSriInfo", "sri_info.proto", {}},
    {"ProductTopsInfo", "tops_info.proto", {}},
    {"ProductUserInfo", "user_info.proto", {}},
    {"ProductVadInfo", "vad_info.proto", {}},
    {"ProductVvpInfo", "vvp_info.proto", {}},
};

std::string Full(const std::string& name) { return "kyt.pb.common." + name; }

std::string KindOf(const FieldDescriptor* f) {
  if (f->real_containing_oneof() != nullptr) return f->real_containing_oneof()->name();
  if (f->is_map()) return "map";
  if (f->is_repeated()) return f->is_packed() ? "packed" : "repeated";
  return "singular";
}

std::string RefOf(const FieldDescriptor* f) {
  if (f->message_type() != nullptr) return f->message_type()->full_name();
  if (f->enum_type() != nullptr) return f->enum_type()->full_name();
  return "";
}

TEST(ProductParamsSchema, FieldsMatchTableInDeclarationOrder) {
  // Rows of one message are contiguous; group them, keeping their order.
  std::vector<std::pair<std::string, std::vector<const FieldRow*>>> messages;
  for (const FieldRow& row : kFields) {
    if (messages.empty() || messages.back().first != row.message)
      messages.push_back({row.message, {}});
    messages.back().second.push_back(&row);
  }
  for (const auto& [name, rows] : messages) {
    const auto* message = DescriptorPool::generated_pool()->FindMessageTypeByName(Full(name));
    ASSERT_NE(message, nullptr) << name;
    ASSERT_EQ(message->field_count(), static_cast<int>(rows.size())) << name;
    for (int i = 0; i < message->field_count(); ++i) {
      const FieldDescriptor* f = message->field(i);
      const FieldRow& row = *rows[i];
      const std::string where = name + " field index " + std::to_string(i);
      EXPECT_EQ(f->name(), row.name) << where;
      EXPECT_EQ(f->number(), row.number) << where;
      EXPECT_EQ(f->type(), row.type) << where;
      EXPECT_EQ(KindOf(f), row.kind) << where;
      EXPECT_EQ(RefOf(f), *row.ref ? Full(row.ref) : "") << where;
    }
  }
  // The map entry is string to string.
  const auto* entry =
      pb::ProductUserInfo::descriptor()->FindFieldByName("properties")->message_type();
  EXPECT_EQ(entry->map_key()->type(), kString);
  EXPECT_EQ(entry->map_value()->type(), kString);
}

TEST(ProductParamsSchema, FilesImportsAndOptions) {
  const DescriptorPool* pool = DescriptorPool::generated_pool();
  for (const FileRow& row : kFiles) {
    const auto* message = pool->FindMessageTypeByName(Full(row.message));
    ASSERT_NE(message, nullptr) << row.message;
    const auto* file = message->file();
    EXPECT_EQ(file->name(), row.file) << row.message;
    EXPECT_EQ(file->package(), "kyt.pb.common") << row.file;
    EXPECT_EQ(file->syntax(), google::protobuf::FileDescriptor::SYNTAX_PROTO3) << row.file;
    EXPECT_EQ(file->message_type_count(), 1) << row.file;
    std::vector<std::string> imports;
    for (int i = 0; i < file->dependency_count(); ++i)
      imports.push_back(file->dependency(i)->name());
    EXPECT_EQ(imports, row.imports) << row.file;
    google::protobuf::FileDescriptorProto proto;
    file->CopyTo(&proto);
    google::protobuf::FileOptions only_java;
    only_java.set_java_package("com.quandel.larch.protobuf.common");
    EXPECT_EQ(proto.options().SerializeAsString(), only_java.SerializeAsString()) << row.file;
    EXPECT_EQ(file->service_count() + file->extension_count(), 0) << row.file;
  }
}

TEST(ProductParamsSchema, EnumValuesCarryTheirPrefixes) {
  const auto* combine = pb::ProductCompInfo_CombineFlags_descriptor();
  const std::vector<std::string> combine_names = {"CF_UNSPECIFIED", "CF_MAXIMUM", "CF_AVERAGE",
                                                  "CF_PRIORITY",    "CF_NEAREST", "CF_WEIGHTED"};
  ASSERT_EQ(combine->value_count(), 6);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(combine->value(i)->name(), combine_names[i]) << i;
    EXPECT_EQ(combine->value(i)->number(), i) << combine_names[i];
  }
  const auto* shear = pb::ProductShearInfo_ShearType_descriptor();
  const std::vector<std::string> shear_names = {"SHEAR_TYPE_UNSPECIFIED", "SHEAR_TYPE_RADIAL",
                                                "SHEAR_TYPE_AZIMUTHAL", "SHEAR_TYPE_NORTH_SOUTH",
                                                "SHEAR_TYPE_EAST_WEST"};
  ASSERT_EQ(shear->value_count(), 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(shear->value(i)->name(), shear_names[i]) << i;
    EXPECT_EQ(shear->value(i)->number(), i) << shear_names[i];
  }
  EXPECT_EQ(combine->full_name(), "kyt.pb.common.ProductCompInfo.CombineFlags");
  EXPECT_EQ(shear->full_name(), "kyt.pb.common.ProductShearInfo.ShearType");
}

constexpr char kOne[] = "00 00 00 00 00 00 f0 3f";      // 1.0
constexpr char kTwo[] = "00 00 00 00 00 00 00 40";      // 2.0
constexpr char kOneHalf[] = "00 00 00 00 00 00 f8 3f";  // 1.5
constexpr char kZero[] = "00 00 00 00 00 00 00 00";     // 0.0

TEST(ProductParamsWire, SriWritesNumberOrderNotDeclarationOrder) {
  pb::ProductSriInfo sri;
  sri.set_melt_height_m(1.0);
  sri.set_surface_height_m(2.0);
  sri.set_max_height_m(1.5);
  sri.set_use_profile(true);
  sri.set_use_terrain(true);
  const std::string expected =
      std::string("09 ") + kOne + " 11 " + kTwo + " 20 01 31 " + kOneHalf + " 38 01";
  EXPECT_EQ(Hex(sri.SerializeAsString()), expected);

  pb::ProductSriInfo only_terrain;
  only_terrain.set_use_terrain(true);
  EXPECT_EQ(Hex(only_terrain.SerializeAsString()), "20 01");

  // Fields arriving in declaration order parse to the same message.
  pb::ProductSriInfo parsed;
  ASSERT_TRUE(parsed.ParseFromString(
      Unhex(std::string("09 ") + kOne + " 11 " + kTwo + " 31 " + kOneHalf + " 38 01 20 01")));
  EXPECT_EQ(Hex(parsed.SerializeAsString()), expected);
  EXPECT_TRUE(parsed.use_terrain());
  EXPECT_TRUE(parsed.use_profile());
  EXPECT_EQ(parsed.max_height_m(), 1.5);
}

TEST(ProductParamsWire, EnumsKeepUnlistedAndNegativeNumbers) {
  pb::ProductCompInfo comp;
  comp.set_combine_scheme(pb::ProductCompInfo::CF_WEIGHTED);
  EXPECT_EQ(Hex(comp.SerializeAsString()), "08 05");

  // A negative enum number is a ten-byte sign-extended varint.
  comp.set_combine_scheme(static_cast<pb::ProductCompInfo_CombineFlags>(-1));
  EXPECT_EQ(Hex(comp.SerializeAsString()), "08 ff ff ff ff ff ff ff ff ff 01");
  pb::ProductCompInfo parsed_comp;
  ASSERT_TRUE(parsed_comp.ParseFromString(comp.SerializeAsString()));
  EXPECT_EQ(parsed_comp.combine_scheme(), -1);

  ASSERT_TRUE(parsed_comp.ParseFromString(Unhex("08 09")));
  EXPECT_EQ(parsed_comp.combine_scheme(), 9);
  EXPECT_EQ(Hex(parsed_comp.SerializeAsString()), "08 09");
  EXPECT_FALSE(pb::ProductCompInfo_CombineFlags_IsValid(9));
  EXPECT_TRUE(pb::ProductCompInfo_CombineFlags_IsValid(5));

  pb::ProductShearInfo shear;
  ASSERT_TRUE(shear.ParseFromString(Unhex("18 fe ff ff ff ff ff ff ff ff 01")));
  EXPECT_EQ(shear.type(), -2);
  EXPECT_EQ(Hex(shear.SerializeAsString()), "18 fe ff ff ff ff ff ff ff ff 01");
  EXPECT_FALSE(pb::ProductShearInfo_ShearType_IsValid(5));
  EXPECT_TRUE(pb::ProductShearInfo_ShearType_IsValid(4));
}

TEST(ProductParamsWire, UnsignedCountsAndPackedDoubles) {
  pb::ProductMaxInfo max;
  max.set_side_size_pix(UINT32_MAX);
  EXPECT_EQ(Hex(max.SerializeAsString()), "18 ff ff ff ff 0f");
  pb::ProductVvpInfo vvp;
  vvp.set_intervals_count(UINT32_MAX);
  EXPECT_EQ(Hex(vvp.SerializeAsString()), "28 ff ff ff ff 0f");

  // Packed, and a zero entry is written like any other.
  pb::ProductPpiInfo ppi;
  ppi.add_el_angle_deg(0.0);
  ppi.add_el_angle_deg(1.5);
  EXPECT_EQ(Hex(ppi.SerializeAsString()), std::string("0a 10 ") + kZero + " " + kOneHalf);
  pb::ProductPpiInfo unpacked;
  ASSERT_TRUE(unpacked.ParseFromString(Unhex(std::string("09 ") + kZero + " 09 " + kOneHalf)));
  ASSERT_EQ(unpacked.el_angle_deg_size(), 2);
  EXPECT_EQ(unpacked.el_angle_deg(1), 1.5);
}

TEST(ProductParamsWire, ShearOneofKeepsTypeAndLastMemberWins) {
  pb::ProductShearInfo shear;
  shear.set_type(pb::ProductShearInfo::SHEAR_TYPE_EAST_WEST);
  shear.mutable_elevations_deg();
  EXPECT_EQ(Hex(shear.SerializeAsString()), "0a 00 18 04");
  shear.mutable_heights_m()->add_val(2.0);
  EXPECT_EQ(shear.ShearParameters_case(), pb::ProductShearInfo::kHeightsM);
  EXPECT_FALSE(shear.has_elevations_deg());
  EXPECT_EQ(shear.type(), pb::ProductShearInfo::SHEAR_TYPE_EAST_WEST);
  EXPECT_EQ(Hex(shear.SerializeAsString()), std::string("12 0a 0a 08 ") + kTwo + " 18 04");

  pb::ProductShearInfo parsed;
  ASSERT_TRUE(parsed.ParseFromString(Unhex("0a 00")));
  EXPECT_EQ(parsed.ShearParameters_case(), pb::ProductShearInfo::kElevationsDeg);
  ASSERT_TRUE(parsed.ParseFromString(Unhex(std::string("12 0a 0a 08 ") + kTwo + " 0a 00")));
  EXPECT_EQ(parsed.ShearParameters_case(), pb::ProductShearInfo::kElevationsDeg);
  EXPECT_EQ(parsed.elevations_deg().val_size(), 0);
}

TEST(ProductParamsWire, UserPropertiesMapOrderAndDuplicates) {
  pb::ProductUserInfo user;
  (*user.mutable_properties())["b"] = "";
  (*user.mutable_properties())["a"] = "1";
  EXPECT_EQ(Hex(SerializeDeterministic(user)), "0a 06 0a 01 61 12 01 31 0a 05 0a 01 62 12 00");

  pb::ProductUserInfo parsed;
  ASSERT_TRUE(parsed.ParseFromString(Unhex("0a 06 0a 01 6b 12 01 31 0a 06 0a 01 6b 12 01 32")));
  ASSERT_EQ(parsed.properties_size(), 1);
  EXPECT_EQ(parsed.properties().at("k"), "2");
}

TEST(ProductParamsWire, InvalidUtf8IsRejectedNamingTheField) {
  struct Case {
    google::protobuf::Message* message;
    const char* hex;
    const char* field;
  };
  pb::ProductCatchInfo catch_info;
  pb::ProductUserInfo user;
  const Case cases[] = {
      {&catch_info, "0a 02 c3 28", "kyt.pb.common.ProductCatchInfo.input_product_name"},
      {&user, "0a 06 0a 02 c3 28 12 00", "kyt.pb.common.ProductUserInfo.PropertiesEntry.key"},
      {&user, "0a 06 0a 00 12 02 c3 28", "kyt.pb.common.ProductUserInfo.PropertiesEntry.value"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    EXPECT_FALSE(c.message->ParseFromString(Unhex(c.hex))) << c.field;
    EXPECT_NE(log.text().find(c.field), std::string::npos) << c.field << " not in: " << log.text();
  }

  // Serializing logs the same field and still writes the bytes.
  pb::ProductCatchInfo bad;
  bad.set_input_product_name("\xc3\x28");
  LogCapture log;
  EXPECT_EQ(Hex(bad.SerializeAsString()), "0a 02 c3 28");
  EXPECT_NE(log.text().find("kyt.pb.common.ProductCatchInfo.input_product_name"), std::string::npos)
      << log.text();
}

}  // namespace
