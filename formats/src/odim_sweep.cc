// ODIM_H5: one datasetN group per sweep, one dataM group per moment.
#include <algorithm>
#include <cmath>
#include <limits>

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

Status FirstError(std::initializer_list<Status> statuses) {
  for (const Status& s : statuses) {
    if (!s.ok()) return s;
  }
  return Status::Ok();
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
    return OdimScale{lin.step(), lin.offset(), static_cast<double>(lin.not_scanned()),
                     static_cast<double>(lin.under_threshold())};
  }
  notes->push_back("moment " + name +
                   ": no linear scale; written with gain 1, offset 0 and no nodata or "
                   "undetect code");
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

Status WriteSamples(hid_t group, const std::string& path, const DataBuffer& buffer,
                    const RangeAxis& axis, std::int64_t rays, int level) {
  const hid_t file_type = FileTypeOf(buffer.type(), buffer.endian());
  if (file_type < 0) return H5Error(ErrorCode::kUnsupported, path, "storage type not writable");
  std::string scratch;
  std::string_view samples;
  Status s = SweepSamples(buffer, rays, axis.gates, &scratch, &samples);
  if (!s.ok()) return s.Wrap(path + ": ");
  const hsize_t dims[2] = {static_cast<hsize_t>(rays), static_cast<hsize_t>(axis.gates)};
  H5Id space(H5Screate_simple(2, dims, nullptr));
  H5Id dcpl(H5Pcreate(H5P_DATASET_CREATE));
  if (level > 0 && rays > 0 && axis.gates > 0) {
    H5Pset_chunk(dcpl.get(), 2, dims);
    H5Pset_deflate(dcpl.get(), static_cast<unsigned>(level));
  }
  H5Id data(H5Dcreate2(group, "data", file_type, space.get(), H5P_DEFAULT, dcpl.get(), H5P_DEFAULT));
  if (!data.valid() ||
      H5Dwrite(data.get(), file_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, samples.data()) < 0) {
    return H5Error(ErrorCode::kIo, path + "/data", "cannot write the samples");
  }
  return FirstError({WriteStringAttr(data.get(), "CLASS", "IMAGE"),
                     WriteStringAttr(data.get(), "IMAGE_VERSION", "1.2")});
}

Status WriteMoment(hid_t parent, const std::string& parent_path, int m, const Volume& volume,
                   const Sweep& sweep, const std::string& name, const RangeAxis& axis,
                   const WriteOptions& options, Notes* notes) {
  Group group = CreateGroup(parent, parent_path, "data" + std::to_string(m));
  Group what = CreateGroup(group.id.get(), group.path, "what");
  if (!group.id.valid() || !what.id.valid()) return H5Error(ErrorCode::kIo, group.path, "cannot create");
  const DataBuffer& buffer = sweep.sweep_moments().at(name);
  const DataDescriptor* d = FindMomentDescriptor(
      volume.has_volume_config() ? &volume.volume_config() : nullptr, sweep.description(),
      sweep.rays_size() > 0 ? &sweep.rays(0) : nullptr, name);
  if (FindQuantity(name) == nullptr) {
    notes->push_back("moment " + name + ": not an ODIM quantity, written under its own name");
  }
  const OdimScale scale = ScaleOf(d, buffer.type(), name, notes);
  Status s = FirstError({WriteStringAttr(what.id.get(), "quantity", name),
                         WriteDoubleAttr(what.id.get(), "gain", scale.gain),
                         WriteDoubleAttr(what.id.get(), "offset", scale.offset),
                         WriteDoubleAttr(what.id.get(), "nodata", scale.nodata),
                         WriteDoubleAttr(what.id.get(), "undetect", scale.undetect)});
  if (!s.ok()) return s;
  return WriteSamples(group.id.get(), group.path, buffer, axis, sweep.rays_size(),
                      options.compression_level);
}

