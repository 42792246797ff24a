// ODIM_H5: the file and its root groups (see odim.h for the mapping).
#include "common_dto/formats/odim.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "hdf5_util.h"
#include "odim_internal.h"
#include "quantities.h"

namespace common_dto {
namespace formats {

using kyt::pb::common::Instrument;
using kyt::pb::common::Volume;

// ---- Attribute inheritance ------------------------------------------------

void OdimLevels::Open(hid_t obj, const std::string& path) {
  static const char* const kNames[3] = {"what", "where", "how"};
  for (int k = 0; k < 3; ++k) {
    owned_.push_back(obj >= 0 ? OpenGroup(obj, kNames[k]) : H5Id());
    groups_[k].push_back(owned_.back().get());
    paths_[k].push_back(path + "/" + kNames[k]);
  }
}

OdimLevels::OdimLevels(const std::vector<std::pair<hid_t, std::string>>& levels) {
  for (const auto& [obj, path] : levels) Open(obj, path);
}

OdimLevels::OdimLevels(hid_t inner, const std::string& path, const OdimLevels& outer) {
  Open(inner, path);
  for (int k = 0; k < 3; ++k) {
    groups_[k].insert(groups_[k].end(), outer.groups_[k].begin(), outer.groups_[k].end());
    paths_[k].insert(paths_[k].end(), outer.paths_[k].begin(), outer.paths_[k].end());
  }
}

OdimLevels::Found OdimLevels::Find(Kind kind, const char* name) const {
  for (std::size_t i = 0; i < groups_[kind].size(); ++i) {
    if (groups_[kind][i] >= 0 && HasAttr(groups_[kind][i], name)) return Found{groups_[kind][i], paths_[kind][i]};
  }
  return Found{};
}

std::string OdimLevels::Inner(Kind kind) const {
  return paths_[kind].empty() ? std::string() : paths_[kind][0];
}

hid_t OdimLevels::Group(Kind kind, std::size_t level) const {
  return level < groups_[kind].size() ? groups_[kind][level] : -1;
}

Status OdimLevels::Double(Kind kind, const char* name, std::optional<double>* out) const {
  const Found f = Find(kind, name);
  if (f.obj < 0) return Status::Ok();
  double v = 0;
  Status s = ReadDoubleAttr(f.obj, f.path, name, &v);
  if (s.ok()) *out = v;
  return s;
}

Status OdimLevels::Long(Kind kind, const char* name, std::optional<std::int64_t>* out) const {
  const Found f = Find(kind, name);
  if (f.obj < 0) return Status::Ok();
  std::int64_t v = 0;
  Status s = ReadLongAttr(f.obj, f.path, name, &v);
  if (s.ok()) *out = v;
  return s;
}

Status OdimLevels::String(Kind kind, const char* name, std::optional<std::string>* out) const {
  const Found f = Find(kind, name);
  if (f.obj < 0) return Status::Ok();
  std::string v;
  Status s = ReadStringAttr(f.obj, f.path, name, &v);
  if (s.ok()) *out = std::move(v);
  return s;
}

Status OdimLevels::Doubles(Kind kind, const char* name, std::size_t count,
                           std::vector<double>* out) const {
  out->clear();
  const Found f = Find(kind, name);
  if (f.obj < 0) return Status::Ok();
  return ReadDoublesAttr(f.obj, f.path, name, count, out);
}

namespace {

Status Missing(const std::string& path, const char* name) {
  return H5Error(ErrorCode::kMalformed, path + "/" + name, "missing attribute");
}

}  // namespace

Status OdimLevels::RequireDouble(Kind kind, const char* name, double* out) const {
  std::optional<double> v;
  Status s = Double(kind, name, &v);
  if (s.ok() && !v) return Missing(Inner(kind), name);
  if (s.ok()) *out = *v;
  return s;
}

Status OdimLevels::RequireLong(Kind kind, const char* name, std::int64_t* out) const {
  std::optional<std::int64_t> v;
  Status s = Long(kind, name, &v);
  if (s.ok() && !v) return Missing(Inner(kind), name);
  if (s.ok()) *out = *v;
  return s;
}

Status OdimLevels::RequireString(Kind kind, const char* name, std::string* out) const {
  std::optional<std::string> v;
  Status s = String(kind, name, &v);
  if (s.ok() && !v) return Missing(Inner(kind), name);
  if (s.ok()) *out = std::move(*v);
  return s;
}

namespace {

constexpr double kLightSpeed = 299792458.0;
constexpr int kMaxDatasets = 1000;  // Bound on the sweeps of one file.

// ---- /what/source ---------------------------------------------------------

std::string SourceText(const Instrument& in, Notes* notes) {
  std::string text;
  auto add = [&text](const char* key, const std::string& value) {
    if (value.empty()) return;
    if (!text.empty()) text += ',';
    text += key;
    text += ':';
    text += value;
  };
  const auto& wmo = in.wmo_id();
  const auto& opera = in.opera_id();
  if (wmo.station_id() != 0) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%05u", wmo.station_id());
    add("WMO", digits);
  }
  add("RAD", opera.radar_site());
  add("NOD", opera.node());
  add("PLC", opera.place());
  if (opera.country() != 0) add("CTY", std::to_string(opera.country()));
  if (wmo.center_id() != 0) add("ORG", std::to_string(wmo.center_id()));
  if (opera.comment().find(',') != std::string::npos) {
    notes->push_back({NoteKind::kNotCarried, "instrument.opera_id.comment", "",
                      "opera_id.comment holds a comma, which ODIM source text cannot carry"});
  } else {
    add("CMT", opera.comment());
  }
  if (wmo.has_wigos_id()) {
    const auto& w = wmo.wigos_id();
    add("WIGOS", std::to_string(w.series_id()) + "-" + std::to_string(w.issuer_id()) + "-" +
                     std::to_string(w.number_id()) + "-" + w.local_id());
  }
  return text;
}

std::uint32_t Number(const std::string& text) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(text.c_str(), &end, 10);
  return end != text.c_str() && *end == '\0' && v <= 0xffffffffUL ? static_cast<std::uint32_t>(v)
                                                                   : 0;
}

void ParseWigos(const std::string& value, Instrument* in) {
  std::size_t a = value.find('-');
  std::size_t b = a == std::string::npos ? a : value.find('-', a + 1);
  std::size_t c = b == std::string::npos ? b : value.find('-', b + 1);
  if (c == std::string::npos) return;
  auto* w = in->mutable_wmo_id()->mutable_wigos_id();
  w->set_series_id(Number(value.substr(0, a)));
  w->set_issuer_id(Number(value.substr(a + 1, b - a - 1)));
  w->set_number_id(Number(value.substr(b + 1, c - b - 1)));
  w->set_local_id(value.substr(c + 1));
}

void ParseSource(const std::string& text, Instrument* in, Notes* notes) {
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find(',', pos);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(pos, end - pos);
    pos = end + 1;
    const std::size_t colon = item.find(':');
    if (colon == std::string::npos) continue;
    const std::string key = item.substr(0, colon), value = item.substr(colon + 1);
    if (key == "WMO") in->mutable_wmo_id()->set_station_id(Number(value));
    else if (key == "RAD") in->mutable_opera_id()->set_radar_site(value);
    else if (key == "NOD") in->mutable_opera_id()->set_node(value);
    else if (key == "PLC") in->mutable_opera_id()->set_place(value);
    else if (key == "CTY") in->mutable_opera_id()->set_country(Number(value));
    else if (key == "ORG") in->mutable_wmo_id()->set_center_id(Number(value));
    else if (key == "CMT") in->mutable_opera_id()->set_comment(value);
    else if (key == "WIGOS") ParseWigos(value, in);
    else
      notes->push_back({NoteKind::kNotCarried, "/what/source", "",
                        "what/source: identifier " + key + " not carried"});
  }
}

