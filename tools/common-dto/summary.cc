// common-dto summary: what a file or stream holds, for people.
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <any>
#include <array>
#include <limits>
#include <map>
#include <optional>
#include <set>

#include "commands.h"
#include "common_dto/formats/products.h"
#include "common_dto/model/buffers.h"
#include "common_dto/stream/assembler.h"
#include "instrument_data.pb.h"
#include "model.h"
#include "output.h"
#include "ray_stream_message.pb.h"

namespace common_dto {
namespace cli {
namespace {

using google::protobuf::Timestamp;
using kyt::pb::common::DataBuffer;
using kyt::pb::common::Instrument;
using kyt::pb::common::InstrumentData;
using kyt::pb::common::Product;
using kyt::pb::common::Ray;
using kyt::pb::common::Sweep;
using kyt::pb::common::SweepConfig;
using kyt::pb::common::SweepDescription;
using kyt::pb::common::Volume;
using kyt::pb::common::VolumeConfig;
using kyt::pb::stream::RayStreamMessage;
using kyt::pb::stream::VolumeConfigUri;
using kyt::pb::stream::VolumeHeader;

// Rows of this many lines or more are cut short in lists.
constexpr std::size_t kMaxListed = 20;

void Line(std::string* out, std::string_view key, std::string_view value) {
  *out += fmt::format("{:<14} {}\n", key, value);
}

std::string Plural(std::uint64_t n, std::string_view one, std::string_view many) {
  return fmt::format("{} {}", n, n == 1 ? one : many);
}

// ---- The sweep table ----------------------------------------------------------

struct Extent {
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  void Add(double a, double b) {
    lo = std::min({lo, a, b});
    hi = std::max({hi, a, b});
  }
  bool empty() const { return lo > hi; }
  std::string Text(int decimals) const {
    if (empty()) return "-";
    return fmt::format("{:.{}f}..{:.{}f}", lo, decimals, hi, decimals);
  }
};

// One moment's column entry: storage type and samples per ray.
struct MomentCell {
  int storage_type = -1;
  bool lz4 = false;
  bool irregular = false;  // Bytes that do not divide into rays and samples.
  std::int64_t min_samples = -1;
  std::int64_t max_samples = -1;

  // `bytes` (uncompressed) holding the samples of `rays` rays.
  void Add(int type, bool compressed, std::uint64_t bytes, std::uint64_t rays) {
    storage_type = type;
    lz4 = lz4 || compressed;
    const int width = SampleWidth(type);
    const std::uint64_t unit = width > 0 ? static_cast<std::uint64_t>(width) : 1;
    if (rays == 0 || bytes % (rays * unit) != 0) {
      irregular = true;
      return;
    }
    const auto samples = static_cast<std::int64_t>(bytes / rays / unit);
    min_samples = min_samples < 0 ? samples : std::min(min_samples, samples);
    max_samples = std::max(max_samples, samples);
  }

  std::string Text(const std::string& name) const {
    const std::string type = EnumName(DataBuffer::StorageType_descriptor(), storage_type);
    const bool bytes = SampleWidth(storage_type) == 0;
    std::string count;
    if (irregular || min_samples < 0) {
      count = "?";
    } else if (min_samples == max_samples) {
      count = std::to_string(min_samples);
    } else {
      count = fmt::format("{}-{}", min_samples, max_samples);
    }
    return fmt::format("{} {}{}{}{}", name, type, bytes ? " " : "x", count,
                       std::string(bytes ? " bytes" : "") + (lz4 ? " lz4" : ""));
  }
};

std::uint64_t UncompressedBytes(const DataBuffer& buffer) {
  if (buffer.compression() == DataBuffer::LZ4) {
    return static_cast<std::uint64_t>(std::max(0, buffer.uncompressed_size()));
  }
  return buffer.data().size();
}

struct SweepRow {
  std::string label;
  std::optional<double> angle;
  std::string type = "-";
  std::uint64_t rays = 0;
  Extent az, el;
  std::optional<Timestamp> start, end;
  std::map<std::string, MomentCell> moments;
  std::string note;

