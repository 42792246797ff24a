// Scan configuration: pulses, pulse sequences, ray, sweep and volume
// configurations, and the references between them.
#include <google/protobuf/unknown_field_set.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "pulse_calib.pb.h"
#include "pulse_definition.pb.h"
#include "pulse_sequence.pb.h"
#include "ray_config.pb.h"
#include "sweep_config.pb.h"
#include "sweep_description.pb.h"
#include "volume_config.pb.h"
#include "wire_testing.h"

namespace {

using common_dto_test::Hex;
using common_dto_test::LogCapture;
using common_dto_test::SerializeDeterministic;
using common_dto_test::Unhex;
using namespace kyt::pb::common;  // NOLINT(build/namespaces)

constexpr char kPkg[] = "kyt.pb.common.";

std::string Wire(const google::protobuf::Message& m) { return Hex(SerializeDeterministic(m)); }

template <typename M>
M Parsed(const std::string& hex) {
  M m;
  EXPECT_TRUE(m.ParseFromString(Unhex(hex))) << M::descriptor()->name() << " rejected " << hex;
  return m;
}

template <typename M>
void ExpectRejectedNaming(const std::string& hex, const std::string& field) {
  LogCapture log;
  M m;
  EXPECT_FALSE(m.ParseFromString(Unhex(hex))) << "invalid UTF-8 accepted for " << field;
  EXPECT_NE(log.text().find(kPkg + field), std::string::npos)
      << "error does not name " << field << ": " << log.text();
}

TEST(ScanConfigWire, PulsesAndSequences) {
  Calibration cal;
  cal.set_ldr_bias(1.0f);
  EXPECT_EQ(Wire(cal), "3d 00 00 80 3f");  // float: four bytes
  cal.set_ldr_bias(-0.0f);                 // the 3.21 runtime keeps the sign and writes it
  EXPECT_EQ(Wire(cal), "3d 00 00 00 80");
  cal.Clear();
  cal.set_xmt_pwr_watts(0.0);
  cal.set_radar_constant(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(Wire(cal), "09 00 00 00 00 00 00 f8 7f");
  cal.Clear();
  cal.set_radar_constant_horiz(-1);
  cal.set_rx_bandwith(300);
  EXPECT_EQ(Wire(cal), "28 ff ff ff ff ff ff ff ff ff 01 48 ac 02");

  PulseDefinition pd;
  pd.add_pulse_id("");
  for (double w : {0.5, 1.0, 2.0}) pd.add_pulse_width_usec(w);
  pd.set_tx_polarization(static_cast<PulseDefinition::PolarizationType>(9));
  const std::string packed =
      "0a 00 12 18 00 00 00 00 00 00 e0 3f 00 00 00 00 00 00 f0 3f 00 00 00 00 00 00 00 40 28 09";
  EXPECT_EQ(Wire(pd), packed);
  EXPECT_FALSE(PulseDefinition_PolarizationType_IsValid(9));
  const auto unpacked = Parsed<PulseDefinition>(
      "0a 00 11 00 00 00 00 00 00 e0 3f 11 00 00 00 00 00 00 f0 3f 28 09 "
      "11 00 00 00 00 00 00 00 40");
  EXPECT_EQ(Wire(unpacked), packed) << "unpacked doubles or an open enum value lost";
  EXPECT_EQ(unpacked.pulse_id_size(), 1);

  PulseSequence seq;
  seq.set_type(PulseSequence::PRF);  // prt filled instead of prf: no complaint
  seq.add_prt(1.0);
  seq.mutable_sprt();
  seq.set_low_prf(-1);
  EXPECT_EQ(Wire(seq),
            "08 01 1a 08 00 00 00 00 00 00 f0 3f 22 00 28 ff ff ff ff ff ff ff ff ff 01");
  const auto seq2 = Parsed<PulseSequence>(
      "12 08 00 00 00 00 00 00 f0 3f 11 00 00 00 00 00 00 00 40"
      " 19 00 00 00 00 00 00 e0 3f 22 00");
  EXPECT_EQ(seq2.prf_size(), 2) << "packed and unpacked records of one field must append";
  EXPECT_EQ(seq2.prt_size(), 1);
  EXPECT_TRUE(seq2.has_sprt()) << "an empty sub-message on the wire is present";
  ExpectRejectedNaming<PulseSequence>("22 03 0a 01 ff", "StaggeredPRT.type");
  ExpectRejectedNaming<PulseDefinition>("0a 01 ff", "PulseDefinition.pulse_id");
}

TEST(ScanConfigWire, RayConfigReferenceOneof) {
  RayConfigReference ref;
  EXPECT_EQ(Wire(ref), "");
  ref.mutable_ray_config_uuid()->set_least_significant_bits(1);
  ref.set_ray_config_index(0);
  EXPECT_FALSE(ref.has_ray_config_uuid()) << "setting the index must clear the uuid";
  EXPECT_EQ(Wire(ref), "10 00") << "index 0 inside a oneof is written";
  EXPECT_EQ(Parsed<RayConfigReference>("10 00").RayConfigReference_case(),
            RayConfigReference::kRayConfigIndex);
  ref.set_ray_config_index(-1);
  EXPECT_EQ(Wire(ref), "10 ff ff ff ff ff ff ff ff ff 01");
  ref.mutable_ray_config();
  EXPECT_FALSE(ref.has_ray_config_index());
  EXPECT_EQ(Wire(ref), "1a 00");
  EXPECT_TRUE(Parsed<RayConfigReference>("1a 00").has_ray_config());

  EXPECT_EQ(Parsed<RayConfigReference>("0a 02 08 02 10 03").ray_config_index(), 3)
      << "the last member on the wire wins";
  // Two inline records merge into one configuration.
  const auto merged = Parsed<RayConfigReference>("1a 09 11 00 00 00 00 00 00 00 40 1a 02 30 05");
  EXPECT_EQ(merged.ray_config().unamb_velocity_m_p_s(), 2.0);
  EXPECT_EQ(merged.ray_config().pulse_count(), 5u);
}

TEST(ScanConfigWire, DataMomentsMaps) {
  RayConfig rc;
  (*rc.mutable_data_moments())[""];
  EXPECT_EQ(Wire(rc), "42 04 0a 00 12 00");
  SweepConfig sc;
  (*sc.mutable_data_moments())[""];
  EXPECT_EQ(Wire(sc), "1a 04 0a 00 12 00");

  rc.Clear();
  for (const char* key : {"ZDR", "VEL", "DBZ"}) (*rc.mutable_data_moments())[key];
  rc.set_xmt_phase(RayConfig::SZ);  // sz_n, sz_m = 0: not written
  rc.set_pulse_count(0xffffffffu);  // unsigned: five-byte varint
  EXPECT_EQ(Wire(rc),
            "30 ff ff ff ff 0f 42 07 0a 03 44 42 5a 12 00 42 07 0a 03 56 45 4c 12 00 "
            "42 07 0a 03 5a 44 52 12 00 50 04");

  // Same key twice: the later descriptor replaces the earlier one whole.
  const auto twice = Parsed<RayConfig>("42 07 0a 01 5a 12 02 08 0a 42 08 0a 01 5a 12 03 22 01 78");
  ASSERT_EQ(twice.data_moments_size(), 1);
  EXPECT_EQ(twice.data_moments().at("Z").type(), CUSTOM_TYPE);
  EXPECT_EQ(twice.data_moments().at("Z").short_name(), "x");
  // Entry without value, entry without key.
  const auto partial = Parsed<SweepConfig>("1a 03 0a 01 5a 1a 04 12 02 08 0a");
  ASSERT_EQ(partial.data_moments_size(), 2);
  EXPECT_EQ(partial.data_moments().at("Z").ByteSizeLong(), 0u);
  EXPECT_EQ(partial.data_moments().at("").type(), REFLECTIVITY_DBZ);

  ExpectRejectedNaming<RayConfig>("42 05 0a 01 ff 12 00", "RayConfig.DataMomentsEntry.key");
  ExpectRejectedNaming<RayConfig>("2a 01 ff", "RayConfig.pulse_filter_id");
  ExpectRejectedNaming<SweepConfig>("1a 05 0a 01 ff 12 00", "SweepConfig.DataMomentsEntry.key");
  ExpectRejectedNaming<SweepConfig>("3a 01 ff", "SweepConfig.procmode");
  ExpectRejectedNaming<VolumeConfig>("12 01 ff", "VolumeConfig.name");
  ExpectRejectedNaming<VolumeConfig>("1a 03 3a 01 ff", "SweepConfig.procmode");
}

TEST(ScanConfigWire, SweepDescriptionAndReference) {
  SweepDescription sd;
  sd.set_fixed_angle_deg(0.5);
  sd.set_second_fixed_angle_deg(0.0);
  EXPECT_EQ(Wire(sd), "21 00 00 00 00 00 00 e0 3f") << "fixed_angle_deg is field 4";
  sd.set_fixed_angle_deg(-0.0);  // the 3.21 runtime writes negative zero
  EXPECT_EQ(Wire(sd), "21 00 00 00 00 00 00 00 80");

  // Fields 2 and 3 are not angles: kept as unknown and written after the known ones.
  const auto odd =
      Parsed<SweepDescription>("10 07 0a 00 19 00 00 00 00 00 00 f0 3f 21 00 00 00 00 00 00 e0 3f");
  EXPECT_EQ(odd.fixed_angle_deg(), 0.5);
  EXPECT_EQ(odd.second_fixed_angle_deg(), 0.0);
  EXPECT_EQ(Wire(odd), "0a 00 21 00 00 00 00 00 00 e0 3f 10 07 19 00 00 00 00 00 00 f0 3f");

  SweepConfigReference ref;
  EXPECT_EQ(Wire(ref), "");
  ref.set_sweep_config_index(0);
  EXPECT_EQ(Wire(ref), "10 00");
  EXPECT_EQ(Parsed<SweepConfigReference>("10 00").ConfigReference_case(),
            SweepConfigReference::kSweepConfigIndex);
  ref.mutable_sweep_config();
  EXPECT_EQ(ref.ConfigReference_case(), SweepConfigReference::kSweepConfig);
  EXPECT_EQ(Wire(ref), "1a 00");
  ref.set_sweep_config_index(-2);
  EXPECT_EQ(Wire(ref), "10 fe ff ff ff ff ff ff ff ff 01");
  EXPECT_EQ(Parsed<SweepConfigReference>("0a 02 08 02 1a 00").ConfigReference_case(),
            SweepConfigReference::kSweepConfig)
      << "the last member on the wire wins";

  SweepConfig sc;
  sc.set_type(static_cast<SweepConfig::SweepType>(6));
  EXPECT_EQ(Wire(Parsed<SweepConfig>(Hex(sc.SerializeAsString()))), "28 06");
  EXPECT_FALSE(SweepConfig_SweepType_IsValid(6));
  EXPECT_TRUE(SweepConfig_SweepType_IsValid(5));
}

void SetUuid(UUID* uuid, int64_t lsb, int64_t msb) {
  uuid->set_least_significant_bits(lsb);
  uuid->set_most_significant_bits(msb);
}

VolumeConfig CompleteVolumeConfig() {
  VolumeConfig v;
  SetUuid(v.mutable_uuid(), -5, 7);
  v.set_name("ppi-6");

  RayConfig* rc = v.add_ray_config();
  SetUuid(rc->mutable_uuid(), 100, -100);
  rc->set_unamb_velocity_m_p_s(16.5);
  rc->set_unamb_range_km(150.0);
  PulseSequence* seq = rc->mutable_pulse_sequence();
  seq->set_type(PulseSequence::STAGGERED);
  seq->add_prf(1000.0);
  seq->add_prf(750.0);
  seq->mutable_sprt()->set_type("3:2");
  seq->mutable_sprt()->set_prt(0.001);
  rc->add_pulse_filter_id("fir-a");
  rc->set_pulse_count(32);
  PulseDefinition* pd = rc->add_pulse_definition();
  pd->add_pulse_id("short");
  pd->add_pulse_width_usec(0.8);
  pd->add_rf_frequency_mhz(5625.0);
  pd->set_tx_polarization(PulseDefinition::SIMULTANEOUS);
  pd->set_rx_polarization(PulseDefinition::HORIZONTAL);
  Calibration* cal = pd->add_calibration();
  cal->set_ldr_bias(-30.5f);
  cal->set_radar_constant_horiz(-2);
  cal->set_xmt_pwr_watts(250000.0);
  DataDescriptor& dbz = (*rc->mutable_data_moments())["DBZH"];
  dbz.set_type(REFLECTIVITY_DBZ);
  dbz.set_short_name("DBZH");
  (*rc->mutable_data_moments())["VRADH"].set_type(VELOCITY_M_P_S);
  StepScale* gates = rc->mutable_range_scale()->add_range_m();
  gates->set_start(125.0);
  gates->set_step(250.0);
  gates->set_count(600);
  rc->set_xmt_phase(RayConfig::SZ);
  rc->set_sz_n(8);
  rc->set_sz_m(64);
  v.add_ray_config()->set_pulse_count(64);

  SweepConfig* ppi = v.add_sweep_config();
  SetUuid(ppi->mutable_uuid(), 1, 2);
  *ppi->add_ray_config_ref()->mutable_ray_config_uuid() = rc->uuid();
  ppi->add_ray_config_ref()->set_ray_config_index(0);
  ppi->add_ray_config_ref()->set_ray_config_index(9);  // beyond the list: carried as is
  (*ppi->mutable_data_moments())["DBZH"] = dbz;
  *ppi->mutable_range_scale() = rc->range_scale();
  ppi->set_type(SweepConfig::PPI);
  ppi->mutable_sector()->set_step(1.0);
  ppi->mutable_sector()->set_count(360);
  ppi->set_procmode("doppler");
  ppi->set_speed_deg_per_sec(18.0);
  ppi->set_range_gate_length(250.0);
  ppi->set_ray_angle_res(1.0);
  SweepConfig* rhi = v.add_sweep_config();
  rhi->set_type(SweepConfig::RHI);
  rhi->add_ray_config_ref()->mutable_ray_config()->set_xmt_phase(RayConfig::RANDOM);

  SweepDescription* sd = v.add_sweep_descriptions();
  *sd->mutable_config()->mutable_sweep_config_uuid() = ppi->uuid();
  sd->set_fixed_angle_deg(0.5);
  sd = v.add_sweep_descriptions();
  sd->mutable_config()->set_sweep_config_index(1);
  sd->set_second_fixed_angle_deg(90.0);
  sd = v.add_sweep_descriptions();  // inline chain: sweep config holding a ray config
  *sd->mutable_config()->mutable_sweep_config() = *rhi;
  sd->set_fixed_angle_deg(1.5);
  return v;
}

TEST(ScanConfigWire, CompleteVolumeConfigRoundTrips) {
  const VolumeConfig v = CompleteVolumeConfig();
  const std::string bytes = SerializeDeterministic(v);
  EXPECT_EQ(Hex(bytes.substr(0, 13)), "0a 04 08 09 10 0e 12 05 70 70 69 2d 36");
  VolumeConfig back;
  ASSERT_TRUE(back.ParseFromString(bytes));
  EXPECT_TRUE(google::protobuf::util::MessageDifferencer::Equals(v, back)) << back.DebugString();
  EXPECT_EQ(Hex(SerializeDeterministic(back)), Hex(bytes));

  // Top level in number order: uuid, name, sweep configs, ray configs, descriptions.
  google::protobuf::UnknownFieldSet top;
  ASSERT_TRUE(top.ParseFromString(bytes));
  std::vector<int> numbers;
  for (int i = 0; i < top.field_count(); ++i) numbers.push_back(top.field(i).number());
  EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3, 3, 4, 4, 5, 5, 5}));

  EXPECT_EQ(back.sweep_config(0).ray_config_ref(2).ray_config_index(), 9);
  EXPECT_EQ(
      back.sweep_descriptions(2).config().sweep_config().ray_config_ref(0).ray_config().xmt_phase(),
      RayConfig::RANDOM);
  EXPECT_EQ(back.ray_config(0).pulse_definition(0).calibration(0).ldr_bias(), -30.5f);
}

}  // namespace
