// Geographic types and georeferencing: exact wire bytes and round trips, the
// coverage and coordinate oneofs, property maps and text validation.

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>

#include "bbox.pb.h"
#include "geo_event.pb.h"
#include "geo_polyline.pb.h"
#include "geo_primitives.pb.h"
#include "geoid.pb.h"
#include "georeference.pb.h"
#include "projection.pb.h"
#include "sable_projection.pb.h"
#include "wire_testing.h"

namespace {

using common_dto_test::Hex;
using common_dto_test::LogCapture;
using common_dto_test::SerializeDeterministic;
using common_dto_test::Unhex;
using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::Message;
using google::protobuf::MessageFactory;
using google::protobuf::util::MessageDifferencer;
namespace pb = kyt::pb::common;

constexpr char kPackage[] = "kyt.pb.common.";

// Eight little-endian bytes of a few doubles used below.
constexpr char k1_5[] = "00 00 00 00 00 00 f8 3f";
constexpr char k2_0[] = "00 00 00 00 00 00 00 40";
constexpr char k60[] = "00 00 00 00 00 00 4e 40";
constexpr char k100[] = "00 00 00 00 00 00 59 40";

std::string Cat(std::initializer_list<std::string> parts) {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : " ") + p;
  return out;
}

std::unique_ptr<Message> NewByName(const std::string& name) {
  const Descriptor* d = DescriptorPool::generated_pool()->FindMessageTypeByName(kPackage + name);
  if (d == nullptr) return nullptr;
  return std::unique_ptr<Message>(MessageFactory::generated_factory()->GetPrototype(d)->New());
}

// Parses hex into a fresh message of the same type and checks it writes the same bytes back.
void ExpectRoundTrip(const Message& m, const std::string& hex) {
  EXPECT_EQ(Hex(m.SerializeAsString()), hex) << m.GetTypeName();
  std::unique_ptr<Message> back(m.New());
  ASSERT_TRUE(back->ParseFromString(Unhex(hex))) << m.GetTypeName();
  EXPECT_TRUE(MessageDifferencer::Equals(*back, m)) << back->DebugString();
  EXPECT_EQ(Hex(back->SerializeAsString()), hex) << m.GetTypeName();
}

TEST(GeographyWire, DoublesAndTheLocationGap) {
  pb::LatLon origin;
  EXPECT_EQ(origin.SerializeAsString(), "");
  pb::Location location;
  location.mutable_lat_lon();
  ExpectRoundTrip(location, "0a 00");  // A present but zero position is still written.

  location.Clear();
  location.set_altitude_m(100);
  ExpectRoundTrip(location, Cat({"19", k100}));  // altitude_m is field 3, a double.

  // Field 2 of Location is not in the schema: kept as unknown and written after the known fields.
  ASSERT_TRUE(location.ParseFromString(Unhex(Cat({"11", k1_5, "19", k100}))));
  EXPECT_EQ(location.altitude_m(), 100);
  EXPECT_EQ(location.GetReflection()->GetUnknownFields(location).field_count(), 1);
  EXPECT_EQ(Hex(location.SerializeAsString()), Cat({"19", k100, "11", k1_5}));

  // A four-byte value under a double's number is not read as the double.
  pb::LatLon lat_lon;
  ASSERT_TRUE(lat_lon.ParseFromString(Unhex("0d 00 00 80 3f")));
  EXPECT_EQ(lat_lon.latitude_deg(), 0);
  EXPECT_EQ(Hex(lat_lon.SerializeAsString()), "0d 00 00 80 3f");

  pb::Ellipsoid ellipse;
  ellipse.mutable_location()->mutable_lat_lon()->set_longitude_deg(2);
  ellipse.set_ellipse_major_m(100);
  ellipse.set_ellipse_minor_m(60);
  ellipse.set_ellipse_azimuth_deg(1.5);
  ExpectRoundTrip(ellipse, Cat({"0a 0b 0a 09 11", k2_0, "11", k100, "19", k60, "21", k1_5}));

  pb::BoundingBox box;  // Corners in the "wrong" place are stored as given.
  box.mutable_south_west()->set_y(60);
  box.mutable_north_east()->set_y(1.5);
  ExpectRoundTrip(box, Cat({"0a 09 11", k60, "12 09 11", k1_5}));
}