  void AddRay(const Ray& ray) {
    if (ray.has_az_range_deg()) {
      az.Add(ray.az_range_deg().start_deg(),
             ray.az_range_deg().start_deg() + ray.az_range_deg().span_deg());
    }
    if (ray.has_el_range_deg()) {
      el.Add(ray.el_range_deg().start_deg(),
             ray.el_range_deg().start_deg() + ray.el_range_deg().span_deg());
    }
    if (ray.has_aq_start_time() && (!start || Earlier(ray.aq_start_time(), *start))) {
      start = ray.aq_start_time();
    }
    if (ray.has_aq_end_time() && (!end || Earlier(*end, ray.aq_end_time())))
      end = ray.aq_end_time();
  }
};

std::string SweepTypeText(const VolumeConfig* config, const SweepDescription& description) {
  if (description.config().ConfigReference_case() ==
      kyt::pb::common::SweepConfigReference::CONFIGREFERENCE_NOT_SET) {
    return "-";
  }
  const SweepConfig* sweep_config = ResolveSweepConfig(config, description.config());
  if (sweep_config == nullptr) return "?";
  return EnumName(SweepConfig::SweepType_descriptor(), sweep_config->type());
}

// `declared`: the buffers hold no samples (assembled without keeping them)
// and their uncompressed_size tells the size.
SweepRow RowOfSweep(const Sweep& sweep, std::size_t index, const VolumeConfig* config,
                    bool declared = false) {
  SweepRow row;
  row.label = std::to_string(index);
  if (sweep.has_description()) row.angle = sweep.description().fixed_angle_deg();
  row.type = SweepTypeText(config, sweep.description());
  row.rays = static_cast<std::uint64_t>(sweep.rays_size());
  for (const Ray& ray : sweep.rays()) row.AddRay(ray);
  if (sweep.has_input_timespan()) {
    if (!row.start && sweep.input_timespan().has_start())
      row.start = sweep.input_timespan().start();
    if (!row.end && sweep.input_timespan().has_end()) row.end = sweep.input_timespan().end();
  }
  for (const auto& [name, buffer] : sweep.sweep_moments()) {
    const std::uint64_t bytes = declared
                                    ? static_cast<std::uint64_t>(std::max(0, buffer.uncompressed_size()))
                                    : UncompressedBytes(buffer);
    row.moments[name].Add(buffer.type(), buffer.compression() == DataBuffer::LZ4, bytes, row.rays);
  }
  return row;
}

std::string SweepTableHeader() {
  return fmt::format("\n{:>5}  {:>7}  {:<8} {:>6}  {:<14} {:<12}  {:<24} {:>9}  {}\n", "sweep",
                     "angle", "type", "rays", "azimuth", "elevation", "start", "duration",
                     "moments");
}

std::string SweepLine(const SweepRow& row) {
  std::string moments;
  for (const auto& [name, cell] : row.moments) {
    if (!moments.empty()) moments += ", ";
    moments += cell.Text(name);
  }
  if (moments.empty()) moments = "-";
  const std::string duration =
      row.start && row.end ? fmt::format("{:.1f} s", SecondsBetween(*row.start, *row.end)) : "-";
  return fmt::format("{:>5}  {:>7}  {:<8} {:>6}  {:<14} {:<12}  {:<24} {:>9}  {}\n", row.label,
                     row.angle ? fmt::format("{:.2f}", *row.angle) : "-", row.type, row.rays,
                     row.az.Text(1), row.el.Text(2), row.start ? TimeText(*row.start) : "-",
                     duration, moments);
}

void PrintSweepTable(std::string* out, const std::vector<SweepRow>& rows) {
  if (rows.empty()) return;
  *out += SweepTableHeader();
  for (const SweepRow& row : rows) *out += SweepLine(row);
  for (const SweepRow& row : rows) {
    if (!row.note.empty()) *out += fmt::format("sweep {}: {}\n", row.label, row.note);
  }
}

// Sweep and ray counts and the time span of rows, added one by one.
struct SweepTotals {
  std::uint64_t sweeps = 0;
  std::uint64_t rays = 0;
  std::optional<Timestamp> start, end;

