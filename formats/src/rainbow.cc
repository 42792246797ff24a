// Rainbow 5 volume files into the model (see rainbow.h for the mapping).
#include "common_dto/formats/rainbow.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <set>

#include "quantities.h"
#include "rainbow_internal.h"

namespace common_dto {
namespace formats {

using kyt::pb::common::DataBuffer;
using kyt::pb::common::DataDescriptor;
using kyt::pb::common::Instrument;
using kyt::pb::common::Ray;
using kyt::pb::common::RayConfig;
using kyt::pb::common::Sweep;
using kyt::pb::common::SweepConfig;
using kyt::pb::common::Volume;
using rainbow::XmlElement;

namespace {

constexpr std::int64_t kMaxRays = 65536;
constexpr std::int64_t kMaxBins = 1 << 20;
constexpr std::size_t kMaxSlices = 1000;
constexpr double kLightSpeed = 299792458.0;

Status Error(ErrorCode code, const std::string& field, const std::string& what,
             const std::string& moment = "") {
  Location location;
  location.field = field;
  location.moment = moment;
  return Status(code, field + ": " + what, location);
}

// Memory a ray's record takes, counted against the budget below.
constexpr std::uint64_t kRayCost = 128;

// What the whole read shares: the input, its BLOBs and the notes.
struct Context {
  std::string_view bytes;
  std::map<std::int64_t, rainbow::Blob> blobs;
  // Bytes still to be decoded and rays still to be made: MaxSampleBytes of
  // the input in all, so that BLOBs referenced by many slices cannot
  // multiply memory beyond what the input holds.
  mutable std::uint64_t budget = 0;
  Notes* notes = nullptr;
};

Status Spend(const Context& c, std::uint64_t bytes, const std::string& path) {
  if (bytes > c.budget) {
    return Error(ErrorCode::kTooLarge, path,
                 "more samples and rays than a file of " + std::to_string(c.bytes.size()) +
                     " bytes can hold");
  }
  c.budget -= bytes;
  return Status::Ok();
}

// A slice's setting: its own element, else the first slice's, else the
// scan's pargroup's.
class Settings {
 public:
  Settings(const XmlElement* slice, const XmlElement* first, const XmlElement* pargroup)
      : levels_{slice, first, pargroup} {}

  const XmlElement* Find(std::string_view name) const {
    for (const XmlElement* level : levels_) {
      if (level == nullptr) continue;
      if (const XmlElement* e = level->Child(name)) return e;
    }
    return nullptr;
  }
  // The setting as a number; nullopt when absent. Text that is no number
  // is an error, or with `notes` a note (the setting then left out).
  Status Number(std::string_view name, const std::string& path, std::optional<double>* out,
                Notes* notes = nullptr) const {
    const XmlElement* e = Find(name);
    double v = 0;
    if (e == nullptr) return Status::Ok();
    if (!rainbow::ParseNumber(e->text, &v)) {
      const std::string what = "not a number: \"" + e->text + "\"";
      if (notes == nullptr)
        return Error(ErrorCode::kMalformed, path + "/" + std::string(name), what);
      notes->push_back({NoteKind::kNotCarried, "slice/" + std::string(name), "",
                        "slice/" + std::string(name) + " " + what + "; not carried"});
      return Status::Ok();
    }
    *out = v;
    return Status::Ok();
  }

