// CF/Radial: the rays and moment variables of one sweep.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string_view>

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

std::string UnitsOf(const DataDescriptor* d, const std::string& name) {
  if (d != nullptr) {
    if (d->data_unit() == kyt::pb::common::CUSTOM_UNIT) return d->custom_data_unit();
    if (const char* text = UnitText(d->data_unit()); *text != '\0') return text;
  }
  const Quantity* q = FindQuantity(name);
  return q != nullptr ? UnitText(q->unit) : "";
}

// A CF standard name: lower-case words joined by underscores.
bool IsStandardName(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

bool IsFloat(nc_type type) { return type == NC_FLOAT || type == NC_DOUBLE; }

// The code an integer moment's gates without data are written as (see
// MissingCode); the not-scanned code itself for floats.
std::optional<std::int64_t> FillCode(const DataDescriptor* d, int storage) {
  if (d == nullptr || d->scale().type() != DataDescriptor::DataScale::LINEAR) return std::nullopt;
  const auto& lin = d->scale().linear_scale();
  if (storage == DataBuffer::FLOAT || storage == DataBuffer::DOUBLE) return lin.not_scanned();
  return MissingCode(lin, storage);
}

// _FillValue of a moment: the not-scanned code of a LINEAR scale (another
// code that is no value when the samples cannot hold it); NaN for floats
// without one. A separate below-threshold code goes to `_Undetect`.
Status DefineFill(int ncid, int var, nc_type type, int storage, const DataDescriptor* d,
                  const std::string& name, Notes* notes) {
  const bool linear = d != nullptr && d->scale().type() == DataDescriptor::DataScale::LINEAR;
  if (!linear) {
    return IsFloat(type) ? PutAttDouble(ncid, var, "_FillValue", type, std::nan("")) : Status::Ok();
  }
  const auto& lin = d->scale().linear_scale();
  Status s;
  // CF has one missing code; a separate below-threshold code goes to
  // `_Undetect`, as xradar names ODIM's undetect, so that it comes back. A
  // code the storage type cannot hold (a quality group without one gets -1
  // for unsigned samples) marks no sample.
  if (lin.under_threshold() != lin.not_scanned()) {
    if (TypeHoldsCode(storage, lin.under_threshold())) {
      s = PutAttDouble(ncid, var, "_Undetect", type, lin.under_threshold());
    } else {
      notes->push_back({NoteKind::kNotCarried, "_Undetect", name,
                        "below-threshold code " + std::to_string(lin.under_threshold()) +
                            " not carried (outside the storage type)"});
    }
  }
  const std::optional<std::int64_t> fill = FillCode(d, storage);
  if (!s.ok() || !fill) return s;
  return PutAttDouble(ncid, var, "_FillValue", type, static_cast<double>(*fill));
}

// The missing and below-threshold marks of a field written as values: NaN
// for gates without a value, the shared below-threshold value if any.
Status DefineValueFill(int ncid, int var, const UnpackedField& values) {
  const nc_type type = values.type;
  Status s;
  if (values.undetect) s = PutAttDouble(ncid, var, "_Undetect", type, *values.undetect);
  return s.ok() ? PutAttDouble(ncid, var, "_FillValue", type, std::nan("")) : s;
}

// The attributes of a moment variable; `values` for a field written as
// values (no scale_factor, add_offset).
Status DefineMomentAttrs(int ncid, int var, nc_type type, int storage, const DataDescriptor* d,
                         const std::string& name, const UnpackedField* values, Notes* notes) {
  Status s = PutAttText(ncid, var, "coordinates", "elevation azimuth range");
  const std::string units = UnitsOf(d, name);
  if (s.ok() && !units.empty()) s = PutAttText(ncid, var, "units", units);
  // The standard name the source gave (kept in the legend), else the table's.
  const Quantity* q = FindQuantity(name);
  std::string standard = q != nullptr ? q->standard_name : "";
  if (d != nullptr && IsStandardName(d->legend())) standard = d->legend();
  if (s.ok() && !standard.empty()) s = PutAttText(ncid, var, "standard_name", standard);
  if (s.ok() && d != nullptr && !d->description().empty()) {
    s = PutAttText(ncid, var, "long_name", d->description());
  }
  if (values != nullptr) return s.ok() ? DefineValueFill(ncid, var, *values) : s;
  if (s.ok() && d != nullptr && d->scale().type() == DataDescriptor::DataScale::LINEAR) {
    const auto& lin = d->scale().linear_scale();
    // Floats with the identity scale hold physical values: no packing attributes.
    if (!IsFloat(type) || lin.step() != 1 || lin.offset() != 0) {
      s = PutAttDouble(ncid, var, "scale_factor", NC_DOUBLE, lin.step());
      if (s.ok()) s = PutAttDouble(ncid, var, "add_offset", NC_DOUBLE, lin.offset());
    }
  }
  if (s.ok()) s = DefineFill(ncid, var, type, storage, d, name, notes);
  return s;
}

}  // namespace

