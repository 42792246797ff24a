// The product-parameter messages: exact wire bytes and round trips where a
// wrong number, type, packing or oneof would show, and text validation.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

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
namespace pb = kyt::pb::common;

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
