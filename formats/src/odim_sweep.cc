// ODIM_H5: one datasetN group per sweep, one dataM group per moment.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "common_dto/model/buffers.h"
#include "common_dto/model/references.h"
#include "hdf5_util.h"
#include "odim_internal.h"
#include "quantities.h"

namespace common_dto {
namespace formats {

using kyt::pb::common::DataBuffer;
using kyt::pb::common::DataDescriptor;
using kyt::pb::common::Ray;
using kyt::pb::common::RayConfig;
using kyt::pb::common::Sweep;
using kyt::pb::common::SweepConfig;
using kyt::pb::common::Volume;

namespace {

constexpr std::int64_t kMaxRays = 65536;
constexpr std::int64_t kMaxBins = 1 << 20;
constexpr std::int64_t kMaxBufferBytes = 0x7fffffff;  // DataBuffer.uncompressed_size is int32
constexpr int kMaxMoments = 256;

struct Group {
  H5Id id;
  std::string path;
};

Group CreateGroup(hid_t parent, const std::string& parent_path, const std::string& name) {
  return Group{H5Id(H5Gcreate2(parent, name.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT)),
               parent_path + "/" + name};
}

// ---- Writing ----------------------------------------------------------------

// gain, offset, nodata and undetect of a moment.
struct OdimScale {
  double gain = 1, offset = 0, nodata = 0, undetect = 0;
};

OdimScale ScaleOf(const DataDescriptor* d, int storage_type, const std::string& name,
                  Notes* notes) {
  OdimScale scale;
  if (d != nullptr && d->scale().type() == DataDescriptor::DataScale::LINEAR &&
      d->scale().linear_scale().step() != 0) {
    const auto& lin = d->scale().linear_scale();
    // A not-scanned code the samples cannot hold gives way to a code that
    // is no value, so that out-of-range gates have a code to go to.
    const double nodata =
        static_cast<double>(MissingCode(lin, storage_type).value_or(lin.not_scanned()));
    return OdimScale{lin.step(), lin.offset(), nodata,
                     lin.under_threshold() == lin.not_scanned()
                         ? nodata
                         : static_cast<double>(lin.under_threshold())};
  }
  notes->push_back(
      {NoteKind::kAssumed, "linear_scale", name,
       "no linear scale; written with gain 1, offset 0 and no nodata or undetect code"});
  switch (storage_type) {
    case DataBuffer::UINT8: scale.nodata = 255; break;
    case DataBuffer::UINT16: scale.nodata = 65535; break;
    case DataBuffer::INT32: scale.nodata = 2147483647.0; break;
    case DataBuffer::INT64: scale.nodata = 9.2233720368547758e18; break;
    default: scale.nodata = std::numeric_limits<double>::quiet_NaN(); break;
  }
  scale.undetect = scale.nodata;
  return scale;
}

// Dataset creation properties: one chunk of the whole array, deflated at
// `level` (none at 0, or for an empty array, which cannot be chunked).
Result<H5Id> CompressedLayout(const hsize_t dims[2], int level, const std::string& path) {
  Result<H5Id> dcpl = H5Checked(H5Pcreate(H5P_DATASET_CREATE), "H5Pcreate", path);
  if (!dcpl.ok() || level <= 0 || dims[0] == 0 || dims[1] == 0) return dcpl;
  Status s = H5Check(H5Pset_chunk(dcpl->get(), 2, dims), "H5Pset_chunk", path);
  if (s.ok()) {
    s = H5Check(H5Pset_deflate(dcpl->get(), static_cast<unsigned>(level)), "H5Pset_deflate", path);
  }
  if (!s.ok()) return s;
  return dcpl;
}

Status WriteSamples(hid_t group, const std::string& path, const DataBuffer& buffer,
                    const DataDescriptor* d, double nodata, const RangeAxis& axis,
                    std::int64_t rays, int level, int index, const std::string& name,
                    Notes* notes) {
  const hid_t file_type = FileTypeOf(buffer.type(), buffer.endian());
  if (file_type < 0) return H5Error(ErrorCode::kUnsupported, path, "storage type not writable");
  std::string scratch;
  std::string_view samples;
  Status s = SweepSamples(buffer, rays, axis.gates, &scratch, &samples);
  if (!s.ok()) return s.Wrap(path + ": ");
  const std::string at = path + "/data";
  MaskOutOfRange(d, buffer.type(), buffer.endian(),
                 std::fabs(nodata) < 9e18 ? std::optional<std::int64_t>(std::llround(nodata))
                                          : std::nullopt,
                 index, at, name, &scratch, &samples, notes);
  const hsize_t dims[2] = {static_cast<hsize_t>(rays), static_cast<hsize_t>(axis.gates)};
  const Result<H5Id> space = H5Checked(H5Screate_simple(2, dims, nullptr), "H5Screate_simple", at);
  const Result<H5Id> dcpl = CompressedLayout(dims, level, at);
  if (!space.ok() || !dcpl.ok()) return space.ok() ? dcpl.status() : space.status();
  Result<H5Id> data = H5Checked(
      H5Dcreate2(group, "data", file_type, space->get(), H5P_DEFAULT, dcpl->get(), H5P_DEFAULT),
      "H5Dcreate2", at);
  if (!data.ok()) return data.status();
  s = H5Check(H5Dwrite(data->get(), file_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, samples.data()),
              "H5Dwrite", at);
  if (!s.ok()) return s;
  return FirstError({WriteStringAttr(data->get(), "CLASS", "IMAGE"),
                     WriteStringAttr(data->get(), "IMAGE_VERSION", "1.2")});
}

// The ODIM quantity and parent of a moment: a quality moment named
// "<quantity>_<moment>" after another moment of the sweep belongs to that
// moment's dataM group, any other one to the dataset.
struct Placement {
  std::string quantity;
  std::string parent;  // the moment it qualifies, "" for the dataset
};

bool IsQuality(const Volume& volume, const Sweep& sweep, const std::string& name) {
  const DataDescriptor* d = FindMomentDescriptor(
      volume.has_volume_config() ? &volume.volume_config() : nullptr, sweep.description(),
      sweep.rays_size() > 0 ? &sweep.rays(0) : nullptr, name);
  return d != nullptr && d->is_quality_parameter();
}

Placement PlaceQuality(const Volume& volume, const Sweep& sweep, const std::string& name) {
  for (std::size_t cut = name.find('_'); cut != std::string::npos; cut = name.find('_', cut + 1)) {
    const std::string parent = name.substr(cut + 1);
    if (sweep.sweep_moments().count(parent) != 0 && !IsQuality(volume, sweep, parent)) {
      return Placement{name.substr(0, cut), parent};
    }
  }
  return Placement{name, ""};
}

// One dataM or qualityK group: what (quantity and scale), how/task of a
// quality moment, and the samples.
Status WriteMoment(hid_t parent, const std::string& parent_path, const std::string& group_name,
                   const std::string& quantity, const Volume& volume, const Sweep& sweep,
                   int index, const std::string& name, const RangeAxis& axis,
                   const WriteOptions& options, Notes* notes) {
  Group group = CreateGroup(parent, parent_path, group_name);
  Group what = CreateGroup(group.id.get(), group.path, "what");
  if (!group.id.valid() || !what.id.valid()) return H5Error(ErrorCode::kIo, group.path, "cannot create");
  const DataBuffer& buffer = sweep.sweep_moments().at(name);
  const DataDescriptor* d = FindMomentDescriptor(
      volume.has_volume_config() ? &volume.volume_config() : nullptr, sweep.description(),
      sweep.rays_size() > 0 ? &sweep.rays(0) : nullptr, name);
  const bool quality = d != nullptr && d->is_quality_parameter();
  if (!quality && FindQuantity(name) == nullptr) {
    notes->push_back({NoteKind::kUnknownName, "what/quantity", name,
                      "not an ODIM quantity, written under its own name"});
  }
  const OdimScale scale = ScaleOf(d, buffer.type(), name, notes);
  Status s = FirstError({WriteStringAttr(what.id.get(), "quantity", quantity),
                         WriteDoubleAttr(what.id.get(), "gain", scale.gain),
                         WriteDoubleAttr(what.id.get(), "offset", scale.offset),
                         WriteDoubleAttr(what.id.get(), "nodata", scale.nodata),
                         WriteDoubleAttr(what.id.get(), "undetect", scale.undetect)});
  if (s.ok() && quality && !d->description().empty()) {
    Group how = CreateGroup(group.id.get(), group.path, "how");
    s = how.id.valid() ? WriteStringAttr(how.id.get(), "task", d->description())
                       : H5Error(ErrorCode::kIo, how.path, "cannot create");
  }
  if (!s.ok()) return s;
  return WriteSamples(group.id.get(), group.path, buffer, d, scale.nodata, axis,
                      sweep.rays_size(), options.compression_level, index, name, notes);
}

// dataM groups for the moments, in name order, each followed by its quality
// groups; then the dataset's own quality groups.
Status WriteMoments(const Group& dataset, const Volume& volume, const Sweep& sweep, int index,
                    const RangeAxis& axis, const WriteOptions& options, Notes* notes) {
  std::vector<std::string> data;
  std::vector<std::pair<Placement, std::string>> quality;
  for (const std::string& name : MomentNames(sweep)) {
    if (IsQuality(volume, sweep, name)) {
      quality.emplace_back(PlaceQuality(volume, sweep, name), name);
    } else {
      data.push_back(name);
    }
  }
  Status s;
  for (std::size_t m = 0; s.ok() && m < data.size(); ++m) {
    const std::string group = "data" + std::to_string(m + 1);
    s = WriteMoment(dataset.id.get(), dataset.path, group, data[m], volume, sweep, index, data[m],
                    axis, options, notes);
    H5Id parent = OpenGroup(dataset.id.get(), group);
    int k = 0;
    for (const auto& [place, name] : quality) {
      if (!s.ok() || place.parent != data[m]) continue;
      s = WriteMoment(parent.get(), dataset.path + "/" + group, "quality" + std::to_string(++k),
                      place.quantity, volume, sweep, index, name, axis, options, notes);
    }
  }
  int k = 0;
  for (const auto& [place, name] : quality) {
    if (!s.ok() || !place.parent.empty()) continue;
    s = WriteMoment(dataset.id.get(), dataset.path, "quality" + std::to_string(++k), place.quantity,
                    volume, sweep, index, name, axis, options, notes);
  }
  return s;
}

// Ray end times for stopazT: the ray's own, else the next ray's start in
// time, the sweep's end for the last; NaN where none is known.
std::vector<double> RayEnds(const Sweep& sweep, const std::vector<double>& starts, bool* derived) {
  const int n = sweep.rays_size();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> ends(n, nan);
  std::vector<int> order;
  for (int r = 0; r < n; ++r) {
    const Ray& ray = sweep.rays(r);
    if (ray.has_aq_end_time()) ends[r] = EpochSeconds(ray.aq_end_time());
    if (std::isfinite(starts[r])) order.push_back(r);
  }
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return starts[a] < starts[b]; });
  const std::optional<double> sweep_end = SweepEndTime(sweep);
  for (std::size_t i = 0; i < order.size(); ++i) {
    const int r = order[i];
    if (std::isfinite(ends[r])) continue;
    if (i + 1 < order.size()) {
      ends[r] = starts[order[i + 1]];
    } else if (sweep_end && *sweep_end >= starts[r]) {
      ends[r] = *sweep_end;
    }
    *derived |= std::isfinite(ends[r]);
  }
  return ends;
}

// startazA/stopazA, elevations and times of the rays.
Status WriteRayArrays(hid_t how, const Sweep& sweep, Notes* notes) {
  const int n = sweep.rays_size();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> az0(n), az1(n), el0(n), el1(n), t0(n);
  bool el_span = false, times = false;
  for (int r = 0; r < n; ++r) {
    const Ray& ray = sweep.rays(r);
    az0[r] = ray.az_range_deg().start_deg();
    az1[r] = az0[r] + ray.az_range_deg().span_deg();
    el0[r] = ray.el_range_deg().start_deg();
    el1[r] = el0[r] + ray.el_range_deg().span_deg();
    el_span |= ray.el_range_deg().span_deg() != 0;
    // A time the ray lacks is written as NaN, and read back as unset.
    t0[r] = ray.has_aq_start_time() ? EpochSeconds(ray.aq_start_time()) : nan;
    times |= ray.has_aq_start_time() || ray.has_aq_end_time();
  }
  Status s = FirstError({WriteDoublesAttr(how, "startazA", az0), WriteDoublesAttr(how, "stopazA", az1),
                         WriteDoublesAttr(how, "elangles", el0)});
  if (s.ok() && el_span) {
    s = FirstError({WriteDoublesAttr(how, "startelA", el0), WriteDoublesAttr(how, "stopelA", el1)});
  }
  if (!s.ok() || !times) return s;
  bool derived = false;
  const std::vector<double> t1 = RayEnds(sweep, t0, &derived);
  s = WriteDoublesAttr(how, "startazT", t0);
  if (s.ok() && std::any_of(t1.begin(), t1.end(), [](double t) { return std::isfinite(t); })) {
    s = WriteDoublesAttr(how, "stopazT", t1);
  }
  if (derived) {
    notes->push_back({NoteKind::kDerived, "how/stopazT", "",
                      "rays without end times: how/stopazT written as the next ray's start "
                      "(the sweep's end for the last)"});
  }
  return s;
}

Status WriteDatasetHow(hid_t how, const Volume& volume, const Sweep& sweep, Notes* notes) {
  const std::optional<double> start = SweepStartTime(sweep), end = SweepEndTime(sweep);
  Status s = WriteRayArrays(how, sweep, notes);
  // Index 0 of every sweep is no index at all (a file without scan_index).
  const bool indexed = std::any_of(volume.sweep().begin(), volume.sweep().end(),
                                   [](const Sweep& w) { return w.index_in_task() != 0; });
  if (s.ok() && indexed) s = WriteLongAttr(how, "scan_index", sweep.index_in_task() + 1);
  if (s.ok() && start) s = WriteDoubleAttr(how, "startepochs", *start);
  if (s.ok() && end) s = WriteDoubleAttr(how, "endepochs", *end);
  if (s.ok() && !sweep.task_name().empty()) s = WriteStringAttr(how, "task", sweep.task_name());
  const SweepConfig* sc = SweepConfigOf(volume, sweep);
  if (s.ok() && sc != nullptr && sc->speed_deg_per_sec() != 0) {
    s = WriteDoubleAttr(how, "rpm", sc->speed_deg_per_sec() / 6.0);
  }
  const RayConfig* rc = RayConfigOf(volume, sweep);
  if (!s.ok() || rc == nullptr) return s;
  if (rc->unamb_velocity_m_p_s() != 0) s = WriteDoubleAttr(how, "NI", rc->unamb_velocity_m_p_s());
  const auto& prf = rc->pulse_sequence().prf();
  if (s.ok() && prf.size() > 0) s = WriteDoubleAttr(how, "highprf", prf[0]);
  if (s.ok() && prf.size() > 1) s = WriteDoubleAttr(how, "lowprf", prf[1]);
  if (s.ok() && rc->pulse_definition_size() > 0 &&
      rc->pulse_definition(0).pulse_width_usec_size() > 0) {
    s = WriteDoubleAttr(how, "pulsewidth", rc->pulse_definition(0).pulse_width_usec(0));
  }
  // /how holds the volume's first frequency; a sweep of another one says so.
  if (s.ok() && rc->pulse_definition_size() > 0 &&
      rc->pulse_definition(0).rf_frequency_mhz_size() > 0) {
    const double f = rc->pulse_definition(0).rf_frequency_mhz(0);
    if (f > 0 && f != FirstFrequencyMhz(volume)) s = WriteDoubleAttr(how, "wavelength", WavelengthCm(f));
  }
  return s;
}

// datasetN/what: product and the sweep's start and end (each left out when
// the sweep has none).
Status WriteDatasetWhat(hid_t what, const Sweep& sweep, int index, Notes* notes) {
  Status s = WriteStringAttr(what, "product", "SCAN");
  const std::optional<double> start = SweepStartTime(sweep), end = SweepEndTime(sweep);
  if (s.ok() && start) {
    const auto t = static_cast<std::int64_t>(std::floor(*start));
    s = FirstError({WriteStringAttr(what, "startdate", FormatDate(t)),
                    WriteStringAttr(what, "starttime", FormatClock(t))});
  }
  if (s.ok() && end) {
    const auto t = static_cast<std::int64_t>(std::floor(*end));
    s = FirstError({WriteStringAttr(what, "enddate", FormatDate(t)),
                    WriteStringAttr(what, "endtime", FormatClock(t))});
  }
  if (!start || !end) {
    const std::string left_out = start ? "enddate, endtime" : "startdate, starttime";
    notes->push_back({NoteKind::kNotCarried, "/dataset" + std::to_string(index + 1) + "/what", "",
                      "sweep " + std::to_string(index) + ": no " + (start ? "end" : "start") +
                          " time known; dataset" + std::to_string(index + 1) + "/what/" + left_out +
                          " left out"});
  }
  return s;
}

}  // namespace