 private:
  const XmlElement* levels_[3];
};

// An attribute, else a child element's text, of `e` (null when neither).
const std::string* Value(const XmlElement* e, std::string_view name) {
  if (e == nullptr) return nullptr;
  if (const std::string* a = e->Attribute(name)) return a;
  const XmlElement* child = e->Child(name);
  return child != nullptr ? &child->text : nullptr;
}

// ---- Times ------------------------------------------------------------------

// "YYYY-MM-DD" and "HH:MM:SS[.fff]" as seconds since 1970.
bool ParseDateTime(const std::string& date, const std::string& clock, double* out) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, n = 0;
  double sec = 0;
  if (std::sscanf(date.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &n) != 3 ||
      n != static_cast<int>(date.size())) {
    return false;
  }
  if (std::sscanf(clock.c_str(), "%2d:%2d:%lf%n", &h, &mi, &sec, &n) != 3 ||
      n != static_cast<int>(clock.size()) || !(sec >= 0 && sec < 61)) {
    return false;
  }
  std::int64_t epoch = 0;
  const int whole = static_cast<int>(std::floor(sec));
  if (!CivilToEpoch(y, mo, d, h, mi, whole, &epoch)) return false;
  *out = static_cast<double>(epoch) + (sec - whole);
  return true;
}

// "YYYY-MM-DDTHH:MM:SS[.fff]".
bool ParseStamp(const std::string& text, double* out) {
  const std::size_t t = text.find('T');
  return t != std::string::npos && ParseDateTime(text.substr(0, t), text.substr(t + 1), out);
}

// A date and time pair of `e`; nullopt when absent, an error when unreadable.
Status DateTimeOf(const XmlElement* e, const std::string& path, std::optional<double>* out) {
  const std::string* date = Value(e, "date");
  const std::string* clock = Value(e, "time");
  if (date == nullptr || clock == nullptr) return Status::Ok();
  double t = 0;
  if (!ParseDateTime(*date, *clock, &t)) {
    return Error(ErrorCode::kInvalidArgument, path, "not a date and time: " + *date + " " + *clock);
  }
  *out = t;
  return Status::Ok();
}

// The slice's start: datetimehighaccuracy, else date and time.
Status SliceStart(const XmlElement& slicedata, const std::string& path,
                  std::optional<double>* out) {
  if (const std::string* precise = slicedata.Attribute("datetimehighaccuracy")) {
    double t = 0;
    if (ParseStamp(*precise, &t)) {
      *out = t;
      return Status::Ok();
    }
  }
  return DateTimeOf(&slicedata, path, out);
}

// ---- BLOB contents ------------------------------------------------------------

// The integer attribute `name` of `e`, required.
Status RequireInteger(const XmlElement& e, const char* name, const std::string& path,
                      std::int64_t* out) {
  const std::string* text = e.Attribute(name);
  if (text == nullptr) return Error(ErrorCode::kMalformed, path + "/@" + name, "missing attribute");
  if (!rainbow::ParseInteger(*text, out)) {
    return Error(ErrorCode::kMalformed, path + "/@" + name,
                 "not a whole number: \"" + *text + "\"");
  }
  return Status::Ok();
}

// The bytes of the BLOB `e` refers to, which must number `expected`.
Status ReferencedBytes(const Context& c, const XmlElement& e, const std::string& path,
                       std::uint64_t expected, std::string* out) {
  std::int64_t id = 0;
  Status s = RequireInteger(e, "blobid", path, &id);
  if (!s.ok()) return s;
  const auto blob = c.blobs.find(id);
  if (blob == c.blobs.end()) {
    return Error(ErrorCode::kTruncated, path,
                 "BLOB " + std::to_string(id) + " is not in the file (cut short?)");
  }
  s = rainbow::BlobBytes(c.bytes, blob->second, id, c.budget, out);
  if (!s.ok()) return Error(s.code(), path, s.message());
  s = Spend(c, out->size(), path);
  if (!s.ok()) return s;
  if (out->size() != expected) {
    return Error(ErrorCode::kInvalidArgument, path,
                 "BLOB " + std::to_string(id) + " holds " + std::to_string(out->size()) +
                     " bytes, its rays and " + "depth need " + std::to_string(expected));
  }
  return Status::Ok();
}

// The `rays` big-endian codes of a rayinfo (depth 8 to 64 bits).
Status RayCodes(const Context& c, const XmlElement& info, const std::string& path,
                std::int64_t rays, int* depth_out, std::vector<std::uint64_t>* codes) {
  std::int64_t n = 0, depth = 0;
  Status s = FirstError(
      {RequireInteger(info, "rays", path, &n), RequireInteger(info, "depth", path, &depth)});
  if (!s.ok()) return s;
  if (n != rays) {
    return Error(ErrorCode::kInvalidArgument, path,
                 std::to_string(n) + " rays, the slice's data has " + std::to_string(rays));
  }
  if (depth != 8 && depth != 16 && depth != 32 && depth != 64) {
    return Error(ErrorCode::kUnsupported, path + "/@depth",
                 "depth " + std::to_string(depth) + " is not read");
  }
  const std::size_t width = static_cast<std::size_t>(depth / 8);
  std::string bytes;
  s = ReferencedBytes(c, info, path, static_cast<std::uint64_t>(rays) * width, &bytes);
  if (!s.ok()) return s;
  codes->assign(static_cast<std::size_t>(rays), 0);
  for (std::size_t r = 0; r < codes->size(); ++r) {
    std::uint64_t v = 0;
    for (std::size_t b = 0; b < width; ++b)
      v = (v << 8) | static_cast<unsigned char>(bytes[r * width + b]);
    (*codes)[r] = v;
  }
  *depth_out = static_cast<int>(depth);
  return Status::Ok();
}

// ---- Moments ------------------------------------------------------------------

struct Moment {
  std::string name;
  DataDescriptor descriptor;
  DataBuffer buffer;
  std::int64_t rays = 0, bins = 0, width = 0;
};

// The descriptor of native moment `native`, with its scale.
DataDescriptor MomentDescriptor(const std::string& native, const std::string& name, int depth,
                                double min, double max) {
  DataDescriptor d = DescriptorFor(name);
  d.set_short_name(name);
  d.set_description(native);
  auto* scale = d.mutable_scale();
  scale->set_type(DataDescriptor::DataScale::LINEAR);
  auto* lin = scale->mutable_linear_scale();
  const double step = (max - min) / (std::ldexp(1.0, depth) - 2.0);
  lin->set_step(step);
  lin->set_offset(min - step);
  lin->set_not_scanned(0);
  lin->set_under_threshold(0);
  return d;
}

// One <rawdata>: its samples and scale. *skip when its depth is not one the
// model holds (noted).
Status ReadMoment(const Context& c, const XmlElement& raw, const std::string& path, Moment* m,
                  bool* skip) {
  const std::string* type = raw.Attribute("type");
  if (type == nullptr || type->empty())
    return Error(ErrorCode::kMalformed, path + "/@type", "missing attribute");
  std::int64_t depth = 0;
  Status s = FirstError({RequireInteger(raw, "depth", path, &depth),
                         RequireInteger(raw, "rays", path, &m->rays),
                         RequireInteger(raw, "bins", path, &m->bins)});
  if (!s.ok()) return s;
  if (depth != 8 && depth != 16) {
    c.notes->push_back({NoteKind::kNotCarried, path, *type,
                        "samples of depth " + std::to_string(depth) + " bits not carried"});
    *skip = true;
    return Status::Ok();
  }
  if (m->rays < 0 || m->rays > kMaxRays || m->bins < 0 || m->bins > kMaxBins) {
    return Error(
        ErrorCode::kTooLarge, path,
        "rays or bins outside 0.." + std::to_string(kMaxRays) + ", 0.." + std::to_string(kMaxBins),
        *type);
  }
  double min = 0, max = 0;
  for (auto [key, out] : {std::pair{"min", &min}, std::pair{"max", &max}}) {
    const std::string* text = raw.Attribute(key);
    if (text == nullptr || !rainbow::ParseNumber(*text, out)) {
      return Error(ErrorCode::kMalformed, path + "/@" + key,
                   text ? "not a number" : "missing attribute", *type);
    }
  }
  m->width = depth / 8;
  const std::uint64_t bytes = static_cast<std::uint64_t>(m->rays * m->bins * m->width);
  if (bytes > 0x7fffffffu)
    return Error(ErrorCode::kTooLarge, path, "2 GiB or more of samples", *type);
  s = ReferencedBytes(c, raw, path, bytes, m->buffer.mutable_data());
  if (!s.ok()) return s;
  const char* quantity = QuantityOfNativeName("rainbow", *type);
  m->name = quantity != nullptr ? quantity : *type;
  if (quantity == nullptr) {
    c.notes->push_back({NoteKind::kUnknownName, path + "/@type", m->name,
                        "no ODIM quantity; kept under its name"});
  }
  m->descriptor = MomentDescriptor(*type, m->name, static_cast<int>(depth), min, max);
  m->buffer.set_type(depth == 8 ? DataBuffer::UINT8 : DataBuffer::UINT16);
  m->buffer.set_endian(DataBuffer::BIG);
  m->buffer.set_compression(DataBuffer::NONE);
  m->buffer.set_uncompressed_size(static_cast<std::int32_t>(bytes));
  return Status::Ok();
}

// Rows of `m` widened to `bins` gates with the no-data code 0.
void Pad(Moment* m, std::int64_t bins) {
  const std::size_t row = static_cast<std::size_t>(m->bins * m->width);
  const std::size_t wide = static_cast<std::size_t>(bins * m->width);
  std::string out(static_cast<std::size_t>(m->rays) * wide, '\0');
  for (std::int64_t r = 0; r < m->rays; ++r) {
    out.replace(static_cast<std::size_t>(r) * wide, row, m->buffer.data(),
                static_cast<std::size_t>(r) * row, row);
  }
  *m->buffer.mutable_data() = std::move(out);
  m->buffer.set_uncompressed_size(static_cast<std::int32_t>(m->buffer.data().size()));
  m->bins = bins;
}

// The moments of a slice, all with the same rays and gates (shorter ones
// padded). *rays: their ray count (-1 when the slice has no moment).
Status ReadMoments(const Context& c, const XmlElement& slicedata, const std::string& path,
                   std::vector<Moment>* out, std::int64_t* rays) {
  const auto raws = slicedata.Children("rawdata");
  *rays = -1;
  std::int64_t bins = 0;
  for (std::size_t k = 0; k < raws.size(); ++k) {
    const std::string at = path + "/rawdata[" + std::to_string(k) + "]";
    Moment m;
    bool skip = false;
    Status s = ReadMoment(c, *raws[k], at, &m, &skip);
    if (!s.ok()) return s;
    if (skip) continue;
    if (*rays >= 0 && m.rays != *rays) {
      return Error(ErrorCode::kInvalidArgument, at,
                   std::to_string(m.rays) + " rays, another moment of the slice has " +
                       std::to_string(*rays),
                   m.name);
    }
    if (std::any_of(out->begin(), out->end(), [&](const Moment& o) { return o.name == m.name; })) {
      c.notes->push_back({NoteKind::kNotCarried, at, m.name,
                          "a second moment of that name in the slice; not carried"});
      continue;
    }
    *rays = m.rays;
    bins = std::max(bins, m.bins);
    out->push_back(std::move(m));
  }
  for (Moment& m : *out) {
    if (m.bins == bins) continue;
    if (m.rays * bins * m.width > 0x7fffffff)
      return Error(ErrorCode::kTooLarge, path, "2 GiB or more of samples", m.name);
    Status s = Spend(c, static_cast<std::uint64_t>(m.rays * (bins - m.bins) * m.width), path);
    if (!s.ok()) return s;
    c.notes->push_back({NoteKind::kConverted, path, m.name,
                        "padded from " + std::to_string(m.bins) + " to " + std::to_string(bins) +
                            " gates with the no-data code 0"});
    Pad(&m, bins);
  }
  return Status::Ok();
}

// ---- Rays ---------------------------------------------------------------------

// The per-ray arrays of a slice: start and stop angles (degrees) and
// times (milliseconds from the slice's start).
struct RayInfo {
  std::vector<double> start, stop;
  std::vector<std::uint64_t> ms;
};

double Angle(std::uint64_t code, int depth) {
  return static_cast<double>(code) * 360.0 / std::ldexp(1.0, depth);
}

Status ReadRayInfo(const Context& c, const XmlElement& slicedata, const std::string& path,
                   std::int64_t rays, RayInfo* info) {
  const auto infos = slicedata.Children("rayinfo");
  std::set<std::string> seen;
  for (std::size_t k = 0; k < infos.size(); ++k) {
    const std::string at = path + "/rayinfo[" + std::to_string(k) + "]";
    const std::string* refid = infos[k]->Attribute("refid");
    const std::string ref = refid != nullptr ? *refid : "";
    if (!seen.insert(ref).second) continue;
    std::vector<std::uint64_t> codes;
    int depth = 0;
    if (ref == "startangle" || ref == "stopangle" || ref == "timestamp") {
      Status s = RayCodes(c, *infos[k], at, rays, &depth, &codes);
      if (!s.ok()) return s;
    } else {
      c.notes->push_back(
          {NoteKind::kNotCarried, "slicedata/rayinfo", "", "rayinfo \"" + ref + "\" not carried"});
      continue;
    }
    if (ref == "timestamp") {
      info->ms = std::move(codes);
      continue;
    }
    std::vector<double>& angles = ref == "startangle" ? info->start : info->stop;
    for (std::uint64_t code : codes) angles.push_back(Angle(code, depth));
  }
  if (info->start.empty() && rays > 0) {
    return Error(ErrorCode::kMalformed, path,
                 "no rayinfo with refid \"startangle\": the rays' angles are unknown");
  }
  return Status::Ok();
}

struct SliceSettings {
  std::optional<double> posangle, rangestep, startrange, anglestep, antspeed, highprf, lowprf;
  std::string stagger;
};

// An elevation code above 225 degrees is one below the horizon.
double Elevation(double angle) { return angle > 225.0 ? angle - 360.0 : angle; }

// Angles and times of the rays (times when the slice's start is known).
void BuildRays(const RayInfo& info, const SliceSettings& set, bool rhi, std::optional<double> start,
               int index, Sweep* sweep) {
  const double fixed = *set.posangle;
  for (std::size_t r = 0; r < info.start.size(); ++r) {
    Ray* ray = sweep->add_rays();
    ray->set_index(static_cast<std::int32_t>(r));
    ray->set_ray_config_index(index);
    double a0 = rhi ? Elevation(info.start[r]) : info.start[r];
    double span = set.anglestep.value_or(0);
    if (!info.stop.empty()) {
      // The shorter way round: a ray across north spans a degree, not 359;
      // one swept backwards (counter-clockwise, downwards) starts at its stop.
      span = std::remainder((rhi ? Elevation(info.stop[r]) : info.stop[r]) - a0, 360.0);
      if (span < 0) {
        a0 += span;
        if (!rhi && a0 < 0) a0 += 360.0;
        span = -span;
      }
    }
    auto* moving = rhi ? ray->mutable_el_range_deg() : ray->mutable_az_range_deg();
    moving->set_start_deg(a0);
    moving->set_span_deg(span);
    (rhi ? ray->mutable_az_range_deg() : ray->mutable_el_range_deg())->set_start_deg(fixed);
    if (start && r < info.ms.size()) {
      *ray->mutable_aq_start_time() =
          FromEpochSeconds(*start + static_cast<double>(info.ms[r]) / 1000.0);
    }
  }
}

// The sweep's start, and its ray times: from the timestamps, else derived
// from the antenna speed over the angles swept.
void SetSweepTimes(const RayInfo& info, const SliceSettings& set, std::optional<double> start,
                   const std::string& path, Sweep* sweep, Notes* notes) {
  if (start) *sweep->mutable_input_timespan()->mutable_start() = FromEpochSeconds(*start);
  if (!info.ms.empty()) {
    if (!start) {
      notes->push_back({NoteKind::kNotCarried, path, "",
                        "ray timestamps of a slice without a date and time; not carried"});
      return;
    }
    const auto first = std::min_element(info.ms.begin(), info.ms.end()) - info.ms.begin();
    sweep->set_first_azimuth_gate_index(static_cast<std::int32_t>(first));
    return;
  }
  if (!start || !set.antspeed || *set.antspeed <= 0) {
    notes->push_back({NoteKind::kNotCarried, "slicedata", "",
                      "slices without timestamps, antenna speed or date: ray times not carried"});
    return;
  }
  double swept = 0;
  for (const Ray& ray : sweep->rays()) {
    swept += std::fabs(ray.az_range_deg().span_deg()) + std::fabs(ray.el_range_deg().span_deg());
  }
  *sweep->mutable_input_timespan()->mutable_end() =
      FromEpochSeconds(*start + swept / *set.antspeed);
  if (DeriveRayTimes(sweep)) {
    notes->push_back(
        {NoteKind::kDerived, "slicedata", "",
         "slices without timestamps: sweep end from the antenna speed, ray times spread evenly"});
  }
}

// ---- Slices -------------------------------------------------------------------

struct Header {
  const XmlElement* root = nullptr;
  const XmlElement* scan = nullptr;
  const XmlElement* pargroup = nullptr;
  std::vector<const XmlElement*> slices;
  bool rhi = false;
  std::optional<double> task_start;
  std::optional<double> wavelength_m;
};

Status ReadSettings(const Settings& settings, const std::string& path, SliceSettings* set,
                    Notes* notes) {
  Status s = FirstError({settings.Number("posangle", path, &set->posangle),
                         settings.Number("rangestep", path, &set->rangestep),
                         settings.Number("startrange", path, &set->startrange),
                         settings.Number("anglestep", path, &set->anglestep, notes),
                         settings.Number("antspeed", path, &set->antspeed, notes),
                         settings.Number("highprf", path, &set->highprf, notes),
                         settings.Number("lowprf", path, &set->lowprf, notes)});
  if (!s.ok()) return s;
  if (!set->posangle) return Error(ErrorCode::kMalformed, path + "/posangle", "missing element");
  if (!set->rangestep || *set->rangestep <= 0) {
    return Error(ErrorCode::kMalformed, path + "/rangestep",
                 set->rangestep ? "not positive" : "missing element");
  }
  if (!set->startrange) {
    notes->push_back({NoteKind::kAssumed, "slice/startrange", "",
                      "no startrange: ranges taken to start at 0 km"});
  }
  if (const XmlElement* stagger = settings.Find("stagger")) set->stagger = stagger->text;
  return Status::Ok();
}

// Slice elements read; any other is named in a note.
bool IsReadSetting(const std::string& name) {
  static const std::set<std::string> kRead = {"posangle",  "rangestep", "startrange", "stoprange",
                                              "anglestep", "antspeed",  "highprf",    "lowprf",
                                              "stagger",   "slicedata"};
  return kRead.count(name) != 0;
}

void NoteSettings(const XmlElement& slice, Notes* notes) {
  for (const XmlElement& e : slice.children) {
    if (!IsReadSetting(e.name))
      notes->push_back({NoteKind::kNotCarried, "slice/" + e.name, "", ""});
  }
}

// The sweep's description, configurations and moments.
void SetGeometry(const Header& h, const SliceSettings& set, int index, std::int64_t bins,
                 std::vector<Moment>* moments, Volume* volume) {
  Sweep* sweep = volume->mutable_sweep(index);
  auto* config = volume->mutable_volume_config();
  SweepConfig* sc = config->mutable_sweep_config(index);
  RayConfig* rc = config->mutable_ray_config(index);
  sweep->mutable_description()->mutable_config()->set_sweep_config_index(index);
  sweep->mutable_description()->set_fixed_angle_deg(*set.posangle);
  sweep->set_index_in_task(index);
  if (h.task_start) *sweep->mutable_task_start() = FromEpochSeconds(*h.task_start);
  *config->mutable_sweep_descriptions(index) = sweep->description();
  sc->set_type(h.rhi ? SweepConfig::RHI : SweepConfig::PPI);
  sc->add_ray_config_ref()->set_ray_config_index(index);
  const double step = *set.rangestep * 1000.0;
  for (auto* range :
       {sc->mutable_range_scale()->add_range_m(), rc->mutable_range_scale()->add_range_m()}) {
    range->set_start(set.startrange.value_or(0) * 1000.0 + step / 2);
    range->set_step(step);
    range->set_count(static_cast<std::int32_t>(bins));
  }
  if (set.anglestep) sc->set_ray_angle_res(*set.anglestep);
  if (set.antspeed) sc->set_speed_deg_per_sec(*set.antspeed);
  const bool staggered = !set.stagger.empty() && set.stagger != "None";
  for (const auto& prf : {set.highprf, staggered ? set.lowprf : std::nullopt}) {
    if (!prf) continue;
    rc->mutable_pulse_sequence()->set_type(kyt::pb::common::PulseSequence::PRF);
    rc->mutable_pulse_sequence()->add_prf(*prf);
  }
  if (h.wavelength_m && *h.wavelength_m > 0) {
    rc->add_pulse_definition()->add_rf_frequency_mhz(kLightSpeed / *h.wavelength_m / 1e6);
  }
  for (Moment& m : *moments) {
    (*sc->mutable_data_moments())[m.name] = std::move(m.descriptor);
    (*sweep->mutable_sweep_moments())[m.name] = std::move(m.buffer);
  }
}

Status ReadSlice(const Context& c, const Header& h, int index, Volume* volume) {
  const std::string path = "slice[" + std::to_string(index) + "]";
  const XmlElement& slice = *h.slices[static_cast<std::size_t>(index)];
  SliceSettings set;
  Status s = ReadSettings(Settings(&slice, h.slices[0], h.pargroup), path, &set, c.notes);
  if (!s.ok()) return s;
  const XmlElement* slicedata = slice.Child("slicedata");
  if (slicedata == nullptr)
    return Error(ErrorCode::kMalformed, path + "/slicedata", "missing element");
  const std::string data_path = path + "/slicedata";
  std::optional<double> start;
  std::vector<Moment> moments;
  std::int64_t rays = -1;
  s = FirstError({SliceStart(*slicedata, data_path, &start),
                  ReadMoments(c, *slicedata, data_path, &moments, &rays)});
  if (s.ok() && rays < 0) {
    // No moment: the rays are the startangle array's.
    for (const XmlElement* info : slicedata->Children("rayinfo")) {
      const std::string* refid = info->Attribute("refid");
      if (refid != nullptr && *refid == "startangle")
        s = RequireInteger(*info, "rays", data_path, &rays);
    }
    if (s.ok() && (rays < 0 || rays > kMaxRays)) {
      return Error(ErrorCode::kMalformed, data_path, "neither data nor ray angles");
    }
  }
  RayInfo info;
  if (s.ok()) s = Spend(c, static_cast<std::uint64_t>(rays) * kRayCost, data_path);
  if (s.ok()) s = ReadRayInfo(c, *slicedata, data_path, rays, &info);
  if (!s.ok()) return s;
  if (!start) {
    c.notes->push_back({NoteKind::kNotCarried, "slicedata/@date", "",
                        "slices without date and time: start not carried"});
  }
  NoteSettings(slice, c.notes);
  SetGeometry(h, set, index, moments.empty() ? 0 : moments[0].bins, &moments, volume);
  Sweep* sweep = volume->mutable_sweep(index);
  BuildRays(info, set, h.rhi, start, index, sweep);
  SetSweepTimes(info, set, start, path, sweep, c.notes);
  return Status::Ok();
}

// ---- The volume -----------------------------------------------------------------

// Position, name, beam width and wavelength of the radar.
Status ReadSensor(const XmlElement& root, const XmlElement& scan, Header* h, Volume* volume,
                  Notes* notes) {
  Instrument* in = volume->mutable_instrument();
  in->set_instrument_type(Instrument::INSTR_RADAR);
  auto* radar = in->mutable_radar_properties();
  if (const std::string* version = root.Attribute("version"))
    in->set_software_name("Rainbow " + *version);
  const XmlElement* sensor = nullptr;
  for (const XmlElement* level : {&root, &scan}) {
    for (const char* name : {"sensorinfo", "radarinfo"}) {
      if (sensor == nullptr) sensor = level->Child(name);
    }
  }
  if (sensor == nullptr) {
    notes->push_back({NoteKind::kNotCarried, "sensorinfo", "",
                      "no sensorinfo: the radar's position not carried"});
    return Status::Ok();
  }
  const std::string path = sensor->name;
  std::map<std::string, double> values;
  for (const char* key : {"lat", "lon", "alt", "beamwidth", "wavelen"}) {
    const std::string* text = Value(sensor, key);
    double v = 0;
    if (text == nullptr) continue;
    if (!rainbow::ParseNumber(*text, &v))
      return Error(ErrorCode::kMalformed, path + "/" + key, "not a number");
    values[key] = v;
  }
  if (values.count("lat") == 0 || values.count("lon") == 0 || values.count("alt") == 0) {
    notes->push_back({NoteKind::kNotCarried, path, "",
                      path + " lacks lat, lon or alt: the position not carried"});
  } else {
    in->mutable_location()->mutable_lat_lon()->set_latitude_deg(values["lat"]);
    in->mutable_location()->mutable_lat_lon()->set_longitude_deg(values["lon"]);
    in->mutable_location()->set_altitude_m(values["alt"]);
  }
  if (values.count("beamwidth") != 0) {
    radar->set_horz_beam_width_deg(values["beamwidth"]);
    radar->set_vert_beam_width_deg(values["beamwidth"]);
  }
  if (values.count("wavelen") != 0) h->wavelength_m = values["wavelen"];
  if (const std::string* name = Value(sensor, "name")) in->set_name(*name);
  for (const XmlElement& e : sensor->children) {
    if (values.count(e.name) == 0 && e.name != "name")
      notes->push_back({NoteKind::kNotCarried, path + "/" + e.name, "", ""});
  }
  return Status::Ok();
}

// The root element, the kind of scan and the slices.
Status ReadHeader(const XmlElement& root, Header* h, Notes* notes) {
  h->root = &root;
  if (root.name == "product")
    return Status(ErrorCode::kUnsupported, "a Rainbow product, not a volume: not converted");
  if (root.name != "volume") return Error(ErrorCode::kMalformed, root.name, "not a Rainbow volume");
  const std::string* type = root.Attribute("type");
  if (type == nullptr) {
    notes->push_back(
        {NoteKind::kAssumed, "volume/@type", "", "no volume type: read as PPI slices"});
  } else if (*type == "ele") {
    h->rhi = true;
  } else if (*type != "vol" && *type != "azi") {
    return Error(ErrorCode::kUnsupported, "volume/@type",
                 "\"" + *type + "\" scans are not converted (vol, azi, ele)");
  }
  h->scan = root.Child("scan");
  if (h->scan == nullptr) return Error(ErrorCode::kMalformed, "volume/scan", "missing element");
  h->pargroup = h->scan->Child("pargroup");
  h->slices = h->scan->Children("slice");
  if (h->slices.empty()) return Error(ErrorCode::kMalformed, "volume/scan/slice", "no slice");
  if (h->slices.size() > kMaxSlices) {
    return Error(ErrorCode::kTooLarge, "volume/scan/slice",
                 "more than " + std::to_string(kMaxSlices) + " slices");
  }
  std::optional<double> task;
  Status s = DateTimeOf(h->scan, "volume/scan", &task);
  double t = 0;
  if (s.ok() && !task && root.Attribute("datetime") != nullptr &&
      ParseStamp(*root.Attribute("datetime"), &t))
    task = t;
  h->task_start = task;
  return s;
}

}  // namespace

bool LooksLikeRainbow(std::string_view bytes) {
  std::size_t p = 0;
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") p = 3;
  for (;;) {
    while (p < bytes.size() &&
           (bytes[p] == ' ' || bytes[p] == '\t' || bytes[p] == '\r' || bytes[p] == '\n'))
      ++p;
    if (bytes.substr(p, 2) != "<?" && bytes.substr(p, 4) != "<!--") break;
    const std::string_view close = bytes.substr(p, 2) == "<?" ? "?>" : "-->";
    const std::size_t end = bytes.find(close, p);
    if (end == std::string_view::npos) return false;
    p = end + close.size();
  }
  // A product file is recognised too, to be refused as one.
  for (std::string_view name : {"<volume", "<product"}) {
    if (bytes.substr(p, name.size()) != name || bytes.size() <= p + name.size()) continue;
    const char next = bytes[p + name.size()];
    if (next == ' ' || next == '>' || next == '\n' || next == '\r' || next == '\t') return true;
  }
  return false;
}

Status ReadRainbowBytes(std::string_view bytes, const ReadOptions& options, Volume* volume,
                        Notes* notes) {
  volume->Clear();
  Notes local;
  Context c;
  c.bytes = bytes;
  c.budget = static_cast<std::uint64_t>(MaxSampleBytes(bytes.size()));
  c.notes = notes != nullptr ? notes : &local;
  const std::size_t header_end = rainbow::HeaderEnd(bytes);
  XmlElement root;
  Status s = rainbow::ParseXml(bytes.substr(0, header_end), &root);
  if (!s.ok()) return s;
  Header h;
  s = ReadHeader(root, &h, c.notes);
  if (s.ok()) s = rainbow::FindBlobs(bytes, header_end, &c.blobs, c.notes);
  if (s.ok()) s = ReadSensor(root, *h.scan, &h, volume, c.notes);
  if (!s.ok()) return s;
  auto* config = volume->mutable_volume_config();
  const int n = static_cast<int>(h.slices.size());
  for (int i = 0; i < n; ++i) {
    volume->add_sweep();
    config->add_sweep_config();
    config->add_ray_config();
    config->add_sweep_descriptions();
    s = ReadSlice(c, h, i, volume);
    if (!s.ok()) {
      // What came before stays; the sweep that failed goes.
      volume->mutable_sweep()->RemoveLast();
      config->mutable_sweep_config()->RemoveLast();
      config->mutable_ray_config()->RemoveLast();
      config->mutable_sweep_descriptions()->RemoveLast();
      return s;
    }
    if (options.progress)
      options.progress(static_cast<std::size_t>(i + 1), static_cast<std::size_t>(n));
  }
  return Status::Ok();
}

}  // namespace formats
}  // namespace common_dto
