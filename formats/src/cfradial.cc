// CF/Radial 1.4 and 2.1: the file, its root variables and the layout of the
// sweeps (see cfradial.h for the mapping).
#include "common_dto/formats/cfradial.h"

#include <algorithm>
#include <climits>
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

Status FirstError(std::initializer_list<Status> statuses) {
  for (const Status& s : statuses) {
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

const char* ModeText(SweepConfig::SweepType type) {
  switch (type) {
    case SweepConfig::RHI: return "rhi";
    case SweepConfig::POINTING: return "pointing";
    case SweepConfig::MANUAL: return "manual_ppi";
    case SweepConfig::COPLANE: return "coplane";
    default: return "azimuth_surveillance";
  }
}

SweepConfig::SweepType ModeType(const std::string& text) {
  if (text == "azimuth_surveillance" || text == "sector") return SweepConfig::PPI;
  if (text == "rhi" || text == "manual_rhi") return SweepConfig::RHI;
  if (text == "pointing" || text == "vertical_pointing") return SweepConfig::POINTING;
  if (text == "manual_ppi") return SweepConfig::MANUAL;
  if (text == "coplane") return SweepConfig::COPLANE;
  return SweepConfig::UNKNOWN;
}

double FirstFrequencyHz(const Volume& volume) {
  for (const auto& rc : volume.volume_config().ray_config()) {
    for (const auto& pd : rc.pulse_definition()) {
      if (pd.rf_frequency_mhz_size() > 0 && pd.rf_frequency_mhz(0) > 0) return pd.rf_frequency_mhz(0) * 1e6;
    }
  }
  return 0;
}

// The earliest ray start (whole seconds): what `time` counts from.
std::int64_t VolumeEpoch(const Volume& volume, std::int64_t* last) {
  std::int64_t first = LLONG_MAX;
  *last = LLONG_MIN;
  for (const Sweep& sweep : volume.sweep()) {
    for (const auto& ray : sweep.rays()) {
      first = std::min(first, ray.aq_start_time().seconds());
      *last = std::max(*last, ray.aq_start_time().seconds());
    }
  }
  if (first == LLONG_MAX) first = *last = volume.sweep(0).input_timespan().start().seconds();
  return first;
}

// ---- Writing ----------------------------------------------------------------

// Variable values written once everything is defined: a netCDF-4 file leaves
// define mode (and writes its metadata) whenever data is put, so defining
// and putting in turn is slow.
using Deferred = std::vector<std::function<Status()>>;

Status RunDeferred(int ncid, Deferred* later) {
  Status s = NcCheck(nc_enddef(ncid), ErrorCode::kIo, "leaving define mode");
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
  later->push_back([=] { return NcCheck(nc_put_var_double(ncid, var, &value), ErrorCode::kIo, name); });
  return s;
}

Status PutTextVar(int ncid, const char* name, int dim, const std::string& text, Deferred* later) {
  int var = 0;
  Status s = DefVar(ncid, name, NC_CHAR, {dim}, &var);
  std::string padded = text;
  padded.resize(kStringLength, '\0');
  later->push_back([=] { return NcCheck(nc_put_var_text(ncid, var, padded.data()), ErrorCode::kIo, name); });
  return s;
}

Status WriteGlobals(int ncid, const Volume& volume, int major, std::int64_t epoch, std::int64_t last,
                    Deferred* later) {
  const Instrument& in = volume.instrument();
  int len_dim = 0;
  Status s = FirstError(
      {PutAttText(ncid, NC_GLOBAL, "Conventions",
                  major == 1 ? "CF/Radial instrument_parameters" : "Cf/Radial-2.1"),
       PutAttText(ncid, NC_GLOBAL, "version", major == 1 ? "1.4" : "2.1"),
       PutAttText(ncid, NC_GLOBAL, "title", "polar volume"),
       PutAttText(ncid, NC_GLOBAL, "instrument_name", in.name()),
       PutAttText(ncid, NC_GLOBAL, "site_name", in.opera_id().place()),
       PutAttText(ncid, NC_GLOBAL, "scan_name", volume.sweep(0).task_name()),
       PutAttText(ncid, NC_GLOBAL, "source", in.software_name()),
       PutAttText(ncid, NC_GLOBAL, "platform_is_mobile", "false"),
       NcCheck(nc_def_dim(ncid, "string_length", kStringLength, &len_dim), ErrorCode::kIo, "string_length")});
  if (!s.ok()) return s;
  const auto& loc = in.location();
  const auto& radar = in.radar_properties();
  s = FirstError({PutScalar(ncid, "volume_number", NC_INT, 0, nullptr, later),
                  PutTextVar(ncid, "time_coverage_start", len_dim, FormatIso(epoch), later),
                  PutTextVar(ncid, "time_coverage_end", len_dim, FormatIso(last), later),
                  PutScalar(ncid, "latitude", NC_DOUBLE, loc.lat_lon().latitude_deg(), "degrees_north", later),
                  PutScalar(ncid, "longitude", NC_DOUBLE, loc.lat_lon().longitude_deg(), "degrees_east", later),
                  PutScalar(ncid, "altitude", NC_DOUBLE, loc.altitude_m(), "meters", later),
                  PutScalar(ncid, "radar_beam_width_h", NC_DOUBLE, radar.horz_beam_width_deg(), "degrees", later),
                  PutScalar(ncid, "radar_beam_width_v", NC_DOUBLE, radar.vert_beam_width_deg(), "degrees", later)});
  const double hz = FirstFrequencyHz(volume);
  if (s.ok() && hz > 0) {
    int dim = 0, var = 0;
    s = FirstError({NcCheck(nc_def_dim(ncid, "frequency", 1, &dim), ErrorCode::kIo, "frequency"),
                    DefVar(ncid, "frequency", NC_DOUBLE, {dim}, &var)});
    if (s.ok()) s = PutAttText(ncid, var, "units", "s-1");
    later->push_back([=] { return NcCheck(nc_put_var_double(ncid, var, &hz), ErrorCode::kIo, "frequency"); });
  }
  return s;
}

// time, range, azimuth, elevation and nyquist_velocity in `ncid`.
Status DefineRayVars(int ncid, std::size_t rays, const RangeAxis& axis, std::int64_t epoch,
                     Deferred* later) {
  int time_dim = 0, range_dim = 0, var = 0;
  Status s = FirstError({NcCheck(nc_def_dim(ncid, "time", rays, &time_dim), ErrorCode::kIo, "time"),
                         NcCheck(nc_def_dim(ncid, "range", static_cast<std::size_t>(axis.gates), &range_dim),
                                 ErrorCode::kIo, "range"),
                         DefVar(ncid, "time", NC_DOUBLE, {time_dim}, &var)});
  if (s.ok()) s = PutAttText(ncid, var, "units", "seconds since " + FormatIso(epoch));
  if (s.ok()) s = PutAttText(ncid, var, "standard_name", "time");
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
    later->push_back([=] { return NcCheck(nc_put_var_double(ncid, var, range.data()), ErrorCode::kIo, "range"); });
  }
  for (const char* name : {"azimuth", "elevation", "nyquist_velocity"}) {
    if (s.ok()) s = DefVar(ncid, name, NC_DOUBLE, {time_dim}, &var);
    if (s.ok()) s = PutAttText(ncid, var, "units", std::string(name) == "nyquist_velocity" ? "m/s" : "degrees");
  }
  return s;
}

Status WriteNyquist(int ncid, const Volume& volume, int index, std::size_t first) {
  const auto* rc = RayConfigOf(volume, volume.sweep(index));
  const std::vector<double> values(static_cast<std::size_t>(volume.sweep(index).rays_size()),
                                   rc != nullptr ? rc->unamb_velocity_m_p_s() : 0.0);
  if (values.empty()) return Status::Ok();
  const std::size_t start[1] = {first}, count[1] = {values.size()};
  return NcCheck(nc_put_vara_double(ncid, VarId(ncid, "nyquist_velocity"), start, count, values.data()),
                 ErrorCode::kIo, "nyquist_velocity");
}

const SweepConfig& ConfigOrDefault(const Volume& volume, const Sweep& sweep) {
  const SweepConfig* sc = SweepConfigOf(volume, sweep);
  return sc != nullptr ? *sc : SweepConfig::default_instance();
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
    res[i] = sweep.rays_size() > 0 ? sweep.rays(0).az_range_deg().span_deg() : 0;
    const std::string mode = ModeText(ConfigOrDefault(volume, sweep).type());
    std::copy(mode.begin(), mode.end(), modes.begin() + static_cast<std::ptrdiff_t>(i * kStringLength));
  }
  struct Column { const char* name; nc_type type; const std::vector<double>* values; };
  for (const Column& c : {Column{"sweep_number", NC_INT, &number}, Column{"fixed_angle", NC_DOUBLE, &fixed},
                          Column{"sweep_start_ray_index", NC_INT, &first},
                          Column{"sweep_end_ray_index", NC_INT, &last},
                          Column{"ray_angle_res", NC_DOUBLE, &res}}) {
    int var = 0;
    Status s = DefVar(ncid, c.name, c.type, {sweep_dim}, &var);
    if (!s.ok()) return s;
    later->push_back([ncid, var, name = c.name, values = *c.values] {
      return NcCheck(nc_put_var_double(ncid, var, values.data()), ErrorCode::kIo, name);
    });
  }
  int var = 0;
  Status s = DefVar(ncid, "sweep_mode", NC_CHAR, {sweep_dim, len_dim}, &var);
  later->push_back([=] { return NcCheck(nc_put_var_text(ncid, var, modes.data()), ErrorCode::kIo, "sweep_mode"); });
  return s;
}