TEST(GeographyWire, FeatureCoordinatesOneof) {
  pb::GeoFeature feature;
  feature.mutable_object_coordinates();  // Empty member: written, case survives.
  ExpectRoundTrip(feature, "1a 00");
  pb::GeoFeature parsed;
  ASSERT_TRUE(parsed.ParseFromString(Unhex("1a 00")));
  EXPECT_EQ(parsed.FeatureCoordinates_case(), pb::GeoFeature::kObjectCoordinates);

  feature.mutable_objects_coordinates()->add_collection()->add_collection();
  ExpectRoundTrip(feature, "22 04 0a 02 0a 00");
  feature.mutable_point_coordinate();
  EXPECT_EQ(feature.FeatureCoordinates_case(), pb::GeoFeature::kPointCoordinate);
  EXPECT_FALSE(feature.has_objects_coordinates());

  // The last member on the wire wins.
  ASSERT_TRUE(parsed.ParseFromString(Unhex("12 00 22 00")));
  EXPECT_EQ(parsed.FeatureCoordinates_case(), pb::GeoFeature::kObjectsCoordinates);
  EXPECT_FALSE(parsed.has_point_coordinate());
  EXPECT_EQ(Hex(parsed.SerializeAsString()), "22 00");

  // The type is independent of the member carried, and unknown type numbers are kept.
  feature.Clear();
  feature.set_type(pb::GeoFeature::GF_POLYGON);
  feature.mutable_point_coordinate()->set_latitude_deg(1.5);
  ExpectRoundTrip(feature, Cat({"08 03 12 09 09", k1_5}));
  feature.set_type(static_cast<pb::GeoFeature::FeatureType>(4));
  ExpectRoundTrip(feature, Cat({"08 04 12 09 09", k1_5}));

  // Fields go out in number order: type, the coordinates, then the properties.
  feature.Clear();
  (*feature.mutable_properties())["b"] = "2";
  (*feature.mutable_properties())["a"] = "";  // An empty value still carries key and value.
  auto* line = feature.mutable_object_coordinates();
  line->add_collection()->set_latitude_deg(1.5);
  line->add_collection()->set_longitude_deg(2);
  feature.set_type(pb::GeoFeature::GF_LINE);
  EXPECT_EQ(Hex(SerializeDeterministic(feature)),
            Cat({"08 02 1a 16 0a 09 09", k1_5, "0a 09 11", k2_0,
                 "2a 05 0a 01 61 12 00 2a 06 0a 01 62 12 01 32"}));
}

TEST(GeographyWire, PropertiesLastValueWins) {
  pb::GeoFeature feature;
  ASSERT_TRUE(feature.ParseFromString(
      Unhex("2a 06 0a 01 6b 12 01 31 2a 06 0a 01 6a 12 01 30 2a 06 0a 01 6b 12 01 32")));
  ASSERT_EQ(feature.properties_size(), 2);
  EXPECT_EQ(feature.properties().at("k"), "2");
  EXPECT_EQ(Hex(SerializeDeterministic(feature)),
            "2a 06 0a 01 6a 12 01 30 2a 06 0a 01 6b 12 01 32");
}

TEST(GeographyWire, GeoEventCoverageAndFieldOrder) {
  pb::GeoEvent event;
  EXPECT_EQ(event.SerializeAsString(), "");
  event.set_text_label("x");
  ExpectRoundTrip(event, "32 01 78");

  event.Clear();
  event.mutable_ellipsoid();
  ExpectRoundTrip(event, "0a 00");
  EXPECT_EQ(event.Coverage_case(), pb::GeoEvent::kEllipsoid);

  ASSERT_TRUE(event.ParseFromString(Unhex("0a 00 12 00")));
  EXPECT_EQ(event.Coverage_case(), pb::GeoEvent::kGeoFeature);
  EXPECT_FALSE(event.has_ellipsoid());

  event.Clear();
  event.set_text_label("x");
  event.set_area_sq_m(100);
  event.set_intensity(2);
  event.mutable_duration()->mutable_start()->set_seconds(1);
  event.mutable_geo_feature()->set_type(pb::GeoFeature::GF_POINT);
  event.mutable_geo_feature()->mutable_point_coordinate()->set_latitude_deg(1.5);
  const std::string hex =
      Cat({"12 0d 08 01 12 09 09", k1_5, "1a 04 0a 02 08 01", "21", k2_0, "29", k100, "32 01 78"});
  ExpectRoundTrip(event, hex);

  pb::GeoEventList list;
  *list.add_geo_event_list() = event;
  list.add_geo_event_list();
  ExpectRoundTrip(list, "0a 2a " + hex + " 0a 00");

  pb::GeoPolylineList polylines;
  polylines.add_geo_polyline_list()->set_name("A");
  polylines.add_geo_polyline_list();
  ExpectRoundTrip(polylines, "0a 03 0a 01 41 0a 00");
}