// ---- Root groups ----------------------------------------------------------

// The earliest time the volume knows: its sweeps' task start, else their
// start (of the span, else of the first ray).
std::optional<double> VolumeTime(const Volume& volume) {
  std::optional<double> t;
  auto take = [&t](std::optional<double> x) {
    if (x && (!t || *x < *t)) t = x;
  };
  for (const auto& sweep : volume.sweep()) {
    if (sweep.has_task_start()) take(EpochSeconds(sweep.task_start()));
  }
  for (const auto& sweep : volume.sweep()) {
    if (!t) take(SweepStartTime(sweep));
  }
  return t;
}

Status WriteRoot(hid_t file, const Volume& volume, bool scan, Notes* notes) {
  Status s = WriteStringAttr(file, "Conventions", "ODIM_H5/V2_4");
  H5Id what(H5Gcreate2(file, "what", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
  H5Id where(H5Gcreate2(file, "where", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
  H5Id how(H5Gcreate2(file, "how", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
  if (!s.ok() || !what.valid() || !where.valid() || !how.valid()) {
    return Status(ErrorCode::kIo, "cannot write the root groups");
  }
  const Instrument& in = volume.instrument();
  const auto& loc = in.location();
  for (Status w : {WriteStringAttr(what.get(), "object", scan ? "SCAN" : "PVOL"),
                   WriteStringAttr(what.get(), "version", "H5rad 2.4"),
                   WriteStringAttr(what.get(), "source", SourceText(in, notes)),
                   WriteDoubleAttr(where.get(), "lon", loc.lat_lon().longitude_deg()),
                   WriteDoubleAttr(where.get(), "lat", loc.lat_lon().latitude_deg()),
                   WriteDoubleAttr(where.get(), "height", loc.altitude_m())}) {
    if (!w.ok()) return w;
  }
  // ODIM requires /what/date and time; a volume without any time gets none
  // rather than a made-up one.
  if (const auto t = VolumeTime(volume)) {
    const auto seconds = static_cast<std::int64_t>(std::floor(*t));
    s = WriteStringAttr(what.get(), "date", FormatDate(seconds));
    if (s.ok()) s = WriteStringAttr(what.get(), "time", FormatClock(seconds));
  } else {
    notes->push_back({NoteKind::kNotCarried, "/what/date", "",
                      "the volume holds no time: /what/date and time left out"});
  }
  const auto& radar = in.radar_properties();
  if (s.ok() && radar.horz_beam_width_deg() > 0) {
    s = WriteDoubleAttr(how.get(), "beamwH", radar.horz_beam_width_deg());
  }
  if (s.ok() && radar.vert_beam_width_deg() > 0) {
    s = WriteDoubleAttr(how.get(), "beamwV", radar.vert_beam_width_deg());
  }
  if (const double f = FirstFrequencyMhz(volume); s.ok() && f > 0) {
    s = WriteDoubleAttr(how.get(), "wavelength", WavelengthCm(f));
  }
  if (s.ok() && !in.model().empty()) s = WriteStringAttr(how.get(), "system", in.model());
  if (s.ok() && !in.software_name().empty()) {
    s = WriteStringAttr(how.get(), "software", in.software_name());
  }
  return s;
}

// Beam widths are the instrument's: /how, else dataset1/how. ODIM 2.0's
// `beamwidth` is the one width of both planes; a file giving only beamwH
// (or beamwV) tells nothing of the other plane, which stays unset.
Status ReadBeamWidths(hid_t file, Volume* volume) {
  H5Id first = OpenGroup(file, "dataset1");
  const OdimLevels levels({{file, ""}, {first.get(), "/dataset1"}});
  std::optional<double> h, v, both;
  Status s = FirstError({levels.Double(OdimLevels::kHow, "beamwH", &h),
                         levels.Double(OdimLevels::kHow, "beamwV", &v),
                         levels.Double(OdimLevels::kHow, "beamwidth", &both)});
  if (!s.ok()) return s;
  if (!h) h = both;
  if (!v) v = both;
  auto* radar = volume->mutable_instrument()->mutable_radar_properties();
  if (h) radar->set_horz_beam_width_deg(*h);
  if (v) radar->set_vert_beam_width_deg(*v);
  return Status::Ok();
}

Status ReadHowRoot(hid_t file, Volume* volume) {
  Status s = ReadBeamWidths(file, volume);
  H5Id how = OpenGroup(file, "how");
  if (!s.ok() || !how.valid()) return s;
  Instrument* in = volume->mutable_instrument();
  std::string text;
  if (HasAttr(how.get(), "system")) {
    s = ReadStringAttr(how.get(), "/how", "system", &text);
    in->set_model(text);
  }
  if (s.ok() && HasAttr(how.get(), "software")) {
    s = ReadStringAttr(how.get(), "/how", "software", &text);
    in->set_software_name(text);
  }
  return s;
}

// Conventions and object: an ODIM_H5 2.x polar volume or scan. Files
// without Conventions (older processing chains) are read when their
// structure is ODIM's.
Status ReadObject(hid_t file, hid_t what, Notes* notes) {
  if (HasAttr(file, "Conventions")) {
    std::string conventions;
    Status s = ReadStringAttr(file, "", "Conventions", &conventions);
    if (!s.ok()) return s;
    if (conventions.rfind("ODIM_H5/V2_", 0) != 0) {
      return H5Error(ErrorCode::kUnsupported, "/Conventions",
                     "not an ODIM_H5 2.x file: \"" + conventions + "\"");
    }
  } else {
    notes->push_back(
        {NoteKind::kAssumed, "/Conventions", "", "no Conventions attribute; read as ODIM_H5"});
  }
  std::string object;
  Status s = ReadStringAttr(what, "/what", "object", &object);
  if (!s.ok()) return s;
  if (object != "PVOL" && object != "SCAN") {
    return H5Error(ErrorCode::kUnsupported, "/what/object",
                   object + ": products are not converted yet (only polar volumes and scans)");
  }
  return Status::Ok();
}

// Conventions, object and the root what/where groups. *datasets: how many.
Status ReadRoot(hid_t file, Volume* volume, Notes* notes, int* datasets) {
  H5Id what = OpenGroup(file, "what"), where = OpenGroup(file, "where");
  if (!what.valid()) return H5Error(ErrorCode::kMalformed, "/what", "missing group");
  Status s = ReadObject(file, what.get(), notes);
  if (!s.ok()) return s;
  if (!where.valid()) return H5Error(ErrorCode::kMalformed, "/where", "missing group");
  std::string source;
  s = ReadStringAttr(what.get(), "/what", "source", &source);
  if (!s.ok()) return s;
  Instrument* in = volume->mutable_instrument();
  in->set_instrument_type(Instrument::INSTR_RADAR);
  ParseSource(source, in, notes);
  double lat = 0, lon = 0, height = 0;
  for (Status r : {ReadDoubleAttr(where.get(), "/where", "lon", &lon),
                   ReadDoubleAttr(where.get(), "/where", "lat", &lat),
                   ReadDoubleAttr(where.get(), "/where", "height", &height)}) {
    if (!r.ok()) return r;
  }
  in->mutable_location()->mutable_lat_lon()->set_latitude_deg(lat);
  in->mutable_location()->mutable_lat_lon()->set_longitude_deg(lon);
  in->mutable_location()->set_altitude_m(height);
  *datasets = 0;
  while (*datasets < kMaxDatasets && HasLink(file, "dataset" + std::to_string(*datasets + 1))) {
    ++*datasets;
  }
  if (*datasets == 0) return H5Error(ErrorCode::kMalformed, "/dataset1", "missing group");
  return Status::Ok();
}

// The nominal time of /what as every sweep's task start (left unset when
// the file has none).
Status ReadNominalTime(hid_t file, Volume* volume, Notes* notes) {
  std::optional<std::int64_t> epoch;
  Status s = ReadRootTime(file, &epoch);
  if (!s.ok()) return s;
  if (!epoch) {
    notes->push_back({NoteKind::kNotCarried, "/what/date", "",
                      "/what/date, time absent: the volume's nominal time not carried"});
    return Status::Ok();
  }
  for (auto& sweep : *volume->mutable_sweep()) sweep.mutable_task_start()->set_seconds(*epoch);
  return Status::Ok();
}

}  // namespace

double FirstFrequencyMhz(const Volume& volume) {
  for (const auto& rc : volume.volume_config().ray_config()) {
    for (const auto& pd : rc.pulse_definition()) {
      if (pd.rf_frequency_mhz_size() > 0 && pd.rf_frequency_mhz(0) > 0) return pd.rf_frequency_mhz(0);
    }
  }
  return 0;
}

double WavelengthCm(double frequency_mhz) { return kLightSpeed / (frequency_mhz * 1e6) * 100.0; }
double FrequencyMhz(double wavelength_cm) { return kLightSpeed / (wavelength_cm / 100.0) / 1e6; }

Status ReadRootTime(hid_t file, std::optional<std::int64_t>* epoch) {
  H5Id what = OpenGroup(file, "what");
  if (!HasAttr(what.get(), "date") || !HasAttr(what.get(), "time")) return Status::Ok();
  std::string date, clock;
  Status s = ReadStringAttr(what.get(), "/what", "date", &date);
  if (s.ok()) s = ReadStringAttr(what.get(), "/what", "time", &clock);
  if (!s.ok()) return s;
  std::int64_t t = 0;
  if (!ParseDateClock(date, clock, &t)) {
    return H5Error(ErrorCode::kInvalidArgument, "/what/date",
                   "not a date and time: " + date + " " + clock);
  }
  *epoch = t;
  return Status::Ok();
}

Status ReadOdimFile(const std::string& path, bool samples, const ReadOptions& options,
                    Volume* volume, Notes* notes) {
  PrepareHdf5();
  volume->Clear();
  if (H5Fis_hdf5(path.c_str()) <= 0) {
    return H5Error(ErrorCode::kMalformed, path, "not an HDF5 file (or truncated)");
  }
  H5Id file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
  if (!file.valid()) return H5Error(ErrorCode::kMalformed, path, "cannot open as HDF5 (truncated?)");
  return ReadOdimOpen(file.get(), samples, options, volume, notes);
}

Status ReadOdimOpen(hid_t file_id, bool samples, const ReadOptions& options, Volume* volume, Notes* notes) {
  volume->Clear();
  // A handle of our own, whatever `file_id` is.
  const Result<H5Id> own =
      H5Checked(H5Iget_file_id(file_id), "H5Iget_file_id", "/", ErrorCode::kMalformed);
  if (!own.ok()) return own.status();
  const H5Id& file = *own;
  int datasets = 0;
  Status s = ReadRoot(file.get(), volume, notes, &datasets);
  if (!s.ok()) return s;
  auto* config = volume->mutable_volume_config();
  for (int i = 0; i < datasets; ++i) {
    volume->add_sweep();
    config->add_sweep_config();
    config->add_ray_config();
    config->add_sweep_descriptions();
    s = ReadOdimDataset(file.get(), i, samples, volume, notes);
    if (!s.ok()) return s;
    if (options.progress) options.progress(static_cast<std::size_t>(i + 1), datasets);
  }
  s = ReadHowRoot(file.get(), volume);
  if (s.ok()) s = ReadNominalTime(file.get(), volume, notes);
  return s;
}

Status ReadOdim(const std::string& path, const ReadOptions& options, Volume* volume,
                Notes* notes) {
  return ReadFile(path, Format::kOdim, options, volume, notes);
}

Status WriteOdim(const std::string& path, const WriteOptions& options, const Volume& volume,
                 Notes* notes) {
  return WriteFile(path, Format::kOdim, options, volume, notes);
}

// Called by WriteFile.
Status WriteOdimFile(const std::string& path, const WriteOptions& options, const Volume& volume,
                     Notes* notes, Volume* read_back) {
  PrepareHdf5();
  if (volume.sweep_size() == 0) return Status(ErrorCode::kInvalidArgument, "the volume has no sweeps");
  if (options.odim_scan && volume.sweep_size() != 1) {
    return Status(ErrorCode::kInvalidArgument, "a SCAN holds one sweep, the volume has " +
                                                   std::to_string(volume.sweep_size()));
  }
  // The HDF5 1.8 file format (readable by every HDF5 since 2008): groups keep
  // their few links compactly in their header, which makes creating the
  // many small what/where/how groups of a volume several times cheaper.
  H5Id fapl(H5Pcreate(H5P_FILE_ACCESS));
  if (!fapl.valid() || H5Pset_libver_bounds(fapl.get(), H5F_LIBVER_V18, H5F_LIBVER_V18) < 0) {
    return H5Error(ErrorCode::kIo, path, "cannot set the file format version");
  }
  H5Id file(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, fapl.get()));
  if (!file.valid()) return H5Error(ErrorCode::kIo, path, "cannot create the file");
  Status s = WriteRoot(file.get(), volume, options.odim_scan, notes);
  for (int i = 0; s.ok() && i < volume.sweep_size(); ++i) {
    s = WriteOdimDataset(file.get(), volume, i, options, notes);
    if (s.ok() && options.progress) options.progress(static_cast<std::size_t>(i + 1), volume.sweep_size());
  }
  if (s.ok()) s = H5Check(H5Fflush(file.get(), H5F_SCOPE_GLOBAL), "H5Fflush", path);
  // The metadata as the file holds it, read through the handle still open
  // (what a new open would read, without reading it from disk again).
  if (s.ok() && read_back != nullptr) {
    Notes ignored;
    s = ReadOdimOpen(file.get(), /*samples=*/false, ReadOptions{}, read_back, &ignored);
    if (!s.ok()) s = s.Wrap("reading back: ");
  }
  if (s.ok()) s = H5Check(H5Fclose(file.release()), "H5Fclose", path);
  return s;
}

}  // namespace formats
}  // namespace common_dto