  void Add(const SweepRow& row) {
    ++sweeps;
    rays += row.rays;
    if (row.start && (!start || Earlier(*row.start, *start))) start = row.start;
    if (row.end && (!end || Earlier(*end, *row.end))) end = row.end;
  }
  // "3 sweeps, 1080 rays, 2026-01-01T00:00:00Z .. 2026-01-01T00:01:30Z"
  std::string Text() const {
    std::string text =
        fmt::format("{}, {}", Plural(sweeps, "sweep", "sweeps"), Plural(rays, "ray", "rays"));
    if (start || end) {
      text += fmt::format(", {} .. {}", start ? TimeText(*start) : "?", end ? TimeText(*end) : "?");
    }
    return text;
  }
};

std::string TotalsText(const std::vector<SweepRow>& rows) {
  SweepTotals totals;
  for (const SweepRow& row : rows) totals.Add(row);
  return totals.Text();
}

// ---- Volume-level lines -------------------------------------------------------

void PrintInstrument(std::string* out, const Instrument* instrument) {
  if (instrument == nullptr) {
    Line(out, "instrument", "(none)");
    return;
  }
  std::string kind =
      EnumName(Instrument::InstrumentType_descriptor(), instrument->instrument_type());
  if (instrument->has_radar_properties()) kind += ", radar properties";
  if (instrument->has_lidar_properties()) kind += ", lidar properties";
  Line(out, "instrument",
       fmt::format("{} ({})", instrument->name().empty() ? "(no name)" : instrument->name(), kind));
  if (instrument->has_location() || instrument->tower_height() != 0) {
    const auto& location = instrument->location();
    std::string position;
    if (location.has_lat_lon()) {
      position = fmt::format("lat {:.5f}  lon {:.5f}  ", location.lat_lon().latitude_deg(),
                             location.lat_lon().longitude_deg());
    }
    position += fmt::format("altitude {} m", Number(location.altitude_m()));
    if (instrument->tower_height() != 0) {
      position += fmt::format("  tower height {}", Number(instrument->tower_height()));
    }
    Line(out, "  position", position);
  }
  std::vector<std::string> made;
  if (!instrument->manufacturer().empty()) made.push_back(instrument->manufacturer());
  if (!instrument->model().empty()) made.push_back("model " + instrument->model());
  if (!instrument->software_name().empty())
    made.push_back("software " + instrument->software_name());
  if (!made.empty()) Line(out, "  made by", fmt::format("{}", fmt::join(made, ", ")));
  if (instrument->has_wmo_id()) {
    const auto& wmo = instrument->wmo_id();
    std::vector<std::string> parts;
    if (wmo.has_wigos_id()) {
      const auto& w = wmo.wigos_id();
      parts.push_back(fmt::format("WIGOS {}-{}-{}-{}", w.series_id(), w.issuer_id(), w.number_id(),
                                  w.local_id()));
    }
    if (wmo.center_id() != 0 || !wmo.center_name().empty()) {
      parts.push_back(fmt::format("centre {}{}", wmo.center_id(),
                                  wmo.center_name().empty() ? "" : " " + wmo.center_name()));
    }
    if (wmo.sub_center_id() != 0 || !wmo.sub_center_name().empty()) {
      parts.push_back(
          fmt::format("sub-centre {}{}", wmo.sub_center_id(),
                      wmo.sub_center_name().empty() ? "" : " " + wmo.sub_center_name()));
    }
    if (wmo.station_id() != 0) parts.push_back(fmt::format("station {}", wmo.station_id()));
    Line(out, "  WMO", parts.empty() ? "(empty)" : fmt::format("{}", fmt::join(parts, ", ")));
  }
  if (instrument->has_opera_id()) {
    const auto& opera = instrument->opera_id();
    std::vector<std::string> parts;
    if (!opera.radar_site().empty()) parts.push_back("site " + opera.radar_site());
    if (!opera.place().empty()) parts.push_back("place " + opera.place());
    if (!opera.node().empty()) parts.push_back("node " + opera.node());
    if (opera.country() != 0) parts.push_back(fmt::format("country {}", opera.country()));
    if (opera.station() != 0) parts.push_back(fmt::format("station {}", opera.station()));
    if (!opera.comment().empty()) parts.push_back("comment " + opera.comment());
    Line(out, "  OPERA", parts.empty() ? "(empty)" : fmt::format("{}", fmt::join(parts, ", ")));
  }
}

void PrintConfiguration(std::string* out, const VolumeConfig* config, const VolumeConfigUri* uri) {
  if (uri != nullptr) {
    Line(out, "configuration",
         fmt::format("by reference: {} at {}", UuidText(uri->uuid()),
                     uri->endpoint().empty() ? "(no endpoint)" : uri->endpoint()));
    return;
  }
  if (config == nullptr) {
    Line(out, "configuration", "(none)");
    return;
  }
  Line(out, "configuration",
       fmt::format("{}{}", config->name().empty() ? "(no name)" : config->name(),
                   config->has_uuid() ? "  " + UuidText(config->uuid()) : ""));
  Line(out, "",
       fmt::format(
           "{}, {}, {}", Plural(config->sweep_config_size(), "sweep config", "sweep configs"),
           Plural(config->ray_config_size(), "ray config", "ray configs"),
           Plural(config->sweep_descriptions_size(), "sweep description", "sweep descriptions")));
}

void SummarizeVolume(std::string* out, const Volume& volume) {
  Line(out, "volume", volume.has_uuid() ? UuidText(volume.uuid()) : "(no uuid)");
  PrintInstrument(out, volume.has_instrument() ? &volume.instrument() : nullptr);
  const VolumeConfig* config = volume.has_volume_config() ? &volume.volume_config() : nullptr;
  PrintConfiguration(out, config, nullptr);
  std::vector<SweepRow> rows;
  for (int i = 0; i < volume.sweep_size(); ++i) {
    rows.push_back(RowOfSweep(volume.sweep(i), static_cast<std::size_t>(i), config));
  }
  Line(out, "sweeps", TotalsText(rows));
  PrintSweepTable(out, rows);
}

void SummarizeSweep(std::string* out, const Sweep& sweep) {
  if (!sweep.task_name().empty() || sweep.index_in_task() != 0) {
    Line(out, "task",
         fmt::format(
             "{} (sweep {} of the task{})", sweep.task_name(), sweep.index_in_task(),
             sweep.has_task_start() ? ", started " + TimeText(sweep.task_start()) : std::string()));
  }
  const std::vector<SweepRow> rows{RowOfSweep(sweep, 0, nullptr)};
  Line(out, "sweeps", TotalsText(rows));
  PrintSweepTable(out, rows);
}

// ---- Products -----------------------------------------------------------------

std::string BuffersText(const google::protobuf::RepeatedPtrField<DataBuffer>& buffers) {
  std::uint64_t stored = 0, raw = 0;
  std::set<std::string> types;
  bool lz4 = false;
  for (const DataBuffer& buffer : buffers) {
    stored += buffer.data().size();
    raw += UncompressedBytes(buffer);
    types.insert(EnumName(DataBuffer::StorageType_descriptor(), buffer.type()));
    lz4 = lz4 || buffer.compression() == DataBuffer::LZ4;
  }
  std::string text = Plural(static_cast<std::uint64_t>(buffers.size()), "buffer", "buffers");
  if (buffers.empty()) return text;
  text += fmt::format(" {}, {}", fmt::join(types, "/"), Plural(raw, "byte", "bytes"));
  if (lz4) text += fmt::format(" ({} stored, lz4)", stored);
  return text;
}

void SummarizeRaster(std::string* out, const kyt::pb::common::RasterDataList& raster) {
  Line(
      out, "payload",
      fmt::format("raster: {}, {}", Plural(raster.parameters_size(), "parameter", "parameters"),
                  Plural(raster.data_set_size(), "raster", "rasters")));
  for (int i = 0; i < raster.parameters_size() && i < static_cast<int>(kMaxListed); ++i) {
    const auto& p = raster.parameters(i);
    std::string unit = p.has_unit() ? EnumName(kyt::pb::common::DataUnit_descriptor(), p.unit())
                                    : p.unit_name();
    Line(out, fmt::format("  parameter {}", i),
         fmt::format("{}{}: {}", p.name(), unit.empty() ? "" : " (" + unit + ")",
                     Plural(p.value_size(), "value", "values")));
  }
  for (int i = 0; i < raster.data_set_size() && i < static_cast<int>(kMaxListed); ++i) {
    const auto& r = raster.data_set(i);
    const auto& d = r.data_descriptor();
    Line(out, fmt::format("  raster {}", i),
         fmt::format("{} ({}), {} x {} px, {}",
                     d.short_name().empty() ? "(no name)" : d.short_name(),
                     EnumName(kyt::pb::common::DataType_descriptor(), d.type()), r.x_pix(),
                     r.y_pix(), BuffersText(r.data())));
    if (r.has_georeference()) Line(out, "", formats::DescribeRasterGrid(r, i));
  }
  if (raster.data_set_size() > static_cast<int>(kMaxListed)) Line(out, "  ...", "");
}

void SummarizeVectors(std::string* out, const kyt::pb::common::MeasurementsList& vectors) {
  Line(out, "payload",
       fmt::format("vectors: {}", Plural(vectors.results_size(), "collection", "collections")));
  if (!vectors.psp_name().empty() || vectors.psp_values_size() > 0) {
    Line(out, "  parameter",
         fmt::format("{}{}: {}", vectors.psp_name(),
                     vectors.psp_units().empty() ? "" : " (" + vectors.psp_units() + ")",
                     Plural(vectors.psp_values_size(), "value", "values")));
  }
  for (int i = 0; i < vectors.results_size() && i < static_cast<int>(kMaxListed); ++i) {
    const auto& c = vectors.results(i);
    std::vector<std::string> arrays, axes;
    for (const auto& a : c.values()) {
      arrays.push_back(fmt::format("{} x{}",
                                   a.data_descriptor().short_name().empty()
                                       ? "(no name)"
                                       : a.data_descriptor().short_name(),
                                   a.values_size()));
    }
    for (const auto& axis : c.coordinates()) {
      axes.push_back(fmt::format("{} x{}", axis.names().empty() ? "(no name)" : axis.names(),
                                 axis.positions_size()));
    }
    Line(out, fmt::format("  collection {}", i),
         fmt::format("values {}; coordinates {}",
                     arrays.empty() ? "-" : fmt::format("{}", fmt::join(arrays, ", ")),
                     axes.empty() ? "-" : fmt::format("{}", fmt::join(axes, ", "))));
  }
}

void SummarizeEvents(std::string* out, const kyt::pb::common::GeoEventList& events) {
  Line(out, "payload",
       fmt::format("events: {}", Plural(events.geo_event_list_size(), "event", "events")));
  for (int i = 0; i < events.geo_event_list_size() && i < static_cast<int>(kMaxListed); ++i) {
    const auto& e = events.geo_event_list(i);
    std::string coverage = e.has_ellipsoid() ? "ellipsoid"
                           : e.has_geo_feature()
                               ? EnumName(kyt::pb::common::GeoFeature::FeatureType_descriptor(),
                                          e.geo_feature().type())
                               : "no coverage";
    std::string text = fmt::format("{}, intensity {}", coverage, Number(e.intensity()));
    if (e.has_duration() && e.duration().has_start()) {
      text += ", from " + TimeText(e.duration().start());
    }
    if (!e.text_label().empty()) text += fmt::format(", \"{}\"", e.text_label());
    Line(out, fmt::format("  event {}", i), text);
  }
}

void SummarizeRain(std::string* out, const kyt::pb::common::RainAccumulationList& rain) {
  std::uint64_t measurements = 0;
  for (const auto& series : rain.results())
    measurements += static_cast<std::uint64_t>(series.measurements_size());
  Line(out, "payload",
       fmt::format("rain: {}, {}", Plural(rain.results_size(), "series", "series"),
                   Plural(measurements, "measurement", "measurements")));
  for (int i = 0; i < rain.results_size() && i < static_cast<int>(kMaxListed); ++i) {
    const auto& s = rain.results(i);
    double total = 0;
    for (const auto& m : s.measurements()) total += m.rain_mm();
    Line(out, fmt::format("  series {}", i),
         fmt::format("{}, lat {:.5f} lon {:.5f}, {}, {} mm in all",
                     s.name().empty() ? "(no name)" : s.name(), s.lat_lon().latitude_deg(),
                     s.lat_lon().longitude_deg(),
                     Plural(s.measurements_size(), "measurement", "measurements"),
                     Number(total)));
  }
}

void SummarizeProduct(std::string* out, const Product& product) {
  Line(out, "product", EnumName(kyt::pb::common::ProductType_descriptor(), product.type()));
  std::string name = product.configuration_name();
  if (name.empty() && product.has_configuration()) {
    name = product.configuration().configuration_name();
  }
  std::string config = name.empty() ? "(no name)" : name;
  if (product.has_configuration_uuid()) config += "  " + UuidText(product.configuration_uuid());
  if (product.has_configuration()) {
    config += fmt::format(" (inline, {})", EnumName(kyt::pb::common::ProductType_descriptor(),
                                                    product.configuration().type()));
  }
  Line(out, "configuration", config);
  if (product.has_product_generation_time()) {
    Line(out, "generated", TimeText(product.product_generation_time()));
  }
  if (product.has_input_timespan()) {
    const auto& span = product.input_timespan();
    Line(out, "input",
         fmt::format("{} .. {}", span.has_start() ? TimeText(span.start()) : "?",
                     span.has_end() ? TimeText(span.end()) : "?"));
  }
  switch (product.ProductData_case()) {
    case Product::kRaster:
      SummarizeRaster(out, product.raster());
      break;
    case Product::kVectors:
      SummarizeVectors(out, product.vectors());
      break;
    case Product::kEvents:
      SummarizeEvents(out, product.events());
      break;
    case Product::kRain:
      SummarizeRain(out, product.rain());
      break;
    default:
      Line(out, "payload", "(none)");
  }
}

// Any other message: which fields it sets.
void SummarizeOther(std::string* out, const google::protobuf::Message& message) {
  const auto* reflection = message.GetReflection();
  std::vector<const google::protobuf::FieldDescriptor*> fields;
  reflection->ListFields(message, &fields);
  if (fields.empty()) Line(out, "fields", "(none set)");
  for (const auto* field : fields) {
    std::string value;
    if (field->is_repeated()) {
      value = Plural(static_cast<std::uint64_t>(reflection->FieldSize(message, field)), "entry",
                     "entries");
    } else if (field->cpp_type() == google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE) {
      value = fmt::format("{} ({} bytes)", field->message_type()->full_name(),
                          reflection->GetMessage(message, field).ByteSizeLong());
    } else if (field->cpp_type() == google::protobuf::FieldDescriptor::CPPTYPE_STRING) {
      value = fmt::format("{} bytes", reflection->GetString(message, field).size());
    } else {
      value = "set";
    }
    Line(out, field->name(), value);
  }
}

// ---- Streams ------------------------------------------------------------------

// What is kept of a volume of a stream until it closes: the table lines of
// its sweeps closed so far, and their totals, so that memory grows with the
// open sweeps, not with all a volume has had.
struct StreamVolume {
  std::vector<std::string> lines;  // By position among the sweeps.
  std::vector<std::string> notes;
  SweepTotals totals;
};

// The moments of an open sweep as its rays carried them (storage type,
// samples per ray, LZ4 or not): the assembler hands back uncompressed
// buffers, and leaves out a moment it cannot assemble, which the table
// still shows.
using SweepMoments = std::map<std::string, MomentCell>;

// The summary of a ray stream. Which volume, sweep and ray a message
// belongs to is the assembler's to say: it runs sweep by sweep, keeps no
// samples, and tells this observer of each volume and sweep as it opens and
// closes; each sweep closed becomes a table line, each volume closed a
// block of output. What the assembler refuses is counted, and the first
// refusal named.
class StreamSummary : public stream::AssemblerObserver {
 public:
  explicit StreamSummary(OutputFile* out) : out_(out) {
    stream::AssemblerOptions options;
    options.delivery = stream::DeliveryMode::kSweepBySweep;
    options.keep_samples = false;
    assembler_ = stream::Assembler(options);
    assembler_.SetObserver(this);
  }

