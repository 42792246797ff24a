// CF/Radial 1.4 and 2.1: the file, its root variables and the layout of the
// sweeps (see cfradial.h for the mapping).
#include "common_dto/formats/cfradial.h"

#include <algorithm>
#include <vector>
#include <cmath>
#include <functional>

#include "cfradial_internal.h"
#include "netcdf_util.h"

namespace common_dto {
namespace formats {

using kyt::pb::common::Instrument;
using kyt::pb::common::Sweep;
using kyt::pb::common::SweepConfig;
using kyt::pb::common::Volume;

namespace {

constexpr std::size_t kMaxSweeps = 1000;
constexpr std::size_t kMaxRays = 65536;
constexpr std::size_t kMaxGates = 1 << 20;
constexpr std::size_t kStringLength = 32;

// The sweep_mode written: the text read from a CF file (kept in procmode)
// when it still names the sweep's type, else the type's own text.
std::string ModeOf(const SweepConfig& sc) {
  if (!sc.procmode().empty() && SweepModeFromText(sc.procmode()) == sc.type()) return sc.procmode();
  return SweepModeText(sc.type());
}

double FirstFrequencyHz(const Volume& volume) {
  for (const auto& rc : volume.volume_config().ray_config()) {
    for (const auto& pd : rc.pulse_definition()) {
      if (pd.rf_frequency_mhz_size() > 0 && pd.rf_frequency_mhz(0) > 0) return pd.rf_frequency_mhz(0) * 1e6;
    }
  }
  return 0;
}

// The rays' start times of every sweep, as seconds since `epoch` (NaN for a
// ray without one), and the first and last time of the volume.
struct Timing {
  bool known = false;
  std::int64_t epoch = 0;
  double first = INFINITY, last = -INFINITY;
  std::vector<std::vector<double>> times;
};

// Rays without times get them from their sweep's start and end when it has
// both (DeriveRayTimes), else stay without (NaN in the file).
Timing PlanTimes(const Volume& volume, Notes* notes) {
  Timing t;
  bool derived = false, missing = false;
  std::vector<Sweep> timed(static_cast<std::size_t>(volume.sweep_size()));  // the rays' times only
  for (int i = 0; i < volume.sweep_size(); ++i) {
    const Sweep& sweep = volume.sweep(i);
    Sweep& rays = timed[static_cast<std::size_t>(i)];
    *rays.mutable_input_timespan() = sweep.input_timespan();
    rays.set_first_azimuth_gate_index(sweep.first_azimuth_gate_index());
    for (const auto& ray : sweep.rays()) {
      auto* r = rays.add_rays();
      if (ray.has_aq_start_time()) *r->mutable_aq_start_time() = ray.aq_start_time();
      if (ray.has_aq_end_time()) *r->mutable_aq_end_time() = ray.aq_end_time();
    }
    derived |= DeriveRayTimes(&rays);
    for (const auto& ray : rays.rays()) {
      missing |= !ray.has_aq_start_time();
      if (ray.has_aq_start_time()) t.first = std::min(t.first, EpochSeconds(ray.aq_start_time()));
      if (ray.has_aq_start_time()) t.last = std::max(t.last, EpochSeconds(ray.aq_start_time()));
      if (ray.has_aq_end_time()) t.last = std::max(t.last, EpochSeconds(ray.aq_end_time()));
    }
    const auto& span = sweep.input_timespan();
    if (span.has_start()) t.first = std::min(t.first, EpochSeconds(span.start()));
    if (span.has_end()) t.last = std::max(t.last, EpochSeconds(span.end()));
  }
  t.known = t.first <= t.last;
  if (t.known) t.epoch = static_cast<std::int64_t>(std::floor(t.first));
  // Offsets from whole seconds, so that they are exact to the nanosecond.
  for (const Sweep& rays : timed) {
    std::vector<double> times;
    for (const auto& ray : rays.rays()) {
      const auto& s = ray.aq_start_time();
      times.push_back(ray.has_aq_start_time() ? static_cast<double>(s.seconds() - t.epoch) + s.nanos() * 1e-9 : NAN);
    }
    t.times.push_back(std::move(times));
  }
  if (derived) {
    notes->push_back({NoteKind::kDerived, "time", "",
                      "ray times derived from their sweep's start and end times"});
  }
  if (missing) {
    notes->push_back(
        {NoteKind::kConverted, "time", "", "rays without a time written with time missing (NaN)"});
  }
  return t;
}

// ---- Writing ----------------------------------------------------------------

// Variable values written once everything is defined: a netCDF-4 file leaves
// define mode (and writes its metadata) whenever data is put, so defining
// and putting in turn is slow.
using Deferred = std::vector<std::function<Status()>>;

Status RunDeferred(int ncid, Deferred* later) {
  Status s = NcCheck(nc_enddef(ncid), "nc_enddef", ErrorCode::kIo, "leaving define mode");
  for (const auto& write : *later) {
    if (!s.ok()) break;
    s = write();
  }
  later->clear();
  return s;
}

Status PutScalar(int ncid, const char* name, nc_type type, double value, const char* units,
                 Deferred* later) {
  int var = 0;
  Status s = DefVar(ncid, name, type, {}, &var);
  if (s.ok() && units != nullptr) s = PutAttText(ncid, var, "units", units);
  later->push_back([=] {
    return NcCheck(nc_put_var_double(ncid, var, &value), "nc_put_var_double", ErrorCode::kIo, name);
  });
  return s;
}

Status PutTextVar(int ncid, const char* name, int dim, const std::string& text, Deferred* later) {
  int var = 0;
  Status s = DefVar(ncid, name, NC_CHAR, {dim}, &var);
  std::string padded = text;
  padded.resize(kStringLength, '\0');
  later->push_back([=] {
    return NcCheck(nc_put_var_text(ncid, var, padded.data()), "nc_put_var_text", ErrorCode::kIo,
                   name);
  });
  return s;
}

Status WriteGlobals(int ncid, const Volume& volume, int major, const Timing& timing, Deferred* later) {
  const Instrument& in = volume.instrument();
  int len_dim = 0;
  Status s =
      FirstError({PutAttText(ncid, NC_GLOBAL, "Conventions",
                             major == 1 ? "CF/Radial instrument_parameters" : "Cf/Radial-2.1"),
                  PutAttText(ncid, NC_GLOBAL, "version", major == 1 ? "1.4" : "2.1"),
                  PutAttText(ncid, NC_GLOBAL, "title", "polar volume"),
                  PutAttText(ncid, NC_GLOBAL, "instrument_name", in.name()),
                  PutAttText(ncid, NC_GLOBAL, "site_name", in.opera_id().place()),
                  PutAttText(ncid, NC_GLOBAL, "scan_name", volume.sweep(0).task_name()),
                  PutAttText(ncid, NC_GLOBAL, "source", in.software_name()),
                  PutAttText(ncid, NC_GLOBAL, "platform_is_mobile", "false"),
                  NcCheck(nc_def_dim(ncid, "string_length", kStringLength, &len_dim), "nc_def_dim",
                          ErrorCode::kIo, "string_length")});
  if (!s.ok()) return s;
  const auto& loc = in.location();
  const auto& radar = in.radar_properties();
  s = FirstError({PutScalar(ncid, "volume_number", NC_INT, 0, nullptr, later),
                  PutScalar(ncid, "latitude", NC_DOUBLE, loc.lat_lon().latitude_deg(), "degrees_north", later),
                  PutScalar(ncid, "longitude", NC_DOUBLE, loc.lat_lon().longitude_deg(), "degrees_east", later),
                  PutScalar(ncid, "altitude", NC_DOUBLE, loc.altitude_m(), "meters", later)});
  if (s.ok() && timing.known) {
    s = FirstError({PutTextVar(ncid, "time_coverage_start", len_dim, FormatIso(timing.epoch), later),
                    PutTextVar(ncid, "time_coverage_end", len_dim,
                               FormatIso(static_cast<std::int64_t>(std::floor(timing.last))), later)});
  }
  // Values the model does not hold (0) are left out, not written as 0.
  if (s.ok() && radar.horz_beam_width_deg() != 0) {
    s = PutScalar(ncid, "radar_beam_width_h", NC_DOUBLE, radar.horz_beam_width_deg(), "degrees", later);
  }
  if (s.ok() && radar.vert_beam_width_deg() != 0) {
    s = PutScalar(ncid, "radar_beam_width_v", NC_DOUBLE, radar.vert_beam_width_deg(), "degrees", later);
  }
  const double hz = FirstFrequencyHz(volume);
  if (s.ok() && hz > 0) {
    int dim = 0, var = 0;
    s = FirstError(
        {NcCheck(nc_def_dim(ncid, "frequency", 1, &dim), "nc_def_dim", ErrorCode::kIo, "frequency"),
         DefVar(ncid, "frequency", NC_DOUBLE, {dim}, &var)});
    if (s.ok()) s = PutAttText(ncid, var, "units", "s-1");
    later->push_back([=] {
      return NcCheck(nc_put_var_double(ncid, var, &hz), "nc_put_var_double", ErrorCode::kIo,
                     "frequency");
    });
  }
  return s;
}

// The radar settings CF/Radial keeps per ray (instrument_parameters), each
// one number per sweep in the model. 0 in the model is "not set": such rows
// are written missing (NaN, the _FillValue) and the variable is left out when
// no sweep has a value.
struct RayParameter {
  const char* name;
  const char* units;
  double (*get)(const SweepConfig* sc, const kyt::pb::common::RayConfig* rc);
  void (*set)(double value, SweepConfig* sc, kyt::pb::common::RayConfig* rc);
};

double FirstPrf(const kyt::pb::common::RayConfig* rc, int i) {
  return rc != nullptr && rc->pulse_sequence().prf_size() > i ? rc->pulse_sequence().prf(i) : 0.0;
}

kyt::pb::common::PulseDefinition* FirstPulse(kyt::pb::common::RayConfig* rc) {
  return rc->pulse_definition_size() > 0 ? rc->mutable_pulse_definition(0) : rc->add_pulse_definition();
}

const RayParameter kRayParameters[] = {
    {"nyquist_velocity", "m s-1",
     [](const SweepConfig*, const kyt::pb::common::RayConfig* rc) { return rc ? rc->unamb_velocity_m_p_s() : 0.0; },
     [](double v, SweepConfig*, kyt::pb::common::RayConfig* rc) { rc->set_unamb_velocity_m_p_s(v); }},
    // The first PRF (ODIM's highprf) as its period; a second one as the
    // ratio of the periods, short over long.
    {"prt", "seconds",
     [](const SweepConfig*, const kyt::pb::common::RayConfig* rc) {
       const double prf = FirstPrf(rc, 0);
       return prf > 0 ? 1.0 / prf : 0.0;
     },
     [](double v, SweepConfig*, kyt::pb::common::RayConfig* rc) {
       if (!(v > 0)) return;
       rc->mutable_pulse_sequence()->set_type(kyt::pb::common::PulseSequence::PRF);
       rc->mutable_pulse_sequence()->clear_prf();
       rc->mutable_pulse_sequence()->add_prf(1.0 / v);
     }},
    {"prt_ratio", "",
     [](const SweepConfig*, const kyt::pb::common::RayConfig* rc) {
       const double high = FirstPrf(rc, 0), low = FirstPrf(rc, 1);
       return high > 0 && low > 0 ? low / high : 0.0;
     },
     [](double v, SweepConfig*, kyt::pb::common::RayConfig* rc) {
       if (v > 0 && v != 1 && rc->pulse_sequence().prf_size() == 1) {
         rc->mutable_pulse_sequence()->add_prf(rc->pulse_sequence().prf(0) * v);
       }
     }},
    {"pulse_width", "seconds",
     [](const SweepConfig*, const kyt::pb::common::RayConfig* rc) {
       return rc != nullptr && rc->pulse_definition_size() > 0 && rc->pulse_definition(0).pulse_width_usec_size() > 0
                  ? rc->pulse_definition(0).pulse_width_usec(0) * 1e-6
                  : 0.0;
     },
     [](double v, SweepConfig*, kyt::pb::common::RayConfig* rc) {
       auto* pd = FirstPulse(rc);
       pd->clear_pulse_width_usec();
       pd->add_pulse_width_usec(v * 1e6);
     }},
    {"scan_rate", "degrees/s",
     [](const SweepConfig* sc, const kyt::pb::common::RayConfig*) { return sc ? sc->speed_deg_per_sec() : 0.0; },
     [](double v, SweepConfig* sc, kyt::pb::common::RayConfig*) { sc->set_speed_deg_per_sec(v); }},
};
constexpr std::size_t kRayParameterCount = sizeof kRayParameters / sizeof kRayParameters[0];

double ParameterOf(const RayParameter& p, const Volume& volume, const Sweep& sweep) {
  return p.get(SweepConfigOf(volume, sweep), RayConfigOf(volume, sweep));
}

// What the ray variables of one group hold.
struct RayVars {
  std::size_t rays = 0;
  RangeAxis axis;
  bool parameters[kRayParameterCount] = {};  // some sweep there has a value
  bool missing_time = false;                 // some ray there has no time

