// ODIM_H5: the file and its root groups (see odim.h for the mapping).
#include "common_dto/formats/odim.h"

#include <cstdio>
#include <cstdlib>

#include "hdf5_util.h"
#include "odim_internal.h"
#include "quantities.h"

namespace common_dto {
namespace formats {

using kyt::pb::common::Instrument;
using kyt::pb::common::Volume;

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
    notes->push_back("opera_id.comment holds a comma, which ODIM source text cannot carry");
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
    else notes->push_back("what/source: identifier " + key + " not carried");
  }
}

// ---- Root groups ----------------------------------------------------------

double FirstFrequencyMhz(const Volume& volume) {
  for (const auto& rc : volume.volume_config().ray_config()) {
    for (const auto& pd : rc.pulse_definition()) {
      if (pd.rf_frequency_mhz_size() > 0 && pd.rf_frequency_mhz(0) > 0) return pd.rf_frequency_mhz(0);
    }
  }
  return 0;
}

Status WriteRoot(hid_t file, const Volume& volume, bool scan, Notes* notes) {
  Status s = WriteStringAttr(file, "Conventions", "ODIM_H5/V2_4");
  H5Id what(H5Gcreate2(file, "what", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
  H5Id where(H5Gcreate2(file, "where", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
  H5Id how(H5Gcreate2(file, "how", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
  if (!s.ok() || !what.valid() || !where.valid() || !how.valid()) {
    return Status(ErrorCode::kIo, "cannot write the root groups");
  }
  std::int64_t nominal = 0;
  if (volume.sweep_size() > 0) {
    const auto& first = volume.sweep(0);
    nominal = first.has_task_start() ? first.task_start().seconds()
                                     : first.input_timespan().start().seconds();
  }
  const Instrument& in = volume.instrument();
  const auto& loc = in.location();
  const auto& radar = in.radar_properties();
  for (Status w : {WriteStringAttr(what.get(), "object", scan ? "SCAN" : "PVOL"),
                   WriteStringAttr(what.get(), "version", "H5rad 2.4"),
                   WriteStringAttr(what.get(), "date", FormatDate(nominal)),
                   WriteStringAttr(what.get(), "time", FormatClock(nominal)),
                   WriteStringAttr(what.get(), "source", SourceText(in, notes)),
                   WriteDoubleAttr(where.get(), "lon", loc.lat_lon().longitude_deg()),
                   WriteDoubleAttr(where.get(), "lat", loc.lat_lon().latitude_deg()),
                   WriteDoubleAttr(where.get(), "height", loc.altitude_m()),
                   WriteDoubleAttr(how.get(), "beamwH", radar.horz_beam_width_deg()),
                   WriteDoubleAttr(how.get(), "beamwV", radar.vert_beam_width_deg())}) {
    if (!w.ok()) return w;
  }
  if (const double f = FirstFrequencyMhz(volume); f > 0) {
    s = WriteDoubleAttr(how.get(), "wavelength", kLightSpeed / (f * 1e6) * 100.0);
  }
  if (s.ok() && !in.model().empty()) s = WriteStringAttr(how.get(), "system", in.model());
  if (s.ok() && !in.software_name().empty()) {
    s = WriteStringAttr(how.get(), "software", in.software_name());
  }
  return s;
}

// Optional number: left alone when absent.
template <typename Setter>
Status OptionalDouble(hid_t obj, const std::string& path, const char* name, Setter set) {
  if (!HasAttr(obj, name)) return Status::Ok();
  double v = 0;
  Status s = ReadDoubleAttr(obj, path, name, &v);
  if (s.ok()) set(v);
  return s;
}

Status ReadHowRoot(hid_t file, Volume* volume, double* wavelength_cm) {
  H5Id how = OpenGroup(file, "how");
  if (!how.valid()) return Status::Ok();
  Instrument* in = volume->mutable_instrument();
  auto* radar = in->mutable_radar_properties();
  const char* beam_h = HasAttr(how.get(), "beamwH") ? "beamwH" : "beamwidth";
  Status s = OptionalDouble(how.get(), "/how", beam_h,
                            [&](double v) { radar->set_horz_beam_width_deg(v); });
  if (s.ok()) {
    s = OptionalDouble(how.get(), "/how", "beamwV",
                       [&](double v) { radar->set_vert_beam_width_deg(v); });
  }
  if (s.ok()) s = OptionalDouble(how.get(), "/how", "wavelength", [&](double v) { *wavelength_cm = v; });
  std::string text;
  if (s.ok() && HasAttr(how.get(), "system")) {
    s = ReadStringAttr(how.get(), "/how", "system", &text);
    in->set_model(text);
  }
  if (s.ok() && HasAttr(how.get(), "software")) {
    s = ReadStringAttr(how.get(), "/how", "software", &text);
    in->set_software_name(text);
  }
  return s;
}

// Conventions, object and the root what/where groups. *datasets: how many.
Status ReadRoot(hid_t file, Volume* volume, Notes* notes, int* datasets) {
  std::string conventions, object, source;
  Status s = ReadStringAttr(file, "", "Conventions", &conventions);
  if (!s.ok()) return s;
  if (conventions.rfind("ODIM_H5/V2_", 0) != 0) {
    return H5Error(ErrorCode::kUnsupported, "/Conventions",
                   "not an ODIM_H5 2.x file: \"" + conventions + "\"");
  }
  H5Id what = OpenGroup(file, "what"), where = OpenGroup(file, "where");
  if (!what.valid()) return H5Error(ErrorCode::kMalformed, "/what", "missing group");
  if (!where.valid()) return H5Error(ErrorCode::kMalformed, "/where", "missing group");
  s = ReadStringAttr(what.get(), "/what", "object", &object);
  if (!s.ok()) return s;
  if (object != "PVOL" && object != "SCAN") {
    return H5Error(ErrorCode::kUnsupported, "/what/object",
                   "object " + object + " is not converted (only polar volumes and scans)");
  }
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

// The nominal time of /what as every sweep's task start.
Status ReadNominalTime(hid_t file, Volume* volume) {
  H5Id what = OpenGroup(file, "what");
  std::string date, clock;
  Status s = ReadStringAttr(what.get(), "/what", "date", &date);
  if (s.ok()) s = ReadStringAttr(what.get(), "/what", "time", &clock);
  if (!s.ok()) return s;
  std::int64_t epoch = 0;
  if (!ParseDateClock(date, clock, &epoch)) {
    return H5Error(ErrorCode::kInvalidArgument, "/what/date",
                   "not a date and time: " + date + " " + clock);
  }
  for (auto& sweep : *volume->mutable_sweep()) sweep.mutable_task_start()->set_seconds(epoch);
  return Status::Ok();
}

void SetFrequency(double wavelength_cm, Volume* volume) {
  if (!(wavelength_cm > 0)) return;
  const double mhz = kLightSpeed / (wavelength_cm / 100.0) / 1e6;
  for (auto& rc : *volume->mutable_volume_config()->mutable_ray_config()) {
    auto* pd = rc.pulse_definition_size() > 0 ? rc.mutable_pulse_definition(0)
                                              : rc.add_pulse_definition();
    pd->clear_rf_frequency_mhz();
    pd->add_rf_frequency_mhz(mhz);
  }
}

}  // namespace

Status ReadOdimFile(const std::string& path, bool samples, const ReadOptions& options,
                    Volume* volume, Notes* notes) {
  SilenceHdf5();
  volume->Clear();
  if (H5Fis_hdf5(path.c_str()) <= 0) {
    return H5Error(ErrorCode::kMalformed, path, "not an HDF5 file (or truncated)");
  }
  H5Id file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
  if (!file.valid()) return H5Error(ErrorCode::kMalformed, path, "cannot open as HDF5 (truncated?)");
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
  double wavelength_cm = 0;
  s = ReadHowRoot(file.get(), volume, &wavelength_cm);
  if (s.ok()) s = ReadNominalTime(file.get(), volume);
  SetFrequency(wavelength_cm, volume);
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
                     Notes* notes) {
  SilenceHdf5();
  if (volume.sweep_size() == 0) return Status(ErrorCode::kInvalidArgument, "the volume has no sweeps");
  if (options.odim_scan && volume.sweep_size() != 1) {
    return Status(ErrorCode::kInvalidArgument, "a SCAN holds one sweep, the volume has " +
                                                   std::to_string(volume.sweep_size()));
  }
  H5Id file(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT));
  if (!file.valid()) return H5Error(ErrorCode::kIo, path, "cannot create the file");
  Status s = WriteRoot(file.get(), volume, options.odim_scan, notes);
  for (int i = 0; s.ok() && i < volume.sweep_size(); ++i) {
    s = WriteOdimDataset(file.get(), volume, i, options, notes);
    if (s.ok() && options.progress) options.progress(static_cast<std::size_t>(i + 1), volume.sweep_size());
  }
  if (s.ok() && H5Fflush(file.get(), H5F_SCOPE_GLOBAL) < 0) {
    s = H5Error(ErrorCode::kIo, path, "cannot write the file");
  }
  return s;
}

}  // namespace formats
}  // namespace common_dto
