// Quantity table, sweep geometry and time text shared by the formats.
#include "quantities.h"

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common_dto/model/buffers.h"
#include "common_dto/model/references.h"

namespace common_dto {
namespace formats {

using kyt::pb::common::DataBuffer;
using kyt::pb::common::DataDescriptor;
using kyt::pb::common::DataUnit;
using kyt::pb::common::Sweep;
using kyt::pb::common::SweepConfig;
using kyt::pb::common::Volume;
namespace pb = kyt::pb::common;

namespace {

constexpr auto kH = DataDescriptor::HORIZONTAL_POLARIZATION;
constexpr auto kV = DataDescriptor::VERTICAL_POLARIZATION;
constexpr auto kAll = DataDescriptor::ALL;

// The tables (quantities with their CF/Radial standard names, standard
// names other producers use, unit spellings, sweep modes and the moment names
// of the processors' formats) are generated from vocabulary/vocabulary.json,
// which the Python package reads as well. The first spelling of a unit or
// sweep mode is the one written; every spelling is read.
struct Alias {
  const char* standard_name;
  const char* quantity;
};
struct UnitName {
  DataUnit unit;
  const char* text;
};
struct ModeName {
  SweepConfig::SweepType type;
  const char* text;
};
struct NativeName {
  const char* format;
  const char* name;
  const char* quantity;
};

#include "vocabulary_tables.inc"

}  // namespace

const Quantity* FindQuantity(std::string_view name) {
  for (const Quantity& q : kQuantities) {
    if (name == q.name) return &q;
  }
  return nullptr;
}

const Quantity* FindQuantityByStandardName(std::string_view standard_name) {
  if (standard_name.empty()) return nullptr;
  for (const Quantity& q : kQuantities) {
    if (standard_name == q.standard_name) return &q;
  }
  for (const Alias& a : kAliases) {
    if (standard_name == a.standard_name) return FindQuantity(a.quantity);
  }
  return nullptr;
}

DataDescriptor DescriptorFor(const std::string& name) {
  DataDescriptor d;
  d.set_short_name(name);
  if (const Quantity* q = FindQuantity(name)) {
    d.set_type(q->type);
    d.set_polarization(q->polarization);
    d.set_data_unit(q->unit);
  }
  return d;
}

const char* UnitText(DataUnit unit) {
  for (const UnitName& u : kUnits) {
    if (u.unit == unit) return u.text;
  }
  return "";
}

DataUnit UnitFromText(std::string_view text) {
  for (const UnitName& u : kUnits) {
    if (text == u.text) return u.unit;
  }
  return pb::ASSUMED_UNIT;
}

const char* SweepModeText(SweepConfig::SweepType type) {
  for (const ModeName& m : kSweepModes) {
    if (m.type == type) return m.text;
  }
  return kSweepModes[0].text;  // a sweep of unknown type is written as a PPI
}

SweepConfig::SweepType SweepModeFromText(std::string_view text) {
  for (const ModeName& m : kSweepModes) {
    if (text == m.text) return m.type;
  }
  return SweepConfig::UNKNOWN;
}

const char* QuantityOfNativeName(std::string_view format, std::string_view name) {
  for (const NativeName& n : kNativeNames) {
    if (*n.format != '\0' && format == n.format && name == n.name) return n.quantity;
  }
  return nullptr;
}

const pb::SweepConfig* SweepConfigOf(const Volume& volume, const Sweep& sweep) {
  return ResolveSweepConfig(volume.has_volume_config() ? &volume.volume_config() : nullptr,
                            sweep.description().config());
}

const pb::RayConfig* RayConfigOf(const Volume& volume, const Sweep& sweep) {
  const pb::VolumeConfig* config = volume.has_volume_config() ? &volume.volume_config() : nullptr;
  if (sweep.rays_size() > 0) {
    if (const pb::RayConfig* rc = ResolveRayConfig(config, sweep.rays(0))) return rc;
  }
  const pb::SweepConfig* sc = SweepConfigOf(volume, sweep);
  if (sc != nullptr && sc->ray_config_ref_size() > 0) {
    return ResolveRayConfig(config, sc->ray_config_ref(0));
  }
  return nullptr;
}

std::vector<std::string> MomentNames(const Sweep& sweep) {
  std::vector<std::string> names;
  for (const auto& [name, buffer] : sweep.sweep_moments()) names.push_back(name);
  std::sort(names.begin(), names.end());
  return names;
}

Status SweepError(ErrorCode code, int index, const std::string& moment, const std::string& what) {
  Location location;
  location.field = "sweep[" + std::to_string(index) + "]";
  location.moment = moment;
  std::string text = location.field;
  if (!moment.empty()) text += " moment " + moment;
  return Status(code, text + ": " + what, location);
}

Status SweepRange(const Volume& volume, int index, RangeAxis* axis) {
  const Sweep& sweep = volume.sweep(index);
  const pb::StepScale* scale = nullptr;
  if (const pb::SweepConfig* sc = SweepConfigOf(volume, sweep);
      sc != nullptr && sc->range_scale().range_m_size() > 0) {
    scale = &sc->range_scale().range_m(0);
  } else if (const pb::RayConfig* rc = RayConfigOf(volume, sweep);
             rc != nullptr && rc->range_scale().range_m_size() > 0) {
    scale = &rc->range_scale().range_m(0);
  }
  *axis = RangeAxis{};
  if (scale != nullptr) {
    axis->start_m = scale->start();
    axis->step_m = scale->step();
  }
  const std::int64_t rays = sweep.rays_size();
  std::int64_t gates = -1;
  for (const std::string& name : MomentNames(sweep)) {
    const DataBuffer& b = sweep.sweep_moments().at(name);
    const int width = SampleWidth(b.type());
    if (width == 0) return SweepError(ErrorCode::kUnsupported, index, name, "storage type without a fixed width");
    const std::int64_t bytes = b.compression() == DataBuffer::LZ4
                                   ? b.uncompressed_size()
                                   : static_cast<std::int64_t>(b.data().size());
    if (rays == 0 || bytes % (rays * width) != 0) {
      return SweepError(ErrorCode::kInvalidArgument, index, name,
                        "samples do not divide into " + std::to_string(rays) + " rays");
    }
    const std::int64_t g = bytes / (rays * width);
    if (gates >= 0 && g != gates) {
      return SweepError(ErrorCode::kInvalidArgument, index, name,
                        "moments of the sweep differ in gates per ray");
    }
    gates = g;
  }
  axis->gates = gates < 0 ? (scale != nullptr ? scale->count() : 0) : gates;
  if (scale != nullptr && gates >= 0 && scale->count() != 0 && scale->count() != gates) {
    return SweepError(ErrorCode::kInvalidArgument, index, "",
                      "range scale counts " + std::to_string(scale->count()) +
                          " gates, the samples hold " + std::to_string(gates));
  }
  return Status::Ok();
}

Status SweepSamples(const DataBuffer& buffer, std::int64_t rays, std::int64_t gates,
                    std::string* scratch, std::string_view* out) {
  if (buffer.compression() == DataBuffer::LZ4) {
    scratch->clear();
    Status status = AppendUncompressed(buffer, scratch);
    if (!status.ok()) return status;
    *out = *scratch;
  } else {
    *out = buffer.data();
  }
  const std::int64_t expected = rays * gates * SampleWidth(buffer.type());
  if (static_cast<std::int64_t>(out->size()) != expected) {
    return Status(ErrorCode::kInvalidArgument,
                  "samples hold " + std::to_string(out->size()) + " bytes, expected " +
                      std::to_string(expected));
  }
  return Status::Ok();
}

namespace {

// The codes `type` holds, [lo, hi]; false for a type without integer codes.
bool TypeCodes(int type, std::int64_t* lo, std::int64_t* hi) {
  switch (type) {
    case DataBuffer::UINT8: *lo = 0, *hi = 0xff; return true;
    case DataBuffer::UINT16: *lo = 0, *hi = 0xffff; return true;
    case DataBuffer::INT32: *lo = INT32_MIN, *hi = INT32_MAX; return true;
    case DataBuffer::INT64: *lo = INT64_MIN, *hi = INT64_MAX; return true;
    default: return false;
  }
}

std::int64_t CodeAt(const char* p, int width, bool big, bool is_signed) {
  std::uint64_t u = 0;
  for (int i = 0; i < width; ++i) {
    const auto byte = static_cast<std::uint64_t>(static_cast<unsigned char>(p[big ? i : width - 1 - i]));
    u = (u << 8) | byte;
  }
  if (is_signed && width < 8 && (u >> (8 * width - 1)) != 0) u |= ~std::uint64_t{0} << (8 * width);
  return static_cast<std::int64_t>(u);
}

void PutCode(char* p, int width, bool big, std::int64_t code) {
  const auto u = static_cast<std::uint64_t>(code);
  for (int i = 0; i < width; ++i) {
    p[big ? width - 1 - i : i] = static_cast<char>((u >> (8 * i)) & 0xff);
  }
}

}  // namespace

std::optional<std::int64_t> MissingCode(const LinearDataScale& lin, int storage_type) {
  std::int64_t tlo = 0, thi = 0, lo = 0, hi = 0;
  if (!TypeCodes(storage_type, &tlo, &thi)) return std::nullopt;
  if (lin.not_scanned() >= tlo && lin.not_scanned() <= thi) return lin.not_scanned();
  if (!ValidCodeRange(lin, &lo, &hi)) return std::nullopt;
  // Two candidates each side: one of them may be the under-threshold code.
  for (std::int64_t c : {tlo, tlo + 1}) {
    if (c < lo && c != lin.under_threshold()) return c;
  }
  for (std::int64_t c = hi; c < thi && c < hi + 2;) {
    if (++c != lin.under_threshold()) return c;
  }
  return std::nullopt;
}

bool NativeBig() {
  const std::uint16_t one = 1;
  unsigned char first = 0;
  std::memcpy(&first, &one, 1);
  return first == 0;
}

bool TypeHoldsCode(int type, std::int64_t code) {
  std::int64_t lo = 0, hi = 0;
  return !TypeCodes(type, &lo, &hi) || (code >= lo && code <= hi);
}

Sample SampleAt(const char* p, int type, int endian) {
  const bool big =
      endian == DataBuffer::BIG || (endian == DataBuffer::UNKNOWN_ENDIANNESS && NativeBig());
  Sample s;
  const int width = SampleWidth(type);
  if (type != DataBuffer::FLOAT && type != DataBuffer::DOUBLE) {
    s.code = CodeAt(p, width, big, type == DataBuffer::INT32 || type == DataBuffer::INT64);
    s.value = static_cast<double>(s.code);
    return s;
  }
  s.is_float = true;
  const std::uint64_t bits = static_cast<std::uint64_t>(CodeAt(p, width, big, false));
  if (type == DataBuffer::FLOAT) {
    const auto narrow = static_cast<std::uint32_t>(bits);
    float v;
    std::memcpy(&v, &narrow, sizeof v);
    s.value = v;
  } else {
    std::memcpy(&s.value, &bits, sizeof s.value);
  }
  return s;
}

Gate GateOf(const DataDescriptor* d, const Sample& sample) {
  Gate g{CodeKind::kValue, sample.code, sample.value};
  const bool linear = d != nullptr && d->scale().type() == DataDescriptor::DataScale::LINEAR;
  if (std::isnan(sample.value)) {
    g.kind = CodeKind::kNotScanned;
    return g;
  }
  if (!linear) return g;
  const LinearDataScale& lin = d->scale().linear_scale();
  if (sample.is_float) {
    if (sample.value == lin.under_threshold()) g.kind = CodeKind::kUnderThreshold;
    else if (sample.value == lin.not_scanned()) g.kind = CodeKind::kNotScanned;
  } else {
    g.kind = ClassifyCode(lin, sample.code);
  }
  if (g.kind == CodeKind::kUnderThreshold && lin.under_threshold() == lin.not_scanned()) {
    g.kind = CodeKind::kNotScanned;
  }
  g.value = lin.offset() + lin.step() * sample.value;
  return g;
}

std::string OutOfRangeText(const LinearDataScale& lin, int sweep, std::int64_t gates,
                           const std::vector<std::int64_t>& codes) {
  std::int64_t lo = 0, hi = 0;
  ValidCodeRange(lin, &lo, &hi);
  std::string text = "sweep[" + std::to_string(sweep) + "]: " + std::to_string(gates) +
                     " gates with codes outside the valid range " +
                     std::to_string(lo) + ".." + (hi == INT64_MAX ? "" : std::to_string(hi)) + " (";
  for (std::size_t i = 0; i < codes.size(); ++i) text += (i ? ", " : "") + std::to_string(codes[i]);
  return text + (codes.size() == 4 ? ", ...)" : ")");
}

void MaskOutOfRange(const DataDescriptor* d, int type, int endian,
                    std::optional<std::int64_t> missing, int sweep, const std::string& field,
                    const std::string& name, std::string* scratch, std::string_view* samples,
                    Notes* notes) {
  std::int64_t tlo = 0, thi = 0;
  if (d == nullptr || d->scale().type() != DataDescriptor::DataScale::LINEAR ||
      !ValidCodeRange(d->scale().linear_scale(), nullptr, nullptr) || !TypeCodes(type, &tlo, &thi)) {
    return;
  }
  const LinearDataScale& lin = d->scale().linear_scale();
  const int width = SampleWidth(type);
  const bool big = endian == DataBuffer::BIG;
  const bool is_signed = type == DataBuffer::INT32 || type == DataBuffer::INT64;
  std::int64_t gates = 0;
  std::vector<std::int64_t> codes;  // the first few distinct codes, for the note
  for (std::size_t at = 0; at + width <= samples->size(); at += static_cast<std::size_t>(width)) {
    const std::int64_t code = CodeAt(samples->data() + at, width, big, is_signed);
    if (ClassifyCode(lin, code) != CodeKind::kOutOfRange) continue;
    ++gates;
    if (codes.size() < 4 && std::find(codes.begin(), codes.end(), code) == codes.end()) {
      codes.push_back(code);
    }
    if (!missing || code == *missing) continue;
    if (samples->data() != scratch->data()) {
      scratch->assign(*samples);
      *samples = *scratch;
    }
    PutCode(&(*scratch)[at], width, big, *missing);
  }
  if (gates == 0) return;
  const std::string text = OutOfRangeText(lin, sweep, gates, codes);
  if (missing) {
    notes->push_back({NoteKind::kConverted, field, name,
                      text + " written as the missing code " + std::to_string(*missing)});
  } else {
    notes->push_back({NoteKind::kNotCarried, field, name,
                      text + " written unchanged: the storage type has no code left for missing"});
  }
}

double EpochSeconds(const google::protobuf::Timestamp& t) {
  return static_cast<double>(t.seconds()) + t.nanos() * 1e-9;
}

google::protobuf::Timestamp FromEpochSeconds(double seconds) {
  google::protobuf::Timestamp t;
  if (!std::isfinite(seconds) || std::fabs(seconds) > 1e13) return t;
  const double whole = std::floor(seconds);
  std::int64_t micros = std::llround((seconds - whole) * 1e6);
  std::int64_t secs = static_cast<std::int64_t>(whole);
  if (micros >= 1000000) {
    micros -= 1000000;
    ++secs;
  }
  t.set_seconds(secs);
  t.set_nanos(static_cast<std::int32_t>(micros * 1000));
  return t;
}

namespace {
std::string Strftime(std::int64_t epoch, const char* format) {
  const std::time_t t = static_cast<std::time_t>(epoch);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[64];
  const std::size_t n = std::strftime(text, sizeof text, format, &tm);
  return std::string(text, n);
}

bool Digits(std::string_view text, std::size_t pos, std::size_t n, int* out) {
  if (pos + n > text.size()) return false;
  int v = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *out = v;
  return true;
}

}  // namespace

bool CivilToEpoch(int y, int mo, int d, int h, int mi, int s, std::int64_t* epoch) {
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 24 || mi > 59 || s > 60) return false;
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  *epoch = static_cast<std::int64_t>(timegm(&tm));
  return true;
}


std::string FormatDate(std::int64_t epoch) { return Strftime(epoch, "%Y%m%d"); }
std::string FormatClock(std::int64_t epoch) { return Strftime(epoch, "%H%M%S"); }
std::string FormatIso(std::int64_t epoch) { return Strftime(epoch, "%Y-%m-%dT%H:%M:%SZ"); }

bool ParseDateClock(const std::string& date, const std::string& clock, std::int64_t* epoch) {
  int y, mo, d, h, mi, s;
  if (date.size() != 8 || clock.size() != 6) return false;
  if (!Digits(date, 0, 4, &y) || !Digits(date, 4, 2, &mo) || !Digits(date, 6, 2, &d) ||
      !Digits(clock, 0, 2, &h) || !Digits(clock, 2, 2, &mi) || !Digits(clock, 4, 2, &s)) {
    return false;
  }
  return CivilToEpoch(y, mo, d, h, mi, s, epoch);
}

bool ParseIso(std::string_view text, std::int64_t* epoch) {
  int y, mo, d, h, mi, s;
  if (text.size() < 19 || text[4] != '-' || text[7] != '-' || (text[10] != 'T' && text[10] != ' ') ||
      text[13] != ':' || text[16] != ':') {
    return false;
  }
  if (!Digits(text, 0, 4, &y) || !Digits(text, 5, 2, &mo) || !Digits(text, 8, 2, &d) ||
      !Digits(text, 11, 2, &h) || !Digits(text, 14, 2, &mi) || !Digits(text, 17, 2, &s)) {
    return false;
  }
  return CivilToEpoch(y, mo, d, h, mi, s, epoch);
}

bool DeriveRayTimes(Sweep* sweep) {
  const int n = sweep->rays_size();
  const auto& span = sweep->input_timespan();
  if (n == 0 || !span.has_start() || !span.has_end()) return false;
  for (const auto& ray : sweep->rays()) {
    if (ray.has_aq_start_time() || ray.has_aq_end_time()) return false;
  }
  const double t0 = EpochSeconds(span.start());
  const double step = (EpochSeconds(span.end()) - t0) / n;
  if (!(step >= 0)) return false;
  const int first = sweep->first_azimuth_gate_index();
  const int a1 = first >= 0 && first < n ? first : 0;
  for (int r = 0; r < n; ++r) {
    const int k = (r - a1 + n) % n;  // position in the order of acquisition
    auto* ray = sweep->mutable_rays(r);
    // The first start and the last end are the sweep's own, to the nanosecond.
    *ray->mutable_aq_start_time() = k == 0 ? span.start() : FromEpochSeconds(t0 + k * step);
    *ray->mutable_aq_end_time() = k == n - 1 ? span.end() : FromEpochSeconds(t0 + (k + 1) * step);
  }
  return true;
}

}  // namespace formats
}  // namespace common_dto
