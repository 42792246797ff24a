// CF/Radial: the rays and moment variables of one sweep.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "cfradial_internal.h"
#include "common_dto/model/buffers.h"
#include "common_dto/model/references.h"
#include "netcdf_util.h"

namespace common_dto {
namespace formats {

using kyt::pb::common::DataBuffer;
using kyt::pb::common::DataDescriptor;
using kyt::pb::common::Ray;
using kyt::pb::common::Sweep;
using kyt::pb::common::Volume;

namespace {

constexpr std::int64_t kMaxBufferBytes = 0x7fffffff;

bool NativeBig() {
  const std::uint16_t one = 1;
  unsigned char first;
  std::memcpy(&first, &one, 1);
  return first == 0;
}

// Reverses the bytes of each `width`-byte sample in place.
void SwapBytes(std::string* data, int width) {
  if (width <= 1) return;
  for (std::size_t i = 0; i + width <= data->size(); i += width) {
    std::reverse(data->begin() + i, data->begin() + i + width);
  }
}

bool NeedsSwap(int endian) {
  return (endian == DataBuffer::BIG) != NativeBig() && endian != DataBuffer::UNKNOWN_ENDIANNESS;
}

const DataDescriptor* DescriptorOf(const Volume& volume, const Sweep& sweep, const std::string& name) {
  return FindMomentDescriptor(volume.has_volume_config() ? &volume.volume_config() : nullptr,
                              sweep.description(), sweep.rays_size() > 0 ? &sweep.rays(0) : nullptr,
                              name);
}

std::string UnitsOf(const DataDescriptor* d, const std::string& name) {
  if (d != nullptr) {
    if (d->data_unit() == kyt::pb::common::CUSTOM_UNIT) return d->custom_data_unit();
    if (const char* text = UnitText(d->data_unit()); *text != '\0') return text;
  }
  const Quantity* q = FindQuantity(name);
  return q != nullptr ? UnitText(q->unit) : "";
}

Status DefineMomentAttrs(int ncid, int var, nc_type type, const DataDescriptor* d,
                         const std::string& name) {
  Status s = PutAttText(ncid, var, "coordinates", "elevation azimuth range");
  const std::string units = UnitsOf(d, name);
  if (s.ok() && !units.empty()) s = PutAttText(ncid, var, "units", units);
  const Quantity* q = FindQuantity(name);
  if (s.ok() && q != nullptr && *q->standard_name != '\0') {
    s = PutAttText(ncid, var, "standard_name", q->standard_name);
  }
  if (s.ok() && d != nullptr && !d->description().empty()) {
    s = PutAttText(ncid, var, "long_name", d->description());
  }
  if (!s.ok() || d == nullptr || d->scale().type() != DataDescriptor::DataScale::LINEAR) return s;
  const auto& lin = d->scale().linear_scale();
  s = PutAttDouble(ncid, var, "scale_factor", NC_DOUBLE, lin.step());
  if (s.ok()) s = PutAttDouble(ncid, var, "add_offset", NC_DOUBLE, lin.offset());
  // The fill value is the not-scanned code, in the variable's own type.
  if (s.ok()) s = PutAttDouble(ncid, var, "_FillValue", type, lin.not_scanned());
  return s;
}

}  // namespace

int NcTypeOf(int storage_type) {
  switch (storage_type) {
    case DataBuffer::UINT8: return NC_UBYTE;
    case DataBuffer::UINT16: return NC_USHORT;
    case DataBuffer::INT32: return NC_INT;
    case DataBuffer::INT64: return NC_INT64;
    case DataBuffer::FLOAT: return NC_FLOAT;
    case DataBuffer::DOUBLE: return NC_DOUBLE;
    default: return NC_NAT;
  }
}

Status DefineMoments(const Volume& volume, int index, const SweepPlace& place,
                     const WriteOptions& options, Notes* notes) {
  const Sweep& sweep = volume.sweep(index);
  int time_dim = 0, range_dim = 0;
  nc_inq_dimid(place.ncid, "time", &time_dim);
  nc_inq_dimid(place.ncid, "range", &range_dim);
  for (const std::string& name : MomentNames(sweep)) {
    const DataBuffer& b = sweep.sweep_moments().at(name);
    const nc_type type = NcTypeOf(b.type());
    if (type == NC_NAT) return SweepError(ErrorCode::kUnsupported, index, name, "storage type not writable");
    if (int var = VarId(place.ncid, name); var >= 0) {
      nc_type existing = 0;
      nc_inq_vartype(place.ncid, var, &existing);
      if (existing != type) {
        return SweepError(ErrorCode::kUnsupported, index, name,
                          "storage type differs from earlier sweeps; CF/Radial 1.4 holds one "
                          "type per field (write CF/Radial 2.1)");
      }
      continue;
    }
    int var = 0;
    Status s = DefVar(place.ncid, name, type, {time_dim, range_dim}, &var);
    if (!s.ok()) return s;
    if (b.type() != DataBuffer::UINT8 && b.endian() != DataBuffer::UNKNOWN_ENDIANNESS) {
      nc_def_var_endian(place.ncid, var, b.endian() == DataBuffer::BIG ? NC_ENDIAN_BIG : NC_ENDIAN_LITTLE);
    }
    if (options.compression_level > 0) {
      nc_def_var_deflate(place.ncid, var, 1, 1, options.compression_level);
    }
    s = DefineMomentAttrs(place.ncid, var, type, DescriptorOf(volume, sweep, name), name);
    if (!s.ok()) return s;
    if (FindQuantity(name) == nullptr) {
      notes->push_back("moment " + name + ": no CF standard name known, written without one");
    }
  }
  return Status::Ok();
}

namespace {

Status PutRows(int ncid, const char* name, std::size_t first, const std::vector<double>& values) {
  const int var = VarId(ncid, name);
  if (var < 0) return NcError(ErrorCode::kIo, name, "not defined");
  const std::size_t start[1] = {first}, count[1] = {values.size()};
  if (values.empty()) return Status::Ok();
  return NcCheck(nc_put_vara_double(ncid, var, start, count, values.data()), ErrorCode::kIo, name);
}

Status PutSamples(int ncid, const std::string& name, const DataBuffer& b, std::size_t first,
                  std::size_t rays, std::size_t gates, int index) {
  std::string scratch;
  std::string_view samples;
  Status s = SweepSamples(b, static_cast<std::int64_t>(rays), static_cast<std::int64_t>(gates),
                          &scratch, &samples);
  if (!s.ok()) return SweepError(s.code(), index, name, s.message());
  if (NeedsSwap(b.endian())) {
    // netCDF takes native order; it stores the variable's own order.
    if (scratch.data() != samples.data()) scratch.assign(samples);
    SwapBytes(&scratch, SampleWidth(b.type()));
    samples = scratch;
  }
  const std::size_t start[2] = {first, 0}, count[2] = {rays, gates};
  if (rays == 0 || gates == 0) return Status::Ok();
  return NcCheck(nc_put_vara(ncid, VarId(ncid, name), start, count, samples.data()), ErrorCode::kIo, name);
}

}  // namespace

Status WriteSweepRays(const Volume& volume, int index, const SweepPlace& place, std::int64_t epoch) {
  const Sweep& sweep = volume.sweep(index);
  const std::size_t n = static_cast<std::size_t>(sweep.rays_size());
  std::vector<double> time(n), az(n), el(n);
  for (std::size_t r = 0; r < n; ++r) {
    const Ray& ray = sweep.rays(static_cast<int>(r));
    const auto& t = ray.aq_start_time();
    time[r] = static_cast<double>(t.seconds() - epoch) + t.nanos() * 1e-9;
    az[r] = ray.az_range_deg().start_deg() + ray.az_range_deg().span_deg() / 2;
    el[r] = ray.el_range_deg().start_deg() + ray.el_range_deg().span_deg() / 2;
  }
  Status s = PutRows(place.ncid, "time", place.first_ray, time);
  if (s.ok()) s = PutRows(place.ncid, "azimuth", place.first_ray, az);
  if (s.ok()) s = PutRows(place.ncid, "elevation", place.first_ray, el);
  RangeAxis axis;
  if (s.ok()) s = SweepRange(volume, index, &axis);
  for (const std::string& name : MomentNames(sweep)) {
    if (!s.ok()) break;
    s = PutSamples(place.ncid, name, sweep.sweep_moments().at(name), place.first_ray, n,
                   static_cast<std::size_t>(axis.gates), index);
  }
  return s;
}

// ---- Reading ----------------------------------------------------------------

namespace {

// "seconds since 2024-06-01T12:00:00Z" and the other CF time units (days,
// hours, minutes, milliseconds, microseconds, nanoseconds since ...).
bool ParseTimeUnits(const std::string& units, double* unit_s, std::int64_t* epoch) {
  const std::size_t since = units.find(" since ");
  if (since == std::string::npos) return false;
  const std::string unit = units.substr(0, since);
  const struct { const char* name; double seconds; } kUnits[] = {
      {"seconds", 1}, {"second", 1}, {"s", 1}, {"milliseconds", 1e-3}, {"microseconds", 1e-6},
      {"nanoseconds", 1e-9}, {"minutes", 60}, {"hours", 3600}, {"days", 86400}};
  *unit_s = 0;
  for (const auto& u : kUnits) {
    if (unit == u.name) *unit_s = u.seconds;
  }
  return *unit_s > 0 && ParseIso(std::string_view(units).substr(since + 7), epoch);
}

bool IsCoordinate(const std::string& name) {
  return name == "time" || name == "range" || name == "azimuth" || name == "elevation";
}

// The storage type samples of netCDF type `type` are kept in; 16- and 8-bit
// signed integers are widened to INT32.
int StorageOfNc(nc_type type, bool* widened) {
  *widened = type == NC_SHORT || type == NC_BYTE;
  switch (type) {
    case NC_UBYTE: return DataBuffer::UINT8;
    case NC_USHORT: return DataBuffer::UINT16;
    case NC_SHORT:
    case NC_BYTE:
    case NC_INT: return DataBuffer::INT32;
    case NC_INT64: return DataBuffer::INT64;
    case NC_FLOAT: return DataBuffer::FLOAT;
    case NC_DOUBLE: return DataBuffer::DOUBLE;
    default: return DataBuffer::UNKNOWN_TYPE;
  }
}

DataDescriptor ReadDescriptor(int ncid, int var, const std::string& name, Notes* notes) {
  DataDescriptor d = DescriptorFor(name);
  std::string text;
  if (GetAttText(ncid, var, "standard_name", &text).ok() && FindQuantity(name) == nullptr) {
    if (const Quantity* q = FindQuantityByStandardName(text)) {
      d.set_type(q->type);
      d.set_polarization(q->polarization);
      d.set_data_unit(q->unit);
    }
  }
  if (GetAttText(ncid, var, "units", &text).ok() && !text.empty()) {
    const auto unit = UnitFromText(text);
    d.set_data_unit(unit != kyt::pb::common::ASSUMED_UNIT ? unit : kyt::pb::common::CUSTOM_UNIT);
    if (unit == kyt::pb::common::ASSUMED_UNIT) d.set_custom_data_unit(text);
  }
  if (GetAttText(ncid, var, "long_name", &text).ok()) d.set_description(text);
  double scale = 1, offset = 0, fill = 0;
  const bool scaled = HasAtt(ncid, var, "scale_factor") || HasAtt(ncid, var, "add_offset");
  if (scaled) {
    if (HasAtt(ncid, var, "scale_factor")) (void)GetAttDouble(ncid, var, "scale_factor", &scale);
    if (HasAtt(ncid, var, "add_offset")) (void)GetAttDouble(ncid, var, "add_offset", &offset);
    d.mutable_scale()->set_type(DataDescriptor::DataScale::LINEAR);
    d.mutable_scale()->mutable_linear_scale()->set_step(scale);
    d.mutable_scale()->mutable_linear_scale()->set_offset(offset);
  }
  if (HasAtt(ncid, var, "_FillValue") && GetAttDouble(ncid, var, "_FillValue", &fill).ok()) {
    if (scaled && fill == std::floor(fill) && std::fabs(fill) < 2147483648.0) {
      d.mutable_scale()->mutable_linear_scale()->set_not_scanned(static_cast<std::int32_t>(fill));
    } else {
      notes->push_back("moment " + name + ": _FillValue of unscaled samples not carried");
    }
  }
  if (d.type() == kyt::pb::common::CUSTOM_TYPE) {
    notes->push_back("moment " + name + ": unknown quantity, kept under its name");
  }
  return d;
}

Status ReadSamples(int ncid, int var, const std::string& name, const SweepPlace& place,
                   std::size_t rays, bool samples, int index, DataBuffer* b, Notes* notes) {
  nc_type type = 0;
  nc_inq_vartype(ncid, var, &type);
  bool widened = false;
  const int storage = StorageOfNc(type, &widened);
  if (storage == DataBuffer::UNKNOWN_TYPE) {
    return SweepError(ErrorCode::kUnsupported, index, name, "sample type the model cannot hold");
  }
  const int width = SampleWidth(storage);
  const std::int64_t bytes = static_cast<std::int64_t>(rays * place.range_size) * width;
  if (bytes > kMaxBufferBytes) return SweepError(ErrorCode::kTooLarge, index, name, "2 GiB or more");
  int endian = NC_ENDIAN_NATIVE;
  nc_inq_var_endian(ncid, var, &endian);
  const bool big = endian == NC_ENDIAN_BIG && width > 1 && !widened;
  b->set_type(static_cast<DataBuffer::StorageType>(storage));
  b->set_endian(big || (width > 1 && NativeBig()) ? DataBuffer::BIG : DataBuffer::LITTLE);
  b->set_compression(DataBuffer::NONE);
  b->set_uncompressed_size(static_cast<std::int32_t>(bytes));
  if (widened) notes->push_back("moment " + name + ": signed 8- or 16-bit samples widened to INT32");
  if (!samples || bytes == 0) return Status::Ok();
  if (bytes > MaxSampleBytes(NcFileSize(ncid))) {
    return SweepError(ErrorCode::kTooLarge, index, name,
                      std::to_string(bytes) + " bytes of samples declared, more than the file can "
                                              "hold");
  }
  std::string* out = b->mutable_data();
  out->resize(static_cast<std::size_t>(bytes));
  const std::size_t start[2] = {place.first_ray, 0}, count[2] = {rays, place.range_size};
  const int rc = widened ? nc_get_vara_int(ncid, var, start, count, reinterpret_cast<int*>(out->data()))
                         : nc_get_vara(ncid, var, start, count, out->data());
  if (rc != NC_NOERR) {
    out->clear();
    return SweepError(ErrorCode::kMalformed, index, name, std::string("cannot read: ") + nc_strerror(rc));
  }
  if (big != NativeBig()) {
    if (big) SwapBytes(out, width);
  }
  return Status::Ok();
}

Status ReadMoments(const SweepPlace& place, std::size_t rays, bool samples, int index,
                   Volume* volume, Notes* notes) {
  int time_dim = -1, range_dim = -1, nvars = 0;
  nc_inq_dimid(place.ncid, "time", &time_dim);
  nc_inq_dimid(place.ncid, "range", &range_dim);
  nc_inq_varids(place.ncid, &nvars, nullptr);
  std::vector<int> ids(static_cast<std::size_t>(nvars));
  nc_inq_varids(place.ncid, &nvars, ids.data());
  Sweep* sweep = volume->mutable_sweep(index);
  auto* sc = volume->mutable_volume_config()->mutable_sweep_config(index);
  for (int var : ids) {
    char buffer[NC_MAX_NAME + 1] = {};
    int ndims = 0, dims[NC_MAX_VAR_DIMS];
    nc_inq_varname(place.ncid, var, buffer);
    nc_inq_varndims(place.ncid, var, &ndims);
    if (ndims != 2) continue;
    nc_inq_vardimid(place.ncid, var, dims);
    const std::string name = buffer;
    if (dims[0] != time_dim || IsCoordinate(name)) continue;
    if (dims[1] != range_dim) {
      return SweepError(ErrorCode::kInvalidArgument, index, name, "second dimension is not range");
    }
    Status s = ReadSamples(place.ncid, var, name, place, rays, samples, index,
                           &(*sweep->mutable_sweep_moments())[name], notes);
    if (!s.ok()) return s;
    (*sc->mutable_data_moments())[name] = ReadDescriptor(place.ncid, var, name, notes);
  }
  return Status::Ok();
}

}  // namespace

Status ReadSweepRays(const SweepPlace& place, std::size_t rays, bool samples, int index,
                     Volume* volume, Notes* notes) {
  std::vector<double> time, az, el;
  Status s = GetDoubles(place.ncid, "time", place.first_ray, rays, &time);
  if (s.ok()) s = GetDoubles(place.ncid, "azimuth", place.first_ray, rays, &az);
  if (s.ok()) s = GetDoubles(place.ncid, "elevation", place.first_ray, rays, &el);
  std::string units;
  if (s.ok()) s = GetAttText(place.ncid, VarId(place.ncid, "time"), "units", &units);
  if (!s.ok()) return s;
  std::int64_t epoch = 0;
  double unit_s = 0;
  if (!ParseTimeUnits(units, &unit_s, &epoch)) {
    return NcError(ErrorCode::kInvalidArgument, "time", "units are not \"<unit> since <time>\": " + units);
  }
  Sweep* sweep = volume->mutable_sweep(index);
  for (std::size_t r = 0; r < rays; ++r) {
    Ray* ray = sweep->add_rays();
    ray->set_index(static_cast<std::int32_t>(r));
    ray->set_ray_config_index(index);
    *ray->mutable_aq_start_time() = FromEpochSeconds(static_cast<double>(epoch) + time[r] * unit_s);
    ray->mutable_az_range_deg()->set_start_deg(az[r]);
    ray->mutable_el_range_deg()->set_start_deg(el[r]);
  }
  return ReadMoments(place, rays, samples, index, volume, notes);
}

}  // namespace formats
}  // namespace common_dto