  void Add(RayStreamMessage&& message) {
    ++counts_[static_cast<std::size_t>(message.payload_case())];
    static_cast<void>(assembler_.Add(std::move(message)));  // Problem() has seen it.
    Drain();
  }

  // `damage`: why the stream ended early, empty at its end.
  void Finish(std::uint64_t messages, std::uint64_t bytes, const std::string& damage) {
    assembler_.Finish();
    Drain();
    std::string text = printed_ ? "\n" : "";
    Line(&text, "stream",
         fmt::format("{}, {}", Plural(messages, "message", "messages"), FormatBytes(bytes)));
    static constexpr std::array<const char*, 8> kNames = {
        "no payload",     "volume_header", "sweep_header", "ray_header",
        "parameter_data", "ray_end",       "sweep_end",    "volume_end"};
    std::vector<std::string> parts;
    for (std::size_t i = 1; i < kNames.size(); ++i) {
      parts.push_back(fmt::format("{} {}", kNames[i], counts_[i]));
    }
    if (counts_[0] > 0) parts.push_back(fmt::format("{} {}", kNames[0], counts_[0]));
    Line(&text, "messages", fmt::format("{}", fmt::join(parts, ", ")));
    Line(&text, "seen",
         fmt::format("{}, {}", Plural(volumes_seen_, "volume", "volumes"),
                     Plural(sweeps_seen_, "sweep", "sweeps")));
    if (!damage.empty()) Line(&text, "broken", damage);
    if (refused_ > 0) {
      Line(&text, "refused",
           fmt::format("{} that do not fit the stream (first: {})",
                       Plural(refused_, "message", "messages"), first_refusal_));
    }
    out_->Write(text);
  }