Status WriteCf1(int ncid, const Volume& volume, const std::vector<RangeAxis>& axes, std::int64_t epoch,
                const WriteOptions& options, Deferred* later, Notes* notes) {
  RangeAxis common = axes[0];
  std::size_t rays = 0;
  for (std::size_t i = 0; i < axes.size(); ++i) {
    if (std::fabs(axes[i].start_m - common.start_m) > 1e-6 || std::fabs(axes[i].step_m - common.step_m) > 1e-6) {
      return SweepError(ErrorCode::kUnsupported, static_cast<int>(i), "",
                        "range axis differs from sweep 0; CF/Radial 1.4 has one range axis "
                        "(write CF/Radial 2.1)");
    }
    common.gates = std::max(common.gates, axes[i].gates);
    rays += static_cast<std::size_t>(volume.sweep(static_cast<int>(i)).rays_size());
  }
  for (std::size_t i = 0; i < axes.size(); ++i) {
    if (axes[i].gates < common.gates) {
      notes->push_back("sweep[" + std::to_string(i) + "]: " + std::to_string(axes[i].gates) +
                       " gates padded to " + std::to_string(common.gates) + " with the fill value");
    }
  }
  int sweep_dim = 0, len_dim = 0;
  nc_inq_dimid(ncid, "string_length", &len_dim);
  Status s = FirstError({NcCheck(nc_def_dim(ncid, "sweep", axes.size(), &sweep_dim), ErrorCode::kIo, "sweep"),
                         DefineRayVars(ncid, rays, common, epoch, later)});
  if (s.ok()) s = WriteSweepTable(ncid, volume, sweep_dim, len_dim, later);
  const SweepPlace place{ncid, 0, static_cast<std::size_t>(common.gates)};
  for (int i = 0; s.ok() && i < volume.sweep_size(); ++i) s = DefineMoments(volume, i, place, options, notes);
  if (s.ok()) s = RunDeferred(ncid, later);
  std::size_t first = 0;
  for (int i = 0; s.ok() && i < volume.sweep_size(); ++i) {
    s = FirstError({WriteSweepRays(volume, i, SweepPlace{ncid, first, place.range_size}, epoch),
                    WriteNyquist(ncid, volume, i, first)});
    first += static_cast<std::size_t>(volume.sweep(i).rays_size());
    if (s.ok() && options.progress) options.progress(static_cast<std::size_t>(i + 1), volume.sweep_size());
  }
  return s;
}

