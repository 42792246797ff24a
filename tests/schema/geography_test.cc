// Geographic types and georeferencing: names, numbers, types and wire bytes.

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/message.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

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
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;
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

// One field as "name number type[ kind]": kinds are "repeated", "repeated packed" and
// "oneof <Name>"; types are scalar names, local message names, "enum <Name>" or "map<K, V>".
std::string Describe(const FieldDescriptor* f) {
  auto local = [](const std::string& full) {
    return full.rfind(kPackage, 0) == 0 ? full.substr(sizeof(kPackage) - 1) : full;
  };
  std::string type = f->type_name();
  if (f->is_map()) {
    type = std::string("map<") + f->message_type()->map_key()->type_name() + ", " +
           f->message_type()->map_value()->type_name() + ">";
  } else if (f->type() == FieldDescriptor::TYPE_MESSAGE) {
    type = local(f->message_type()->full_name());
  } else if (f->type() == FieldDescriptor::TYPE_ENUM) {
    type = "enum " + local(f->enum_type()->full_name());
  }
  std::string out = f->name() + " " + std::to_string(f->number()) + " " + type;
  if (f->is_repeated() && !f->is_map()) out += f->is_packed() ? " repeated packed" : " repeated";
  if (f->containing_oneof() != nullptr) out += " oneof " + f->containing_oneof()->name();
  return out;
}

// Every field of every message, in declaration order.
const std::pair<const char*, const char*> kMessages[] = {
    {"LatLon", "latitude_deg 1 double; longitude_deg 2 double"},
    {"GeoPoint", "x 1 double; y 2 double"},
    {"Location", "lat_lon 1 LatLon; altitude_m 3 double"},
    {"Ellipsoid",
     "location 1 Location; ellipse_major_m 2 double; ellipse_minor_m 3 double; "
     "ellipse_azimuth_deg 4 double"},
    {"GeoFeature",
     "type 1 enum GeoFeature.FeatureType; point_coordinate 2 LatLon oneof FeatureCoordinates; "
     "object_coordinates 3 GeoFeature.Coordinates oneof FeatureCoordinates; "
     "objects_coordinates 4 GeoFeature.CoordinatesList oneof FeatureCoordinates; "
     "properties 5 map<string, string>"},
    {"GeoFeature.Coordinates", "collection 1 LatLon repeated"},
    {"GeoFeature.CoordinatesList", "collection 1 GeoFeature.Coordinates repeated"},
    {"BoundingBox", "south_west 1 GeoPoint; north_east 2 GeoPoint"},
    {"GeoPolyline", "name 1 string"},
    {"GeoPolylineList", "geo_polyline_list 1 GeoPolyline repeated"},
    {"GeoEvent",
     "ellipsoid 1 Ellipsoid oneof Coverage; geo_feature 2 GeoFeature oneof Coverage; "
     "duration 3 TimeSpan; intensity 4 double; area_sq_m 5 double; text_label 6 string"},
    {"GeoEventList", "geo_event_list 1 GeoEvent repeated"},
    {"GeoReference", "projection 1 Projection; geoid 2 Geoid; bbox 3 BoundingBox"},
    {"Projection",
     "epsg_code 1 string; wkt 2 string; proj4 3 string; sable_proj 4 SableProjection"},
    {"SableProjection",
     "projection_type 1 enum SableProjection.ProjectionType; ref_lat 2 double; ref_lon 3 double; "
     "std_parallel_1 4 double; std_parallel_2 5 double"},
    {"Geoid",
     "earth_shape 1 enum Geoid.GeoidShape; earth_radius 2 double; earth_flattening 3 double"},
};