std::optional<double> SweepStartTime(const Sweep& sweep) {
  if (sweep.input_timespan().has_start()) return EpochSeconds(sweep.input_timespan().start());
  std::optional<double> t;
  for (const Ray& ray : sweep.rays()) {
    if (!ray.has_aq_start_time()) continue;
    const double x = EpochSeconds(ray.aq_start_time());
    if (!t || x < *t) t = x;
  }
  return t;
}

std::optional<double> SweepEndTime(const Sweep& sweep) {
  if (sweep.input_timespan().has_end()) return EpochSeconds(sweep.input_timespan().end());
  std::optional<double> end, start;
  for (const Ray& ray : sweep.rays()) {
    if (ray.has_aq_end_time()) end = std::max(end.value_or(-1e300), EpochSeconds(ray.aq_end_time()));
    if (ray.has_aq_start_time()) start = std::max(start.value_or(-1e300), EpochSeconds(ray.aq_start_time()));
  }
  return end ? end : start;
}

Status WriteOdimDataset(hid_t file, const Volume& volume, int index, const WriteOptions& options,
                        Notes* notes) {
  const Sweep& sweep = volume.sweep(index);
  const SweepConfig* sc = SweepConfigOf(volume, sweep);
  if (sc != nullptr && sc->type() != SweepConfig::PPI && sc->type() != SweepConfig::UNKNOWN) {
    return SweepError(ErrorCode::kInvalidArgument, index, "",
                      "is a " + SweepConfig::SweepType_Name(sc->type()) +
                          " sweep; ODIM polar volumes hold PPI sweeps");
  }
  RangeAxis axis;
  Status s = SweepRange(volume, index, &axis);
  if (!s.ok()) return s;
  Group dataset = CreateGroup(file, "", "dataset" + std::to_string(index + 1));
  Group what = CreateGroup(dataset.id.get(), dataset.path, "what");
  Group where = CreateGroup(dataset.id.get(), dataset.path, "where");
  Group how = CreateGroup(dataset.id.get(), dataset.path, "how");
  if (!dataset.id.valid() || !what.id.valid() || !where.id.valid() || !how.id.valid()) {
    return H5Error(ErrorCode::kIo, dataset.path, "cannot create");
  }
  s = FirstError({WriteDatasetWhat(what.id.get(), sweep, index, notes),
                  WriteDoubleAttr(where.id.get(), "elangle", sweep.description().fixed_angle_deg()),
                  WriteLongAttr(where.id.get(), "nbins", axis.gates),
                  WriteDoubleAttr(where.id.get(), "rstart", (axis.start_m - axis.step_m / 2) / 1000.0),
                  WriteDoubleAttr(where.id.get(), "rscale", axis.step_m),
                  WriteLongAttr(where.id.get(), "nrays", sweep.rays_size()),
                  WriteLongAttr(where.id.get(), "a1gate", sweep.first_azimuth_gate_index()),
                  WriteDatasetHow(how.id.get(), volume, sweep, notes)});
  if (!s.ok()) return s;
  return WriteMoments(dataset, volume, sweep, index, axis, options, notes);
}