// startazA/stopazA, elevations and times of the rays.
Status WriteRayArrays(hid_t how, const Sweep& sweep) {
  const int n = sweep.rays_size();
  std::vector<double> az0(n), az1(n), el0(n), el1(n), t0(n), t1(n);
  bool el_span = false, times = false;
  for (int r = 0; r < n; ++r) {
    const Ray& ray = sweep.rays(r);
    az0[r] = ray.az_range_deg().start_deg();
    az1[r] = az0[r] + ray.az_range_deg().span_deg();
    el0[r] = ray.el_range_deg().start_deg();
    el1[r] = el0[r] + ray.el_range_deg().span_deg();
    el_span |= ray.el_range_deg().span_deg() != 0;
    times |= ray.has_aq_start_time() || ray.has_aq_end_time();
    // A time the ray lacks is written as NaN, and read back as unset.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    t0[r] = ray.has_aq_start_time() ? EpochSeconds(ray.aq_start_time()) : nan;
    t1[r] = ray.has_aq_end_time() ? EpochSeconds(ray.aq_end_time()) : nan;
  }
  Status s = FirstError({WriteDoublesAttr(how, "startazA", az0), WriteDoublesAttr(how, "stopazA", az1),
                         WriteDoublesAttr(how, "elangles", el0)});
  if (s.ok() && el_span) {
    s = FirstError({WriteDoublesAttr(how, "startelA", el0), WriteDoublesAttr(how, "stopelA", el1)});
  }
  if (s.ok() && times) {
    s = FirstError({WriteDoublesAttr(how, "startazT", t0), WriteDoublesAttr(how, "stopazT", t1)});
  }
  return s;
}

// Start and end of a sweep (ODIM requires both): its time span, else its
// rays' first start and last end.
void SweepTimes(const Sweep& sweep, std::int64_t* start_s, std::int64_t* end_s,
                double* start = nullptr, double* end = nullptr) {
  double t0 = EpochSeconds(sweep.input_timespan().start());
  double t1 = EpochSeconds(sweep.input_timespan().end());
  for (const Ray& ray : sweep.rays()) {
    if (!sweep.input_timespan().has_start() && ray.has_aq_start_time()) {
      const double t = EpochSeconds(ray.aq_start_time());
      t0 = t0 == 0 ? t : std::min(t0, t);
    }
    if (!sweep.input_timespan().has_end() && ray.has_aq_end_time()) t1 = std::max(t1, EpochSeconds(ray.aq_end_time()));
  }
  if (t1 == 0) t1 = t0;
  *start_s = static_cast<std::int64_t>(std::floor(t0));
  *end_s = static_cast<std::int64_t>(std::floor(t1));
  if (start != nullptr) *start = t0;
  if (end != nullptr) *end = t1;
}

Status WriteDatasetHow(hid_t how, const Volume& volume, const Sweep& sweep) {
  std::int64_t start_s = 0, end_s = 0;
  double start = 0, end = 0;
  SweepTimes(sweep, &start_s, &end_s, &start, &end);
  Status s = FirstError({WriteRayArrays(how, sweep),
                         WriteLongAttr(how, "scan_index", sweep.index_in_task() + 1),
                         WriteDoubleAttr(how, "startepochs", start), WriteDoubleAttr(how, "endepochs", end)});
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
  return s;
}

}  // namespace

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
  std::int64_t start = 0, end = 0;
  SweepTimes(sweep, &start, &end);
  s = FirstError({WriteStringAttr(what.id.get(), "product", "SCAN"),
                  WriteStringAttr(what.id.get(), "startdate", FormatDate(start)),
                  WriteStringAttr(what.id.get(), "starttime", FormatClock(start)),
                  WriteStringAttr(what.id.get(), "enddate", FormatDate(end)),
                  WriteStringAttr(what.id.get(), "endtime", FormatClock(end)),
                  WriteDoubleAttr(where.id.get(), "elangle", sweep.description().fixed_angle_deg()),
                  WriteLongAttr(where.id.get(), "nbins", axis.gates),
                  WriteDoubleAttr(where.id.get(), "rstart", (axis.start_m - axis.step_m / 2) / 1000.0),
                  WriteDoubleAttr(where.id.get(), "rscale", axis.step_m),
                  WriteLongAttr(where.id.get(), "nrays", sweep.rays_size()),
                  WriteLongAttr(where.id.get(), "a1gate", sweep.first_azimuth_gate_index()),
                  WriteDatasetHow(how.id.get(), volume, sweep)});
  const std::vector<std::string> names = MomentNames(sweep);
  for (std::size_t m = 0; s.ok() && m < names.size(); ++m) {
    s = WriteMoment(dataset.id.get(), dataset.path, static_cast<int>(m + 1), volume, sweep,
                    names[m], axis, options, notes);
  }
  return s;
}

// ---- Reading ----------------------------------------------------------------