TEST(GeographyWire, GeoReferenceProjectionAndGeoid) {
  pb::GeoReference ref;
  ref.mutable_geoid();
  ExpectRoundTrip(ref, "12 00");
  pb::GeoReference parsed;
  ASSERT_TRUE(parsed.ParseFromString(Unhex("12 00")));
  EXPECT_TRUE(parsed.has_geoid());
  EXPECT_FALSE(parsed.has_projection());
  EXPECT_FALSE(parsed.has_bbox());

  ref.mutable_bbox();
  ref.mutable_projection()->set_proj4("p");
  ExpectRoundTrip(ref, "0a 03 1a 01 70 12 00 1a 00");

  // All projection forms may be present at once; the EPSG code travels as text.
  pb::Projection projection;
  projection.mutable_sable_proj();
  projection.set_wkt("W");
  projection.set_epsg_code("4326");
  ExpectRoundTrip(projection, "0a 04 34 33 32 36 12 01 57 22 00");
  ASSERT_TRUE(projection.ParseFromString(Unhex("08 e6 21")));  // A number is not the code.
  EXPECT_EQ(projection.epsg_code(), "");
  EXPECT_EQ(Hex(projection.SerializeAsString()), "08 e6 21");

  pb::Geoid geoid;
  geoid.set_earth_shape(pb::Geoid::GH_CUSTOM);
  ExpectRoundTrip(geoid, "08 05");
  geoid.set_earth_shape(pb::Geoid::GH_WGS84);
  geoid.set_earth_radius(100);
  geoid.set_earth_flattening(1.5);
  ExpectRoundTrip(geoid, Cat({"08 01 11", k100, "19", k1_5}));

  pb::SableProjection sable;
  sable.set_ref_lat(60);
  sable.set_ref_lon(0);
  ExpectRoundTrip(sable, Cat({"11", k60}));
  sable.set_projection_type(static_cast<pb::SableProjection::ProjectionType>(10));
  sable.set_std_parallel_1(1.5);
  sable.set_std_parallel_2(2);
  ExpectRoundTrip(sable, Cat({"08 0a 11", k60, "21", k1_5, "29", k2_0}));
  EXPECT_EQ(pb::SableProjection::descriptor()->file()->name(), "sable_projection.proto");
}

TEST(GeographyWire, InvalidUtf8InEveryTextFieldFailsTheParse) {
  const struct {
    const char* message;
    const char* hex;
    const char* field;
  } cases[] = {
      {"GeoPolyline", "0a 01 ff", "kyt.pb.common.GeoPolyline.name"},
      {"GeoPolylineList", "0a 03 0a 01 ff", "kyt.pb.common.GeoPolyline.name"},
      {"GeoEvent", "32 02 c3 28", "kyt.pb.common.GeoEvent.text_label"},
      {"GeoFeature", "2a 05 0a 01 ff 12 00", "kyt.pb.common.GeoFeature.PropertiesEntry.key"},
      {"GeoFeature", "2a 05 0a 00 12 01 ff", "kyt.pb.common.GeoFeature.PropertiesEntry.value"},
      {"GeoEventList", "0a 09 12 07 2a 05 0a 00 12 01 80",
       "kyt.pb.common.GeoFeature.PropertiesEntry.value"},
      {"Projection", "0a 01 ff", "kyt.pb.common.Projection.epsg_code"},
      {"Projection", "12 01 ff", "kyt.pb.common.Projection.wkt"},
      {"Projection", "1a 01 ff", "kyt.pb.common.Projection.proj4"},
      {"GeoReference", "0a 03 1a 01 ff", "kyt.pb.common.Projection.proj4"},
  };
  for (const auto& c : cases) {
    std::unique_ptr<Message> m = NewByName(c.message);
    ASSERT_NE(m, nullptr) << c.message;
    LogCapture log;
    EXPECT_FALSE(m->ParseFromString(Unhex(c.hex))) << c.message << " accepted " << c.hex;
    EXPECT_NE(log.text().find(c.field), std::string::npos)
        << c.message << " " << c.hex << " did not name " << c.field << "; log: " << log.text();
  }

  // Serializing such a string reports it and writes the bytes all the same.
  pb::GeoPolyline polyline;
  polyline.set_name("\xff");
  LogCapture log;
  EXPECT_EQ(Hex(polyline.SerializeAsString()), "0a 01 ff");
  EXPECT_NE(log.text().find("kyt.pb.common.GeoPolyline.name"), std::string::npos) << log.text();
}

}  // namespace