const DataDescriptor* DescriptorOf(const Volume& volume, const Sweep& sweep,
                                   const std::string& name) {
  return FindMomentDescriptor(volume.has_volume_config() ? &volume.volume_config() : nullptr,
                              sweep.description(), sweep.rays_size() > 0 ? &sweep.rays(0) : nullptr,
                              name);
}

bool IsCode(double v) {
  return std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 2147483648.0;
}

std::string NumberText(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

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

// A moment variable's byte order (that of `b`; null: the machine's) and
// compression.
Status DefineStorage(int ncid, int var, const DataBuffer* b, const std::string& name, int level) {
  Status s;
  if (b != nullptr && b->type() != DataBuffer::UINT8 &&
      b->endian() != DataBuffer::UNKNOWN_ENDIANNESS) {
    s = NcCheck(nc_def_var_endian(ncid, var,
                                  b->endian() == DataBuffer::BIG ? NC_ENDIAN_BIG
                                                                 : NC_ENDIAN_LITTLE),
                "nc_def_var_endian", ErrorCode::kIo, name);
  }
  if (s.ok() && level > 0) {
    s = NcCheck(nc_def_var_deflate(ncid, var, 1, 1, level), "nc_def_var_deflate", ErrorCode::kIo,
                name);
  }
  return s;
}

Status DefineMoments(const Volume& volume, int index, const SweepPlace& place,
                     const WriteOptions& options, const UnpackedFields& unpacked, Notes* notes) {
  const Sweep& sweep = volume.sweep(index);
  const Result<int> time_dim = DimId(place.ncid, "time"), range_dim = DimId(place.ncid, "range");
  if (!time_dim.ok() || !range_dim.ok()) {
    return time_dim.ok() ? range_dim.status() : time_dim.status();
  }
  for (const std::string& name : MomentNames(sweep)) {
    const DataBuffer& b = sweep.sweep_moments().at(name);
    const nc_type type = NcTypeOf(b.type());
    if (type == NC_NAT) return SweepError(ErrorCode::kUnsupported, index, name, "storage type not writable");
    // Defined by an earlier sweep (1.4): sweeps that store a field alike
    // share its packing, the others' field is unpacked.
    if (VarId(place.ncid, name) >= 0) continue;
    const auto field = unpacked.find(name);
    const UnpackedField* values = field != unpacked.end() ? &field->second : nullptr;
    int var = 0;
    Status s = DefVar(place.ncid, name, values != nullptr ? values->type : type,
                      {*time_dim, *range_dim}, &var);
    if (s.ok()) {
      s = DefineStorage(place.ncid, var, values != nullptr ? nullptr : &b, name,
                        options.compression_level);
    }
    const DataDescriptor* d = DescriptorOf(volume, sweep, name);
    if (s.ok()) s = DefineMomentAttrs(place.ncid, var, type, b.type(), d, name, values, notes);
    if (!s.ok()) return s;
    if (FindQuantity(name) == nullptr && (d == nullptr || !IsStandardName(d->legend()))) {
      notes->push_back({NoteKind::kUnknownName, "standard_name", name,
                        "no CF standard name known, written without one"});
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
  return NcCheck(nc_put_vara_double(ncid, var, start, count, values.data()), "nc_put_vara_double",
                 ErrorCode::kIo, name);
}

Status PutSamples(int ncid, const std::string& name, const DataBuffer& b, const DataDescriptor* d,
                  std::size_t first, std::size_t rays, std::size_t gates, int index,
                  Notes* notes) {
  std::string scratch;
  std::string_view samples;
  Status s = SweepSamples(b, static_cast<std::int64_t>(rays), static_cast<std::int64_t>(gates),
                          &scratch, &samples);
  if (!s.ok()) return SweepError(s.code(), index, name, s.message());
  MaskOutOfRange(d, b.type(), b.endian(), FillCode(d, b.type()), index,
                 "sweep[" + std::to_string(index) + "].sweep_moments", name, &scratch, &samples,
                 notes);
  if (NeedsSwap(b.endian())) {
    // netCDF takes native order; it stores the variable's own order.
    if (scratch.data() != samples.data()) scratch.assign(samples);
    SwapBytes(&scratch, SampleWidth(b.type()));
    samples = scratch;
  }
  const std::size_t start[2] = {first, 0}, count[2] = {rays, gates};
  if (rays == 0 || gates == 0) return Status::Ok();
  return NcCheck(nc_put_vara(ncid, VarId(ncid, name), start, count, samples.data()), "nc_put_vara",
                 ErrorCode::kIo, name);
}

}  // namespace

Status WriteSweepRays(const Volume& volume, int index, const SweepPlace& place,
                      const std::vector<double>& time, const UnpackedFields& unpacked,
                      Notes* notes) {
  const Sweep& sweep = volume.sweep(index);
  const std::size_t n = static_cast<std::size_t>(sweep.rays_size());
  std::vector<double> az(n), el(n);
  for (std::size_t r = 0; r < n; ++r) {
    const Ray& ray = sweep.rays(static_cast<int>(r));
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
    const auto field = unpacked.find(name);
    if (field != unpacked.end()) {
      s = PutValues(volume, index, name, place, static_cast<std::size_t>(axis.gates), notes);
      continue;
    }
    s = PutSamples(place.ncid, name, sweep.sweep_moments().at(name),
                   DescriptorOf(volume, sweep, name), place.first_ray, n,
                   static_cast<std::size_t>(axis.gates), index, notes);
  }
  return s;
}

// ---- Reading ----------------------------------------------------------------

namespace {

// Reads 1 to `max` digits at *pos.
bool Number(std::string_view text, std::size_t* pos, std::size_t max, int* out) {
  std::size_t n = 0;
  int v = 0;
  while (*pos < text.size() && n < max && text[*pos] >= '0' && text[*pos] <= '9') {
    v = v * 10 + (text[(*pos)++] - '0');
    ++n;
  }
  *out = v;
  return n > 0;
}

void SkipSpaces(std::string_view text, std::size_t* pos) {
  while (*pos < text.size() && text[*pos] == ' ') ++*pos;
}

// A UDUNITS time zone after the clock: nothing, "Z", "UTC", "GMT", or an
// offset "+h", "+hh:mm", "-hhmm". *offset_s is what is added to UTC.
bool ParseZone(std::string_view text, std::size_t pos, double* offset_s) {
  *offset_s = 0;
  SkipSpaces(text, &pos);
  const std::string_view rest = text.substr(pos);
  if (rest.empty() || rest == "Z" || rest == "UTC" || rest == "GMT") return true;
  if (rest[0] != '+' && rest[0] != '-') return false;
  std::size_t p = pos + 1;
  int h = 0, m = 0;
  const std::size_t before = p;
  if (!Number(text, &p, 4, &h)) return false;
  if (p - before > 2) {  // hhmm
    m = h % 100;
    h /= 100;
  } else if (p < text.size() && text[p] == ':' && (++p, !Number(text, &p, 2, &m))) {
    return false;
  }
  if (p != text.size() || h > 14 || m > 59) return false;
  *offset_s = (rest[0] == '-' ? -1 : 1) * (h * 3600.0 + m * 60.0);
  return true;
}

// The reference time of CF (UDUNITS) time units, seconds since the epoch:
// "2020-03-12", "2020-3-2 0:0:0", "2020-03-12 10:00", "2020-03-12T10:00:00.5Z",
// "2020-03-12 10:00:00 UTC", "2020-03-12 10:00:00 -6:00".
bool ParseReferenceTime(std::string_view text, double* epoch) {
  std::size_t pos = 0;
  SkipSpaces(text, &pos);
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
  double fraction = 0;
  if (!Number(text, &pos, 4, &y) || pos >= text.size() || text[pos++] != '-' || !Number(text, &pos, 2, &mo) ||
      pos >= text.size() || text[pos++] != '-' || !Number(text, &pos, 2, &d)) {
    return false;
  }
  if (pos < text.size() && (text[pos] == 'T' || text[pos] == ' ')) {
    std::size_t p = pos + 1;
    SkipSpaces(text, &p);
    if (Number(text, &p, 2, &h)) {  // else the date stands alone, a zone may follow
      if (p >= text.size() || text[p++] != ':' || !Number(text, &p, 2, &mi)) return false;
      if (p < text.size() && text[p] == ':') {
        ++p;
        if (!Number(text, &p, 2, &sec)) return false;
        if (p < text.size() && text[p] == '.') {
          const std::size_t start = p++;
          while (p < text.size() && text[p] >= '0' && text[p] <= '9') ++p;
          fraction = std::strtod(std::string(text.substr(start, p - start)).c_str(), nullptr);
        }
      }
      pos = p;
    }
  }
  double offset_s = 0;
  std::int64_t whole = 0;
  if (!ParseZone(text, pos, &offset_s) || !CivilToEpoch(y, mo, d, h, mi, sec, &whole)) return false;
  *epoch = static_cast<double>(whole) + fraction - offset_s;
  return true;
}

// "<unit> since <reference time>" with the CF time units (seconds,
// milliseconds, microseconds, nanoseconds, minutes, hours, days and their
// UDUNITS abbreviations).
bool ParseTimeUnits(const std::string& units, double* unit_s, double* epoch) {
  std::size_t since = units.find(" since ");
  if (since == std::string::npos) return false;
  std::size_t begin = units.find_first_not_of(' ');
  std::string unit = units.substr(begin, since - begin);
  std::transform(unit.begin(), unit.end(), unit.begin(), [](unsigned char c) { return std::tolower(c); });
  const struct { const char* name; double seconds; } kUnits[] = {
      {"seconds", 1}, {"second", 1}, {"secs", 1}, {"sec", 1}, {"s", 1},
      {"milliseconds", 1e-3}, {"millisecond", 1e-3}, {"msec", 1e-3}, {"ms", 1e-3},
      {"microseconds", 1e-6}, {"microsecond", 1e-6}, {"us", 1e-6}, {"nanoseconds", 1e-9},
      {"minutes", 60}, {"minute", 60}, {"min", 60}, {"hours", 3600}, {"hour", 3600}, {"hr", 3600},
      {"h", 3600}, {"days", 86400}, {"day", 86400}, {"d", 86400}};
  *unit_s = 0;
  for (const auto& u : kUnits) {
    if (unit == u.name) *unit_s = u.seconds;
  }
  std::string_view reference(units);
  reference.remove_prefix(since + 7);
  while (!reference.empty() && (reference.back() == ' ' || reference.back() == '\0')) reference.remove_suffix(1);
  return *unit_s > 0 && ParseReferenceTime(reference, epoch);
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

// The numbers of attribute `name` (at most 16), none when absent or text.
std::vector<double> AttNumbers(int ncid, int var, const char* name) {
  nc_type type = 0;
  std::size_t len = 0;
  if (nc_inq_att(ncid, var, name, &type, &len) != NC_NOERR || type == NC_CHAR || type == NC_STRING ||
      len == 0 || len > 16) {
    return {};
  }
  std::vector<double> values(len);
  if (nc_get_att_double(ncid, var, name, values.data()) != NC_NOERR) return {};
  return values;
}

// netCDF's default fill value of an integer type (what unwritten gates hold).
double DefaultFill(nc_type type) {
  switch (type) {
    case NC_BYTE: return NC_FILL_BYTE;
    case NC_UBYTE: return NC_FILL_UBYTE;
    case NC_SHORT: return NC_FILL_SHORT;
    case NC_USHORT: return NC_FILL_USHORT;
    case NC_INT: return NC_FILL_INT;
    default: return std::nan("");
  }
}

// How a moment's missing gates are marked in the file and in the model.
// `code` is the model's not-scanned code: _FillValue, else missing_value,
// (for a packed integer without either: netCDF's default fill); a float's
// only when it is a whole number. Samples holding another marker become the
// code (`to_code`) or, for floats, NaN (`to_nan`: markers that are not whole
// numbers, such as 9.999e20). A float moment whose fill is NaN and whose
// below-threshold value (_Undetect) is a whole number has that as its one
// code (`below_threshold`), as an ODIM float moment with only undetect has;
// samples holding an _Undetect that is not a whole number read as NaN.
struct MissingMarks {
  bool has_code = false;
  bool below_threshold = false;
  double code = 0;
  std::vector<double> to_code, to_nan;
};

MissingMarks PlanMissing(int ncid, int var, nc_type type, bool scaled, const std::string& name, Notes* notes) {
  std::vector<double> marks = AttNumbers(ncid, var, "_FillValue");
  if (marks.size() > 1) marks.resize(1);
  for (double v : AttNumbers(ncid, var, "missing_value")) marks.push_back(v);
  MissingMarks m;
  const bool is_float = IsFloat(type);
  for (double v : marks) {
    if (!m.has_code && IsCode(v)) {
      m.has_code = true;
      m.code = v;
    } else if (std::isnan(v) || (m.has_code && v == m.code)) {
      continue;  // NaN is missing anyway
    } else if (IsCode(v) && m.has_code) {
      m.to_code.push_back(v);
    } else if (is_float && std::find(m.to_nan.begin(), m.to_nan.end(), v) == m.to_nan.end()) {
      m.to_nan.push_back(v);
    }
  }
  if (!m.has_code && !is_float && scaled && !std::isnan(DefaultFill(type))) {
    m.has_code = true;
    m.code = DefaultFill(type);
    notes->push_back(
        {NoteKind::kAssumed, "_FillValue", name,
         "no _FillValue; netCDF's default fill " + NumberText(m.code) + " taken as missing"});
  }
  for (double v : m.to_nan) {
    notes->push_back(
        {NoteKind::kConverted, "_FillValue", name,
         "samples equal to the fill value " + NumberText(v) + " read as missing (NaN)"});
  }
  for (double v : m.to_code) {
    notes->push_back({NoteKind::kConverted, "missing_value", name,
                      "samples equal to the missing value " + NumberText(v) +
                          " read as the fill value " + NumberText(m.code)});
  }
  const std::vector<double> undetect =
      is_float ? AttNumbers(ncid, var, "_Undetect") : std::vector<double>{};
  if (undetect.size() != 1 || std::isnan(undetect[0]) || (m.has_code && undetect[0] == m.code)) {
    return m;
  }
  if (!IsCode(undetect[0])) {
    m.to_nan.push_back(undetect[0]);
    notes->push_back({NoteKind::kConverted, "_Undetect", name,
                      "samples equal to the below-threshold value " + NumberText(undetect[0]) +
                          " read as missing (NaN): the model's codes are whole numbers"});
  } else if (!m.has_code) {
    m.has_code = m.below_threshold = true;
    m.code = undetect[0];
  }
  return m;
}

template <typename T>
void Replace(std::string* data, double from, double to) {
  const T f = static_cast<T>(from), t = static_cast<T>(to);
  for (std::size_t i = 0; i + sizeof(T) <= data->size(); i += sizeof(T)) {
    T v;
    std::memcpy(&v, data->data() + i, sizeof(T));
    if (v == f) std::memcpy(data->data() + i, &t, sizeof(T));
  }
}

// Applies `m` to native-order samples of storage type `storage`.
void ApplyMissing(const MissingMarks& m, int storage, std::string* data) {
  const auto replace = [&](double from, double to) {
    switch (storage) {
      case DataBuffer::FLOAT: return Replace<float>(data, from, to);
      case DataBuffer::DOUBLE: return Replace<double>(data, from, to);
      case DataBuffer::UINT8: return Replace<std::uint8_t>(data, from, to);
      case DataBuffer::UINT16: return Replace<std::uint16_t>(data, from, to);
      case DataBuffer::INT32: return Replace<std::int32_t>(data, from, to);
      case DataBuffer::INT64: return Replace<std::int64_t>(data, from, to);
      default: return;
    }
  };
  for (double v : m.to_code) replace(v, m.code);
  for (double v : m.to_nan) replace(v, std::nan(""));
}

DataDescriptor ReadDescriptor(int ncid, int var, const std::string& name, const MissingMarks& missing,
                              Notes* notes) {
  DataDescriptor d = DescriptorFor(name);
  std::string text;
  if (GetAttText(ncid, var, "standard_name", &text).ok() && !text.empty()) {
    const Quantity* own = FindQuantity(name);
    if (own == nullptr) {
      if (const Quantity* q = FindQuantityByStandardName(text)) {
        d.set_type(q->type);
        d.set_polarization(q->polarization);
        d.set_data_unit(q->unit);
      }
    }
    // Kept as written when the quantity table would not give it back.
    if (own == nullptr || text != own->standard_name) d.set_legend(text);
  }
  if (GetAttText(ncid, var, "units", &text).ok() && !text.empty()) {
    const auto unit = UnitFromText(text);
    d.set_data_unit(unit != kyt::pb::common::ASSUMED_UNIT ? unit : kyt::pb::common::CUSTOM_UNIT);
    if (unit == kyt::pb::common::ASSUMED_UNIT) d.set_custom_data_unit(text);
  }
  if (GetAttText(ncid, var, "long_name", &text).ok()) d.set_description(text);
  const bool scaled = HasAtt(ncid, var, "scale_factor") || HasAtt(ncid, var, "add_offset");
  if (scaled || missing.has_code) {
    double scale = 1, offset = 0;
    if (HasAtt(ncid, var, "scale_factor")) (void)GetAttDouble(ncid, var, "scale_factor", &scale);
    if (HasAtt(ncid, var, "add_offset")) (void)GetAttDouble(ncid, var, "add_offset", &offset);
    auto* lin = d.mutable_scale()->mutable_linear_scale();
    d.mutable_scale()->set_type(DataDescriptor::DataScale::LINEAR);
    lin->set_step(scale);
    lin->set_offset(offset);
    if (missing.has_code) {
      lin->set_not_scanned(static_cast<std::int32_t>(missing.code));
      // CF has no separate below-threshold code, unless the file names one
      // as this library and xradar write it.
      const std::vector<double> undetect = AttNumbers(ncid, var, "_Undetect");
      const bool own = undetect.size() == 1 && IsCode(undetect[0]);
      lin->set_under_threshold(static_cast<std::int32_t>(own ? undetect[0] : missing.code));
    }
  }
  if (d.type() == kyt::pb::common::CUSTOM_TYPE) {
    notes->push_back({NoteKind::kUnknownName, "", name, "unknown quantity, kept under its name"});
  }
  return d;
}

// Ragged rays: the points the sweep's rays cover are read at once and each
// ray's gates copied to its row, the rest of the row padded with `pad`.
Status ReadRaggedRows(int ncid, int var, const SweepPlace& place, std::size_t rays, bool widened, int width,
                      const std::string& pad, std::string* out) {
  std::size_t lo = SIZE_MAX, hi = 0;
  for (std::size_t r = 0; r < rays; ++r) {
    if (place.ray_gates[r] == 0) continue;
    lo = std::min(lo, place.ray_start[r]);
    hi = std::max(hi, place.ray_start[r] + place.ray_gates[r]);
  }
  for (std::size_t i = 0; i < rays * place.range_size; ++i) {
    std::memcpy(out->data() + i * width, pad.data(), static_cast<std::size_t>(width));
  }
  if (hi <= lo) return Status::Ok();
  const std::uint64_t block_bytes = static_cast<std::uint64_t>(hi - lo) * static_cast<std::uint64_t>(width);
  if (block_bytes > static_cast<std::uint64_t>(std::min<std::int64_t>(kMaxBufferBytes, MaxSampleBytes(NcFileSize(ncid))))) {
    return NcError(ErrorCode::kTooLarge, "n_points", "the rays span more points than the file can hold");
  }
  std::string block((hi - lo) * static_cast<std::size_t>(width), '\0');
  const std::size_t start[1] = {lo}, count[1] = {hi - lo};
  const int rc = widened ? nc_get_vara_int(ncid, var, start, count, reinterpret_cast<int*>(block.data()))
                         : nc_get_vara(ncid, var, start, count, block.data());
  if (rc != NC_NOERR) {
    return NcCheck(rc, widened ? "nc_get_vara_int" : "nc_get_vara", ErrorCode::kMalformed,
                   "cannot read");
  }
  for (std::size_t r = 0; r < rays; ++r) {
    std::memcpy(out->data() + r * place.range_size * width, block.data() + (place.ray_start[r] - lo) * width,
                place.ray_gates[r] * width);
  }
  return Status::Ok();
}

Status ReadRows(int ncid, int var, const SweepPlace& place, std::size_t rays, bool widened, int width,
                const std::string& pad, std::string* out) {
  if (place.ragged) return ReadRaggedRows(ncid, var, place, rays, widened, width, pad, out);
  const std::size_t start[2] = {place.first_ray, 0}, count[2] = {rays, place.range_size};
  const int rc = widened ? nc_get_vara_int(ncid, var, start, count, reinterpret_cast<int*>(out->data()))
                         : nc_get_vara(ncid, var, start, count, out->data());
  return NcCheck(rc, widened ? "nc_get_vara_int" : "nc_get_vara", ErrorCode::kMalformed,
                 "cannot read");
}

Status ReadSamples(int ncid, int var, const std::string& name, const SweepPlace& place,
                   std::size_t rays, bool samples, int index, const MissingMarks& missing,
                   DataBuffer* b, Notes* notes) {
  nc_type type = NC_NAT;
  int endian = NC_ENDIAN_NATIVE;
  const Status inq = FirstError(
      {NcCheck(nc_inq_vartype(ncid, var, &type), "nc_inq_vartype", ErrorCode::kMalformed, name),
       NcCheck(nc_inq_var_endian(ncid, var, &endian), "nc_inq_var_endian", ErrorCode::kMalformed,
               name)});
  if (!inq.ok()) return SweepError(inq.code(), index, name, inq.message());
  bool widened = false;
  const int storage = StorageOfNc(type, &widened);
  if (storage == DataBuffer::UNKNOWN_TYPE) {
    return SweepError(ErrorCode::kUnsupported, index, name, "sample type the model cannot hold");
  }
  const int width = SampleWidth(storage);
  const std::int64_t bytes = static_cast<std::int64_t>(rays * place.range_size) * width;
  if (bytes > kMaxBufferBytes) {
    return SweepError(ErrorCode::kTooLarge, index, name, "2 GiB or more");
  }
  const bool big = endian == NC_ENDIAN_BIG && width > 1 && !widened;
  b->set_type(static_cast<DataBuffer::StorageType>(storage));
  b->set_endian(big || (width > 1 && NativeBig()) ? DataBuffer::BIG : DataBuffer::LITTLE);
  b->set_compression(DataBuffer::NONE);
  b->set_uncompressed_size(static_cast<std::int32_t>(bytes));
  if (widened) {
    notes->push_back(
        {NoteKind::kConverted, "", name, "signed 8- or 16-bit samples widened to INT32"});
  }
  if (!samples || bytes == 0) return Status::Ok();
  if (bytes > MaxSampleBytes(NcFileSize(ncid))) {
    return SweepError(ErrorCode::kTooLarge, index, name,
                      std::to_string(bytes) + " bytes of samples declared, more than the file can "
                                              "hold");
  }
  std::string pad;
  const double pad_value = missing.has_code && !missing.below_threshold ? missing.code
                           : IsFloat(type)                                ? std::nan("")
                                                                          : DefaultFill(type);
  if (place.ragged && !AppendFill(pad_value, storage, NativeBig() ? DataBuffer::BIG : DataBuffer::LITTLE, 1, &pad).ok()) {
    return SweepError(ErrorCode::kUnsupported, index, name, "no fill value to pad short rays with");
  }
  std::string* out = b->mutable_data();
  out->resize(static_cast<std::size_t>(bytes));
  Status s = ReadRows(ncid, var, place, rays, widened, width, pad, out);
  if (!s.ok()) {
    out->clear();
    return SweepError(s.code(), index, name, s.message());
  }
  ApplyMissing(missing, storage, out);
  if (big != NativeBig()) {
    if (big) SwapBytes(out, width);
  }
  return Status::Ok();
}

// A moment's variable: (time, range), or (n_points) in files with ragged rays.
bool IsMomentVar(const NcVarInfo& info, const SweepPlace& place, int time_dim, int range_dim,
                 int points_dim, bool* bad) {
  const std::size_t ndims = info.dims.size();
  *bad = false;
  if (ndims < 1 || ndims > 2 || IsCoordinate(info.name)) return false;
  if (ndims == 1) return place.ragged && info.dims[0] == points_dim;
  if (info.dims[0] != time_dim) return false;
  *bad = info.dims[1] != range_dim;
  return true;
}

// The ids of the variables in `ncid`.
Result<std::vector<int>> VarIds(int ncid) {
  int nvars = 0;
  Status s = NcCheck(nc_inq_varids(ncid, &nvars, nullptr), "nc_inq_varids", ErrorCode::kMalformed,
                     "variables");
  std::vector<int> ids(static_cast<std::size_t>(std::max(nvars, 0)));
  if (s.ok()) {
    s = NcCheck(nc_inq_varids(ncid, &nvars, ids.data()), "nc_inq_varids", ErrorCode::kMalformed,
                "variables");
  }
  if (!s.ok()) return s;
  return ids;
}

Status ReadMoments(const SweepPlace& place, std::size_t rays, bool samples, int index,
                   Volume* volume, Notes* notes) {
  const Result<int> time_dim = DimId(place.ncid, "time"), range_dim = DimId(place.ncid, "range"),
                    points_dim = DimId(place.ncid, "n_points");
  const Result<std::vector<int>> ids = VarIds(place.ncid);
  for (const Status& s :
       {time_dim.status(), range_dim.status(), points_dim.status(), ids.status()}) {
    if (!s.ok()) return SweepError(s.code(), index, "", s.message());
  }
  Sweep* sweep = volume->mutable_sweep(index);
  auto* sc = volume->mutable_volume_config()->mutable_sweep_config(index);
  for (int var : *ids) {
    const Result<NcVarInfo> info = InqVar(place.ncid, var);
    if (!info.ok()) return SweepError(info.status().code(), index, "", info.status().message());
    bool bad = false;
    if (!IsMomentVar(*info, place, *time_dim, *range_dim, *points_dim, &bad)) continue;
    const std::string& name = info->name;
    if (bad) return SweepError(ErrorCode::kInvalidArgument, index, name, "second dimension is not range");
    const nc_type type = info->type;
    const bool scaled = HasAtt(place.ncid, var, "scale_factor") || HasAtt(place.ncid, var, "add_offset");
    const MissingMarks missing = PlanMissing(place.ncid, var, type, scaled, name, notes);
    Status s = ReadSamples(place.ncid, var, name, place, rays, samples, index, missing,
                           &(*sweep->mutable_sweep_moments())[name], notes);
    if (!s.ok()) return s;
    (*sc->mutable_data_moments())[name] = ReadDescriptor(place.ncid, var, name, missing, notes);
  }
  return Status::Ok();
}

// Ray times; a time that is NaN or the variable's _FillValue is left unset.
// The sweep's start and end are its first and last ray times (CF/Radial
// holds no ray ends).
Status ReadTimes(const SweepPlace& place, std::size_t rays, Sweep* sweep) {
  std::vector<double> time;
  Status s = GetDoubles(place.ncid, "time", place.first_ray, rays, &time);
  const int var = VarId(place.ncid, "time");
  std::string units;
  if (s.ok()) s = GetAttText(place.ncid, var, "units", &units);
  if (!s.ok()) return s;
  double epoch = 0, unit_s = 0;
  if (!ParseTimeUnits(units, &unit_s, &epoch)) {
    return NcError(ErrorCode::kInvalidArgument, "time", "units are not \"<unit> since <time>\": " + units);
  }
  const std::vector<double> fill = AttNumbers(place.ncid, var, "_FillValue");
  double first = INFINITY, last = -INFINITY;
  for (std::size_t r = 0; r < rays; ++r) {
    if (!std::isfinite(time[r]) || (!fill.empty() && time[r] == fill[0])) continue;
    const double t = epoch + time[r] * unit_s;
    if (!(std::fabs(t) < 1e13)) continue;  // beyond any date a Timestamp holds here
    *sweep->mutable_rays(static_cast<int>(r))->mutable_aq_start_time() = FromEpochSeconds(t);
    first = std::min(first, t);
    last = std::max(last, t);
  }
  if (first <= last) {
    *sweep->mutable_input_timespan()->mutable_start() = FromEpochSeconds(first);
    *sweep->mutable_input_timespan()->mutable_end() = FromEpochSeconds(last);
  }
  return Status::Ok();
}

}  // namespace

Status ReadSweepRays(const SweepPlace& place, std::size_t rays, bool samples, int index,
                     Volume* volume, Notes* notes) {
  std::vector<double> az, el;
  Status s = GetDoubles(place.ncid, "azimuth", place.first_ray, rays, &az);
  if (s.ok()) s = GetDoubles(place.ncid, "elevation", place.first_ray, rays, &el);
  if (!s.ok()) return s;
  Sweep* sweep = volume->mutable_sweep(index);
  for (std::size_t r = 0; r < rays; ++r) {
    Ray* ray = sweep->add_rays();
    ray->set_index(static_cast<std::int32_t>(r));
    ray->set_ray_config_index(index);
    ray->mutable_az_range_deg()->set_start_deg(az[r]);
    ray->mutable_el_range_deg()->set_start_deg(el[r]);
  }
  s = ReadTimes(place, rays, sweep);
  return s.ok() ? ReadMoments(place, rays, samples, index, volume, notes) : s;
}

}  // namespace formats
}  // namespace common_dto