Status DefineSweepGroup(int root, const Volume& volume, int index, const RangeAxis& axis, std::int64_t epoch,
                        const WriteOptions& options, int* group, Deferred* later, Notes* notes) {
  const Sweep& sweep = volume.sweep(index);
  const std::string name = "sweep_" + std::to_string(index);
  Status s = NcCheck(nc_def_grp(root, name.c_str(), group), ErrorCode::kIo, name);
  const int g = *group;
  if (s.ok()) s = DefineRayVars(g, static_cast<std::size_t>(sweep.rays_size()), axis, epoch, later);
  const double res = sweep.rays_size() > 0 ? sweep.rays(0).az_range_deg().span_deg() : 0;
  if (s.ok()) {
    s = FirstError({PutScalar(g, "sweep_number", NC_INT, sweep.index_in_task(), nullptr, later),
                    PutScalar(g, "fixed_angle", NC_DOUBLE, sweep.description().fixed_angle_deg(), "degrees", later),
                    PutScalar(g, "ray_angle_res", NC_DOUBLE, res, "degrees", later)});
  }
  int var = 0;
  const char* mode = ModeText(ConfigOrDefault(volume, sweep).type());
  if (s.ok()) s = DefVar(g, "sweep_mode", NC_STRING, {}, &var);
  later->push_back([g, var, mode]() mutable {
    return NcCheck(nc_put_var_string(g, var, &mode), ErrorCode::kIo, "sweep_mode");
  });
  if (s.ok()) s = DefineMoments(volume, index, SweepPlace{g, 0, static_cast<std::size_t>(axis.gates)}, options, notes);
  return s.Wrap(name + ": ");
}

