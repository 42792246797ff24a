// Products, their configuration and the instrument data envelope: oneof
// trees, presence, unknown fields, maps and whole-envelope round trips.
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "instrument_data.pb.h"
#include "measurement_data.pb.h"
#include "product.pb.h"
#include "product_configuration.pb.h"
#include "rain_accumulation_data.pb.h"
#include "raster_data.pb.h"
#include "wire_testing.h"

namespace {

using common_dto_test::Hex;
using common_dto_test::SerializeDeterministic;
using common_dto_test::Unhex;
using google::protobuf::Message;
using google::protobuf::util::MessageDifferencer;
namespace pb = kyt::pb::common;

template <typename M>
M Parse(const std::string& hex) {
  M m;
  EXPECT_TRUE(m.ParseFromString(Unhex(hex))) << M::descriptor()->name() << " from " << hex;
  return m;
}

TEST(ProductsWire, ConfigurationTagsEnumsAndPackedIntegrators) {
  pb::ProductConfiguration c;
  EXPECT_EQ(c.SerializeAsString(), "");
  c.set_type(pb::PT_SWS);
  EXPECT_EQ(Hex(c.SerializeAsString()), "10 24");

  auto odd = Parse<pb::ProductConfiguration>("10 63");
  EXPECT_EQ(odd.type(), 99);
  EXPECT_EQ(Hex(odd.SerializeAsString()), "10 63");

  c.Clear();
  c.add_integrator(pb::ProductConfiguration::PROD_INT_COMP);
  c.add_integrator(pb::ProductConfiguration::PROD_INT_DWELL);
  EXPECT_EQ(Hex(c.SerializeAsString()), "1a 02 01 02");
  auto unpacked = Parse<pb::ProductConfiguration>("18 01 18 02");
  EXPECT_TRUE(MessageDifferencer::Equals(unpacked, c)) << unpacked.DebugString();
  // Unlisted entries keep their place, whatever mix of forms they came in.
  EXPECT_EQ(Hex(Parse<pb::ProductConfiguration>("18 01 1a 02 07 02").SerializeAsString()),
            "1a 03 01 07 02");

  // Two-byte tags from field 16 on; integrators outside the oneof.
  c.Clear();
  c.mutable_comp_info();
  c.mutable_dwell_info();
  c.mutable_raster_info();
  c.add_input();
  c.add_output();
  c.mutable_future_product_info();
  EXPECT_EQ(Hex(c.SerializeAsString()), "22 00 2a 00 4a 00 92 01 00 9a 01 00 a2 01 00");
  c.mutable_vad_info();
  EXPECT_EQ(Hex(c.SerializeAsString()), "22 00 2a 00 82 01 00 92 01 00 9a 01 00 a2 01 00");
  auto back = Parse<pb::ProductConfiguration>(Hex(c.SerializeAsString()));
  EXPECT_EQ(back.ProductSpecificInfo_case(), pb::ProductConfiguration::kVadInfo);
  EXPECT_TRUE(back.has_comp_info() && back.has_dwell_info() && back.has_future_product_info());
}

TEST(ProductsWire, OneofSwitchingAtEveryLevel) {
  // Level 1: ProductSpecificInfo. The last alternative on the wire wins.
  pb::ProductConfiguration c;
  c.mutable_raster_info()->set_x_pix_count(5);
  c.mutable_catch_info();
  EXPECT_EQ(c.ProductSpecificInfo_case(), 10);
  EXPECT_FALSE(c.has_raster_info());
  EXPECT_EQ(Hex(c.SerializeAsString()), "52 00");
  EXPECT_EQ(Parse<pb::ProductConfiguration>("4a 00 52 00").ProductSpecificInfo_case(),
            pb::ProductConfiguration::kCatchInfo);
  EXPECT_EQ(Parse<pb::ProductConfiguration>("52 00 4a 00 6a 00").ProductSpecificInfo_case(),
            pb::ProductConfiguration::kVvpInfo);

  // Level 2: RasterProductInfo; the pixel counts stand outside it.
  pb::ProductConfiguration::RasterInfo raster;
  raster.set_x_pix_count(3);
  raster.set_y_pix_count(4);
  raster.mutable_geo_raster();
  EXPECT_EQ(Hex(raster.SerializeAsString()), "08 03 10 04 1a 00");
  raster.mutable_cross_info();
  EXPECT_EQ(raster.RasterProductInfo_case(), pb::ProductConfiguration::RasterInfo::kCrossInfo);
  EXPECT_FALSE(raster.has_geo_raster());
  EXPECT_EQ(Hex(raster.SerializeAsString()), "08 03 10 04 32 00");
  EXPECT_EQ(Parse<pb::ProductConfiguration::RasterInfo>("32 00 1a 00").RasterProductInfo_case(),
            pb::ProductConfiguration::RasterInfo::kGeoRaster);

  // Level 3: GeoReferencedProductInfo; the georeference stands outside it.
  pb::ProductConfiguration::GeoReferencedRasterInfo geo;
  geo.mutable_georeference();
  geo.mutable_ppi_info()->add_el_angle_deg(0.5);
  geo.mutable_cappi_info();
  EXPECT_TRUE(geo.has_georeference());
  EXPECT_FALSE(geo.has_ppi_info());
  EXPECT_EQ(Hex(geo.SerializeAsString()), "0a 00 1a 00");
  for (int number = 2; number <= 10; ++number) {
    char tag[3];
    snprintf(tag, sizeof tag, "%02x", number << 3 | 2);
    auto parsed = Parse<pb::ProductConfiguration::GeoReferencedRasterInfo>(std::string("12 00 ") +
                                                                           tag + " 00 0a 00");
    EXPECT_EQ(parsed.GeoReferencedProductInfo_case(), number) << "field " << number;
    EXPECT_TRUE(parsed.has_georeference()) << "field " << number;
  }

  // The whole path: raster_info, geo_raster, ppi_info.
  auto path = Parse<pb::ProductConfiguration>("4a 06 1a 04 0a 00 12 00");
  EXPECT_TRUE(path.raster_info().geo_raster().has_georeference());
  EXPECT_TRUE(path.raster_info().geo_raster().has_ppi_info());

  // Product payloads and the envelope.
  pb::Product p;
  p.mutable_raster();
  p.mutable_rain();
  EXPECT_EQ(p.ProductData_case(), pb::Product::kRain);
  EXPECT_FALSE(p.has_raster());
  p.mutable_events();
  EXPECT_EQ(Hex(p.SerializeAsString()), "4a 00");
  EXPECT_EQ(Parse<pb::Product>("3a 00 52 00 42 00").ProductData_case(), pb::Product::kVectors);

  pb::InstrumentData envelope;
  EXPECT_EQ(envelope.SerializeAsString(), "");
  envelope.mutable_volume();
  EXPECT_EQ(Hex(envelope.SerializeAsString()), "0a 00");
  envelope.mutable_product();
  EXPECT_EQ(envelope.Payload_case(), pb::InstrumentData::kProduct);
  EXPECT_FALSE(envelope.has_volume());
  EXPECT_EQ(Hex(envelope.SerializeAsString()), "1a 00");
  auto sweep_last = Parse<pb::InstrumentData>("0a 00 12 00");
  EXPECT_EQ(sweep_last.Payload_case(), pb::InstrumentData::kSweep);
  EXPECT_EQ(Hex(sweep_last.SerializeAsString()), "12 00");
}

TEST(ProductsWire, VolumeTwiceOnTheWireMerges) {
  // uuid {lsb 1}, sweep {task "a"}; then uuid {msb 1}, sweep {task "b"}.
  auto merged = Parse<pb::InstrumentData>(
      "0a 09 0a 02 08 02 1a 03 12 01 61 "
      "0a 09 0a 02 10 02 1a 03 12 01 62");
  ASSERT_TRUE(merged.has_volume());
  EXPECT_EQ(merged.volume().uuid().least_significant_bits(), 1);
  EXPECT_EQ(merged.volume().uuid().most_significant_bits(), 1);
  ASSERT_EQ(merged.volume().sweep_size(), 2);
  EXPECT_EQ(merged.volume().sweep(0).task_name(), "a");
  EXPECT_EQ(merged.volume().sweep(1).task_name(), "b");
  EXPECT_EQ(Hex(merged.SerializeAsString()),
            "0a 10 0a 04 08 02 10 02 1a 03 12 01 61 1a 03 12 01 62");
}

TEST(ProductsWire, PresenceAndListsInProductData) {
  // A oneof enum member is written at zero; an empty string member too.
  pb::ProductSpecificParameter psp;
  psp.set_unit(pb::ASSUMED_UNIT);
  EXPECT_EQ(Hex(psp.SerializeAsString()), "18 00");
  EXPECT_EQ(Parse<pb::ProductSpecificParameter>("18 00").UnitDescriptor_case(),
            pb::ProductSpecificParameter::kUnit);
  psp.set_unit_name("");
  EXPECT_FALSE(psp.has_unit());
  EXPECT_EQ(Hex(psp.SerializeAsString()), "22 00");
  EXPECT_EQ(Parse<pb::ProductSpecificParameter>("22 00").UnitDescriptor_case(),
            pb::ProductSpecificParameter::kUnitName);
  auto odd_unit = Parse<pb::ProductSpecificParameter>("18 4d");
  EXPECT_EQ(odd_unit.unit(), 77);
  EXPECT_EQ(Hex(odd_unit.SerializeAsString()), "18 4d");

  psp.Clear();
  psp.set_name("a");
  psp.set_unit(pb::KILOMETERS);
  psp.add_value(0.0);
  psp.add_value(1.0);
  EXPECT_EQ(Hex(psp.SerializeAsString()),
            "0a 01 61 18 08 2a 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 f0 3f");

  // An all-zero element of a repeated message is written and keeps its place.
  pb::MeasurementArray array;
  array.add_values();
  array.add_values()->set_count(1);
  EXPECT_EQ(Hex(array.SerializeAsString()), "1a 00 1a 02 18 01");
  auto array_back = Parse<pb::MeasurementArray>("1a 00 1a 02 18 01");
  ASSERT_EQ(array_back.values_size(), 2);
  EXPECT_EQ(array_back.values(1).count(), 1u);

  // Plural names, single strings: the last occurrence wins.
  auto coordinate = Parse<pb::Coordinate>("0a 01 61 12 01 78 0a 01 62 12 01 79");
  EXPECT_EQ(coordinate.names(), "b");
  EXPECT_EQ(coordinate.units(), "y");
  EXPECT_EQ(Parse<pb::MeasurementsList>("12 01 61 12 01 62").psp_units(), "b");

  pb::MeasurementsList list;
  list.add_psp_values(2.0);
  list.add_results();
  EXPECT_EQ(Hex(list.SerializeAsString()), "1a 08 00 00 00 00 00 00 00 40 22 00");
}

TEST(ProductsWire, UnknownNumbersInTheGapsAreKeptAndWrittenLast) {
  struct Case {
    const Message& prototype;
    const char* input;
    const char* output;
  };
  const Case cases[] = {
      {pb::ProductConfiguration::default_instance(),
       "40 01 10 24 58 02 60 03 70 04 78 05 88 01 06 0a 01 61",
       "0a 01 61 10 24 40 01 58 02 60 03 70 04 78 05 88 01 06"},
      {pb::ProductConfiguration::RasterInfo::default_instance(), "20 01 28 02 08 03",
       "08 03 20 01 28 02"},
      {pb::RasterData::default_instance(), "20 09 10 02", "10 02 20 09"},
      {pb::ProductSpecificParameter::default_instance(), "10 05 0a 01 61", "0a 01 61 10 05"},
  };
  for (const Case& c : cases) {
    std::unique_ptr<Message> m(c.prototype.New());
    ASSERT_TRUE(m->ParseFromString(Unhex(c.input))) << c.input;
    EXPECT_GT(m->GetReflection()->GetUnknownFields(*m).field_count(), 0) << c.input;
    EXPECT_EQ(Hex(m->SerializeAsString()), c.output) << m->GetTypeName();
  }
}

template <typename M>
void ExpectPropertiesInKeyOrder(const std::string& tag) {
  M m;
  auto& properties = *m.mutable_properties();
  properties["b"] = "2";
  properties["c"] = "3";
  properties["a"] = "1";
  EXPECT_EQ(Hex(SerializeDeterministic(m)), tag + " 06 0a 01 61 12 01 31 " + tag +
                                                " 06 0a 01 62 12 01 32 " + tag +
                                                " 06 0a 01 63 12 01 33")
      << M::descriptor()->name();
  // A repeated key keeps its last value.
  auto twice = Parse<M>(tag + " 06 0a 01 61 12 01 31 " + tag + " 06 0a 01 61 12 01 39");
  ASSERT_EQ(twice.properties().size(), 1u) << M::descriptor()->name();
  EXPECT_EQ(twice.properties().at("a"), "9") << M::descriptor()->name();
}

TEST(ProductsWire, PropertiesMapsAreWrittenInKeyOrder) {
  ExpectPropertiesInKeyOrder<pb::RasterData>("32");
  ExpectPropertiesInKeyOrder<pb::MeasurementArray>("0a");
  ExpectPropertiesInKeyOrder<pb::MeasurementCollection>("0a");
  ExpectPropertiesInKeyOrder<pb::RainAccumulationSeries>("22");
}

TEST(ProductsWire, RasterProductInEnvelopeRoundTripsToTheBuffers) {
  // The smallest raster envelope, byte for byte.
  pb::InstrumentData small;
  pb::Product* p = small.mutable_product();
  p->set_type(pb::PT_PPI);
  pb::RasterData* r = p->mutable_raster()->add_data_set();
  r->set_x_pix(2);
  r->set_y_pix(1);
  pb::DataBuffer* b = r->add_data();
  b->set_endian(pb::DataBuffer::LITTLE);
  b->set_type(pb::DataBuffer::UINT8);
  b->set_compression(pb::DataBuffer::NONE);
  b->set_uncompressed_size(2);
  b->set_data(std::string("\x00\xff", 2));
  const std::string small_hex =
      "1a 18 08 07 3a 14 12 12 10 02 18 01 3a 0c 08 01 10 01 18 01 20 02 2a 02 00 ff";
  EXPECT_EQ(Hex(small.SerializeAsString()), small_hex);
  EXPECT_TRUE(MessageDifferencer::Equals(Parse<pb::InstrumentData>(small_hex), small));

  // A full product: configuration three ways, times, parameters and rasters.
  pb::InstrumentData full;
  p = full.mutable_product();
  p->set_type(pb::PT_CAPPI);
  p->set_configuration_name("cappi-500");
  p->mutable_configuration_uuid()->set_least_significant_bits(-2);
  p->mutable_configuration_uuid()->set_most_significant_bits(7);
  pb::ProductConfiguration* config = p->mutable_configuration();
  config->set_configuration_name("cappi-1000");  // Not compared with the product's.
  config->set_type(pb::PT_CAPPI);
  config->add_integrator(pb::ProductConfiguration::PROD_INT_COMP);
  config->mutable_comp_info();
  config->add_sources()->set_name("radar-1");
  config->add_task_names("PPI_A");
  auto* geo = config->mutable_raster_info()->mutable_geo_raster();
  geo->mutable_georeference()->mutable_projection()->set_epsg_code("3067");
  geo->mutable_cappi_info()->add_heights_m(500.0);
  config->add_input()->set_short_name("DBZH");
  config->mutable_future_product_info()->set_num_steps(3);
  p->mutable_product_generation_time()->set_seconds(1700000000);
  p->mutable_input_timespan()->mutable_start()->set_seconds(1699999700);
  pb::RasterDataList* raster = p->mutable_raster();
  pb::ProductSpecificParameter* height = raster->add_parameters();
  height->set_name("height");
  height->set_unit(pb::METERS);
  height->add_value(500.0);
  raster->add_parameters()->set_unit_name("furlong");
  for (int i = 0; i < 2; ++i) {
    r = raster->add_data_set();
    r->mutable_data_descriptor()->set_short_name(i == 0 ? "DBZH" : "QUALITY");
    r->set_x_pix(640);
    r->set_y_pix(480);
    r->mutable_georeference()->mutable_projection()->set_proj4("+proj=aeqd");
    (*r->mutable_properties())["source"] = "radar-1";
    (*r->mutable_properties())["kind"] = i == 0 ? "value" : "quality";
    for (int j = 0; j < 2; ++j) {
      b = r->add_data();
      b->set_compression(j == 0 ? pb::DataBuffer::NONE : pb::DataBuffer::LZ4);
      b->set_data(std::string("\x00\x80\xff\x10", 4) +
                  std::string(static_cast<size_t>(i + j), 'x'));
    }
  }
  const std::string bytes = SerializeDeterministic(full);
  pb::InstrumentData back;
  ASSERT_TRUE(back.ParseFromString(bytes));
  EXPECT_TRUE(MessageDifferencer::Equals(back, full)) << back.DebugString();
  EXPECT_EQ(Hex(SerializeDeterministic(back)), Hex(bytes));
  ASSERT_EQ(back.product().raster().data_set_size(), 2);
  EXPECT_EQ(back.product().raster().data_set(1).data(1).data(),
            std::string("\x00\x80\xff\x10xx", 6));
  EXPECT_EQ(back.product().configuration().raster_info().geo_raster().cappi_info().heights_m(0),
            500.0);
}

}  // namespace
