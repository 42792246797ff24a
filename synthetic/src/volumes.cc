// Generator of the synthetic volumes of realistic structure (see volumes.h).
#include "common_dto/synthetic/volumes.h"

#include <google/protobuf/timestamp.pb.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace common_dto {
namespace synthetic {
namespace {

using kyt::pb::common::DataBuffer;
using kyt::pb::common::DataDescriptor;
using kyt::pb::common::DataType;
using kyt::pb::common::DataUnit;
using kyt::pb::common::Instrument;
using kyt::pb::common::Ray;
using kyt::pb::common::RayConfig;
using kyt::pb::common::Sweep;
using kyt::pb::common::SweepConfig;
using kyt::pb::common::Volume;
using kyt::pb::common::VolumeConfig;
using Polarization = kyt::pb::common::DataDescriptor::PolarizationSource;

constexpr double kPi = 3.14159265358979323846;
constexpr double kLightSpeed = 299792458.0;
constexpr double kEffectiveEarthRadiusKm = 8494.7;        // 4/3 earth radius.
constexpr std::int64_t kVolumeStartSeconds = 1717243200;  // 2024-06-01T12:00:00Z
constexpr float kFloatFill = -9999.0f;

// ---- Deterministic numbers --------------------------------------------------

std::uint64_t SplitMix(std::uint64_t z) {
  z += 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// xorshift64*: fast per-gate noise.
class Noise {
 public:
  explicit Noise(std::uint64_t seed) : state_(SplitMix(seed) | 1) {}
  std::uint64_t Next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545f4914f6cdd1dULL;
  }
  // Uniform in [0, 1).
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  // Uniform in [-1, 1).
  double Signed() { return Unit() * 2.0 - 1.0; }
  double Range(double lo, double hi) { return lo + (hi - lo) * Unit(); }

 private:
  std::uint64_t state_;
};

void SetUuid(std::uint64_t seed, std::uint64_t salt, kyt::pb::common::UUID* uuid) {
  std::uint64_t hi = SplitMix(seed ^ SplitMix(salt));
  std::uint64_t lo = SplitMix(hi ^ salt);
  hi = (hi & ~std::uint64_t{0xf000}) | 0x4000;  // Version 4 (random).
  lo = (lo & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;
  uuid->set_most_significant_bits(static_cast<std::int64_t>(hi));
  uuid->set_least_significant_bits(static_cast<std::int64_t>(lo));
}

void SetTime(double seconds_after_start, google::protobuf::Timestamp* t) {
  const double whole = std::floor(seconds_after_start);
  t->set_seconds(kVolumeStartSeconds + static_cast<std::int64_t>(whole));
  t->set_nanos(
      static_cast<std::int32_t>(std::lround((seconds_after_start - whole) * 1e9) % 1000000000));
}

// ---- Volume descriptions ----------------------------------------------------

MomentLayout Moment(const char* name, DataType type, DataUnit unit, Polarization polarization,
                    double offset, double step, const char* description) {
  return MomentLayout{name, type, unit, polarization, offset, step, description};
}

std::vector<MomentLayout> OperationalMoments() {
  using D = DataDescriptor;
  return {
      Moment("TH", kyt::pb::common::REFLECTIVITY_DBZ, kyt::pb::common::DBZ,
             D::HORIZONTAL_POLARIZATION, -32.0, 0.5,
             "Total reflectivity, before clutter filtering"),
      Moment("DBZH", kyt::pb::common::REFLECTIVITY_DBZ, kyt::pb::common::DBZ,
             D::HORIZONTAL_POLARIZATION, -32.0, 0.5, "Reflectivity, clutter filtered"),
      Moment("VRADH", kyt::pb::common::VELOCITY_M_P_S, kyt::pb::common::METERS_PER_SECOND,
             D::HORIZONTAL_POLARIZATION, -64.5, 0.5, "Radial velocity, positive away"),
      Moment("WRADH", kyt::pb::common::SPECTRAL_WIDTH_M_P_S, kyt::pb::common::METERS_PER_SECOND,
             D::HORIZONTAL_POLARIZATION, 0.0, 0.05, "Doppler spectrum width"),
      Moment("ZDR", kyt::pb::common::ZDR_DB, kyt::pb::common::DB, D::ALL, -8.0, 0.0625,
             "Differential reflectivity"),
      Moment("RHOHV", kyt::pb::common::RHOHV_UL, kyt::pb::common::UNITLESS_ONE, D::ALL, 0.2, 0.0032,
             "Co-polar correlation coefficient"),
  };
}

std::vector<MomentLayout> ResearchMoments() {
  using D = DataDescriptor;
  const auto h = D::HORIZONTAL_POLARIZATION;
  const auto v = D::VERTICAL_POLARIZATION;
  const auto all = D::ALL;
  return {
      Moment("TH", kyt::pb::common::REFLECTIVITY_DBZ, kyt::pb::common::DBZ, h, 0, 1,
             "Total reflectivity, H channel"),
      Moment("TV", kyt::pb::common::REFLECTIVITY_DBZ, kyt::pb::common::DBZ, v, 0, 1,
             "Total reflectivity, V channel"),
      Moment("DBZH", kyt::pb::common::REFLECTIVITY_DBZ, kyt::pb::common::DBZ, h, 0, 1,
             "Reflectivity, H channel, clutter filtered"),
      Moment("DBZV", kyt::pb::common::REFLECTIVITY_DBZ, kyt::pb::common::DBZ, v, 0, 1,
             "Reflectivity, V channel, clutter filtered"),
      Moment("VRADH", kyt::pb::common::VELOCITY_M_P_S, kyt::pb::common::METERS_PER_SECOND, h, 0, 1,
             "Radial velocity, H channel"),
      Moment("VRADV", kyt::pb::common::VELOCITY_M_P_S, kyt::pb::common::METERS_PER_SECOND, v, 0, 1,
             "Radial velocity, V channel"),
      Moment("WRADH", kyt::pb::common::SPECTRAL_WIDTH_M_P_S, kyt::pb::common::METERS_PER_SECOND, h,
             0, 1, "Spectrum width, H channel"),
      Moment("WRADV", kyt::pb::common::SPECTRAL_WIDTH_M_P_S, kyt::pb::common::METERS_PER_SECOND, v,
             0, 1, "Spectrum width, V channel"),
      Moment("ZDR", kyt::pb::common::ZDR_DB, kyt::pb::common::DB, all, 0, 1,
             "Differential reflectivity"),
      Moment("LDR", kyt::pb::common::LDR_DB, kyt::pb::common::DB, all, 0, 1,
             "Linear depolarization ratio"),
      Moment("PHIDP", kyt::pb::common::PHIDP_DEG, kyt::pb::common::DEGREES, all, 0, 1,
             "Differential phase"),
      Moment("KDP", kyt::pb::common::KDP_DEG_P_KM, kyt::pb::common::DEGREES_PER_KILOMETER, all, 0,
             1, "Specific differential phase"),
      Moment("RHOHV", kyt::pb::common::RHOHV_UL, kyt::pb::common::UNITLESS_ONE, all, 0, 1,
             "Co-polar correlation coefficient"),
      Moment("SQIH", kyt::pb::common::SQI_UL, kyt::pb::common::UNITLESS_ONE, h, 0, 1,
             "Signal quality index, H channel"),
      Moment("SNRH", kyt::pb::common::SIGNAL_TO_NOISE_DB, kyt::pb::common::DB, h, 0, 1,
             "Signal-to-noise ratio, H channel"),
      Moment("CCORH", kyt::pb::common::CLUTTER_SUPPRESSION_DB, kyt::pb::common::DB, h, 0, 1,
             "Clutter correction applied, H channel"),
  };
}

VolumeLayout MakeLayoutM() {
  VolumeLayout layout;
  layout.name = "M";
  layout.description = "operational S-band volume, 14 sweeps, 6 moments UINT8";
  layout.config_name = "VCP 212, super-resolution low cuts";
  layout.task_name = "VCP 212";
  layout.seed = 0x4d2024060112ULL;
  layout.frequency_mhz = 2800.0;
  layout.storage = DataBuffer::UINT8;
  const double low[] = {0.5, 0.9, 1.3, 1.8};
  const double high[] = {2.4, 3.1, 4.0, 5.1, 6.4, 8.0, 10.0, 12.5, 15.6, 19.5};
  for (double el : low) layout.sweeps.push_back({720, 1832, el, 250.0, 2125.0, 1013.0, 21.0});
  for (double el : high) layout.sweeps.push_back({360, 1200, el, 250.0, 2125.0, 1282.0, 26.0});
  layout.moments = OperationalMoments();
  return layout;
}

VolumeLayout MakeLayoutS() {
  VolumeLayout layout;
  layout.name = "S";
  layout.description = "OPERA-like C-band volume, 10 sweeps, 6 moments UINT8";
  layout.config_name = "OPERA 10-elevation volume";
  layout.task_name = "OPERA-VOL";
  layout.seed = 0x532024060112ULL;
  layout.frequency_mhz = 5625.0;
  layout.storage = DataBuffer::UINT8;
  const double els[] = {0.5, 1.0, 1.5, 2.0, 3.0, 4.5, 6.0, 8.0, 11.0, 15.0};
  int i = 0;
  for (double el : els) {
    layout.sweeps.push_back({360, 500, el, 500.0, 250.0, i < 4 ? 600.0 : 1000.0, 18.0});
    ++i;
  }
  layout.moments = OperationalMoments();
  return layout;
}

VolumeLayout MakeLayoutL() {
  VolumeLayout layout;
  layout.name = "L";
  layout.description = "dual-polarization research volume, 10 sweeps, 16 moments FLOAT";
  layout.config_name = "Research polarimetric volume, 16 moments";
  layout.task_name = "RES-PPI";
  layout.seed = 0x4c2024060112ULL;
  layout.frequency_mhz = 9410.0;
  layout.storage = DataBuffer::FLOAT;
  const double els[] = {0.5, 1.2, 2.0, 3.0, 4.2, 5.6, 7.4, 9.6, 12.5, 16.0};
  for (double el : els) layout.sweeps.push_back({720, 2000, el, 75.0, 100.0, 2000.0, 12.0});
  layout.moments = ResearchMoments();
  return layout;
}

VolumeLayout MakeLayoutD() {
  VolumeLayout layout;
  layout.name = "D";
  layout.description = "demo C-band volume, 2 sweeps of 36 rays x 40 gates, 2 moments UINT8";
  layout.config_name = "demo PPI pair";
  layout.task_name = "DEMO";
  layout.seed = 0x442026010100ULL;
  layout.frequency_mhz = 5600.0;
  layout.storage = DataBuffer::UINT8;
  // Coarse 10-degree rays and 250 m gates out to 10 km, at a low scan speed
  // so that the cells near the radar show.
  layout.sweeps.push_back({36, 40, 0.5, 250.0, 125.0, 1000.0, 18.0});
  layout.sweeps.push_back({36, 40, 2.0, 250.0, 125.0, 1000.0, 18.0});
  for (const MomentLayout& m : OperationalMoments()) {
    if (m.name == "DBZH" || m.name == "VRADH") layout.moments.push_back(m);
  }
  return layout;
}

// ---- Configuration ----------------------------------------------------------

double NyquistVelocity(const VolumeLayout& layout, const SweepLayout& sweep) {
  const double wavelength_m = kLightSpeed / (layout.frequency_mhz * 1e6);
  return sweep.prf_hz * wavelength_m / 4.0;
}

void FillDescriptor(const VolumeLayout& layout, const MomentLayout& m, DataDescriptor* d) {
  d->set_type(m.type);
  d->set_direction(DataDescriptor::RADIAL);
  d->set_polarization(m.polarization);
  d->set_short_name(m.name);
  d->set_legend(m.name + " [" + kyt::pb::common::DataUnit_Name(m.unit) + "]");
  d->set_description(m.description);
  d->set_data_unit(m.unit);
  (*d->mutable_thresholds())["SNR"] = 2.5f;
  (*d->mutable_thresholds())["SQI"] = 0.45f;
  if (m.type == kyt::pb::common::REFLECTIVITY_DBZ) {
    d->add_corrections(DataDescriptor::RANGE_NORMALIZATION);
    d->add_corrections(DataDescriptor::GASEOUS_ATTENUATION);
    if (m.name.rfind("DBZ", 0) == 0) {
      d->add_corrections(DataDescriptor::CLUTTER_FILTERING);
      d->add_corrections(DataDescriptor::DE_SPECKLE_1D);
    }
    d->mutable_display_limits()->set_start_value(-32.0f);
    d->mutable_display_limits()->set_range(107.0f);
  } else if (m.type == kyt::pb::common::VELOCITY_M_P_S) {
    d->add_corrections(DataDescriptor::CLUTTER_FILTERING);
    d->mutable_display_limits()->set_start_value(-32.0f);
    d->mutable_display_limits()->set_range(64.0f);
  } else {
    d->mutable_display_limits()->set_start_value(static_cast<float>(m.offset));
    d->mutable_display_limits()->set_range(static_cast<float>(m.step * 254.0));
  }
  d->set_is_quality_parameter(m.type == kyt::pb::common::SQI_UL ||
                              m.type == kyt::pb::common::SIGNAL_TO_NOISE_DB);
  d->mutable_quality_limits()->set_start_value(0.0f);
  d->mutable_quality_limits()->set_end_value(1.0f);
  auto* scale = d->mutable_scale();
  if (layout.storage == DataBuffer::UINT8) {
    scale->set_type(DataDescriptor::DataScale::LINEAR);
    auto* lin = scale->mutable_linear_scale();
    lin->set_under_threshold(0);
    lin->set_not_scanned(255);
    lin->set_offset(m.offset);
    lin->set_step(m.step);
    lin->set_min_value(1);
    lin->set_max_value(254);
    if (m.type == kyt::pb::common::VELOCITY_M_P_S) {
      lin->set_cyclic(true);
      lin->set_cyclic_min_value(1);
      lin->set_cyclic_max_value(254);
    }
  } else {
    scale->set_type(DataDescriptor::DataScale::NONE);
  }
}

void FillInstrument(const VolumeLayout& layout, Instrument* in) {
  const bool s_band = layout.frequency_mhz < 4000;
  const bool research = layout.storage == DataBuffer::FLOAT;
  auto* loc = in->mutable_location();
  loc->mutable_lat_lon()->set_latitude_deg(s_band ? 35.3331 : research ? 47.4793 : 52.9528);
  loc->mutable_lat_lon()->set_longitude_deg(s_band ? -97.2778 : research ? 8.5347 : 13.8578);
  loc->set_altitude_m(s_band ? 390.0 : research ? 427.5 : 112.0);
  in->set_tower_height(s_band ? 25.0 : 32.5);
  in->set_name(s_band     ? "Norman Plains S-band"
               : research ? "Kloten X-band polarimetric"
                          : "Falkenberg C-band");
  in->set_manufacturer("Larch Radar Systems");
  in->set_model(s_band ? "LRS-850S" : research ? "LRS-310X-DP" : "LRS-540C");
  in->set_software_name("larch-rsp 5.2.1");
  in->set_instrument_type(Instrument::INSTR_RADAR);
  auto* wmo = in->mutable_wmo_id();
  wmo->mutable_wigos_id()->set_series_id(0);
  wmo->mutable_wigos_id()->set_issuer_id(20000);
  wmo->mutable_wigos_id()->set_number_id(0);
  wmo->mutable_wigos_id()->set_local_id(s_band ? "72357" : research ? "06670" : "10393");
  wmo->set_center_id(s_band ? 7 : 78);
  wmo->set_center_name(s_band ? "US National Weather Service" : "Deutscher Wetterdienst");
  wmo->set_sub_center_id(1);
  wmo->set_sub_center_name("radar operations");
  wmo->set_station_id(s_band ? 72357 : research ? 6670 : 10393);
  auto* opera = in->mutable_opera_id();
  opera->set_radar_site(s_band ? "usoun" : research ? "chklo" : "defbg");
  opera->set_place(s_band ? "Norman" : research ? "Kloten" : "Falkenberg");
  opera->set_node(s_band ? "usoun" : research ? "chklo" : "defbg");
  opera->set_country(s_band ? 840 : research ? 756 : 276);
  opera->set_comment("synthetic reference volume");
  opera->set_station(s_band ? 72357 : research ? 6670 : 10393);
  auto* radar = in->mutable_radar_properties();
  radar->set_horz_beam_width_deg(s_band ? 0.95 : 1.0);
  radar->set_vert_beam_width_deg(s_band ? 0.95 : 1.0);
  auto* calib = radar->mutable_radar_calib();
  calib->set_zcal_dbz(s_band ? -45.2 : -38.7);
  calib->set_h_spectral_noise_power_dbm_p_mhz(-114.3);
  calib->set_v_spectral_noise_power_dbm_p_mhz(-114.1);
  calib->set_zdr_offset_db(0.21);
  calib->set_ldr_offset_db(-0.4);
  auto* cc = calib->mutable_calibration_configuration();
  cc->set_horizontal_3db_beam_width_deg(s_band ? 0.95f : 1.0f);
  cc->set_vertical_3db_beam_width_deg(s_band ? 0.95f : 1.0f);
  cc->set_antenna_gain_db(s_band ? 45.5f : 44.8f);
  cc->set_horizontal_test_sig_loss_db(41.2f);
  cc->set_vertical_test_sig_loss_db(41.4f);
  cc->set_test_signal_type(kyt::pb::common::RadarCalib::CalibrationConfiguration::NOISE_SOURCE);
  cc->set_horizontal_tx_loss_h_db(1.9f);
  cc->set_horizontal_tx_loss_hv_db(4.9f);
  cc->set_vertical_tx_loss_v_db(2.0f);
  cc->set_vertical_tx_loss_hv_db(5.0f);
  auto* iso = calib->mutable_zero_sotherm();
  iso->set_height_m(3250.0f);
  iso->set_thickness_m(300.0f);
  iso->set_we_tilt_m_p_km(0.4f);
  iso->set_sn_tilt_m_p_km(-0.2f);
  calib->set_zero_c_isotherm_ew_tilt_m_p_km(0.4f);
  calib->set_gas_atten_db_per_km(0);
  auto* id = radar->add_radar_id();
  id->set_type("ICAO");
  id->set_id(s_band ? "KOUN" : research ? "LSZH" : "EDBF");
  id = radar->add_radar_id();
  id->set_type("ODIM source");
  id->set_id(s_band     ? "WMO:72357,NOD:usoun"
             : research ? "WMO:06670,NOD:chklo"
                        : "WMO:10393,NOD:defbg");
  radar->mutable_georeference_correction()->set_azimuth_correction(0.12);
}

void FillRayConfig(const VolumeLayout& layout, int s, RayConfig* rc) {
  const SweepLayout& sw = layout.sweeps[s];
  SetUuid(layout.seed, 0x100 + s, rc->mutable_uuid());
  rc->set_unamb_velocity_m_p_s(NyquistVelocity(layout, sw));
  rc->set_unamb_range_km(kLightSpeed / (2.0 * sw.prf_hz) / 1000.0);
  auto* ps = rc->mutable_pulse_sequence();
  ps->set_type(kyt::pb::common::PulseSequence::PRF);
  ps->add_prf(sw.prf_hz);
  if (layout.storage == DataBuffer::FLOAT) ps->add_prf(sw.prf_hz * 0.75);  // dual PRF
  ps->set_low_prf(static_cast<int>(sw.prf_hz * 0.75));
  rc->add_pulse_filter_id("GMAP");
  rc->add_pulse_filter_id("range-average-1");
  const double dwell_s = (360.0 / sw.rays) / sw.speed_deg_per_sec;
  rc->set_pulse_count(static_cast<std::uint32_t>(dwell_s * sw.prf_hz));
  auto* pd = rc->add_pulse_definition();
  pd->add_pulse_id(sw.gate_length_m < 100 ? "short-0.5us" : "short-1.6us");
  pd->add_pulse_width_usec(sw.gate_length_m < 100 ? 0.5 : 1.57);
  pd->add_if_frequency_mhz(60.0);
  pd->add_rf_frequency_mhz(layout.frequency_mhz);
  pd->set_tx_polarization(kyt::pb::common::PulseDefinition::SIMULTANEOUS);
  pd->set_rx_polarization(kyt::pb::common::PulseDefinition::SIMULTANEOUS);
  auto* cal = pd->add_calibration();
  cal->set_radar_constant(layout.frequency_mhz < 4000 ? 73.2 : 68.9);
  cal->set_calibration_noise(-110.4);
  cal->set_current_noise(-110.1);
  cal->set_calibration_burst_power(-2.2);
  cal->set_radar_constant_horiz(73);
  cal->set_radar_constant_vert(73);
  cal->set_ldr_bias(-0.3f);
  cal->set_log(1);
  cal->set_rx_bandwith(layout.frequency_mhz < 4000 ? 1 : 2);
  cal->set_zdrcal(0);
  cal->set_hv_ratio(1);
  cal->set_xmt_pwr_watts(layout.frequency_mhz < 4000 ? 750000.0 : 250000.0);
  for (const MomentLayout& m : layout.moments)
    FillDescriptor(layout, m, &(*rc->mutable_data_moments())[m.name]);
  auto* range = rc->mutable_range_scale()->add_range_m();
  range->set_start(sw.first_gate_m);
  range->set_step(sw.gate_length_m);
  range->set_count(sw.gates);
  if (s % 2 == 0) {
    rc->set_xmt_phase(RayConfig::RANDOM);
  } else {
    rc->set_xmt_phase(RayConfig::SZ);
    rc->set_sz_n(8);
    rc->set_sz_m(64);
  }
}

void FillSweepConfig(const VolumeLayout& layout, int s, SweepConfig* sc) {
  const SweepLayout& sw = layout.sweeps[s];
  SetUuid(layout.seed, 0x200 + s, sc->mutable_uuid());
  sc->add_ray_config_ref()->set_ray_config_index(s);
  for (const MomentLayout& m : layout.moments)
    FillDescriptor(layout, m, &(*sc->mutable_data_moments())[m.name]);
  auto* range = sc->mutable_range_scale()->add_range_m();
  range->set_start(sw.first_gate_m);
  range->set_step(sw.gate_length_m);
  range->set_count(sw.gates);
  sc->set_type(SweepConfig::PPI);
  sc->mutable_sector()->set_start(0.0);
  sc->mutable_sector()->set_step(360.0 / sw.rays);
  sc->mutable_sector()->set_count(sw.rays);
  sc->set_procmode(sw.rays == 720 ? "super-resolution" : "standard");
  sc->set_speed_deg_per_sec(sw.speed_deg_per_sec);
  sc->set_range_gate_length(sw.gate_length_m);
  sc->set_ray_angle_res(360.0 / sw.rays);
}

// Seconds from the volume start to the start of sweep `s`.
double SweepStart(const VolumeLayout& layout, int s) {
  double t = 0;
  for (int i = 0; i < s; ++i) t += 360.0 / layout.sweeps[i].speed_deg_per_sec + 1.5;
  return t;
}

// ---- Synthetic weather ------------------------------------------------------

struct Cell {
  double range_km;
  double azimuth_rad;
  double radius_km;
  double peak_dbz;
};

struct Weather {
  std::vector<Cell> cells;
  double wind_speed;      // m/s
  double wind_direction;  // rad, direction the wind blows to
};

Weather MakeWeather(const VolumeLayout& layout) {
  Noise rng(layout.seed ^ 0x77ULL);
  const double max_range_km =
      (layout.sweeps[0].first_gate_m + layout.sweeps[0].gates * layout.sweeps[0].gate_length_m) /
      1000;
  Weather w;
  // A stratiform band and several convective cells.
  w.cells.push_back({max_range_km * 0.45, rng.Range(0, 2 * kPi), max_range_km * 0.3, 28.0});
  for (int i = 0; i < 7; ++i) {
    w.cells.push_back({rng.Range(0.1, 0.8) * max_range_km, rng.Range(0, 2 * kPi),
                       rng.Range(4.0, 18.0) * (max_range_km / 300.0), rng.Range(40.0, 58.0)});
  }
  w.wind_speed = 17.0;
  w.wind_direction = rng.Range(0, 2 * kPi);
  return w;
}

double AngleDistance(double a, double b) {
  double d = std::fabs(a - b);
  if (d > kPi) d = 2 * kPi - d;
  return d;
}

// Physical values of every moment of one ray; what the moments' names mean
// decides which value goes where.
class RayPhysics {
 public:
  RayPhysics(const VolumeLayout& layout, const SweepLayout& sw, const Weather& w)
      : sw_(sw), weather_(w), nyquist_(NyquistVelocity(layout, sw)) {
    const std::size_t k = w.cells.size();
    range_factor_.resize(k * static_cast<std::size_t>(sw.gates));
    range_km_.resize(sw.gates);
    mds_.resize(sw.gates);
    height_factor_.resize(sw.gates);
    const double el = sw.elevation_deg * kPi / 180.0;
    for (int g = 0; g < sw.gates; ++g) {
      const double r = (sw.first_gate_m + g * sw.gate_length_m) / 1000.0;
      range_km_[g] = r;
      mds_[g] = -24.0 + 20.0 * std::log10(r);  // Minimum detectable signal.
      const double h = r * std::sin(el) + r * r / (2 * kEffectiveEarthRadiusKm);
      height_factor_[g] = h < 4.0 ? 1.0 : std::exp(-(h - 4.0) / 2.5);
      for (std::size_t c = 0; c < k; ++c) {
        const Cell& cell = w.cells[c];
        const double d = (r - cell.range_km) / cell.radius_km;
        range_factor_[c * sw.gates + g] = std::exp(-0.5 * d * d);
      }
    }
  }

  static constexpr int kQuantities = 11;
  enum Quantity { kTotalZ, kZ, kZv, kTotalZv, kVel, kWidth, kZdr, kLdr, kPhidp, kKdp, kRho };

  // Fills phys[q][g] for ray azimuth `az` (radians); echo[g] tells whether
  // gate g has signal above the noise.
  void Compute(double az, Noise* rng) {
    const std::size_t gates = static_cast<std::size_t>(sw_.gates);
    for (auto& v : phys_) v.resize(gates);
    echo_.resize(gates);
    snr_.resize(gates);
    double az_factor[16];
    const std::size_t k = weather_.cells.size();
    for (std::size_t c = 0; c < k; ++c) {
      const Cell& cell = weather_.cells[c];
      const double arc = AngleDistance(az, cell.azimuth_rad) * cell.range_km / cell.radius_km;
      az_factor[c] = std::exp(-0.5 * arc * arc) * std::pow(10.0, cell.peak_dbz / 10.0);
    }
    const double el = sw_.elevation_deg * kPi / 180.0;
    const double radial_wind =
        weather_.wind_speed * std::cos(az - weather_.wind_direction) * std::cos(el);
    double phidp = 25.0;  // System differential phase.
    for (std::size_t g = 0; g < gates; ++g) {
      double z_lin = 0;
      for (std::size_t c = 0; c < k; ++c) z_lin += az_factor[c] * range_factor_[c * gates + g];
      z_lin *= height_factor_[g];
      const double noise = rng->Signed();
      const double dbz = 10.0 * std::log10(z_lin + 1e-3) + 1.5 * noise;
      const bool clutter = range_km_[g] < 25.0 && (rng->Next() & 31) == 0;
      const double snr = dbz - mds_[g];
      const bool echo = snr > 0 || clutter;
      echo_[g] = echo;
      snr_[g] = clutter ? 40.0 : snr;
      const double clutter_db = clutter ? 25.0 + 10.0 * rng->Unit() : 0.0;
      const double zdr = 0.2 + 0.045 * std::max(0.0, dbz - 20.0) + 0.3 * noise;
      const double kdp = std::max(0.0, (dbz - 38.0) * 0.12);
      phidp += 2.0 * kdp * sw_.gate_length_m / 1000.0;
      double vel = radial_wind + 1.2 * rng->Signed();
      if (vel > nyquist_) vel -= 2 * nyquist_;
      if (vel < -nyquist_) vel += 2 * nyquist_;
      phys_[kZ][g] = dbz;
      phys_[kTotalZ][g] = dbz + clutter_db;
      phys_[kZv][g] = dbz - zdr;
      phys_[kTotalZv][g] = dbz - zdr + clutter_db;
      phys_[kVel][g] = clutter ? 0.1 * noise : vel;
      phys_[kWidth][g] = std::clamp(1.0 + 0.04 * dbz + 0.6 * rng->Unit(), 0.1, 12.0);
      phys_[kZdr][g] = clutter ? 3.0 * noise : zdr;
      phys_[kLdr][g] = clutter ? -8.0 : -29.0 + 2.0 * noise;
      phys_[kPhidp][g] = phidp + 3.0 * noise;
      phys_[kKdp][g] = kdp;
      phys_[kRho][g] = clutter ? 0.65 + 0.1 * noise : std::min(0.999, 0.985 - 0.01 * rng->Unit());
    }
  }

  // The value series for a moment name.
  const std::vector<double>& Series(const std::string& name) {
    if (name == "TH") return phys_[kTotalZ];
    if (name == "TV") return phys_[kTotalZv];
    if (name == "DBZH") return phys_[kZ];
    if (name == "DBZV") return phys_[kZv];
    if (name == "VRADH" || name == "VRADV") return phys_[kVel];
    if (name == "WRADH" || name == "WRADV") return phys_[kWidth];
    if (name == "ZDR") return phys_[kZdr];
    if (name == "LDR") return phys_[kLdr];
    if (name == "PHIDP") return phys_[kPhidp];
    if (name == "KDP") return phys_[kKdp];
    if (name == "RHOHV") return phys_[kRho];
    if (name == "SNRH") return snr_;
    if (name == "SQIH") {
      sqi_.resize(snr_.size());
      for (std::size_t g = 0; g < snr_.size(); ++g) {
        sqi_[g] = std::clamp(0.25 + 0.04 * snr_[g], 0.0, 1.0);
      }
      return sqi_;
    }
    if (name == "CCORH") {
      ccor_.resize(snr_.size());
      for (std::size_t g = 0; g < snr_.size(); ++g) ccor_[g] = phys_[kZ][g] - phys_[kTotalZ][g];
      return ccor_;
    }
    std::fprintf(stderr, "synthetic volumes: no values for moment %s\n", name.c_str());
    std::abort();
  }

  const std::vector<char>& echo() const { return echo_; }

 private:
  const SweepLayout& sw_;
  const Weather& weather_;
  double nyquist_;
  std::vector<double> range_factor_;
  std::vector<double> range_km_;
  std::vector<double> mds_;
  std::vector<double> height_factor_;
  std::vector<double> phys_[kQuantities];
  std::vector<double> snr_;
  std::vector<double> sqi_;
  std::vector<double> ccor_;
  std::vector<char> echo_;
};

void FillRay(const VolumeLayout& layout, int s, int r, double sweep_start, Noise* rng, Ray* ray) {
  const SweepLayout& sw = layout.sweeps[s];
  const double res = 360.0 / sw.rays;
  const double dt = res / sw.speed_deg_per_sec;
  SetTime(sweep_start + r * dt, ray->mutable_aq_start_time());
  SetTime(sweep_start + (r + 1) * dt, ray->mutable_aq_end_time());
  ray->set_index(r);
  ray->mutable_az_range_deg()->set_start_deg(r * res + 0.01 * rng->Signed());
  ray->mutable_az_range_deg()->set_span_deg(res);
  ray->mutable_el_range_deg()->set_start_deg(sw.elevation_deg + 0.02 * rng->Signed());
  ray->mutable_el_range_deg()->set_span_deg(0.01 * rng->Unit());
  ray->set_ray_config_index(s);
  ray->add_noise_dbm(-110.3 + 0.2 * rng->Signed());
  ray->add_noise_dbm(-110.6 + 0.2 * rng->Signed());
  ray->add_std_noise_dbm(0.31 + 0.02 * rng->Signed());
  ray->add_std_noise_dbm(0.29 + 0.02 * rng->Signed());
  ray->add_burst_power_dbm(-2.2 + 0.05 * rng->Signed());
  ray->add_burst_power_dbm(-2.4 + 0.05 * rng->Signed());
  ray->add_std_burst_power_dbm(0.04);
  ray->add_std_burst_power_dbm(0.05);
}

const VolumeLayout& Checked(const VolumeLayout& layout, int sweep) {
  if (sweep < 0 || sweep >= layout.sweep_count()) {
    std::fprintf(stderr, "synthetic volumes: volume %s has no sweep %d\n", layout.name.c_str(),
                 sweep);
    std::abort();
  }
  return layout;
}

}  // namespace

int VolumeLayout::ray_count() const {
  int n = 0;
  for (const SweepLayout& s : sweeps) n += s.rays;
  return n;
}

int VolumeLayout::sample_width() const { return storage == DataBuffer::FLOAT ? 4 : 1; }

std::uint64_t VolumeLayout::sweep_sample_bytes(int sweep) const {
  const SweepLayout& s = sweeps[static_cast<std::size_t>(sweep)];
  return static_cast<std::uint64_t>(s.rays) * static_cast<std::uint64_t>(s.gates) * moments.size() *
         static_cast<std::uint64_t>(sample_width());
}

std::uint64_t VolumeLayout::sample_bytes() const {
  std::uint64_t n = 0;
  for (int s = 0; s < sweep_count(); ++s) n += sweep_sample_bytes(s);
  return n;
}

const VolumeLayout& VolumeM() {
  static const VolumeLayout layout = MakeLayoutM();
  return layout;
}

const VolumeLayout& VolumeS() {
  static const VolumeLayout layout = MakeLayoutS();
  return layout;
}

const VolumeLayout& VolumeL() {
  static const VolumeLayout layout = MakeLayoutL();
  return layout;
}

const VolumeLayout& VolumeD() {
  static const VolumeLayout layout = MakeLayoutD();
  return layout;
}

const VolumeLayout& VolumeByName(const std::string& name) {
  if (name == "D") return VolumeD();
  if (name == "M") return VolumeM();
  if (name == "S") return VolumeS();
  if (name == "L") return VolumeL();
  std::fprintf(stderr, "synthetic volumes: unknown volume %s\n", name.c_str());
  std::abort();
}

void MakeVolumeShell(const VolumeLayout& layout, Volume* volume) {
  volume->Clear();
  SetUuid(layout.seed, 1, volume->mutable_uuid());
  FillInstrument(layout, volume->mutable_instrument());
  VolumeConfig* vc = volume->mutable_volume_config();
  SetUuid(layout.seed, 2, vc->mutable_uuid());
  vc->set_name(layout.config_name);
  for (int s = 0; s < layout.sweep_count(); ++s) FillSweepConfig(layout, s, vc->add_sweep_config());
  for (int s = 0; s < layout.sweep_count(); ++s) FillRayConfig(layout, s, vc->add_ray_config());
  for (int s = 0; s < layout.sweep_count(); ++s) {
    auto* d = vc->add_sweep_descriptions();
    d->mutable_config()->set_sweep_config_index(s);
    d->set_fixed_angle_deg(layout.sweeps[s].elevation_deg);
  }
}

void MakeSweep(const VolumeLayout& layout, int index, Sweep* sweep) {
  Checked(layout, index);
  const SweepLayout& sw = layout.sweeps[index];
  // Keep the moment buffers (and their capacity) across the clear.
  google::protobuf::Map<std::string, DataBuffer> buffers;
  buffers.swap(*sweep->mutable_sweep_moments());
  sweep->Clear();
  sweep->mutable_sweep_moments()->swap(buffers);

  const double start = SweepStart(layout, index);
  const double duration = 360.0 / sw.speed_deg_per_sec;
  auto* d = sweep->mutable_description();
  d->mutable_config()->set_sweep_config_index(index);
  d->set_fixed_angle_deg(sw.elevation_deg);
  sweep->set_task_name(layout.task_name);
  sweep->set_index_in_task(index);
  SetTime(0, sweep->mutable_task_start());
  SetTime(start, sweep->mutable_input_timespan()->mutable_start());
  SetTime(start + duration, sweep->mutable_input_timespan()->mutable_end());
  sweep->set_first_azimuth_gate_index(0);
  sweep->set_rotation_direction("clockwise");
  sweep->set_time_reference("ray start");
  sweep->set_ray_accumulation_time(
      static_cast<std::int32_t>(std::lround(1000.0 * duration / sw.rays)));

  Noise rng(layout.seed ^ SplitMix(0x5eedULL + static_cast<std::uint64_t>(index)));
  sweep->mutable_rays()->Reserve(sw.rays);
  for (int r = 0; r < sw.rays; ++r) FillRay(layout, index, r, start, &rng, sweep->add_rays());

  auto* moments = sweep->mutable_sweep_moments();
  for (auto it = moments->begin(); it != moments->end();) {
    const bool wanted = std::any_of(layout.moments.begin(), layout.moments.end(),
                                    [&](const MomentLayout& m) { return m.name == it->first; });
    it = wanted ? std::next(it) : moments->erase(it);
  }
  const std::size_t row = static_cast<std::size_t>(sw.gates) * layout.sample_width();
  std::vector<std::string*> data;
  for (const MomentLayout& m : layout.moments) {
    DataBuffer& b = (*moments)[m.name];
    b.set_endian(DataBuffer::LITTLE);
    b.set_type(layout.storage);
    b.set_compression(DataBuffer::NONE);
    b.set_uncompressed_size(static_cast<std::int32_t>(row * sw.rays));
    b.mutable_data()->resize(row * sw.rays);
    data.push_back(b.mutable_data());
  }

  const Weather weather = MakeWeather(layout);
  RayPhysics physics(layout, sw, weather);
  for (int r = 0; r < sw.rays; ++r) {
    const double az = (r + 0.5) * (2 * kPi / sw.rays);
    physics.Compute(az, &rng);
    const std::vector<char>& echo = physics.echo();
    for (std::size_t m = 0; m < layout.moments.size(); ++m) {
      const MomentLayout& ms = layout.moments[m];
      const std::vector<double>& values = physics.Series(ms.name);
      char* out = &(*data[m])[static_cast<std::size_t>(r) * row];
      if (layout.storage == DataBuffer::UINT8) {
        const double inv = 1.0 / ms.step;
        for (int g = 0; g < sw.gates; ++g) {
          int code = 0;  // Under threshold.
          if (echo[g]) {
            code = static_cast<int>(std::lround((values[g] - ms.offset) * inv));
            code = std::clamp(code, 1, 254);
          }
          out[g] = static_cast<char>(static_cast<unsigned char>(code));
        }
      } else {
        for (int g = 0; g < sw.gates; ++g) {
          const float v = echo[g] ? static_cast<float>(values[g]) : kFloatFill;
          std::memcpy(out + 4 * g, &v, 4);  // Little-endian hosts only.
        }
      }
    }
  }
}

void MakeVolume(const VolumeLayout& layout, Volume* volume) {
  if (layout.storage == DataBuffer::FLOAT) {
    std::fprintf(stderr, "synthetic volumes: volume %s is produced sweep by sweep only\n",
                 layout.name.c_str());
    std::abort();
  }
  MakeVolumeShell(layout, volume);
  volume->mutable_sweep()->Reserve(layout.sweep_count());
  for (int s = 0; s < layout.sweep_count(); ++s) MakeSweep(layout, s, volume->add_sweep());
}

}  // namespace synthetic
}  // namespace common_dto