// ---- Reading ----------------------------------------------------------------

namespace {

using Levels = OdimLevels;

struct DatasetShape {
  std::int64_t nrays = 0, nbins = 0, a1gate = 0;
  double rstart_km = 0, rscale = 0, elangle = 0;
};

// datasetN/where (else /where, as the inheritance allows).
Status ReadWhere(const Levels& levels, DatasetShape* shape) {
  const std::string p = levels.Inner(Levels::kWhere);
  if (levels.Group(Levels::kWhere, 0) < 0) return H5Error(ErrorCode::kMalformed, p, "missing group");
  std::optional<std::int64_t> a1gate;
  Status s = FirstError({levels.RequireLong(Levels::kWhere, "nrays", &shape->nrays),
                         levels.RequireLong(Levels::kWhere, "nbins", &shape->nbins),
                         levels.RequireDouble(Levels::kWhere, "rstart", &shape->rstart_km),
                         levels.RequireDouble(Levels::kWhere, "rscale", &shape->rscale),
                         levels.RequireDouble(Levels::kWhere, "elangle", &shape->elangle),
                         levels.Long(Levels::kWhere, "a1gate", &a1gate)});
  if (!s.ok()) return s;
  shape->a1gate = a1gate.value_or(0);
  if (shape->nrays < 0 || shape->nrays > kMaxRays) {
    return H5Error(ErrorCode::kTooLarge, p + "/nrays", "nrays " + std::to_string(shape->nrays) +
                                                           " outside 0.." + std::to_string(kMaxRays));
  }
  if (shape->nbins < 0 || shape->nbins > kMaxBins) {
    return H5Error(ErrorCode::kTooLarge, p + "/nbins", "nbins " + std::to_string(shape->nbins) +
                                                           " outside 0.." + std::to_string(kMaxBins));
  }
  if (shape->a1gate < 0 || (shape->nrays > 0 && shape->a1gate >= shape->nrays)) {
    return H5Error(ErrorCode::kInvalidArgument, p + "/a1gate", "a1gate outside the rays");
  }
  return Status::Ok();
}

// A date and time pair of datasetN/what; unset when either is absent.
Status ReadDateClock(hid_t what, const std::string& path, const char* date_name,
                     const char* clock_name, std::optional<std::int64_t>* out) {
  if (!HasAttr(what, date_name) || !HasAttr(what, clock_name)) return Status::Ok();
  std::string date, clock;
  Status s = FirstError({ReadStringAttr(what, path, date_name, &date),
                         ReadStringAttr(what, path, clock_name, &clock)});
  std::int64_t t = 0;
  if (s.ok() && !ParseDateClock(date, clock, &t)) {
    return H5Error(ErrorCode::kInvalidArgument, path + "/" + date_name, "not a date and time");
  }
  if (s.ok()) *out = t;
  return s;
}

// Sweep times from datasetN/what (and how/startepochs, endepochs). A
// dataset without a start takes the volume's /what/date and time; one
// without an end has none.
Status ReadSweepTimes(hid_t file, hid_t what, hid_t how, const std::string& path, Sweep* sweep,
                      Notes* notes) {
  std::string product;
  const std::string wpath = path + "/what";
  Status s = ReadStringAttr(what, wpath, "product", &product);
  if (!s.ok()) return s;
  if (product != "SCAN") {
    return H5Error(ErrorCode::kUnsupported, wpath + "/product",
                   "product " + product + " is not converted (only SCAN)");
  }
  std::optional<std::int64_t> t0, t1;
  s = FirstError({ReadDateClock(what, wpath, "startdate", "starttime", &t0),
                  ReadDateClock(what, wpath, "enddate", "endtime", &t1)});
  if (s.ok() && !t0) {
    s = ReadRootTime(file, &t0);
    if (t0) {
      notes->push_back(
          {NoteKind::kAssumed, wpath + "/startdate", "",
           "datasets without startdate, starttime: /what/date, time taken as their start"});
    }
  }
  if (!s.ok()) return s;
  if (!t0) {
    notes->push_back(
        {NoteKind::kNotCarried, wpath + "/startdate", "",
         "datasets without startdate, starttime (nor /what/date, time): sweep start not carried"});
  }
  if (!t1) {
    notes->push_back({NoteKind::kNotCarried, wpath + "/enddate", "",
                      "datasets without enddate, endtime: sweep end not carried"});
  }
  std::optional<double> e0, e1;
  if (t0) e0 = static_cast<double>(*t0);
  if (t1) e1 = static_cast<double>(*t1);
  // The epochs refine the times when they agree with them to the second.
  for (auto [name, e] : {std::pair{"startepochs", &e0}, std::pair{"endepochs", &e1}}) {
    if (!*e || !HasAttr(how, name)) continue;
    double f = 0;
    s = ReadDoubleAttr(how, path + "/how", name, &f);
    if (!s.ok()) return s;
    if (std::floor(f) == **e) *e = f;
  }
  if (e0) *sweep->mutable_input_timespan()->mutable_start() = FromEpochSeconds(*e0);
  if (e1) *sweep->mutable_input_timespan()->mutable_end() = FromEpochSeconds(*e1);
  return Status::Ok();
}

// Azimuths, elevations and times of the rays from the per-ray arrays; without
// startazA, ray r starts at astart + r * 360 / nrays (astart 0 when absent).
Status ReadRays(const Levels& levels, int index, std::int64_t n, Sweep* sweep) {
  std::vector<double> az0, az1, el0, el1, els, t0, t1;
  std::optional<double> astart;
  const auto count = static_cast<std::size_t>(n);
  Status s = FirstError({levels.Doubles(Levels::kHow, "startazA", count, &az0),
                         levels.Doubles(Levels::kHow, "stopazA", count, &az1),
                         levels.Doubles(Levels::kHow, "startelA", count, &el0),
                         levels.Doubles(Levels::kHow, "stopelA", count, &el1),
                         levels.Doubles(Levels::kHow, "elangles", count, &els),
                         levels.Doubles(Levels::kHow, "startazT", count, &t0),
                         levels.Doubles(Levels::kHow, "stopazT", count, &t1),
                         levels.Double(Levels::kHow, "astart", &astart)});
  if (!s.ok()) return s;
  const double fixed = sweep->description().fixed_angle_deg();
  const double step = n > 0 ? 360.0 / static_cast<double>(n) : 0;
  for (std::int64_t r = 0; r < n; ++r) {
    Ray* ray = sweep->add_rays();
    ray->set_index(static_cast<std::int32_t>(r));
    ray->set_ray_config_index(index);
    double a0 = az0.empty() ? std::fmod(astart.value_or(0) + static_cast<double>(r) * step, 360.0)
                            : az0[r];
    if (az0.empty() && a0 < 0) a0 += 360.0;  // a negative astart: the first ray starts before north
    double span = az0.empty() || az1.empty() ? step : az1[r] - az0[r];
    if (span < 0) span += 360.0;  // the ray crosses north
    ray->mutable_az_range_deg()->set_start_deg(a0);
    ray->mutable_az_range_deg()->set_span_deg(span);
    const double e0 = !el0.empty() ? el0[r] : !els.empty() ? els[r] : fixed;
    ray->mutable_el_range_deg()->set_start_deg(e0);
    ray->mutable_el_range_deg()->set_span_deg(!el0.empty() && !el1.empty() ? el1[r] - el0[r] : 0);
    if (!t0.empty() && std::isfinite(t0[r])) *ray->mutable_aq_start_time() = FromEpochSeconds(t0[r]);
    if (!t1.empty() && std::isfinite(t1[r])) *ray->mutable_aq_end_time() = FromEpochSeconds(t1[r]);
  }
  return Status::Ok();
}

// A per-sweep radar setting: datasetN/how, else /how, else the first
// dataM/how holding it. The model keeps one value per sweep: dataM values
// that differ from it are noted.
Status SweepSetting(const Levels& levels, const std::vector<Levels>& moments, const char* name,
                    std::optional<double>* out, Notes* notes) {
  Status s = levels.Double(Levels::kHow, name, out);
  for (const Levels& m : moments) {
    const hid_t how = m.Group(Levels::kHow, 0);
    if (!s.ok() || !HasAttr(how, name)) continue;
    double v = 0;
    s = ReadDoubleAttr(how, m.Inner(Levels::kHow), name, &v);
    if (s.ok() && !*out) *out = v;
    if (s.ok() && **out != v) {
      notes->push_back({NoteKind::kNotCarried, m.Inner(Levels::kHow) + "/" + name, "",
                        "how/" + std::string(name) + " of a moment differs from its sweep's; " +
                            "the sweep's kept (" + m.Inner(Levels::kHow) + ")"});
    }
  }
  return s;
}

// The radar settings of the sweep (datasetN/how, /how, dataM/how) into its
// configurations.
Status ReadDatasetHow(const Levels& levels, const std::vector<Levels>& moments, SweepConfig* sc,
                      RayConfig* rc, Sweep* sweep, Notes* notes) {
  std::optional<std::int64_t> index;
  std::optional<std::string> task;
  std::optional<double> rpm, ni, high, low, width, wavelength;
  Status s = FirstError({levels.Long(Levels::kHow, "scan_index", &index),
                         levels.String(Levels::kHow, "task", &task),
                         SweepSetting(levels, moments, "rpm", &rpm, notes),
                         SweepSetting(levels, moments, "NI", &ni, notes),
                         SweepSetting(levels, moments, "highprf", &high, notes),
                         SweepSetting(levels, moments, "lowprf", &low, notes),
                         SweepSetting(levels, moments, "pulsewidth", &width, notes),
                         SweepSetting(levels, moments, "wavelength", &wavelength, notes)});
  if (!s.ok()) return s;
  if (index) sweep->set_index_in_task(static_cast<std::int32_t>(*index - 1));
  if (task) sweep->set_task_name(*task);
  if (rpm) sc->set_speed_deg_per_sec(*rpm * 6.0);
  if (ni) rc->set_unamb_velocity_m_p_s(*ni);
  for (const auto& prf : {high, low}) {
    if (!prf) continue;
    rc->mutable_pulse_sequence()->set_type(kyt::pb::common::PulseSequence::PRF);
    rc->mutable_pulse_sequence()->add_prf(*prf);
  }
  if (width || (wavelength && *wavelength > 0)) {
    auto* pd = rc->pulse_definition_size() > 0 ? rc->mutable_pulse_definition(0) : rc->add_pulse_definition();
    if (width) pd->add_pulse_width_usec(*width);
    if (wavelength && *wavelength > 0) pd->add_rf_frequency_mhz(FrequencyMhz(*wavelength));
  }
  return Status::Ok();
}

// A code as a note shows it (-9.99e+33, 255).
std::string CodeText(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", v);
  return text;
}

bool WholeCode(std::optional<double> v) {
  return v && std::isfinite(*v) && *v == std::floor(*v) && *v >= -2147483648.0 && *v <= 2147483647.0;
}

bool IsFloat(int storage) { return storage == DataBuffer::FLOAT || storage == DataBuffer::DOUBLE; }

// A code no sample of the storage type holds: what a moment gets when the
// file names no code for missing samples.
std::int32_t UnusedCode(int storage) {
  return storage == DataBuffer::UINT8 || storage == DataBuffer::UINT16
             ? -1 : std::numeric_limits<std::int32_t>::min();
}

// The moment's scale from what/gain, offset, nodata, undetect (see odim.h for
// what is assumed when some are absent). *nan_codes: codes of float samples
// that are to be read as NaN.
Status ReadScale(const Levels& levels, const std::string& name, int storage, DataDescriptor* d,
                 std::vector<double>* nan_codes, Notes* notes) {
  std::optional<double> gain, offset, nodata, undetect;
  Status s = FirstError({levels.Double(Levels::kWhat, "gain", &gain),
                         levels.Double(Levels::kWhat, "offset", &offset),
                         levels.Double(Levels::kWhat, "nodata", &nodata),
                         levels.Double(Levels::kWhat, "undetect", &undetect)});
  if (!s.ok()) return s;
  const std::string what = levels.Inner(Levels::kWhat);
  const bool floats = IsFloat(storage);
  if (!floats && !gain) return H5Error(ErrorCode::kMalformed, what + "/gain", "missing attribute");
  if (!floats && !offset) return H5Error(ErrorCode::kMalformed, what + "/offset", "missing attribute");
  if (!gain || !offset) {
    notes->push_back({NoteKind::kAssumed, what + (gain ? "/offset" : "/gain"), name,
                      "no gain or offset; float samples taken as they are"});
  }
  const double g = gain.value_or(1), o = offset.value_or(0);
  for (const auto& code : {nodata, undetect}) {
    if (code && !WholeCode(code)) {
      if (floats && !std::isnan(*code)) {
        nan_codes->push_back(*code);
        notes->push_back(
            {NoteKind::kConverted, what, name,
             "samples equal to the code " + CodeText(*code) + " read as missing (NaN)"});
      } else if (!floats) {
        notes->push_back({NoteKind::kNotCarried, what, name,
                          "code " + CodeText(*code) + " is no 32-bit whole number; not carried"});
      }
    }
  }
  const bool has_nodata = WholeCode(nodata), has_undetect = WholeCode(undetect);
  auto* scale = d->mutable_scale();
  if (floats && !has_nodata && !has_undetect && g == 1 && o == 0) {
    scale->set_type(DataDescriptor::DataScale::NONE);  // NaN is the only missing value
    return Status::Ok();
  }
  scale->set_type(DataDescriptor::DataScale::LINEAR);
  auto* lin = scale->mutable_linear_scale();
  lin->set_step(g);
  lin->set_offset(o);
  // One code for both when the file gives only one; a code no sample holds
  // when it gives none.
  const std::int32_t none = UnusedCode(storage);
  const auto code = [](std::optional<double> v) { return static_cast<std::int32_t>(*v); };
  lin->set_not_scanned(has_nodata ? code(nodata) : has_undetect ? code(undetect) : none);
  lin->set_under_threshold(has_undetect ? code(undetect) : lin->not_scanned());
  if (!floats && !has_nodata && !has_undetect) {
    notes->push_back({NoteKind::kAssumed, what + "/nodata", name,
                      "no nodata or undetect code; every sample taken as measured"});
  } else if (!floats && !has_undetect) {
    notes->push_back({NoteKind::kAssumed, what + "/undetect", name,
                      "no undetect code; nodata is its only code"});
  } else if (!floats && !has_nodata) {
    notes->push_back(
        {NoteKind::kAssumed, what + "/nodata", name, "no nodata code; undetect is its only code"});
  }
  return Status::Ok();
}

template <typename T>
void NaNWhere(std::string* bytes, double code, bool swap) {
  const T target = static_cast<T>(code), nan = std::numeric_limits<T>::quiet_NaN();
  char* p = bytes->data();
  for (std::size_t i = 0; i + sizeof(T) <= bytes->size(); i += sizeof(T)) {
    char raw[sizeof(T)];
    std::memcpy(raw, p + i, sizeof(T));
    if (swap) std::reverse(raw, raw + sizeof(T));
    T v;
    std::memcpy(&v, raw, sizeof(T));
    if (v != target) continue;
    std::memcpy(raw, &nan, sizeof(T));
    if (swap) std::reverse(raw, raw + sizeof(T));
    std::memcpy(p + i, raw, sizeof(T));
  }
}

// Float samples equal to one of `codes` become NaN, in the stored byte order.
void NaNForCodes(const std::vector<double>& codes, DataBuffer* buffer) {
  const std::uint16_t probe = 1;
  const bool little_host = *reinterpret_cast<const unsigned char*>(&probe) == 1;
  const bool swap = (buffer->endian() == DataBuffer::BIG) == little_host;
  for (double code : codes) {
    if (buffer->type() == DataBuffer::FLOAT) NaNWhere<float>(buffer->mutable_data(), code, swap);
    if (buffer->type() == DataBuffer::DOUBLE) NaNWhere<double>(buffer->mutable_data(), code, swap);
  }
}

Status ReadSamples(hid_t group, const std::string& path, const DatasetShape& shape, bool samples,
                   DataBuffer* buffer) {
  if (!HasLink(group, "data")) return H5Error(ErrorCode::kMalformed, path + "/data", "missing dataset");
  H5Id data(H5Dopen2(group, "data", H5P_DEFAULT));
  if (!data.valid()) return H5Error(ErrorCode::kMalformed, path + "/data", "not a dataset");
  const Result<H5Id> space =
      H5Checked(H5Dget_space(data.get()), "H5Dget_space", path + "/data", ErrorCode::kMalformed);
  const Result<H5Id> type =
      H5Checked(H5Dget_type(data.get()), "H5Dget_type", path + "/data", ErrorCode::kMalformed);
  if (!space.ok() || !type.ok()) return space.ok() ? type.status() : space.status();
  hsize_t dims[2] = {0, 0};
  if (H5Sget_simple_extent_ndims(space->get()) != 2 ||
      H5Sget_simple_extent_dims(space->get(), dims, nullptr) != 2 ||
      dims[0] != static_cast<hsize_t>(shape.nrays) ||
      dims[1] != static_cast<hsize_t>(shape.nbins)) {
    return H5Error(ErrorCode::kInvalidArgument, path + "/data",
                   "shape " + std::to_string(dims[0]) + " x " + std::to_string(dims[1]) +
                       " disagrees with nrays x nbins " + std::to_string(shape.nrays) + " x " +
                       std::to_string(shape.nbins));
  }
  int storage = 0, endian = 0;
  if (!StorageOf(type->get(), &storage, &endian)) {
    return H5Error(ErrorCode::kUnsupported, path + "/data", "sample type the model cannot hold");
  }
  const std::int64_t bytes = shape.nrays * shape.nbins * SampleWidth(storage);
  if (bytes > kMaxBufferBytes) return H5Error(ErrorCode::kTooLarge, path + "/data", "2 GiB or more");
  buffer->set_type(static_cast<DataBuffer::StorageType>(storage));
  buffer->set_endian(static_cast<DataBuffer::Endianness>(endian));
  buffer->set_compression(DataBuffer::NONE);
  buffer->set_uncompressed_size(static_cast<std::int32_t>(bytes));
  if (!samples || bytes == 0) return Status::Ok();
  hsize_t file_size = 0;
  H5Id file(H5Iget_file_id(data.get()));
  if (!file.valid() || H5Fget_filesize(file.get(), &file_size) < 0 ||
      bytes > MaxSampleBytes(file_size)) {
    return H5Error(ErrorCode::kTooLarge, path + "/data",
                   std::to_string(bytes) + " bytes of samples declared, more than a file of " +
                       std::to_string(file_size) + " bytes can hold");
  }
  if (H5Dget_storage_size(data.get()) == 0) {
    return H5Error(ErrorCode::kMalformed, path + "/data", "dataset has no stored samples");
  }
  std::string* out = buffer->mutable_data();
  out->resize(static_cast<std::size_t>(bytes));
  // Read in the file's own type: no conversion, the bytes as stored.
  if (H5Dread(data.get(), type->get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, out->data()) < 0) {
    out->clear();
    return H5Error(ErrorCode::kMalformed, path + "/data", "cannot read the samples (truncated?)");
  }
  return Status::Ok();
}

// One dataM or qualityK group as moment `name`: samples, then the scale
// (which depends on their type).
Status ReadMomentGroup(hid_t group, const Levels& levels, const std::string& path,
                       const std::string& name, const DatasetShape& shape, bool samples,
                       Sweep* sweep, DataDescriptor* d, Notes* notes) {
  DataBuffer buffer;
  std::vector<double> nan_codes;
  Status s = ReadSamples(group, path, shape, samples, &buffer);
  if (s.ok()) s = ReadScale(levels, name, buffer.type(), d, &nan_codes, notes);
  if (!s.ok()) return s;
  NaNForCodes(nan_codes, &buffer);
  (*sweep->mutable_sweep_moments())[name] = std::move(buffer);
  return Status::Ok();
}

// The qualityK groups under `parent` (a dataset or a dataM group): moment
// "<quantity>" for a dataset's, "<quantity>_<moment>" for a moment's, the
// quantity being what/quantity, else "QUALITY<K>".
Status ReadQualityGroups(hid_t parent, const std::string& parent_path, const std::string& qualifies,
                         const DatasetShape& shape, bool samples, Sweep* sweep, SweepConfig* sc,
                         Notes* notes) {
  for (int k = 1; k <= kMaxMoments && HasLink(parent, "quality" + std::to_string(k)); ++k) {
    const std::string path = parent_path + "/quality" + std::to_string(k);
    H5Id group = OpenGroup(parent, "quality" + std::to_string(k));
    if (!group.valid()) return H5Error(ErrorCode::kMalformed, path, "not a group");
    const Levels levels({{group.get(), path}});  // a quality group inherits nothing
    std::optional<std::string> quantity, task;
    Status s = FirstError({levels.String(Levels::kWhat, "quantity", &quantity),
                           levels.String(Levels::kHow, "task", &task)});
    if (!s.ok()) return s;
    std::string name = quantity && !quantity->empty() ? *quantity : "QUALITY" + std::to_string(k);
    if (!qualifies.empty()) name += "_" + qualifies;
    if (sweep->sweep_moments().count(name) != 0) {
      notes->push_back({NoteKind::kNotCarried, path, "",
                        path + ": a second " + name + " in the sweep; not carried"});
      continue;
    }
    DataDescriptor d = DescriptorFor(quantity ? *quantity : name);
    d.set_short_name(name);
    d.set_is_quality_parameter(true);
    if (task) d.set_description(*task);
    s = ReadMomentGroup(group.get(), levels, path, name, shape, samples, sweep, &d, notes);
    if (!s.ok()) return s;
    (*sc->mutable_data_moments())[name] = std::move(d);
  }
  return Status::Ok();
}

Status ReadMoment(hid_t group, const Levels& levels, const std::string& path,
                  const DatasetShape& shape, bool samples, Sweep* sweep, SweepConfig* sc,
                  Notes* notes) {
  std::string name;
  Status s = levels.RequireString(Levels::kWhat, "quantity", &name);
  if (!s.ok()) return s;
  if (name.empty()) return H5Error(ErrorCode::kMalformed, path + "/what/quantity", "empty");
  if (sweep->sweep_moments().count(name) != 0) {
    notes->push_back({NoteKind::kNotCarried, path, "",
                      path + ": a second " + name + " in the sweep; not carried"});
    return Status::Ok();
  }
  DataDescriptor d = DescriptorFor(name);
  s = ReadMomentGroup(group, levels, path, name, shape, samples, sweep, &d, notes);
  if (!s.ok()) return s;
  if (FindQuantity(name) == nullptr) {
    notes->push_back({NoteKind::kUnknownName, path + "/what/quantity", name,
                      "unknown ODIM quantity, kept under its name"});
  }
  (*sc->mutable_data_moments())[name] = std::move(d);
  return ReadQualityGroups(group, path, name, shape, samples, sweep, sc, notes);
}

// The sweep's description and configurations from its shape.
void SetGeometry(const DatasetShape& shape, int index, Volume* volume) {
  Sweep* sweep = volume->mutable_sweep(index);
  auto* config = volume->mutable_volume_config();
  SweepConfig* sc = config->mutable_sweep_config(index);
  RayConfig* rc = config->mutable_ray_config(index);
  sweep->mutable_description()->mutable_config()->set_sweep_config_index(index);
  sweep->mutable_description()->set_fixed_angle_deg(shape.elangle);
  sweep->set_first_azimuth_gate_index(static_cast<std::int32_t>(shape.a1gate));
  *config->mutable_sweep_descriptions(index) = sweep->description();
  sc->set_type(SweepConfig::PPI);
  sc->add_ray_config_ref()->set_ray_config_index(index);
  for (auto* range : {sc->mutable_range_scale()->add_range_m(), rc->mutable_range_scale()->add_range_m()}) {
    range->set_start(shape.rstart_km * 1000.0 + shape.rscale / 2);
    range->set_step(shape.rscale);
    range->set_count(static_cast<std::int32_t>(shape.nbins));
  }
  if (shape.nrays > 0) sc->set_ray_angle_res(360.0 / static_cast<double>(shape.nrays));
}

}  // namespace