  void VolumeStarted(const stream::ObservedVolume& volume) override {
    ++volumes_seen_;
    volume.state = StreamVolume();
  }

  void SweepStarted(const stream::ObservedSweep& sweep) override {
    ++sweeps_seen_;
    sweep.state = SweepMoments();
  }

  void MomentTaken(const stream::ObservedSweep& sweep,
                   const stream::ObservedMoment& moment) override {
    (*std::any_cast<SweepMoments>(&sweep.state))[std::string(moment.name)].Add(
        moment.storage, moment.compression == DataBuffer::LZ4, moment.decoded_bytes, 1);
  }

  void SweepEnded(const stream::ObservedSweep& sweep,
                  const stream::AssembledSweep& assembled) override {
    const VolumeHeader& header = sweep.volume.header;
    SweepRow row = RowOfSweep(assembled.sweep, assembled.position,
                              header.has_volume_config() ? &header.volume_config() : nullptr, true);
    row.moments = std::move(*std::any_cast<SweepMoments>(&sweep.state));
    StreamVolume& volume = *std::any_cast<StreamVolume>(&sweep.volume.state);
    if (volume.lines.size() <= assembled.position) volume.lines.resize(assembled.position + 1);
    volume.lines[assembled.position] = SweepLine(row);
    volume.totals.Add(row);
    for (const std::string& item : assembled.missing) {
      volume.notes.push_back(fmt::format("sweep {}: incomplete: {}\n", assembled.position, item));
    }
  }

