// Exact wire bytes of each part of the schema, as a peer reads them: one
// record per message kind, its fields set to values whose bytes would show a
// wrong number, type, label or packing. Each record is also read back (into
// known fields only) to an equal message. The schema baseline in compat/
// guards the declarations; these guard what the generated code writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "data_type_request.pb.h"
#include "geo_event.pb.h"
#include "geo_polyline.pb.h"
#include "georeference.pb.h"
#include "instrument_data.pb.h"
#include "ppi_info.pb.h"
#include "ray_stream_message.pb.h"
#include "sri_info.pb.h"
#include "wire_testing.h"
#include "ymds_time.pb.h"

namespace kyt::pb::common {
namespace {

using common_dto_test::ExpectWire;

// Short names for the many numbers below.
std::string D(double value) { return common_dto_test::HexOf(value); }
std::string F(float value) { return common_dto_test::HexOf(value); }
const std::string& kAllOnes = common_dto_test::kVarintAllOnes;

TEST(WireBytes, IdentifiersTimesScalesAndBuffers) {
  UUID id;
  id.set_least_significant_bits(1);
  id.set_most_significant_bits(-2);
  ExpectWire(id, "08 02 10 03");  // sint64: zigzag
  id.set_least_significant_bits(std::numeric_limits<int64_t>::min());
  id.set_most_significant_bits(-1);
  ExpectWire(id, "08 " + kAllOnes + " 10 01");

  Identifier named;
  named.set_name("a");
  named.mutable_id()->set_least_significant_bits(-1);
  ExpectWire(named, "0a 01 61 12 02 08 01");

  TimeSpan span;
  span.mutable_start()->set_seconds(10);
  span.mutable_end()->set_nanos(5);
  ExpectWire(span, "0a 02 08 0a 12 02 10 05");

  YMDSTime time;
  time.set_second(300);
  time.set_millisecond(0xffffffffu);
  time.set_year(2026);
  time.set_month(13);
  time.set_day(31);
  ExpectWire(time, "08 ac 02 10 ff ff ff ff 0f 18 ea 0f 20 0d 28 1f");

  RangeScale range;
  StepScale* segment = range.add_range_m();
  segment->set_start(100);
  segment->set_step(250);
  segment->set_count(-1);
  range.add_range_m();
  ExpectWire(range, "0a 1d 09 " + D(100) + " 11 " + D(250) + " 18 " + kAllOnes + " 0a 00");

  DataTypeRequest request;
  request.set_type(ZDR_DB);
  request.set_short_name("ZDR");
  ExpectWire(request, "08 13 12 03 5a 44 52");

  DataBuffer buffer;
  buffer.set_endian(DataBuffer::LITTLE);
  buffer.set_type(DataBuffer::UINT16);
  buffer.set_compression(DataBuffer::NONE);
  buffer.set_uncompressed_size(4);
  buffer.set_data(std::string("\x01\x00\x02\xff", 4));
  ExpectWire(buffer, "08 01 10 02 18 01 20 04 2a 04 01 00 02 ff");
}

TEST(WireBytes, DataDescriptor) {
  DataDescriptor descriptor;
  descriptor.set_type(REFLECTIVITY_DBZ);
  descriptor.set_short_name("Z");
  (*descriptor.mutable_thresholds())["a"] = 0.5f;
  descriptor.add_corrections(DataDescriptor::CLUTTER_FILTERING);
  descriptor.add_corrections(DataDescriptor::RANGE_NORMALIZATION);
  descriptor.set_is_quality_parameter(true);
  descriptor.mutable_quality_limits()->set_end_value(1.0f);
  descriptor.mutable_display_limits()->set_start_value(-32.0f);
  DataDescriptor::DataScale* scale = descriptor.mutable_scale();
  scale->set_type(DataDescriptor::DataScale::ENUM);
  scale->mutable_linear_scale()->set_step(0.5);
  (*scale->mutable_enum_names())[1] = "rain";
  (*scale->mutable_bitfield_names())[-1] = "x";
  ExpectWire(descriptor, "08 0a 22 01 5a 4a 08 0a 01 61 15 " + F(0.5f) +
                             " 52 02 03 01 58 01 62 05 15 " + F(1.0f) + " 6a 05 0d " + F(-32.0f) +
                             " 72 27 08 02 12 09 21 " + D(0.5) +
                             " 1a 08 08 01 12 04 72 61 69 6e 22 0e 08 " + kAllOnes + " 12 01 78");

  DataDescriptor::DataScale::LinearDataScale linear;
  linear.set_under_threshold(-1);
  linear.set_not_scanned(1);
  linear.set_offset(-32);
  linear.set_step(0.5);
  linear.set_min_value(2);
  linear.set_max_value(255);
  linear.set_cyclic(true);
  linear.set_cyclic_min_value(3);
  linear.set_cyclic_max_value(4);
  ExpectWire(linear, "08 " + kAllOnes + " 10 01 19 " + D(-32) + " 21 " + D(0.5) +
                         " 28 02 30 ff 01 38 01 40 03 48 04");
}

TEST(WireBytes, Ray) {
  // The record of the README's example.
  Ray ray;
  ray.set_index(17);
  ray.mutable_az_range_deg()->set_start_deg(17.0);
  ray.mutable_az_range_deg()->set_span_deg(1.0);
  ray.set_ray_config_index(0);
  ray.add_noise_dbm(-112.4);
  ExpectWire(ray, "18 11 22 12 09 " + D(17) + " 11 " + D(1) + " 38 00 42 08 " + D(-112.4));

  Ray full;
  full.mutable_aq_start_time()->set_seconds(1);
  full.mutable_aq_end_time()->set_nanos(2);
  full.set_index(-1);
  full.mutable_el_range_deg()->set_span_deg(1.0);
  full.mutable_ray_config_uuid()->set_least_significant_bits(1);
  full.add_std_noise_dbm(3.0);
  full.add_burst_power_dbm(4.0);
  full.add_burst_power_dbm(5.0);
  full.add_std_burst_power_dbm(0.5);
  ExpectWire(full, "0a 02 08 01 12 02 10 02 18 " + kAllOnes + " 2a 09 11 " + D(1) +
                       " 32 02 08 02 4a 08 " + D(3) + " 52 10 " + D(4) + " " + D(5) + " 5a 08 " +
                       D(0.5));
}

TEST(WireBytes, ScanConfiguration) {
  Calibration calibration;
  calibration.set_radar_constant(1.5);
  calibration.set_radar_constant_horiz(-1);
  calibration.set_ldr_bias(1.0f);
  calibration.set_rx_bandwith(300);
  calibration.set_xmt_pwr_watts(2.0);
  ExpectWire(calibration,
             "09 " + D(1.5) + " 28 " + kAllOnes + " 3d " + F(1.0f) + " 48 ac 02 61 " + D(2.0));

  PulseDefinition pulse;
  pulse.add_pulse_id("s");
  pulse.add_pulse_id("");
  pulse.add_pulse_width_usec(0.5);
  pulse.add_pulse_width_usec(1.0);
  pulse.add_rf_frequency_mhz(5625.0);
  pulse.set_tx_polarization(PulseDefinition::SIMULTANEOUS);
  pulse.add_calibration()->set_log(2);
  ExpectWire(pulse, "0a 01 73 0a 00 12 10 " + D(0.5) + " " + D(1.0) + " 22 08 " + D(5625) +
                        " 28 03 3a 02 40 02");

  PulseSequence sequence;
  sequence.set_type(PulseSequence::STAGGERED);
  sequence.add_prf(1000);
  sequence.add_prf(750);
  sequence.mutable_sprt()->set_type("3:2");
  sequence.set_low_prf(-1);
  ExpectWire(sequence,
             "08 03 12 10 " + D(1000) + " " + D(750) + " 22 05 0a 03 33 3a 32 28 " + kAllOnes);

  RayConfig ray_config;
  ray_config.mutable_uuid()->set_least_significant_bits(1);
  ray_config.set_unamb_velocity_m_p_s(16.5);
  ray_config.add_pulse_filter_id("f");
  ray_config.set_pulse_count(0xffffffffu);
  (*ray_config.mutable_data_moments())["Z"].set_type(REFLECTIVITY_DBZ);
  ray_config.mutable_range_scale()->add_range_m();
  ray_config.set_xmt_phase(RayConfig::SZ);
  ray_config.set_sz_n(8);
  ray_config.set_sz_m(64);
  ExpectWire(ray_config, "0a 02 08 02 11 " + D(16.5) +
                             " 2a 01 66 30 ff ff ff ff 0f 42 07 0a 01 5a 12 02 08 0a 4a 02 0a 00 "
                             "50 04 58 08 60 40");

  SweepConfig sweep_config;
  sweep_config.mutable_uuid()->set_least_significant_bits(1);
  sweep_config.add_ray_config_ref()->set_ray_config_index(0);
  (*sweep_config.mutable_data_moments())["Z"];
  sweep_config.set_type(SweepConfig::RHI);
  sweep_config.mutable_sector()->set_step(1.0);
  sweep_config.mutable_sector()->set_count(360);
  sweep_config.set_procmode("d");
  sweep_config.set_speed_deg_per_sec(18);
  sweep_config.set_range_gate_length(250);
  sweep_config.set_ray_angle_res(1);
  ExpectWire(sweep_config, "0a 02 08 02 12 02 10 00 1a 05 0a 01 5a 12 00 28 02 32 0c 11 " + D(1) +
                               " 18 e8 02 3a 01 64 41 " + D(18) + " 49 " + D(250) + " 51 " + D(1));

  SweepDescription description;
  description.mutable_config()->set_sweep_config_index(0);
  description.set_fixed_angle_deg(0.5);
  description.set_second_fixed_angle_deg(90);
  ExpectWire(description, "0a 02 10 00 21 " + D(0.5) + " 29 " + D(90));

  VolumeConfig volume_config;
  volume_config.mutable_uuid()->set_least_significant_bits(-5);
  volume_config.mutable_uuid()->set_most_significant_bits(7);
  volume_config.set_name("ppi-6");
  volume_config.add_sweep_config();
  volume_config.add_ray_config();
  volume_config.add_sweep_descriptions()->mutable_config()->mutable_sweep_config();
  ExpectWire(volume_config, "0a 04 08 09 10 0e 12 05 70 70 69 2d 36 1a 00 22 00 2a 04 0a 02 1a 00");
}

TEST(WireBytes, Geography) {
  Location location;
  location.mutable_lat_lon()->set_latitude_deg(1.5);
  location.mutable_lat_lon()->set_longitude_deg(2);
  location.set_altitude_m(100);
  ExpectWire(location, "0a 12 09 " + D(1.5) + " 11 " + D(2) + " 19 " + D(100));

  Ellipsoid ellipse;
  ellipse.mutable_location()->set_altitude_m(1);
  ellipse.set_ellipse_major_m(100);
  ellipse.set_ellipse_minor_m(60);
  ellipse.set_ellipse_azimuth_deg(1.5);
  ExpectWire(ellipse, "0a 09 19 " + D(1) + " 11 " + D(100) + " 19 " + D(60) + " 21 " + D(1.5));

  BoundingBox box;
  box.mutable_south_west()->set_x(1);
  box.mutable_south_west()->set_y(60);
  box.mutable_north_east()->set_y(1.5);
  ExpectWire(box, "0a 12 09 " + D(1) + " 11 " + D(60) + " 12 09 11 " + D(1.5));

  GeoFeature line;
  line.set_type(GeoFeature::GF_LINE);
  line.mutable_object_coordinates()->add_collection()->set_latitude_deg(1.5);
  line.mutable_object_coordinates()->add_collection()->set_longitude_deg(2);
  (*line.mutable_properties())["b"] = "2";
  (*line.mutable_properties())["a"] = "";
  ExpectWire(line, "08 02 1a 16 0a 09 09 " + D(1.5) + " 0a 09 11 " + D(2) +
                       " 2a 05 0a 01 61 12 00 2a 06 0a 01 62 12 01 32");
  GeoFeature lines;
  lines.mutable_objects_coordinates()->add_collection()->add_collection();
  ExpectWire(lines, "22 04 0a 02 0a 00");

  GeoEvent event;
  event.mutable_geo_feature()->set_type(GeoFeature::GF_POINT);
  event.mutable_geo_feature()->mutable_point_coordinate()->set_latitude_deg(1.5);
  event.mutable_duration()->mutable_start()->set_seconds(1);
  event.set_intensity(2);
  event.set_area_sq_m(100);
  event.set_text_label("x");
  const std::string event_hex = "12 0d 08 01 12 09 09 " + D(1.5) + " 1a 04 0a 02 08 01 21 " + D(2) +
                                " 29 " + D(100) + " 32 01 78";
  ExpectWire(event, event_hex);
  GeoEventList events;
  *events.add_geo_event_list() = event;
  events.add_geo_event_list()->mutable_ellipsoid();
  ExpectWire(events, "0a 2a " + event_hex + " 0a 02 0a 00");

  GeoPolylineList polylines;
  polylines.add_geo_polyline_list()->set_name("A");
  polylines.add_geo_polyline_list();
  ExpectWire(polylines, "0a 03 0a 01 41 0a 00");

  GeoReference reference;
  Projection* projection = reference.mutable_projection();
  projection->set_epsg_code("4326");  // The code travels as text.
  projection->set_wkt("W");
  projection->set_proj4("p");
  SableProjection* sable = projection->mutable_sable_proj();
  sable->set_projection_type(static_cast<SableProjection::ProjectionType>(10));
  sable->set_ref_lat(60);
  sable->set_ref_lon(3);
  sable->set_std_parallel_1(1.5);
  sable->set_std_parallel_2(2);
  reference.mutable_geoid()->set_earth_shape(Geoid::GH_WGS84);
  reference.mutable_geoid()->set_earth_radius(100);
  reference.mutable_geoid()->set_earth_flattening(1.5);
  reference.mutable_bbox();
  ExpectWire(reference, "0a 34 0a 04 34 33 32 36 12 01 57 1a 01 70 22 26 08 0a 11 " + D(60) +
                            " 19 " + D(3) + " 21 " + D(1.5) + " 29 " + D(2) + " 12 14 08 01 11 " +
                            D(100) + " 19 " + D(1.5) + " 1a 00");
}

TEST(WireBytes, Instruments) {
  Instrument instrument;
  instrument.mutable_location()->set_altitude_m(1);
  instrument.set_tower_height(30);
  instrument.set_name("X");
  instrument.set_manufacturer("M");
  instrument.set_model("m");
  instrument.set_software_name("s");
  instrument.set_instrument_type(Instrument::INSTR_RADAR);
  instrument.mutable_wmo_id()->set_sub_center_id(1);
  instrument.mutable_opera_id()->set_country(0xffffffffu);
  instrument.mutable_radar_properties()->set_horz_beam_width_deg(1.5);
  ExpectWire(instrument, "0a 09 19 " + D(1) + " 11 " + D(30) +
                             " 1a 01 58 22 01 4d 2a 01 6d 32 01 73 38 01 42 02 28 01 "
                             "4a 06 20 ff ff ff ff 0f 52 09 09 " +
                             D(1.5));

  WmoId wmo;
  wmo.mutable_wigos_id()->set_issuer_id(246);
  wmo.mutable_wigos_id()->set_local_id("A1");
  wmo.set_center_id(2);
  wmo.set_center_name("c");
  wmo.set_sub_center_id(1);
  wmo.set_sub_center_name("s");
  wmo.set_station_id(7);
  ExpectWire(wmo, "0a 07 10 f6 01 22 02 41 31 10 02 1a 01 63 28 01 32 01 73 38 07");

  RadarProperties radar;
  radar.set_horz_beam_width_deg(1.5);
  radar.set_vert_beam_width_deg(2);
  RadarCalib* calib = radar.mutable_radar_calib();
  calib->set_zcal_dbz(1.5);
  calib->mutable_calibration_configuration()->set_test_signal_type(
      static_cast<RadarCalib::CalibrationConfiguration::TestSignalType>(7));
  calib->mutable_zero_sotherm()->set_height_m(1.0f);
  calib->set_zero_c_isotherm_ew_tilt_m_p_km(0.1f);
  calib->set_gas_atten_db_per_km(-1);
  radar.add_radar_id()->set_id("i");
  radar.mutable_georeference_correction()->set_azimuth_correction(-0.5);
  ExpectWire(radar, "09 " + D(1.5) + " 11 " + D(2) + " 1a 24 09 " + D(1.5) +
                        " 32 02 30 07 3a 05 0d " + F(1.0f) + " 45 " + F(0.1f) + " 48 " + kAllOnes +
                        " 22 03 12 01 69 2a 09 09 " + D(-0.5));

  LidarProperties lidar;
  LidarCalib* lidar_calib = lidar.mutable_lidar_calib();
  lidar_calib->set_default_instrumental_function_x_max(1.5);
  lidar_calib->set_instrumental_function_status(-2);
  for (int gate : {1, 2, 300}) lidar_calib->add_gate_index(gate);
  ExpectWire(lidar, "0a 1a 09 " + D(1.5) + " 48 fe ff ff ff ff ff ff ff ff 01 52 04 01 02 ac 02");
}

TEST(WireBytes, SweepsAndVolumes) {
  // Every field once, set in reverse order: the wire has number order.
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
  ExpectWire(sweep,
             "0a 00 12 01 54 18 02 22 02 08 01 2a 00 32 0c 0a 01 5a 12 07 10 01 2a 03 01 02 03 "
             "3a 02 18 04 40 03 4a 02 63 77 52 01 65 58 " +
                 kAllOnes);

  Volume volume;
  volume.mutable_volume_config();
  for (int i = 1; i <= 3; ++i) volume.add_sweep()->set_index_in_task(i);
  volume.mutable_instrument();
  volume.mutable_uuid()->set_most_significant_bits(-1);
  ExpectWire(volume, "0a 02 10 01 12 00 1a 02 18 01 1a 02 18 02 1a 02 18 03 22 00");
}

TEST(WireBytes, ProductsAndTheirParameters) {
  ProductConfiguration config;
  config.set_configuration_name("n");
  config.set_type(PT_SWS);
  config.add_integrator(ProductConfiguration::PROD_INT_COMP);
  config.add_integrator(ProductConfiguration::PROD_INT_DWELL);
  config.mutable_comp_info();
  config.mutable_dwell_info();
  config.add_sources();
  config.add_task_names("t");
  config.mutable_vad_info();
  config.add_input();
  config.add_output();
  config.mutable_future_product_info()->set_num_steps(3);
  ExpectWire(config,
             "0a 01 6e 10 24 1a 02 01 02 22 00 2a 00 32 00 3a 01 74 "
             "82 01 00 92 01 00 9a 01 00 a2 01 02 10 03");  // two-byte tags from 16 on
  ProductConfiguration raster_config;
  ProductConfiguration::RasterInfo* raster_info = raster_config.mutable_raster_info();
  raster_info->set_x_pix_count(3);
  raster_info->set_y_pix_count(4);
  raster_info->mutable_geo_raster()->mutable_georeference();
  raster_info->mutable_geo_raster()->mutable_ppi_info()->add_el_angle_deg(0.5);
  ExpectWire(raster_config, "4a 14 08 03 10 04 1a 0e 0a 00 12 0a 0a 08 " + D(0.5));
  raster_info->mutable_cross_info();
  ExpectWire(raster_config, "4a 06 08 03 10 04 32 00");

  Product product;
  product.set_type(PT_CAPPI);
  product.set_configuration_name("c");
  product.mutable_configuration_uuid()->set_least_significant_bits(-2);
  product.mutable_configuration();
  product.mutable_product_generation_time()->set_seconds(1);
  product.mutable_input_timespan();
  product.mutable_events();
  ExpectWire(product, "08 08 12 01 63 1a 02 08 03 22 00 2a 02 08 01 32 00 4a 00");

  // The smallest raster product in its envelope.
  InstrumentData envelope;
  Product* raster_product = envelope.mutable_product();
  raster_product->set_type(PT_PPI);
  RasterData* raster = raster_product->mutable_raster()->add_data_set();
  raster->set_x_pix(2);
  raster->set_y_pix(1);
  DataBuffer* buffer = raster->add_data();
  buffer->set_endian(DataBuffer::LITTLE);
  buffer->set_type(DataBuffer::UINT8);
  buffer->set_compression(DataBuffer::NONE);
  buffer->set_uncompressed_size(2);
  buffer->set_data(std::string("\x00\xff", 2));
  ExpectWire(envelope,
             "1a 18 08 07 3a 14 12 12 10 02 18 01 3a 0c 08 01 10 01 18 01 20 02 2a 02 00 ff");

  RasterDataList rasters;
  ProductSpecificParameter* parameter = rasters.add_parameters();
  parameter->set_name("a");
  parameter->set_unit(KILOMETERS);
  parameter->add_value(0);
  parameter->add_value(1);
  rasters.add_parameters()->set_unit_name("");  // written: a oneof member
  RasterData* full_raster = rasters.add_data_set();
  full_raster->mutable_data_descriptor();
  full_raster->set_x_pix(640);
  full_raster->set_y_pix(480);
  full_raster->mutable_georeference();
  (*full_raster->mutable_properties())["k"] = "v";
  full_raster->add_data();
  ExpectWire(rasters, "0a 17 0a 01 61 18 08 2a 10 " + D(0) + " " + D(1) +
                          " 0a 02 22 00 12 14 0a 00 10 80 05 18 e0 03 2a 00 32 06 0a 01 6b 12 01 "
                          "76 3a 00");
}

TEST(WireBytes, ProductParametersInNumberOrder) {
  // Product parameters: number order, not declaration order. (The others'
  // declarations are guarded by the schema baseline in compat/.)
  ProductSriInfo sri;
  sri.set_melt_height_m(1);
  sri.set_surface_height_m(2);
  sri.set_max_height_m(1.5);
  sri.set_use_profile(true);
  sri.set_use_terrain(true);
  ExpectWire(sri, "09 " + D(1) + " 11 " + D(2) + " 20 01 31 " + D(1.5) + " 38 01");
}

TEST(WireBytes, StreamMessages) {
  stream::RayStreamMessage message;
  stream::VolumeHeader* volume = message.mutable_volume_header();
  volume->mutable_volume_uuid()->set_least_significant_bits(1);
  volume->mutable_instrument();
  volume->mutable_volume_config_uri()->mutable_uuid();
  volume->mutable_volume_config_uri()->set_endpoint("u");
  volume->mutable_start()->set_seconds(1);
  ExpectWire(message, "0a 11 0a 02 08 02 12 00 22 05 0a 00 12 01 75 2a 02 08 01");
  volume->mutable_volume_config();
  ExpectWire(message, "0a 0c 0a 02 08 02 12 00 1a 00 2a 02 08 01");

  stream::SweepHeader* sweep = message.mutable_sweep_header();
  sweep->mutable_sweep_uuid();
  sweep->mutable_volume_uuid()->set_least_significant_bits(1);
  sweep->mutable_description();
  sweep->set_index_in_task(2);
  sweep->mutable_start();
  ExpectWire(message, "12 0c 0a 00 12 02 08 02 1a 00 20 02 2a 00");

  stream::RayHeader* ray = message.mutable_ray_header();
  ray->mutable_ray()->set_index(5);
  ray->mutable_sweep_uuid();
  ray->set_ray_index(5);
  ExpectWire(message, "1a 08 0a 02 18 05 12 00 18 05");

  stream::ParameterData* data = message.mutable_parameter_data();
  data->mutable_sweep_uuid();
  data->set_ray_index(7);
  data->mutable_data_type()->set_type(REFLECTIVITY_DBZ);
  data->mutable_data()->set_data("\x09");
  ExpectWire(message, "22 0d 0a 00 10 07 1a 02 08 0a 22 03 2a 01 09");

  stream::RayEnd* ray_end = message.mutable_ray_end();
  ray_end->mutable_sweep_uuid()->set_least_significant_bits(-5);
  ray_end->set_ray_index(3);
  ray_end->mutable_end();
  ExpectWire(message, "2a 08 0a 02 08 09 10 03 1a 00");

  message.mutable_sweep_end()->mutable_sweep_uuid();
  message.mutable_sweep_end()->mutable_end()->set_seconds(2);
  ExpectWire(message, "32 06 0a 00 12 02 08 02");
  message.mutable_volume_end()->mutable_volume_uuid();
  message.mutable_volume_end()->mutable_end();
  ExpectWire(message, "3a 04 0a 00 12 00");
}

}  // namespace
}  // namespace kyt::pb::common