  void Add(const Volume& volume, const Sweep& sweep) {
    for (std::size_t p = 0; p < kRayParameterCount; ++p) {
      parameters[p] |= ParameterOf(kRayParameters[p], volume, sweep) != 0;
    }
  }
};

// time, range, azimuth, elevation and (when held) the radar settings in `ncid`.
Status DefineRayVars(int ncid, const RayVars& what, const Timing& timing, Deferred* later) {
  int time_dim = 0, range_dim = 0, var = 0;
  const RangeAxis& axis = what.axis;
  Status s = FirstError(
      {NcCheck(nc_def_dim(ncid, "time", what.rays, &time_dim), "nc_def_dim", ErrorCode::kIo,
               "time"),
       NcCheck(nc_def_dim(ncid, "range", static_cast<std::size_t>(axis.gates), &range_dim),
               "nc_def_dim", ErrorCode::kIo, "range"),
       DefVar(ncid, "time", NC_DOUBLE, {time_dim}, &var)});
  if (s.ok()) s = PutAttText(ncid, var, "units", "seconds since " + FormatIso(timing.epoch));
  if (s.ok()) s = PutAttText(ncid, var, "standard_name", "time");
  if (s.ok() && what.missing_time) s = PutAttDouble(ncid, var, "_FillValue", NC_DOUBLE, NAN);
  if (s.ok()) s = DefVar(ncid, "range", NC_DOUBLE, {range_dim}, &var);
  if (s.ok()) {
    s = FirstError({PutAttText(ncid, var, "units", "meters"),
                    PutAttDouble(ncid, var, "meters_to_center_of_first_gate", NC_DOUBLE, axis.start_m),
                    PutAttDouble(ncid, var, "meters_between_gates", NC_DOUBLE, axis.step_m),
                    PutAttText(ncid, var, "spacing_is_constant", "true")});
  }
  std::vector<double> range(static_cast<std::size_t>(axis.gates));
  for (std::size_t g = 0; g < range.size(); ++g) range[g] = axis.start_m + static_cast<double>(g) * axis.step_m;
  if (!range.empty()) {
    later->push_back([=] {
      return NcCheck(nc_put_var_double(ncid, var, range.data()), "nc_put_var_double",
                     ErrorCode::kIo, "range");
    });
  }
  for (const char* name : {"azimuth", "elevation"}) {
    if (s.ok()) s = DefVar(ncid, name, NC_DOUBLE, {time_dim}, &var);
    if (s.ok()) s = PutAttText(ncid, var, "units", "degrees");
  }
  for (std::size_t p = 0; s.ok() && p < kRayParameterCount; ++p) {
    if (!what.parameters[p]) continue;
    s = DefVar(ncid, kRayParameters[p].name, NC_DOUBLE, {time_dim}, &var);
    if (s.ok() && *kRayParameters[p].units != '\0') s = PutAttText(ncid, var, "units", kRayParameters[p].units);
    if (s.ok()) s = PutAttText(ncid, var, "meta_group", "instrument_parameters");
    // Rows of sweeps without one stay missing.
    if (s.ok()) s = PutAttDouble(ncid, var, "_FillValue", NC_DOUBLE, NAN);
  }
  return s;
}

// The rows of sweep `index` (from `first` on) of each parameter variable.
Status WriteRayParameters(int ncid, const RayVars& what, const Volume& volume, int index, std::size_t first) {
  const Sweep& sweep = volume.sweep(index);
  for (std::size_t p = 0; p < kRayParameterCount; ++p) {
    const double value = ParameterOf(kRayParameters[p], volume, sweep);
    if (!what.parameters[p] || value == 0 || sweep.rays_size() == 0) continue;
    const std::vector<double> values(static_cast<std::size_t>(sweep.rays_size()), value);
    const std::size_t start[1] = {first}, count[1] = {values.size()};
    Status s = NcCheck(
        nc_put_vara_double(ncid, VarId(ncid, kRayParameters[p].name), start, count, values.data()),
        "nc_put_vara_double", ErrorCode::kIo, kRayParameters[p].name);
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

bool AnyNan(const std::vector<double>& values) {
  return std::any_of(values.begin(), values.end(), [](double v) { return std::isnan(v); });
}

const SweepConfig& ConfigOrDefault(const Volume& volume, const Sweep& sweep) {
  const SweepConfig* sc = SweepConfigOf(volume, sweep);
  return sc != nullptr ? *sc : SweepConfig::default_instance();
}

// The rays' azimuth span, else the configured resolution; NaN when neither.
double AngleRes(const Volume& volume, const Sweep& sweep) {
  const double span = sweep.rays_size() > 0 ? sweep.rays(0).az_range_deg().span_deg() : 0;
  const double res = span > 0 ? span : ConfigOrDefault(volume, sweep).ray_angle_res();
  return res > 0 ? res : NAN;
}

// The per-sweep variables of 1.4, one value per sweep.
Status WriteSweepTable(int ncid, const Volume& volume, int sweep_dim, int len_dim, Deferred* later) {
  const std::size_t n = static_cast<std::size_t>(volume.sweep_size());
  std::vector<double> number(n), fixed(n), first(n), last(n), res(n);
  std::string modes(n * kStringLength, '\0');
  std::size_t row = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Sweep& sweep = volume.sweep(static_cast<int>(i));
    number[i] = sweep.index_in_task();
    fixed[i] = sweep.description().fixed_angle_deg();
    first[i] = static_cast<double>(row);
    row += static_cast<std::size_t>(sweep.rays_size());
    last[i] = static_cast<double>(row) - 1;
    res[i] = AngleRes(volume, sweep);
    const std::string mode = ModeOf(ConfigOrDefault(volume, sweep)).substr(0, kStringLength);
    std::copy(mode.begin(), mode.end(), modes.begin() + static_cast<std::ptrdiff_t>(i * kStringLength));
  }
  struct Column { const char* name; nc_type type; const std::vector<double>* values; };
  for (const Column& c : {Column{"sweep_number", NC_INT, &number}, Column{"fixed_angle", NC_DOUBLE, &fixed},
                          Column{"sweep_start_ray_index", NC_INT, &first},
                          Column{"sweep_end_ray_index", NC_INT, &last},
                          Column{"ray_angle_res", NC_DOUBLE, &res}}) {
    const bool optional = c.values == &res;  // left out when no sweep has one, else NaN where missing
    if (optional && !std::any_of(res.begin(), res.end(), [](double v) { return !std::isnan(v); })) continue;
    int var = 0;
    Status s = DefVar(ncid, c.name, c.type, {sweep_dim}, &var);
    if (s.ok() && optional) s = PutAttDouble(ncid, var, "_FillValue", NC_DOUBLE, NAN);
    if (!s.ok()) return s;
    later->push_back([ncid, var, name = c.name, values = *c.values] {
      return NcCheck(nc_put_var_double(ncid, var, values.data()), "nc_put_var_double",
                     ErrorCode::kIo, name);
    });
  }
  int var = 0;
  Status s = DefVar(ncid, "sweep_mode", NC_CHAR, {sweep_dim, len_dim}, &var);
  later->push_back([=] {
    return NcCheck(nc_put_var_text(ncid, var, modes.data()), "nc_put_var_text", ErrorCode::kIo,
                   "sweep_mode");
  });
  return s;
}

Status WriteCf1(int ncid, const Volume& volume, const std::vector<RangeAxis>& axes, const Timing& timing,
                const WriteOptions& options, Deferred* later, UnpackedFields* unpacked,
                Notes* notes) {
  RayVars what;
  what.axis = axes[0];
  for (std::size_t i = 0; i < axes.size(); ++i) {
    if (std::fabs(axes[i].start_m - what.axis.start_m) > 1e-6 || std::fabs(axes[i].step_m - what.axis.step_m) > 1e-6) {
      return SweepError(ErrorCode::kUnsupported, static_cast<int>(i), "",
                        "range axis differs from sweep 0; CF/Radial 1.4 has one range axis "
                        "(write CF/Radial 2.1)");
    }
    const Sweep& sweep = volume.sweep(static_cast<int>(i));
    what.axis.gates = std::max(what.axis.gates, axes[i].gates);
    what.rays += static_cast<std::size_t>(sweep.rays_size());
    what.Add(volume, sweep);
    what.missing_time |= AnyNan(timing.times[i]);
  }
  for (std::size_t i = 0; i < axes.size(); ++i) {
    if (axes[i].gates < what.axis.gates) {
      notes->push_back({NoteKind::kConverted, "range", "",
                        "sweep[" + std::to_string(i) + "]: " + std::to_string(axes[i].gates) +
                            " gates padded to " + std::to_string(what.axis.gates) +
                            " with the fill value"});
    }
  }
  int sweep_dim = 0;
  const Result<int> len_dim = DimId(ncid, "string_length");
  if (!len_dim.ok()) return len_dim.status();
  Status s = FirstError({NcCheck(nc_def_dim(ncid, "sweep", axes.size(), &sweep_dim), "nc_def_dim",
                                 ErrorCode::kIo, "sweep"),
                         DefineRayVars(ncid, what, timing, later)});
  if (s.ok()) s = WriteSweepTable(ncid, volume, sweep_dim, *len_dim, later);
  if (s.ok()) s = PlanUnpacked(volume, axes, unpacked, notes);
  const SweepPlace place{ncid, 0, static_cast<std::size_t>(what.axis.gates)};
  for (int i = 0; s.ok() && i < volume.sweep_size(); ++i) {
    s = DefineMoments(volume, i, place, options, *unpacked, notes);
  }
  if (s.ok()) s = RunDeferred(ncid, later);
  std::size_t first = 0;
  for (int i = 0; s.ok() && i < volume.sweep_size(); ++i) {
    SweepPlace at{ncid, first, place.range_size};
    s = FirstError({WriteSweepRays(volume, i, at, timing.times[static_cast<std::size_t>(i)],
                                   *unpacked, notes),
                    WriteRayParameters(ncid, what, volume, i, first)});
    first += static_cast<std::size_t>(volume.sweep(i).rays_size());
    if (s.ok() && options.progress) options.progress(static_cast<std::size_t>(i + 1), volume.sweep_size());
  }
  return s;
}

Status DefineSweepGroup(int root, const Volume& volume, int index, const RangeAxis& axis, const Timing& timing,
                        const WriteOptions& options, int* group, Deferred* later, Notes* notes) {
  const Sweep& sweep = volume.sweep(index);
  const std::string name = "sweep_" + std::to_string(index);
  Status s = NcCheck(nc_def_grp(root, name.c_str(), group), "nc_def_grp", ErrorCode::kIo, name);
  const int g = *group;
  RayVars what;
  what.rays = static_cast<std::size_t>(sweep.rays_size());
  what.axis = axis;
  what.Add(volume, sweep);
  what.missing_time = AnyNan(timing.times[static_cast<std::size_t>(index)]);
  if (s.ok()) s = DefineRayVars(g, what, timing, later);
  const double res = AngleRes(volume, sweep);
  if (s.ok()) {
    s = FirstError({PutScalar(g, "sweep_number", NC_INT, sweep.index_in_task(), nullptr, later),
                    PutScalar(g, "fixed_angle", NC_DOUBLE, sweep.description().fixed_angle_deg(), "degrees", later)});
  }
  if (s.ok() && !std::isnan(res)) s = PutScalar(g, "ray_angle_res", NC_DOUBLE, res, "degrees", later);
  int var = 0;
  if (s.ok()) s = DefVar(g, "sweep_mode", NC_STRING, {}, &var);
  later->push_back([g, var, mode = ModeOf(ConfigOrDefault(volume, sweep))] {
    const char* text = mode.c_str();
    return NcCheck(nc_put_var_string(g, var, &text), "nc_put_var_string", ErrorCode::kIo,
                   "sweep_mode");
  });
  if (s.ok()) {
    s = DefineMoments(volume, index, SweepPlace{g, 0, static_cast<std::size_t>(axis.gates)},
                      options, {}, notes);
  }
  return s.Wrap(name + ": ");
}

// The parameters a 2.1 sweep group holds: its own.
RayVars OneSweepVars(const Volume& volume, int index) {
  RayVars what;
  what.Add(volume, volume.sweep(index));
  return what;
}

Status WriteCf2(int ncid, const Volume& volume, const std::vector<RangeAxis>& axes, const Timing& timing,
                const WriteOptions& options, Deferred* later, Notes* notes) {
  const std::size_t n = axes.size();
  int sweep_dim = 0, names_var = 0, fixed_var = 0;
  Status s = FirstError(
      {NcCheck(nc_def_dim(ncid, "sweep", n, &sweep_dim), "nc_def_dim", ErrorCode::kIo, "sweep"),
       DefVar(ncid, "sweep_group_name", NC_STRING, {sweep_dim}, &names_var),
       DefVar(ncid, "sweep_fixed_angle", NC_DOUBLE, {sweep_dim}, &fixed_var)});
  std::vector<std::string> names(n);
  std::vector<double> fixed(n);
  for (std::size_t i = 0; i < n; ++i) {
    names[i] = "sweep_" + std::to_string(i);
    fixed[i] = volume.sweep(static_cast<int>(i)).description().fixed_angle_deg();
  }
  later->push_back([=] {
    std::vector<const char*> pointers;
    for (const std::string& name : names) pointers.push_back(name.c_str());
    return FirstError({NcCheck(nc_put_var_string(ncid, names_var, pointers.data()),
                               "nc_put_var_string", ErrorCode::kIo, "sweep_group_name"),
                       NcCheck(nc_put_var_double(ncid, fixed_var, fixed.data()),
                               "nc_put_var_double", ErrorCode::kIo, "sweep_fixed_angle")});
  });
  std::vector<int> groups(n);
  for (int i = 0; s.ok() && i < static_cast<int>(n); ++i) {
    s = DefineSweepGroup(ncid, volume, i, axes[static_cast<std::size_t>(i)], timing, options, &groups[i], later,
                         notes);
  }
  if (s.ok()) s = RunDeferred(ncid, later);
  for (int i = 0; s.ok() && i < static_cast<int>(n); ++i) {
    const SweepPlace place{groups[i], 0, static_cast<std::size_t>(axes[static_cast<std::size_t>(i)].gates)};
    s = FirstError({WriteSweepRays(volume, i, place, timing.times[static_cast<std::size_t>(i)],
                                   {}, notes),
                    WriteRayParameters(groups[i], OneSweepVars(volume, i), volume, i, 0)});
    if (s.ok() && options.progress) options.progress(static_cast<std::size_t>(i + 1), n);
  }
  return s;
}

}  // namespace

Status WriteCfRadialFile(const std::string& path, int major, const WriteOptions& options,
                         const Volume& volume, Notes* notes, Volume* read_back,
                         UnpackedFields* unpacked) {
  if (volume.sweep_size() == 0) return Status(ErrorCode::kInvalidArgument, "the volume has no sweeps");
  std::vector<RangeAxis> axes(static_cast<std::size_t>(volume.sweep_size()));
  for (int i = 0; i < volume.sweep_size(); ++i) {
    Status s = SweepRange(volume, i, &axes[static_cast<std::size_t>(i)]);
    if (!s.ok()) return s;
  }
  NcFile file;
  Status s = file.Create(path);
  if (!s.ok()) return s;
  const Timing timing = PlanTimes(volume, notes);
  Deferred later;
  s = WriteGlobals(file.id(), volume, major, timing, &later);
  if (s.ok()) {
    s = major == 1 ? WriteCf1(file.id(), volume, axes, timing, options, &later, unpacked, notes)
                   : WriteCf2(file.id(), volume, axes, timing, options, &later, notes);
  }
  // The metadata as the file holds it, read through the handle still open.
  if (s.ok() && read_back != nullptr) {
    Notes ignored;
    s = ReadCfRadialOpen(file.id(), path, /*samples=*/false, ReadOptions{}, read_back, &ignored);
    if (!s.ok()) s = s.Wrap("reading back: ");
  }
  const Status closed = file.Close();
  return s.ok() ? closed : s;
}

// ---- Reading ----------------------------------------------------------------

namespace {

// The groups a value is looked for in, in order (see CfScope).
std::vector<int> LookupGroups(const CfScope& scope) {
  std::vector<int> groups;
  if (scope.group >= 0) groups.push_back(scope.group);
  groups.push_back(scope.root);
  groups.insert(groups.end(), scope.parameter_groups.begin(), scope.parameter_groups.end());
  return groups;
}

// The element of variable `var` that belongs to the scope's sweep.
bool ScopeIndex(const NcVarInfo& info, const CfScope& scope, std::size_t* index) {
  *index = 0;
  if (info.dims.empty()) return true;
  if (info.dims.size() > 2) return false;
  if (info.dim_names[0] == "sweep") *index = scope.sweep;
  if (info.dim_names[0] == "time") *index = scope.row;
  return *index < info.lengths[0];
}

}  // namespace

CfScope RootScope(int root) {
  CfScope scope;
  scope.root = root;
  for (const char* name : {"instrument_parameters", "radar_parameters", "radar_calibration"}) {
    int id = 0;
    if (nc_inq_grp_ncid(root, name, &id) == NC_NOERR) scope.parameter_groups.push_back(id);
  }
  return scope;
}

bool CfNumber(const CfScope& scope, const char* name, double* out) {
  for (int ncid : LookupGroups(scope)) {
    const int var = VarId(ncid, name);
    if (var < 0) continue;
    // A variable netCDF cannot describe holds no value.
    const Result<NcVarInfo> info = InqVar(ncid, var);
    if (!info.ok()) return false;
    std::size_t index = 0;
    if (info->type == NC_CHAR || info->type == NC_STRING || info->dims.size() > 1 ||
        !ScopeIndex(*info, scope, &index)) {
      return false;
    }
    const std::size_t at[1] = {index};
    if (nc_get_var1_double(ncid, var, at, out) != NC_NOERR) return false;
    double fill = 0;
    // A fill value or NaN is no value.
    if (HasAtt(ncid, var, "_FillValue") && GetAttDouble(ncid, var, "_FillValue", &fill).ok() && *out == fill) {
      return false;
    }
    return !std::isnan(*out);
  }
  return HasAtt(scope.root, NC_GLOBAL, name) && GetAttDouble(scope.root, NC_GLOBAL, name, out).ok();
}

bool CfText(const CfScope& scope, const char* name, std::string* out) {
  for (int ncid : LookupGroups(scope)) {
    const int var = VarId(ncid, name);
    if (var < 0) continue;
    const Result<NcVarInfo> info = InqVar(ncid, var);
    if (!info.ok()) return false;
    const bool per_sweep = !info->dims.empty() && info->dim_names[0] == "sweep";
    return GetText(ncid, name, per_sweep ? scope.sweep : 0, out).ok();
  }
  return HasAtt(scope.root, NC_GLOBAL, name) && GetAttText(scope.root, NC_GLOBAL, name, out).ok();
}

namespace {

Status ReadRoot(const CfScope& root, Volume* volume, double* frequency_hz) {
  Instrument* in = volume->mutable_instrument();
  in->set_instrument_type(Instrument::INSTR_RADAR);
  CfText(root, "instrument_name", in->mutable_name());
  CfText(root, "site_name", in->mutable_opera_id()->mutable_place());
  CfText(root, "source", in->mutable_software_name());
  if (in->opera_id().ByteSizeLong() == 0) in->clear_opera_id();
  double lat = 0, lon = 0, v = 0;
  if (!CfNumber(root, "latitude", &lat)) return NcError(ErrorCode::kMalformed, "latitude", "missing variable");
  if (!CfNumber(root, "longitude", &lon)) return NcError(ErrorCode::kMalformed, "longitude", "missing variable");
  auto* location = in->mutable_location();
  location->mutable_lat_lon()->set_latitude_deg(lat);
  location->mutable_lat_lon()->set_longitude_deg(lon);
  if (CfNumber(root, "altitude", &v)) location->set_altitude_m(v);
  // A file with one beam width gives only that one.
  auto* radar = in->mutable_radar_properties();
  if (CfNumber(root, "radar_beam_width_h", &v)) radar->set_horz_beam_width_deg(v);
  if (CfNumber(root, "radar_beam_width_v", &v)) radar->set_vert_beam_width_deg(v);
  if (radar->ByteSizeLong() == 0) in->clear_radar_properties();
  if (CfNumber(root, "frequency", &v)) *frequency_hz = v;
  return Status::Ok();
}

// The sweep's configurations and description from the values of `scope`;
// `place` holds range, its gates are the sweep's.
Status ReadSweepSetup(const CfScope& scope, const SweepPlace& place, int index, Volume* volume) {
  auto* config = volume->mutable_volume_config();
  SweepConfig* sc = config->add_sweep_config();
  auto* rc = config->add_ray_config();
  Sweep* sweep = volume->add_sweep();
  double fixed = 0, number = index;
  if (!CfNumber(scope, "fixed_angle", &fixed) && !CfNumber(scope, "sweep_fixed_angle", &fixed)) {
    return NcError(ErrorCode::kMalformed, "fixed_angle", "missing variable");
  }
  CfNumber(scope, "sweep_number", &number);
  sweep->mutable_description()->mutable_config()->set_sweep_config_index(index);
  sweep->mutable_description()->set_fixed_angle_deg(fixed);
  sweep->set_index_in_task(static_cast<std::int32_t>(number));
  *config->add_sweep_descriptions() = sweep->description();
  std::string mode;
  if (CfText(scope, "sweep_mode", &mode)) {
    sc->set_type(SweepModeFromText(mode));
    if (mode != SweepModeText(sc->type())) sc->set_procmode(mode);  // the text, where the type does not give it
  }
  sc->add_ray_config_ref()->set_ray_config_index(index);
  std::vector<double> range;
  const Result<std::size_t> length = DimLength(place.ncid, "range");
  Status s = length.status();
  if (s.ok()) s = GetDoubles(place.ncid, "range", 0, std::min<std::size_t>(*length, 2), &range);
  if (!s.ok()) return s;
  for (auto* scale : {sc->mutable_range_scale()->add_range_m(), rc->mutable_range_scale()->add_range_m()}) {
    scale->set_start(range.empty() ? 0 : range[0]);
    scale->set_step(range.size() > 1 ? range[1] - range[0] : 0);
    scale->set_count(static_cast<std::int32_t>(place.range_size));
  }
  for (const RayParameter& p : kRayParameters) {
    double value = 0;
    if (CfNumber(scope, p.name, &value) && value != 0) p.set(value, sc, rc);
  }
  return Status::Ok();
}

// Ray starts from centres, once the angular resolution is known.
void ApplyAngleRes(double res, Volume* volume, int index) {
  if (!(res > 0)) return;
  volume->mutable_volume_config()->mutable_sweep_config(index)->set_ray_angle_res(res);
  for (auto& ray : *volume->mutable_sweep(index)->mutable_rays()) {
    auto* az = ray.mutable_az_range_deg();
    az->set_start_deg(az->start_deg() - res / 2);
    az->set_span_deg(res);
  }
}

// The gates of `rays` rays from `place.first_ray` on: the length of `range`,
// or with ragged rays (an `n_points` dimension) their ray_n_gates and
// ray_start_index, checked against n_points and range.
Status SweepGates(int ncid, std::size_t rays, SweepPlace* place) {
  const Result<std::size_t> range = DimLength(ncid, "range");
  Status s = range.status();
  if (s.ok() && *range > kMaxGates) s = NcError(ErrorCode::kTooLarge, "range", "too many gates");
  if (!s.ok()) return s;
  const std::size_t gates = *range;
  place->range_size = gates;
  // Rays of different lengths only with an n_points dimension.
  const Result<int> points_dim = DimId(ncid, "n_points");
  if (!points_dim.ok()) return points_dim.status();
  if (*points_dim < 0) return Status::Ok();
  const Result<std::size_t> points = DimLength(ncid, "n_points");
  if (!points.ok()) return points.status();
  std::vector<double> n, start;
  s = FirstError({GetDoubles(ncid, "ray_n_gates", place->first_ray, rays, &n),
                  GetDoubles(ncid, "ray_start_index", place->first_ray, rays, &start)});
  if (!s.ok()) return s;
  place->ragged = true;
  place->range_size = 0;
  for (std::size_t r = 0; r < rays; ++r) {
    if (!(n[r] >= 0 && n[r] <= static_cast<double>(gates) && start[r] >= 0 &&
          start[r] + n[r] <= static_cast<double>(*points))) {
      return NcError(ErrorCode::kInvalidArgument, "ray_n_gates",
                     "ray " + std::to_string(place->first_ray + r) + " lies outside n_points or range");
    }
    place->ray_gates.push_back(static_cast<std::size_t>(n[r]));
    place->ray_start.push_back(static_cast<std::size_t>(start[r]));
    place->range_size = std::max(place->range_size, place->ray_gates.back());
  }
  return Status::Ok();
}

// Reads one sweep whose rays and values are at `place` and `scope`.
Status ReadSweep(const CfScope& scope, SweepPlace place, std::size_t rays, bool samples, int i, Volume* volume,
                 Notes* notes) {
  Status s = SweepGates(place.ncid, rays, &place);
  if (s.ok()) s = ReadSweepSetup(scope, place, i, volume);
  if (s.ok()) s = ReadSweepRays(place, rays, samples, i, volume, notes);
  if (!s.ok()) return s;
  if (place.ragged && std::any_of(place.ray_gates.begin(), place.ray_gates.end(),
                                  [&](std::size_t g) { return g < place.range_size; })) {
    notes->push_back(
        {NoteKind::kConverted, "ray_n_gates", "",
         "rays with fewer gates than their sweep's longest padded with the fill value"});
  }
  double res = 0;
  if (CfNumber(scope, "ray_angle_res", &res)) ApplyAngleRes(res, volume, i);
  return Status::Ok();
}

Status ReadCf1Sweep(const CfScope& root, int i, std::size_t ntime, bool samples, Volume* volume, Notes* notes) {
  const int ncid = root.root;
  std::vector<double> first, last;
  const std::size_t u = static_cast<std::size_t>(i);
  Status s = FirstError({GetDoubles(ncid, "sweep_start_ray_index", u, 1, &first),
                         GetDoubles(ncid, "sweep_end_ray_index", u, 1, &last)});
  if (!s.ok()) return s;
  if (!(first[0] >= 0 && last[0] >= first[0] - 1 && last[0] < static_cast<double>(ntime) &&
        last[0] - first[0] < static_cast<double>(kMaxRays))) {
    return SweepError(ErrorCode::kInvalidArgument, i, "",
                      "ray indices " + std::to_string(first[0]) + ".." + std::to_string(last[0]) +
                          " outside the " + std::to_string(ntime) + " rays");
  }
  const std::size_t row = static_cast<std::size_t>(first[0]);
  CfScope scope = root;
  scope.sweep = u;
  scope.row = row;
  return ReadSweep(scope, SweepPlace{ncid, row}, static_cast<std::size_t>(last[0] - first[0] + 1), samples, i,
                   volume, notes);
}

Status ReadCf2Sweep(const CfScope& root, int i, bool samples, Volume* volume, Notes* notes) {
  const int ncid = root.root;
  std::string name;
  Status s = GetText(ncid, "sweep_group_name", static_cast<std::size_t>(i), &name);
  if (!s.ok()) return s;
  int group = 0;
  if (nc_inq_grp_ncid(ncid, name.c_str(), &group) != NC_NOERR) {
    return NcError(ErrorCode::kMalformed, name, "missing sweep group");
  }
  const Result<std::size_t> time = DimLength(group, "time");
  s = time.status();
  const std::size_t rays = time.value_or(0);
  if (s.ok() && rays > kMaxRays) s = NcError(ErrorCode::kTooLarge, "time", "too many rays");
  if (s.ok()) {
    CfScope scope = root;
    scope.group = group;
    scope.sweep = static_cast<std::size_t>(i);
    s = ReadSweep(scope, SweepPlace{group, 0}, rays, samples, i, volume, notes);
  }
  return s.Wrap(name + ": ");
}

void SetFrequency(double hz, Volume* volume) {
  if (!(hz > 0)) return;
  for (auto& rc : *volume->mutable_volume_config()->mutable_ray_config()) {
    auto* pd = FirstPulse(&rc);
    pd->clear_rf_frequency_mhz();
    pd->add_rf_frequency_mhz(hz / 1e6);
  }
}

}  // namespace

Status ReadCfRadialFile(const std::string& path, bool samples, const ReadOptions& options, Volume* volume,
                        Notes* notes) {
  volume->Clear();
  NcFile file;
  Status s = file.Open(path);
  if (!s.ok()) return s;
  return ReadCfRadialOpen(file.id(), path, samples, options, volume, notes);
}

Status ReadCfRadialOpen(int ncid, const std::string& path, bool samples, const ReadOptions& options,
                        Volume* volume, Notes* notes) {
  volume->Clear();
  Status s;
  const bool v2 = VarId(ncid, "sweep_group_name") >= 0;
  if (!v2 && VarId(ncid, "sweep_start_ray_index") < 0) {
    return NcError(ErrorCode::kMalformed, path, "not CF/Radial: no sweep_start_ray_index or sweep_group_name");
  }
  double frequency_hz = 0;
  const CfScope root = RootScope(ncid);
  const Result<std::size_t> sweeps = DimLength(ncid, "sweep");
  const Result<std::size_t> time = v2 ? Result<std::size_t>(0) : DimLength(ncid, "time");
  s = FirstError({ReadRoot(root, volume, &frequency_hz), sweeps.status(), time.status()});
  const std::size_t nsweeps = sweeps.value_or(0), ntime = time.value_or(0);
  if (s.ok() && nsweeps > kMaxSweeps) s = NcError(ErrorCode::kTooLarge, "sweep", "too many sweeps");
  std::string scan_name;
  CfText(root, "scan_name", &scan_name);
  for (int i = 0; s.ok() && i < static_cast<int>(nsweeps); ++i) {
    s = v2 ? ReadCf2Sweep(root, i, samples, volume, notes) : ReadCf1Sweep(root, i, ntime, samples, volume, notes);
    if (s.ok()) volume->mutable_sweep(i)->set_task_name(scan_name);
    if (s.ok() && options.progress) options.progress(static_cast<std::size_t>(i + 1), nsweeps);
  }
  SetFrequency(frequency_hz, volume);
  return s;
}

Status ReadCfRadial(const std::string& path, const ReadOptions& options, Volume* volume, Notes* notes) {
  return ReadFile(path, Format::kCfRadial2, options, volume, notes);
}

Status WriteCfRadial(const std::string& path, int major, const WriteOptions& options, const Volume& volume,
                     Notes* notes) {
  if (major != 1 && major != 2) return Status(ErrorCode::kInvalidArgument, "CF/Radial major version 1 or 2");
  return WriteFile(path, major == 1 ? Format::kCfRadial1 : Format::kCfRadial2, options, volume, notes);
}

}  // namespace formats
}  // namespace common_dto