  void VolumeEnded(const stream::ObservedVolume& observed,
                   const stream::AssembledVolume& assembled) override {
    const StreamVolume& volume = *std::any_cast<StreamVolume>(&observed.state);
    const Volume& v = assembled.volume;
    const bool ended = assembled.end.has_value() || assembled.complete;
    std::string text = printed_ ? "\n" : "";
    printed_ = true;
    Line(&text, "volume", UuidText(v.uuid()));
    PrintInstrument(&text, v.has_instrument() ? &v.instrument() : nullptr);
    PrintConfiguration(&text, v.has_volume_config() ? &v.volume_config() : nullptr,
                       assembled.config_uri ? &*assembled.config_uri : nullptr);
    Line(&text, "time",
         fmt::format("{} .. {}{}", assembled.start ? TimeText(*assembled.start) : "?",
                     assembled.end ? TimeText(*assembled.end) : "?",
                     ended ? "" : " (no VolumeEnd)"));
    Line(&text, "sweeps", volume.totals.Text());
    if (!volume.lines.empty()) text += SweepTableHeader();
    out_->Write(text);
    for (const std::string& line : volume.lines) out_->Write(line);
    for (const std::string& note : volume.notes) out_->Write(note);
    // A write error stays with the output, which the command commits last.
    static_cast<void>(out_->Flush());
  }