TEST(GeographyDescriptors, FilesCarryTheirMessagesImportsAndOneOption) {
  struct FileRow {
    const char* name;
    std::vector<std::string> imports;
    std::vector<std::string> messages;
  };
  const std::vector<FileRow> files = {
      {"geo_primitives.proto", {}, {"LatLon", "GeoPoint", "Location", "Ellipsoid", "GeoFeature"}},
      {"bbox.proto", {"geo_primitives.proto"}, {"BoundingBox"}},
      {"geo_polyline.proto", {}, {"GeoPolyline", "GeoPolylineList"}},
      {"geo_event.proto", {"time.proto", "geo_primitives.proto"}, {"GeoEvent", "GeoEventList"}},
      {"georeference.proto", {"projection.proto", "geoid.proto", "bbox.proto"}, {"GeoReference"}},
      {"projection.proto", {"sable_projection.proto"}, {"Projection"}},
      {"sable_projection.proto", {}, {"SableProjection"}},
      {"geoid.proto", {}, {"Geoid"}},
  };
  for (const auto& row : files) {
    const FileDescriptor* file = DescriptorPool::generated_pool()->FindFileByName(row.name);
    ASSERT_NE(file, nullptr) << row.name << " is not in the generated pool";
    EXPECT_EQ(file->package(), "kyt.pb.common") << row.name;
    EXPECT_EQ(file->syntax(), FileDescriptor::SYNTAX_PROTO3) << row.name;
    std::vector<std::string> imports, messages;
    for (int i = 0; i < file->dependency_count(); ++i)
      imports.push_back(file->dependency(i)->name());
    for (int i = 0; i < file->message_type_count(); ++i)
      messages.push_back(file->message_type(i)->name());
    EXPECT_EQ(imports, row.imports) << row.name;
    EXPECT_EQ(messages, row.messages) << row.name;
    EXPECT_EQ(file->enum_type_count() + file->service_count() + file->extension_count(), 0)
        << row.name << " declares top-level enums, services or extensions";
    google::protobuf::FileOptions options = file->options();
    EXPECT_EQ(options.java_package(), "com.quandel.larch.protobuf.common") << row.name;
    options.clear_java_package();
    EXPECT_EQ(options.ByteSizeLong(), 0u) << row.name << " carries options beyond java_package";
  }
}

TEST(GeographyDescriptors, EveryFieldMatchesTheTable) {
  for (const auto& [name, want] : kMessages) {
    const Descriptor* d =
        DescriptorPool::generated_pool()->FindMessageTypeByName(kPackage + std::string(name));
    ASSERT_NE(d, nullptr) << name << " is not in the generated pool";
    std::string fields;
    for (int i = 0; i < d->field_count(); ++i) {
      fields += (i ? "; " : "") + Describe(d->field(i));
      EXPECT_EQ(d->field(i)->options().ByteSizeLong(), 0u) << d->field(i)->full_name();
    }
    EXPECT_EQ(fields, want) << name;
    EXPECT_EQ(d->options().ByteSizeLong(), 0u) << name;
    EXPECT_EQ(d->reserved_range_count() + d->reserved_name_count(), 0) << name;
  }
}

TEST(GeographyDescriptors, EnumsAreNumberedInOrder) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> enums = {
      {"GeoFeature.FeatureType", {"GF_UNSPECIFIED", "GF_POINT", "GF_LINE", "GF_POLYGON"}},
      {"SableProjection.ProjectionType",
       {"PROJ_UNSPECIFIED", "PROJ_AZIMUTHAL", "PROJ_MERCATOR", "PROJ_POLSTEREO", "PROJ_UTM",
        "PROJ_PERSPECTIVE", "PROJ_EDC", "PROJ_GNOMONIC", "PROJ_GAUSS", "PROJ_LAMBERT"}},
      {"Geoid.GeoidShape",
       {"GH_UNSPECIFIED", "GH_WGS84", "GH_GRS80", "GH_ETRS89", "GH_NAVD88", "GH_CUSTOM"}},
  };
  for (const auto& [name, values] : enums) {
    const auto* e = DescriptorPool::generated_pool()->FindEnumTypeByName(kPackage + name);
    ASSERT_NE(e, nullptr) << name;
    ASSERT_EQ(e->value_count(), static_cast<int>(values.size())) << name;
    for (int i = 0; i < e->value_count(); ++i) {
      EXPECT_EQ(e->value(i)->name(), values[i]) << name << " value #" << i;
      EXPECT_EQ(e->value(i)->number(), i) << name << " " << values[i];
    }
  }
  EXPECT_FALSE(pb::GeoFeature_FeatureType_IsValid(4));
  EXPECT_TRUE(pb::SableProjection_ProjectionType_IsValid(9));
  EXPECT_FALSE(pb::SableProjection_ProjectionType_IsValid(10));
  EXPECT_TRUE(pb::Geoid_GeoidShape_IsValid(5));
  EXPECT_FALSE(pb::Geoid_GeoidShape_IsValid(6));
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