Status ReadOdimDataset(hid_t file, int index, bool samples, Volume* volume, Notes* notes) {
  const std::string path = "/dataset" + std::to_string(index + 1);
  H5Id dataset = OpenGroup(file, path.substr(1));
  if (!dataset.valid()) return H5Error(ErrorCode::kMalformed, path, "not a group");
  const Levels levels({{dataset.get(), path}, {file, ""}});
  const hid_t what = levels.Group(Levels::kWhat, 0), how = levels.Group(Levels::kHow, 0);
  if (what < 0) return H5Error(ErrorCode::kMalformed, path + "/what", "missing group");
  DatasetShape shape;
  Sweep* sweep = volume->mutable_sweep(index);
  SweepConfig* sc = volume->mutable_volume_config()->mutable_sweep_config(index);
  RayConfig* rc = volume->mutable_volume_config()->mutable_ray_config(index);
  Status s = FirstError({ReadWhere(levels, &shape),
                         ReadSweepTimes(file, what, how, path, sweep, notes)});
  if (!s.ok()) return s;
  SetGeometry(shape, index, volume);
  std::vector<H5Id> groups;
  std::vector<Levels> moments;
  for (int m = 1; m <= kMaxMoments && HasLink(dataset.get(), "data" + std::to_string(m)); ++m) {
    const std::string name = "data" + std::to_string(m);
    groups.push_back(OpenGroup(dataset.get(), name));
    if (!groups.back().valid()) return H5Error(ErrorCode::kMalformed, path + "/" + name, "not a group");
    moments.emplace_back(groups.back().get(), path + "/" + name, levels);
  }
  s = ReadDatasetHow(levels, moments, sc, rc, sweep, notes);
  for (std::size_t m = 0; s.ok() && m < groups.size(); ++m) {
    s = ReadMoment(groups[m].get(), moments[m], path + "/data" + std::to_string(m + 1), shape,
                   samples, sweep, sc, notes);
  }
  if (s.ok()) s = ReadQualityGroups(dataset.get(), path, "", shape, samples, sweep, sc, notes);
  if (s.ok()) s = ReadRays(levels, index, shape.nrays, sweep);
  if (s.ok() && DeriveRayTimes(sweep)) {
    notes->push_back(
        {NoteKind::kDerived, path + "/how/startazT", "",
         "ray times derived from the sweeps' start and end (the file has no how/startazT)"});
  }
  return s;
}

}  // namespace formats
}  // namespace common_dto