namespace {

struct DatasetShape {
  std::int64_t nrays = 0, nbins = 0, a1gate = 0;
  double rstart_km = 0, rscale = 0, elangle = 0;
};

Status ReadWhere(hid_t dataset, const std::string& path, DatasetShape* shape) {
  H5Id where = OpenGroup(dataset, "where");
  const std::string p = path + "/where";
  if (!where.valid()) return H5Error(ErrorCode::kMalformed, p, "missing group");
  Status s = FirstError({ReadLongAttr(where.get(), p, "nrays", &shape->nrays),
                         ReadLongAttr(where.get(), p, "nbins", &shape->nbins),
                         ReadDoubleAttr(where.get(), p, "rstart", &shape->rstart_km),
                         ReadDoubleAttr(where.get(), p, "rscale", &shape->rscale),
                         ReadDoubleAttr(where.get(), p, "elangle", &shape->elangle)});
  if (s.ok() && HasAttr(where.get(), "a1gate")) s = ReadLongAttr(where.get(), p, "a1gate", &shape->a1gate);
  if (!s.ok()) return s;
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

// Sweep times from datasetN/what (and how/startepochs, endepochs).
Status ReadSweepTimes(hid_t what, hid_t how, const std::string& path, Sweep* sweep) {
  std::string product, d0, c0, d1, c1;
  Status s = ReadStringAttr(what, path + "/what", "product", &product);
  if (!s.ok()) return s;
  if (product != "SCAN") {
    return H5Error(ErrorCode::kUnsupported, path + "/what/product",
                   "product " + product + " is not converted (only SCAN)");
  }
  s = FirstError({ReadStringAttr(what, path + "/what", "startdate", &d0),
                  ReadStringAttr(what, path + "/what", "starttime", &c0),
                  ReadStringAttr(what, path + "/what", "enddate", &d1),
                  ReadStringAttr(what, path + "/what", "endtime", &c1)});
  if (!s.ok()) return s;
  std::int64_t t0 = 0, t1 = 0;
  if (!ParseDateClock(d0, c0, &t0) || !ParseDateClock(d1, c1, &t1)) {
    return H5Error(ErrorCode::kInvalidArgument, path + "/what/startdate", "not a date and time");
  }
  double e0 = static_cast<double>(t0), e1 = static_cast<double>(t1);
  // The epochs refine the times when they agree with them to the second.
  if (HasAttr(how, "startepochs") && HasAttr(how, "endepochs")) {
    double f0 = 0, f1 = 0;
    s = FirstError({ReadDoubleAttr(how, path + "/how", "startepochs", &f0),
                    ReadDoubleAttr(how, path + "/how", "endepochs", &f1)});
    if (!s.ok()) return s;
    if (std::floor(f0) == e0) e0 = f0;
    if (std::floor(f1) == e1) e1 = f1;
  }
  *sweep->mutable_input_timespan()->mutable_start() = FromEpochSeconds(e0);
  *sweep->mutable_input_timespan()->mutable_end() = FromEpochSeconds(e1);
  return Status::Ok();
}

// An optional per-ray array: empty when absent.
Status RayArray(hid_t how, const std::string& path, const char* name, std::int64_t n,
                std::vector<double>* out) {
  out->clear();
  if (how < 0 || !HasAttr(how, name)) return Status::Ok();
  return ReadDoublesAttr(how, path + "/how", name, static_cast<std::size_t>(n), out);
}

Status ReadRays(hid_t how, const std::string& path, int index, std::int64_t n, Sweep* sweep) {
  std::vector<double> az0, az1, el0, el1, els, t0, t1;
  Status s = FirstError({RayArray(how, path, "startazA", n, &az0), RayArray(how, path, "stopazA", n, &az1),
                         RayArray(how, path, "startelA", n, &el0), RayArray(how, path, "stopelA", n, &el1),
                         RayArray(how, path, "elangles", n, &els), RayArray(how, path, "startazT", n, &t0),
                         RayArray(how, path, "stopazT", n, &t1)});
  if (!s.ok()) return s;
  const double fixed = sweep->description().fixed_angle_deg();
  for (std::int64_t r = 0; r < n; ++r) {
    Ray* ray = sweep->add_rays();
    ray->set_index(static_cast<std::int32_t>(r));
    ray->set_ray_config_index(index);
    const double step = 360.0 / static_cast<double>(n);
    const double a0 = az0.empty() ? static_cast<double>(r) * step : az0[r];
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

// The radar settings of datasetN/how into the sweep's configurations.
Status ReadDatasetHow(hid_t how, const std::string& path, SweepConfig* sc, RayConfig* rc,
                      Sweep* sweep) {
  if (how < 0) return Status::Ok();
  const std::string p = path + "/how";
  double v = 0;
  std::int64_t n = 0;
  Status s;
  if (HasAttr(how, "scan_index") && (s = ReadLongAttr(how, p, "scan_index", &n)).ok()) {
    sweep->set_index_in_task(static_cast<std::int32_t>(n - 1));
  }
  std::string task;
  if (s.ok() && HasAttr(how, "task") && (s = ReadStringAttr(how, p, "task", &task)).ok()) {
    sweep->set_task_name(task);
  }
  if (s.ok() && HasAttr(how, "rpm") && (s = ReadDoubleAttr(how, p, "rpm", &v)).ok()) {
    sc->set_speed_deg_per_sec(v * 6.0);
  }
  if (s.ok() && HasAttr(how, "NI") && (s = ReadDoubleAttr(how, p, "NI", &v)).ok()) {
    rc->set_unamb_velocity_m_p_s(v);
  }
  for (const char* name : {"highprf", "lowprf"}) {
    if (s.ok() && HasAttr(how, name) && (s = ReadDoubleAttr(how, p, name, &v)).ok()) {
      rc->mutable_pulse_sequence()->set_type(kyt::pb::common::PulseSequence::PRF);
      rc->mutable_pulse_sequence()->add_prf(v);
    }
  }
  if (s.ok() && HasAttr(how, "pulsewidth") && (s = ReadDoubleAttr(how, p, "pulsewidth", &v)).ok()) {
    auto* pd = rc->pulse_definition_size() > 0 ? rc->mutable_pulse_definition(0) : rc->add_pulse_definition();
    pd->add_pulse_width_usec(v);
  }
  return s;
}

// A whole-number code for nodata/undetect, or a note.
void SetCode(double value, const std::string& name, const char* what, Notes* notes,
             void (DataDescriptor::DataScale::LinearDataScale::*set)(std::int32_t),
             DataDescriptor::DataScale::LinearDataScale* lin) {
  if (std::isfinite(value) && value == std::floor(value) && value >= -2147483648.0 &&
      value <= 2147483647.0) {
    (lin->*set)(static_cast<std::int32_t>(value));
  } else {
    notes->push_back("moment " + name + ": " + what + " " + std::to_string(value) +
                     " is no 32-bit whole number; not carried");
  }
}

Status ReadScale(const std::vector<hid_t>& whats, const std::string& path,
                 const std::string& name, DataDescriptor* d, Notes* notes) {
  double gain = 0, offset = 0, nodata = 0, undetect = 0;
  const char* names[] = {"gain", "offset", "nodata", "undetect"};
  double* values[] = {&gain, &offset, &nodata, &undetect};
  for (int i = 0; i < 4; ++i) {
    const hid_t obj = FindAttr(whats, names[i]);
    if (obj < 0) return H5Error(ErrorCode::kMalformed, path + "/what/" + names[i], "missing attribute");
    Status s = ReadDoubleAttr(obj, path + "/what", names[i], values[i]);
    if (!s.ok()) return s;
  }
  auto* scale = d->mutable_scale();
  scale->set_type(DataDescriptor::DataScale::LINEAR);
  auto* lin = scale->mutable_linear_scale();
  lin->set_step(gain);
  lin->set_offset(offset);
  SetCode(nodata, name, "nodata", notes, &DataDescriptor::DataScale::LinearDataScale::set_not_scanned, lin);
  SetCode(undetect, name, "undetect", notes,
          &DataDescriptor::DataScale::LinearDataScale::set_under_threshold, lin);
  return Status::Ok();
}

Status ReadSamples(hid_t group, const std::string& path, const DatasetShape& shape, bool samples,
                   DataBuffer* buffer) {
  if (!HasLink(group, "data")) return H5Error(ErrorCode::kMalformed, path + "/data", "missing dataset");
  H5Id data(H5Dopen2(group, "data", H5P_DEFAULT));
  if (!data.valid()) return H5Error(ErrorCode::kMalformed, path + "/data", "not a dataset");
  H5Id space(H5Dget_space(data.get()));
  hsize_t dims[2] = {0, 0};
  if (H5Sget_simple_extent_ndims(space.get()) != 2 ||
      H5Sget_simple_extent_dims(space.get(), dims, nullptr) != 2 ||
      dims[0] != static_cast<hsize_t>(shape.nrays) || dims[1] != static_cast<hsize_t>(shape.nbins)) {
    return H5Error(ErrorCode::kInvalidArgument, path + "/data",
                   "shape " + std::to_string(dims[0]) + " x " + std::to_string(dims[1]) +
                       " disagrees with nrays x nbins " + std::to_string(shape.nrays) + " x " +
                       std::to_string(shape.nbins));
  }
  H5Id type(H5Dget_type(data.get()));
  int storage = 0, endian = 0;
  if (!StorageOf(type.get(), &storage, &endian)) {
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
  if (H5Dread(data.get(), type.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, out->data()) < 0) {
    out->clear();
    return H5Error(ErrorCode::kMalformed, path + "/data", "cannot read the samples (truncated?)");
  }
  return Status::Ok();
}

Status ReadMoment(hid_t file, hid_t dataset, const std::string& dpath, int m, const DatasetShape& shape,
                  bool samples, Sweep* sweep, SweepConfig* sc, Notes* notes) {
  const std::string path = dpath + "/data" + std::to_string(m);
  H5Id group = OpenGroup(dataset, "data" + std::to_string(m));
  H5Id what = OpenGroup(group.get(), "what"), dwhat = OpenGroup(dataset, "what"),
       rwhat = OpenGroup(file, "what");
  const std::vector<hid_t> whats = {what.get(), dwhat.get(), rwhat.get()};
  const hid_t qobj = FindAttr(whats, "quantity");
  if (qobj < 0) return H5Error(ErrorCode::kMalformed, path + "/what/quantity", "missing attribute");
  std::string name;
  Status s = ReadStringAttr(qobj, path + "/what", "quantity", &name);
  if (!s.ok()) return s;
  if (name.empty()) return H5Error(ErrorCode::kMalformed, path + "/what/quantity", "empty");
  if (sweep->sweep_moments().count(name) != 0) {
    notes->push_back(path + ": a second " + name + " in the sweep; not carried");
    return Status::Ok();
  }
  DataDescriptor d = DescriptorFor(name);
  s = ReadScale(whats, path, name, &d, notes);
  if (s.ok()) s = ReadSamples(group.get(), path, shape, samples, &(*sweep->mutable_sweep_moments())[name]);
  if (!s.ok()) {
    sweep->mutable_sweep_moments()->erase(name);
    return s;
  }
  if (FindQuantity(name) == nullptr) notes->push_back("moment " + name + ": unknown ODIM quantity, kept under its name");
  (*sc->mutable_data_moments())[name] = std::move(d);
  return Status::Ok();
}

}  // namespace

Status ReadOdimDataset(hid_t file, int index, bool samples, Volume* volume, Notes* notes) {
  const std::string path = "/dataset" + std::to_string(index + 1);
  H5Id dataset = OpenGroup(file, path.substr(1));
  if (!dataset.valid()) return H5Error(ErrorCode::kMalformed, path, "not a group");
  H5Id what = OpenGroup(dataset.get(), "what"), how = OpenGroup(dataset.get(), "how");
  if (!what.valid()) return H5Error(ErrorCode::kMalformed, path + "/what", "missing group");
  DatasetShape shape;
  Sweep* sweep = volume->mutable_sweep(index);
  auto* config = volume->mutable_volume_config();
  SweepConfig* sc = config->mutable_sweep_config(index);
  RayConfig* rc = config->mutable_ray_config(index);
  Status s = FirstError({ReadWhere(dataset.get(), path, &shape),
                         ReadSweepTimes(what.get(), how.get(), path, sweep)});
  if (!s.ok()) return s;
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
  s = ReadDatasetHow(how.get(), path, sc, rc, sweep);
  for (int m = 1; s.ok() && m <= kMaxMoments && HasLink(dataset.get(), "data" + std::to_string(m)); ++m) {
    s = ReadMoment(file, dataset.get(), path, m, shape, samples, sweep, sc, notes);
  }
  if (s.ok() && HasLink(dataset.get(), "quality1")) notes->push_back(path + ": quality groups not carried");
  if (s.ok()) s = ReadRays(how.get(), path, index, shape.nrays, sweep);
  return s;
}

}  // namespace formats
}  // namespace common_dto