Status WriteCf2(int ncid, const Volume& volume, const std::vector<RangeAxis>& axes, std::int64_t epoch,
                const WriteOptions& options, Deferred* later, Notes* notes) {
  const std::size_t n = axes.size();
  int sweep_dim = 0, names_var = 0, fixed_var = 0;
  Status s = FirstError({NcCheck(nc_def_dim(ncid, "sweep", n, &sweep_dim), ErrorCode::kIo, "sweep"),
                         DefVar(ncid, "sweep_group_name", NC_STRING, {sweep_dim}, &names_var),
                         DefVar(ncid, "sweep_fixed_angle", NC_DOUBLE, {sweep_dim}, &fixed_var)});
  std::vector<std::string> names(n);
  std::vector<const char*> pointers(n);
  std::vector<double> fixed(n);
  for (std::size_t i = 0; i < n; ++i) {
    names[i] = "sweep_" + std::to_string(i);
    pointers[i] = names[i].c_str();
    fixed[i] = volume.sweep(static_cast<int>(i)).description().fixed_angle_deg();
  }
  later->push_back([=]() mutable {
    return FirstError(
        {NcCheck(nc_put_var_string(ncid, names_var, pointers.data()), ErrorCode::kIo, "sweep_group_name"),
         NcCheck(nc_put_var_double(ncid, fixed_var, fixed.data()), ErrorCode::kIo, "sweep_fixed_angle")});
  });
  std::vector<int> groups(n);
  for (int i = 0; s.ok() && i < static_cast<int>(n); ++i) {
    s = DefineSweepGroup(ncid, volume, i, axes[static_cast<std::size_t>(i)], epoch, options, &groups[i], later,
                         notes);
  }
  if (s.ok()) s = RunDeferred(ncid, later);
  for (int i = 0; s.ok() && i < static_cast<int>(n); ++i) {
    const SweepPlace place{groups[i], 0, static_cast<std::size_t>(axes[static_cast<std::size_t>(i)].gates)};
    s = FirstError({WriteSweepRays(volume, i, place, epoch), WriteNyquist(groups[i], volume, i, 0)});
    if (s.ok() && options.progress) options.progress(static_cast<std::size_t>(i + 1), n);
  }
  return s;
}

}  // namespace

Status WriteCfRadialFile(const std::string& path, int major, const WriteOptions& options,
                         const Volume& volume, Notes* notes) {
  if (volume.sweep_size() == 0) return Status(ErrorCode::kInvalidArgument, "the volume has no sweeps");
  std::vector<RangeAxis> axes(static_cast<std::size_t>(volume.sweep_size()));
  for (int i = 0; i < volume.sweep_size(); ++i) {
    Status s = SweepRange(volume, i, &axes[static_cast<std::size_t>(i)]);
    if (!s.ok()) return s;
  }
  NcFile file;
  Status s = file.Create(path);
  if (!s.ok()) return s;
  std::int64_t last = 0;
  const std::int64_t epoch = VolumeEpoch(volume, &last);
  Deferred later;
  s = WriteGlobals(file.id(), volume, major, epoch, last, &later);
  if (s.ok()) {
    s = major == 1 ? WriteCf1(file.id(), volume, axes, epoch, options, &later, notes)
                   : WriteCf2(file.id(), volume, axes, epoch, options, &later, notes);
  }
  const Status closed = file.Close();
  return s.ok() ? closed : s;
}

// ---- Reading ----------------------------------------------------------------