  // Closing with parts missing is no refusal: the volume says what is missing.
  void Problem(const Status& status) override {
    if (status.code() == ErrorCode::kIncomplete) return;
    if (refused_++ == 0) first_refusal_ = status.message();
  }

 private:
  // What the observer saw is all that is needed of what the assembler
  // hands back.
  void Drain() {
    static_cast<void>(assembler_.TakeSweeps());
    static_cast<void>(assembler_.TakeVolumes());
  }

  OutputFile* out_;
  stream::Assembler assembler_;
  std::array<std::uint64_t, 8> counts_{};
  std::uint64_t volumes_seen_ = 0;
  std::uint64_t sweeps_seen_ = 0;
  std::uint64_t refused_ = 0;
  std::string first_refusal_;
  bool printed_ = false;
};

// A stream, summarized volume by volume as each closes. A damaged frame
// ends the stream as the end of input would: what came before is
// summarized, and where the stream broke is said.
Result<int> SummarizeStream(Input* input, OutputFile* out) {
  if (input->type()->full_name() != kDefaultStreamType) {
    return Error(input->name(), fmt::format("summary reads streams of {} only", kDefaultStreamType));
  }
  StreamSummary summary(out);
  RayStreamMessage message;
  Progress progress(fmt::format("summary {}", input->name()), input->size());
  std::uint64_t count = 0;
  while (out->ok() && input->Next(&message)) {
    summary.Add(std::move(message));
    ++count;
    progress.Update(input->bytes_read(), input->index() + 1);
  }
  progress.Erase();
  summary.Finish(count, input->bytes_read(), input->damage().message());
  if (Status status = out->Commit(); !status.ok()) return status;
  if (Status damage = input->DamageError(); !damage.ok()) return damage;
  return kExitOk;
}

std::string SummarizeMessage(Input* input) {
  const std::unique_ptr<google::protobuf::Message> message = input->TakeMessage();
  std::string text;
  const std::string type = message->GetDescriptor()->full_name();
  if (const auto* data = dynamic_cast<const InstrumentData*>(message.get())) {
    const char* payload = data->has_volume()    ? "a volume"
                          : data->has_sweep()   ? "a sweep"
                          : data->has_product() ? "a product"
                                                : "nothing";
    Line(&text, "file",
         fmt::format("{} holding {}, {}", type, payload, FormatBytes(input->message_bytes())));
    if (data->has_volume()) SummarizeVolume(&text, data->volume());
    if (data->has_sweep()) SummarizeSweep(&text, data->sweep());
    if (data->has_product()) SummarizeProduct(&text, data->product());
    return text;
  }
  Line(&text, "file", fmt::format("{}, {}", type, FormatBytes(input->message_bytes())));
  if (const auto* volume = dynamic_cast<const Volume*>(message.get())) {
    SummarizeVolume(&text, *volume);
  } else if (const auto* sweep = dynamic_cast<const Sweep*>(message.get())) {
    SummarizeSweep(&text, *sweep);
  } else if (const auto* product = dynamic_cast<const Product*>(message.get())) {
    SummarizeProduct(&text, *product);
  } else {
    SummarizeOther(&text, *message);
  }
  return text;
}

}  // namespace

Result<int> RunSummary(const SummaryOptions& options) {
  Result<std::unique_ptr<Input>> input = Input::Open(options.file, options.input);
  if (!input.ok()) return input.status();
  Result<std::unique_ptr<OutputFile>> out = OutputFile::Open(options.output);
  if (!out.ok()) return out.status();
  if ((*input)->is_stream()) return SummarizeStream(input->get(), out->get());
  (*out)->Write(SummarizeMessage(input->get()));
  if (Status status = (*out)->Commit(); !status.ok()) return status;
  return kExitOk;
}

}  // namespace cli
}  // namespace common_dto