namespace {

void ReadTextAttr(int ncid, const char* name, std::string* out) {
  if (HasAtt(ncid, NC_GLOBAL, name)) (void)GetAttText(ncid, NC_GLOBAL, name, out);
}

Status ReadRoot(int ncid, Volume* volume, double* frequency_hz) {
  Instrument* in = volume->mutable_instrument();
  in->set_instrument_type(Instrument::INSTR_RADAR);
  std::string text;
  ReadTextAttr(ncid, "instrument_name", in->mutable_name());
  ReadTextAttr(ncid, "site_name", in->mutable_opera_id()->mutable_place());
  ReadTextAttr(ncid, "source", in->mutable_software_name());
  if (in->opera_id().ByteSizeLong() == 0) in->clear_opera_id();
  std::vector<double> lat, lon, alt;
  Status s = FirstError({GetDoubles(ncid, "latitude", 0, 1, &lat), GetDoubles(ncid, "longitude", 0, 1, &lon),
                         GetDoubles(ncid, "altitude", 0, 1, &alt)});
  if (!s.ok()) return s;
  in->mutable_location()->mutable_lat_lon()->set_latitude_deg(lat[0]);
  in->mutable_location()->mutable_lat_lon()->set_longitude_deg(lon[0]);
  in->mutable_location()->set_altitude_m(alt[0]);
  std::vector<double> v;
  auto* radar = in->mutable_radar_properties();
  if (VarId(ncid, "radar_beam_width_h") >= 0 && GetDoubles(ncid, "radar_beam_width_h", 0, 1, &v).ok()) {
    radar->set_horz_beam_width_deg(v[0]);
  }
  if (VarId(ncid, "radar_beam_width_v") >= 0 && GetDoubles(ncid, "radar_beam_width_v", 0, 1, &v).ok()) {
    radar->set_vert_beam_width_deg(v[0]);
  }
  if (VarId(ncid, "frequency") >= 0 && GetDoubles(ncid, "frequency", 0, 1, &v).ok()) *frequency_hz = v[0];
  return Status::Ok();
}

// The sweep's configurations and description; `group` holds range and
// nyquist_velocity, `row` is the sweep's first row there.
Status ReadSweepSetup(int group, int index, std::size_t row, const std::string& mode, double fixed,
                      double number, Volume* volume) {
  auto* config = volume->mutable_volume_config();
  SweepConfig* sc = config->add_sweep_config();
  auto* rc = config->add_ray_config();
  Sweep* sweep = volume->add_sweep();
  sweep->mutable_description()->mutable_config()->set_sweep_config_index(index);
  sweep->mutable_description()->set_fixed_angle_deg(fixed);
  sweep->set_index_in_task(static_cast<std::int32_t>(number));
  *config->add_sweep_descriptions() = sweep->description();
  sc->set_type(ModeType(mode));
  sc->add_ray_config_ref()->set_ray_config_index(index);
  std::size_t gates = 0;
  std::vector<double> range, nyquist;
  Status s = DimLength(group, "range", &gates);
  if (s.ok() && gates > kMaxGates) s = NcError(ErrorCode::kTooLarge, "range", "too many gates");
  if (s.ok()) s = GetDoubles(group, "range", 0, std::min<std::size_t>(gates, 2), &range);
  if (!s.ok()) return s;
  for (auto* scale : {sc->mutable_range_scale()->add_range_m(), rc->mutable_range_scale()->add_range_m()}) {
    scale->set_start(range.empty() ? 0 : range[0]);
    scale->set_step(range.size() > 1 ? range[1] - range[0] : 0);
    scale->set_count(static_cast<std::int32_t>(gates));
  }
  if (VarId(group, "nyquist_velocity") >= 0 && GetDoubles(group, "nyquist_velocity", row, 1, &nyquist).ok()) {
    rc->set_unamb_velocity_m_p_s(nyquist[0]);
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

Status ReadCf1Sweep(int ncid, int i, std::size_t ntime, bool samples, Volume* volume, Notes* notes) {
  std::vector<double> first, last, fixed, number, res;
  std::string mode;
  const std::size_t u = static_cast<std::size_t>(i);
  Status s = FirstError({GetDoubles(ncid, "sweep_start_ray_index", u, 1, &first),
                         GetDoubles(ncid, "sweep_end_ray_index", u, 1, &last),
                         GetDoubles(ncid, "fixed_angle", u, 1, &fixed), GetText(ncid, "sweep_mode", u, &mode)});
  if (!s.ok()) return s;
  if (!(first[0] >= 0 && last[0] >= first[0] - 1 && last[0] < static_cast<double>(ntime) &&
        last[0] - first[0] < static_cast<double>(kMaxRays))) {
    return SweepError(ErrorCode::kInvalidArgument, i, "",
                      "ray indices " + std::to_string(first[0]) + ".." + std::to_string(last[0]) +
                          " outside the " + std::to_string(ntime) + " rays");
  }
  if (!GetDoubles(ncid, "sweep_number", u, 1, &number).ok()) number.assign(1, i);
  const std::size_t row = static_cast<std::size_t>(first[0]);
  s = ReadSweepSetup(ncid, i, row, mode, fixed[0], number[0], volume);
  std::size_t gates = 0;
  if (s.ok()) s = DimLength(ncid, "range", &gates);
  if (s.ok()) {
    s = ReadSweepRays(SweepPlace{ncid, row, gates}, static_cast<std::size_t>(last[0] - first[0] + 1), samples,
                      i, volume, notes);
  }
  if (s.ok() && VarId(ncid, "ray_angle_res") >= 0 && GetDoubles(ncid, "ray_angle_res", u, 1, &res).ok()) {
    ApplyAngleRes(res[0], volume, i);
  }
  return s;
}

Status ReadCf2Sweep(int ncid, int i, bool samples, Volume* volume, Notes* notes) {
  std::string name, mode;
  Status s = GetText(ncid, "sweep_group_name", static_cast<std::size_t>(i), &name);
  if (!s.ok()) return s;
  int group = 0;
  if (nc_inq_grp_ncid(ncid, name.c_str(), &group) != NC_NOERR) {
    return NcError(ErrorCode::kMalformed, name, "missing sweep group");
  }
  std::vector<double> fixed, number, res;
  std::size_t rays = 0, gates = 0;
  s = FirstError({GetDoubles(group, "fixed_angle", 0, 1, &fixed), GetText(group, "sweep_mode", 0, &mode),
                  DimLength(group, "time", &rays), DimLength(group, "range", &gates)});
  if (s.ok() && rays > kMaxRays) s = NcError(ErrorCode::kTooLarge, "time", "too many rays");
  if (!s.ok()) return s.Wrap(name + ": ");
  if (!GetDoubles(group, "sweep_number", 0, 1, &number).ok()) number.assign(1, i);
  s = ReadSweepSetup(group, i, 0, mode, fixed[0], number[0], volume);
  if (s.ok()) s = ReadSweepRays(SweepPlace{group, 0, gates}, rays, samples, i, volume, notes);
  if (s.ok() && VarId(group, "ray_angle_res") >= 0 && GetDoubles(group, "ray_angle_res", 0, 1, &res).ok()) {
    ApplyAngleRes(res[0], volume, i);
  }
  return s.Wrap(name + ": ");
}

void SetFrequency(double hz, Volume* volume) {
  if (!(hz > 0)) return;
  for (auto& rc : *volume->mutable_volume_config()->mutable_ray_config()) {
    rc.add_pulse_definition()->add_rf_frequency_mhz(hz / 1e6);
  }
}

}  // namespace

Status ReadCfRadialFile(const std::string& path, bool samples, const ReadOptions& options, Volume* volume,
                        Notes* notes) {
  volume->Clear();
  NcFile file;
  Status s = file.Open(path);
  if (!s.ok()) return s;
  const int ncid = file.id();
  const bool v2 = VarId(ncid, "sweep_group_name") >= 0;
  if (!v2 && VarId(ncid, "sweep_start_ray_index") < 0) {
    return NcError(ErrorCode::kMalformed, path, "not CF/Radial: no sweep_start_ray_index or sweep_group_name");
  }
  if (VarId(ncid, "ray_n_gates") >= 0) {
    return NcError(ErrorCode::kUnsupported, "ray_n_gates",
                   "rays with varying gate counts are not converted (the model holds one gate count per sweep)");
  }
  double frequency_hz = 0;
  std::size_t nsweeps = 0, ntime = 0;
  s = FirstError({ReadRoot(ncid, volume, &frequency_hz), DimLength(ncid, "sweep", &nsweeps)});
  if (s.ok() && !v2) s = DimLength(ncid, "time", &ntime);
  if (s.ok() && nsweeps > kMaxSweeps) s = NcError(ErrorCode::kTooLarge, "sweep", "too many sweeps");
  std::string scan_name;
  ReadTextAttr(ncid, "scan_name", &scan_name);
  for (int i = 0; s.ok() && i < static_cast<int>(nsweeps); ++i) {
    s = v2 ? ReadCf2Sweep(ncid, i, samples, volume, notes) : ReadCf1Sweep(ncid, i, ntime, samples, volume, notes);
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
