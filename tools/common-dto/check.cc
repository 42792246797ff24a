// common-dto check: what the schema cannot enforce. References that do not
// resolve, duplicate identifiers, sample buffers that do not fit their
// declarations, moments nobody describes, enum numbers outside their lists,
// invalid times, and for streams the sequence problems of reassembly.
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <google/protobuf/unknown_field_set.h>
#include <google/protobuf/util/time_util.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <set>

#include "commands.h"
#include "common_dto/formats/products.h"
#include "common_dto/stream/assembler.h"
#include "common_dto/model/buffers.h"
#include "common_dto/model/uuid.h"
#include "instrument_data.pb.h"
#include "model.h"
#include "output.h"
#include "ray_stream_message.pb.h"

namespace common_dto {
namespace cli {
namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;
using kyt::pb::common::DataBuffer;
using kyt::pb::common::InstrumentData;
using kyt::pb::common::Product;
using kyt::pb::common::Ray;
using kyt::pb::common::RayConfig;
using kyt::pb::common::RayConfigReference;
using kyt::pb::common::Sweep;
using kyt::pb::common::SweepConfig;
using kyt::pb::common::SweepConfigReference;
using kyt::pb::common::Volume;
using kyt::pb::common::VolumeConfig;
using kyt::pb::stream::RayStreamMessage;

// Findings of one kind in one list (rays of a sweep) beyond this many are
// counted in one line instead of listed.
constexpr int kMaxSameFindings = 5;

std::string Join(const std::string& path, std::string_view name) {
  return path.empty() ? std::string(name) : fmt::format("{}.{}", path, name);
}

std::string Index(const std::string& path, std::string_view name, int index) {
  return fmt::format("{}[{}]", Join(path, name), index);
}

std::string Key(const std::string& path, std::string_view name, const std::string& key) {
  return fmt::format("{}[\"{}\"]", Join(path, name), key);
}

// Paths compare with the numbers in them taken as numbers, so that
// sweep[2] comes before sweep[10].
bool NaturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit(static_cast<unsigned char>(a[i])) &&
        std::isdigit(static_cast<unsigned char>(b[j]))) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
      while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
      const std::string_view na(a.data() + i, ei - i), nb(b.data() + j, ej - j);
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = ei;
      j = ej;
      continue;
    }
    if (a[i] != b[j]) return a[i] < b[j];
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

std::string EntriesText(int n) { return n == 1 ? "1 entry" : fmt::format("{} entries", n); }

struct Finding {
  std::string path;
  std::string what;
  // A note: said, but not a finding (unknown fields of a newer schema,
  // messages of a kind this version does not know).
  bool note = false;
};

// Collects findings and applies the checks. Paths are relative to the
// message checked; for streams the caller prefixes the message's place.
class Checker {
 public:
  Checker(std::size_t max_buffer_size, bool strict)
      : max_buffer_size_(max_buffer_size), strict_(strict) {}

  void Report(std::string path, std::string what) {
    findings_.push_back(Finding{std::move(path), std::move(what)});
  }
  // A note, or a finding with --strict.
  void ReportNote(std::string path, std::string what) {
    findings_.push_back(Finding{std::move(path), std::move(what), !strict_});
  }
  // A finding that sums up others; listed after them.
  void ReportLast(std::string path, std::string what) {
    tail_.push_back(Finding{std::move(path), std::move(what)});
  }
  // The findings so far, in path order, then the summing-up ones.
  std::vector<Finding> Take() {
    std::vector<Finding> findings = std::move(findings_);
    std::stable_sort(findings.begin(), findings.end(), [](const Finding& a, const Finding& b) {
      return NaturalLess(a.path, b.path);
    });
    findings.insert(findings.end(), tail_.begin(), tail_.end());
    findings_.clear();
    tail_.clear();
    return findings;
  }

  // Enum numbers the enum does not list and Timestamps out of range,
  // anywhere in `message`.
  void CheckValues(const Message& message, const std::string& path) {
    const Reflection* r = message.GetReflection();
    if (message.GetDescriptor()->full_name() == "google.protobuf.Timestamp") {
      const auto& time = static_cast<const google::protobuf::Timestamp&>(message);
      using google::protobuf::util::TimeUtil;
      if (time.seconds() < TimeUtil::kTimestampMinSeconds ||
          time.seconds() > TimeUtil::kTimestampMaxSeconds || time.nanos() < 0 ||
          time.nanos() > 999999999) {
        Report(path, fmt::format("invalid time (seconds {}, nanos {}): outside years 1 to 9999 or "
                                 "nanos outside 0 to 999999999",
                                 time.seconds(), time.nanos()));
      }
      return;
    }
    const google::protobuf::UnknownFieldSet& unknown = r->GetUnknownFields(message);
    if (!unknown.empty()) {
      std::set<int> numbers;
      for (int i = 0; i < unknown.field_count(); ++i) numbers.insert(unknown.field(i).number());
      ReportNote(path, fmt::format("field number{} {} not in the schema (kept as unknown fields)",
                                   numbers.size() == 1 ? "" : "s", fmt::join(numbers, ", ")));
    }
    std::vector<const FieldDescriptor*> fields;
    r->ListFields(message, &fields);
    for (const FieldDescriptor* field : fields) {
      const std::string here = Join(path, field->name());
      if (field->is_map()) {
        CheckMapValues(message, field, path);
      } else if (field->cpp_type() == FieldDescriptor::CPPTYPE_ENUM) {
        if (field->is_repeated()) {
          for (int i = 0; i < r->FieldSize(message, field); ++i) {
            CheckEnum(field, r->GetRepeatedEnumValue(message, field, i),
                      fmt::format("{}[{}]", here, i));
          }
        } else {
          CheckEnum(field, r->GetEnumValue(message, field), here);
        }
      } else if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
        if (field->is_repeated()) {
          for (int i = 0; i < r->FieldSize(message, field); ++i) {
            CheckValues(r->GetRepeatedMessage(message, field, i), fmt::format("{}[{}]", here, i));
          }
        } else {
          CheckValues(r->GetMessage(message, field), here);
        }
      }
    }
  }

  // UUIDs that identify things of a volume must differ.
  void CheckUniqueUuids(
      const std::vector<std::pair<const kyt::pb::common::UUID*, std::string>>& ids) {
    std::map<std::string, std::string> first;
    for (const auto& [uuid, path] : ids) {
      if (uuid == nullptr) continue;
      const std::string text = UuidText(*uuid);
      auto [it, fresh] = first.emplace(text, path);
      if (!fresh) Report(path, fmt::format("duplicate UUID {} (also {})", text, it->second));
    }
  }

  void CheckVolumeConfig(const VolumeConfig& config, const std::string& path,
                         const kyt::pb::common::UUID* volume_uuid, const std::string& volume_path) {
    std::vector<std::pair<const kyt::pb::common::UUID*, std::string>> ids;
    if (volume_uuid != nullptr) ids.emplace_back(volume_uuid, volume_path);
    if (config.has_uuid()) ids.emplace_back(&config.uuid(), Join(path, "uuid"));
    for (int i = 0; i < config.sweep_config_size(); ++i) {
      if (config.sweep_config(i).has_uuid()) {
        ids.emplace_back(&config.sweep_config(i).uuid(),
                         Join(Index(path, "sweep_config", i), "uuid"));
      }
    }
    for (int i = 0; i < config.ray_config_size(); ++i) {
      if (config.ray_config(i).has_uuid()) {
        ids.emplace_back(&config.ray_config(i).uuid(), Join(Index(path, "ray_config", i), "uuid"));
      }
    }
    CheckUniqueUuids(ids);
    for (int i = 0; i < config.sweep_config_size(); ++i) {
      CheckSweepConfig(config.sweep_config(i), &config, path, Index(path, "sweep_config", i));
    }
    for (int i = 0; i < config.sweep_descriptions_size(); ++i) {
      CheckSweepConfigRef(config.sweep_descriptions(i).config(), &config, path,
                          Join(Index(path, "sweep_descriptions", i), "config"));
    }
  }

  void CheckVolume(const Volume& volume, const std::string& path) {
    const VolumeConfig* config = volume.has_volume_config() ? &volume.volume_config() : nullptr;
    const std::string config_path = Join(path, "volume_config");
    if (config != nullptr) {
      CheckVolumeConfig(*config, config_path, volume.has_uuid() ? &volume.uuid() : nullptr,
                        Join(path, "uuid"));
    }
    for (int i = 0; i < volume.sweep_size(); ++i) {
      CheckSweep(volume.sweep(i), config, config_path, Index(path, "sweep", i));
    }
  }

  // `config` is the volume configuration the sweep's references point
  // into (null for a sweep on its own), found at `config_path`.
  void CheckSweep(const Sweep& sweep, const VolumeConfig* config, const std::string& config_path,
                  const std::string& path) {
    const auto& ref = sweep.description().config();
    if (config != nullptr) {
      CheckSweepConfigRef(ref, config, config_path, Join(Join(path, "description"), "config"));
    } else if (ref.has_sweep_config()) {
      CheckSweepConfig(ref.sweep_config(), nullptr, config_path,
                       Join(Join(Join(path, "description"), "config"), "sweep_config"));
    }

    // Rays: configuration references and duplicate indices.
    std::map<std::int32_t, int> first_with_index;
    int bad_refs = 0, duplicates = 0;
    for (int i = 0; i < sweep.rays_size(); ++i) {
      const Ray& ray = sweep.rays(i);
      const std::string ray_path = Index(path, "rays", i);
      if (config != nullptr) {
        std::string what = RayRefProblem(ray, *config, config_path);
        if (!what.empty() && ++bad_refs <= kMaxSameFindings) {
          Report(Join(ray_path, ray.has_ray_config_uuid() ? "ray_config_uuid" : "ray_config_index"),
                 what);
        }
      }
      auto [it, fresh] = first_with_index.emplace(ray.index(), i);
      if (!fresh && ++duplicates <= kMaxSameFindings) {
        Report(Join(ray_path, "index"),
               fmt::format("duplicate ray index {} (also rays[{}])", ray.index(), it->second));
      }
    }
    if (bad_refs > kMaxSameFindings) {
      ReportLast(Join(path, "rays"),
                 fmt::format("{} more rays whose configuration reference does not "
                             "resolve",
                             bad_refs - kMaxSameFindings));
    }
    if (duplicates > kMaxSameFindings) {
      ReportLast(Join(path, "rays"), fmt::format("{} more rays with a duplicate ray index",
                                                 duplicates - kMaxSameFindings));
    }

    // Moments: buffers and descriptors.
    std::vector<std::string> names;
    for (const auto& entry : sweep.sweep_moments()) names.push_back(entry.first);
    std::sort(names.begin(), names.end());
    const std::optional<std::set<std::string>> described = DescribedMoments(sweep, config);
    for (const std::string& name : names) {
      const std::string moment_path = Key(path, "sweep_moments", name);
      CheckBuffer(sweep.sweep_moments().at(name), moment_path,
                  static_cast<std::uint64_t>(sweep.rays_size()));
      if (described && described->count(name) == 0) {
        Report(moment_path, fmt::format("no DataDescriptor for moment \"{}\" in the sweep's "
                                        "SweepConfig or RayConfigs",
                                        name));
      }
    }
  }

  // Buffer declarations against the bytes. `rays`, for a sweep's buffer,
  // is the number of rays its samples must divide among.
  void CheckBuffer(const DataBuffer& buffer, const std::string& path,
                   std::optional<std::uint64_t> rays) {
    std::uint64_t bytes = buffer.data().size();
    switch (buffer.compression()) {
      case DataBuffer::LZ4: {
        scratch_.clear();
        const Status status =
            AppendUncompressed(buffer, &scratch_, max_buffer_size_);
        if (!status.ok()) {
          Report(Join(path, "data"),
                 fmt::format("LZ4 data does not decompress as declared: {}", status.message()));
          std::string().swap(scratch_);
          return;
        }
        bytes = scratch_.size();
        std::string().swap(scratch_);
        if (bytes != static_cast<std::uint64_t>(buffer.uncompressed_size())) {
          Report(Join(path, "uncompressed_size"),
                 fmt::format("LZ4 data decompresses to {} bytes, not the {} declared", bytes,
                             buffer.uncompressed_size()));
        }
        break;
      }
      case DataBuffer::NONE:
      case DataBuffer::UNKNOWN_COMPRESSION:
        if (buffer.uncompressed_size() != 0 &&
            static_cast<std::uint64_t>(buffer.uncompressed_size()) != bytes) {
          Report(Join(path, "uncompressed_size"),
                 fmt::format("declares {} bytes, but data holds {}", buffer.uncompressed_size(),
                             bytes));
        }
        break;
      default:
        return;  // An unlisted compression; reported as such.
    }
    const int width = SampleWidth(buffer.type());
    if (width > 0 && bytes % static_cast<std::uint64_t>(width) != 0) {
      Report(Join(path, "data"),
             fmt::format("{} bytes is no multiple of the {}-byte width of {}", bytes, width,
                         EnumName(DataBuffer::StorageType_descriptor(), buffer.type())));
      return;
    }
    if (!rays) return;
    if (*rays == 0) {
      if (bytes > 0)
        Report(Join(path, "data"), fmt::format("{} bytes, but the sweep has no rays", bytes));
      return;
    }
    const std::uint64_t units = width > 0 ? bytes / static_cast<std::uint64_t>(width) : bytes;
    if (units % *rays != 0) {
      Report(Join(path, "data"), fmt::format("{} {} do not divide among the sweep's {} rays", units,
                                             width > 0 ? "samples" : "bytes", *rays));
    }
  }

  void CheckProduct(const Product& product, const std::string& path) {
    if (!product.has_raster()) return;
    const auto& raster = product.raster();
    for (const std::string& finding : formats::CheckRasterGeoreference(raster)) {
      Report(Join(path, "raster"), finding);
    }
    for (int i = 0; i < raster.data_set_size(); ++i) {
      const auto& data = raster.data_set(i).data();
      for (int j = 0; j < data.size(); ++j) {
        CheckBuffer(data.Get(j), Index(Index(Join(path, "raster"), "data_set", i), "data", j),
                    std::nullopt);
      }
    }
  }

  // Problems of a sweep configuration reference; checks an inline one too.
  void CheckSweepConfigRef(const SweepConfigReference& ref, const VolumeConfig* config,
                           const std::string& config_path, const std::string& path) {
    switch (ref.ConfigReference_case()) {
      case SweepConfigReference::kSweepConfigIndex:
        if (config != nullptr && ResolveSweepConfig(config, ref) == nullptr) {
          Report(Join(path, "sweep_config_index"),
                 fmt::format("refers to sweep config {}, but {} has {}", ref.sweep_config_index(),
                             Join(config_path, "sweep_config"),
                             EntriesText(config->sweep_config_size())));
        }
        break;
      case SweepConfigReference::kSweepConfigUuid:
        if (config != nullptr && ResolveSweepConfig(config, ref) == nullptr) {
          Report(Join(path, "sweep_config_uuid"),
                 fmt::format("refers to sweep config {}, which no entry of {} has",
                             UuidText(ref.sweep_config_uuid()), Join(config_path, "sweep_config")));
        }
        break;
      case SweepConfigReference::kSweepConfig:
        CheckSweepConfig(ref.sweep_config(), config, config_path, Join(path, "sweep_config"));
        break;
      default:
        break;
    }
  }

 private:
  void CheckSweepConfig(const SweepConfig& sweep_config, const VolumeConfig* config,
                        const std::string& config_path, const std::string& path) {
    for (int i = 0; i < sweep_config.ray_config_ref_size(); ++i) {
      const RayConfigReference& ref = sweep_config.ray_config_ref(i);
      const std::string ref_path = Index(path, "ray_config_ref", i);
      switch (ref.RayConfigReference_case()) {
        case RayConfigReference::kRayConfigIndex:
          if (config != nullptr && ResolveRayConfig(config, ref) == nullptr) {
            Report(Join(ref_path, "ray_config_index"),
                   fmt::format("refers to ray config {}, but {} has {}", ref.ray_config_index(),
                               Join(config_path, "ray_config"),
                               EntriesText(config->ray_config_size())));
          }
          break;
        case RayConfigReference::kRayConfigUuid:
          if (config != nullptr && ResolveRayConfig(config, ref) == nullptr) {
            Report(Join(ref_path, "ray_config_uuid"),
                   fmt::format("refers to ray config {}, which no entry of {} has",
                               UuidText(ref.ray_config_uuid()), Join(config_path, "ray_config")));
          }
          break;
        case RayConfigReference::kRayConfig:
          break;
        default:
          Report(ref_path, "refers to nothing (no UUID, index or inline RayConfig)");
      }
    }
  }

  static std::string RayRefProblem(const Ray& ray, const VolumeConfig& config,
                                   const std::string& config_path) {
    if (ResolveRayConfig(&config, ray) != nullptr) return std::string();
    switch (ray.RayConfigReference_case()) {
      case Ray::kRayConfigIndex:
        return fmt::format("refers to ray config {}, but {} has {}", ray.ray_config_index(),
                           Join(config_path, "ray_config"), EntriesText(config.ray_config_size()));
      case Ray::kRayConfigUuid:
        return fmt::format("refers to ray config {}, which no entry of {} has",
                           UuidText(ray.ray_config_uuid()), Join(config_path, "ray_config"));
      default:
        return std::string();
    }
  }

  // The moment names the sweep's configurations describe: its SweepConfig
  // and the RayConfigs that it and the sweep's rays refer to. nullopt when
  // none of them can be found (then nothing can be said).
  static std::optional<std::set<std::string>> DescribedMoments(const Sweep& sweep,
                                                               const VolumeConfig* config) {
    std::set<std::string> names;
    bool found = false;
    auto add = [&](const google::protobuf::Map<std::string, kyt::pb::common::DataDescriptor>& m) {
      found = true;
      for (const auto& entry : m) names.insert(entry.first);
    };
    std::set<const RayConfig*> ray_configs;
    const SweepConfigReference& sweep_ref = sweep.description().config();
    const SweepConfig* sweep_config = ResolveSweepConfig(config, sweep_ref);
    if (sweep_config == nullptr &&
        sweep_ref.ConfigReference_case() != SweepConfigReference::CONFIGREFERENCE_NOT_SET) {
      return std::nullopt;  // A broken reference, reported as such.
    }
    if (sweep_config != nullptr) {
      add(sweep_config->data_moments());
      for (const RayConfigReference& ref : sweep_config->ray_config_ref()) {
        if (const RayConfig* ray_config = ResolveRayConfig(config, ref))
          ray_configs.insert(ray_config);
      }
    }
    for (const Ray& ray : sweep.rays()) {
      if (const RayConfig* ray_config = ResolveRayConfig(config, ray))
        ray_configs.insert(ray_config);
    }
    for (const RayConfig* ray_config : ray_configs) add(ray_config->data_moments());
    if (!found) return std::nullopt;
    return names;
  }

  void CheckEnum(const FieldDescriptor* field, int value, const std::string& path) {
    if (field->enum_type()->FindValueByNumber(value) == nullptr) {
      Report(path, fmt::format("{} is not a value of {}", value, field->enum_type()->full_name()));
    }
  }

  // Map values in key order.
  void CheckMapValues(const Message& message, const FieldDescriptor* field,
                      const std::string& path) {
    const Reflection* r = message.GetReflection();
    const FieldDescriptor* key = field->message_type()->FindFieldByNumber(1);
    const FieldDescriptor* value = field->message_type()->FindFieldByNumber(2);
    if (value->cpp_type() != FieldDescriptor::CPPTYPE_ENUM &&
        value->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) {
      return;
    }
    std::vector<std::pair<std::string, const Message*>> entries;
    for (int i = 0; i < r->FieldSize(message, field); ++i) {
      const Message& entry = r->GetRepeatedMessage(message, field, i);
      const Reflection* er = entry.GetReflection();
      std::string label;
      switch (key->cpp_type()) {
        case FieldDescriptor::CPPTYPE_STRING:
          label = fmt::format("\"{}\"", er->GetString(entry, key));
          break;
        case FieldDescriptor::CPPTYPE_INT32:
          label = std::to_string(er->GetInt32(entry, key));
          break;
        case FieldDescriptor::CPPTYPE_INT64:
          label = std::to_string(er->GetInt64(entry, key));
          break;
        case FieldDescriptor::CPPTYPE_UINT32:
          label = std::to_string(er->GetUInt32(entry, key));
          break;
        case FieldDescriptor::CPPTYPE_UINT64:
          label = std::to_string(er->GetUInt64(entry, key));
          break;
        case FieldDescriptor::CPPTYPE_BOOL:
          label = er->GetBool(entry, key) ? "true" : "false";
          break;
        default:
          label = std::to_string(i);
      }
      entries.emplace_back(label, &entry);
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return NaturalLess(a.first, b.first); });
    for (const auto& [label, entry] : entries) {
      const std::string here = fmt::format("{}[{}]", Join(path, field->name()), label);
      const Reflection* er = entry->GetReflection();
      if (value->cpp_type() == FieldDescriptor::CPPTYPE_ENUM) {
        CheckEnum(value, er->GetEnumValue(*entry, value), here);
      } else {
        CheckValues(er->GetMessage(*entry, value), here);
      }
    }
  }

  std::size_t max_buffer_size_;
  bool strict_;
  std::vector<Finding> findings_;
  std::vector<Finding> tail_;
  std::string scratch_;
};

// ---- Streams ------------------------------------------------------------------

// Per-message checks of a ray stream and its reassembly. Which volume and
// sweep a message belongs to is the assembler's to say (it runs in
// validation mode, keeping no samples); this keeps only what the checks
// need about each open sweep, and reports on a sweep when the assembler
// hands it back.
class StreamChecker {
 public:
  StreamChecker(std::size_t max_buffer_size, bool strict)
      : checker_(max_buffer_size, strict), strict_(strict) {
    stream::AssemblerOptions options;
    options.delivery = stream::DeliveryMode::kSweepBySweep;
    options.max_buffer_size = max_buffer_size;
    options.keep_samples = false;
    assembler_ = stream::Assembler(options);
  }

  // Findings about message `index`, with their place prefixed.
  std::vector<Finding> Add(RayStreamMessage&& message, const std::string& where) {
    checker_.CheckValues(message, "");
    switch (message.payload_case()) {
      case RayStreamMessage::kVolumeHeader:
        OnVolumeHeader(message.volume_header());
        break;
      case RayStreamMessage::kSweepHeader:
        OnSweepHeader(message.sweep_header());
        break;
      case RayStreamMessage::kRayHeader:
        OnRayHeader(message.ray_header(), where);
        break;
      case RayStreamMessage::kParameterData:
        OnParameterData(message.parameter_data(), where);
        break;
      default:
        break;
    }
    std::vector<Finding> findings = checker_.Take();
    for (Finding& finding : findings) finding.path = JoinWhere(where, finding.path, " / ");
    // Decided by code: a kind this version does not know is a note; a sweep
    // closed incomplete is reported through its `missing` items below.
    const Status status = assembler_.Add(std::move(message));
    if (status.code() == ErrorCode::kUnsupported) {
      findings.push_back(Finding{where, status.message(), !strict_});
    } else if (!status.ok() && status.code() != ErrorCode::kIncomplete) {
      findings.push_back(Finding{where, status.message()});
    }
    Drain(&findings);
    return findings;
  }

  std::vector<Finding> Finish() {
    std::vector<Finding> findings;
    assembler_.Finish();
    Drain(&findings);
    return findings;
  }

 private:
  // What the checks keep about an open sweep.
  struct SweepChecks {
    std::set<const RayConfig*> ray_configs;  // Into the assembler's VolumeHeader.
    std::map<std::int32_t, std::string> ray_index_first;
    std::map<std::string, std::string> moments;  // Name to the first message carrying it.
    int bad_refs = 0;    // Rays whose configuration reference does not resolve.
    int duplicates = 0;  // Rays with a Ray.index seen before in the sweep.
  };

  static std::string JoinWhere(const std::string& a, const std::string& b, std::string_view sep) {
    if (b.empty()) return a;
    return fmt::format("{}{}{}", a, sep, b);
  }

  static const VolumeConfig* ConfigOf(const kyt::pb::stream::VolumeHeader* header) {
    return header != nullptr && header->has_volume_config() ? &header->volume_config() : nullptr;
  }

  // The checks' state of an open sweep; null when the assembler has no such
  // sweep open (it reports that itself).
  SweepChecks* ChecksOf(const kyt::pb::common::UUID& sweep_uuid) {
    if (assembler_.FindOpenSweep(sweep_uuid) == nullptr) return nullptr;
    return &sweeps_[common_dto::UuidKey::Of(sweep_uuid)];
  }

  void OnVolumeHeader(const kyt::pb::stream::VolumeHeader& header) {
    if (!header.has_volume_config()) return;
    checker_.CheckVolumeConfig(header.volume_config(), "volume_header.volume_config",
                               header.has_volume_uuid() ? &header.volume_uuid() : nullptr,
                               "volume_header.volume_uuid");
  }

  void OnSweepHeader(const kyt::pb::stream::SweepHeader& header) {
    checker_.CheckSweepConfigRef(header.description().config(),
                                 ConfigOf(assembler_.FindOpenVolume(header.volume_uuid())),
                                 "volume_header.volume_config", "sweep_header.description.config");
  }

  void OnRayHeader(const kyt::pb::stream::RayHeader& header, const std::string& where) {
    SweepChecks* sweep = ChecksOf(header.sweep_uuid());
    if (sweep == nullptr) return;
    const VolumeConfig* config = ConfigOf(assembler_.FindVolumeOfSweep(header.sweep_uuid()));
    const Ray& ray = header.ray();
    if (config != nullptr && ray.RayConfigReference_case() != Ray::RAYCONFIGREFERENCE_NOT_SET) {
      if (const RayConfig* ray_config = ResolveRayConfig(config, ray)) {
        sweep->ray_configs.insert(ray_config);
      } else if (++sweep->bad_refs > kMaxSameFindings) {
        // Counted; CloseSweep() reports the number.
      } else if (ray.has_ray_config_index()) {
        checker_.Report("ray_header.ray.ray_config_index",
                        fmt::format("refers to ray config {}, but "
                                    "volume_header.volume_config.ray_config has {}",
                                    ray.ray_config_index(), EntriesText(config->ray_config_size())));
      } else {
        checker_.Report("ray_header.ray.ray_config_uuid",
                        fmt::format("refers to ray config {}, which no entry of "
                                    "volume_header.volume_config.ray_config has",
                                    UuidText(ray.ray_config_uuid())));
      }
    }
    auto [it, fresh] = sweep->ray_index_first.emplace(ray.index(), where);
    if (!fresh && ++sweep->duplicates <= kMaxSameFindings) {
      checker_.Report("ray_header.ray.index",
                      fmt::format("duplicate ray index {} in the sweep (also {})", ray.index(),
                                  it->second));
    }
  }

  void OnParameterData(const kyt::pb::stream::ParameterData& data, const std::string& where) {
    checker_.CheckBuffer(data.data(), "parameter_data.data", std::nullopt);
    if (SweepChecks* sweep = ChecksOf(data.sweep_uuid())) {
      sweep->moments.emplace(data.data_type().short_name(), where);
    }
  }

  // What the checks found about a sweep the assembler handed back: rays
  // counted beyond those listed, and moments its configurations do not
  // describe (reported at the first message that carried them).
  void CloseSweep(const SweepChecks& sweep, const stream::AssembledSweep& assembled,
                  std::vector<Finding>* findings) {
    const std::string where = fmt::format("sweep {}", UuidText(assembled.sweep_uuid));
    if (sweep.bad_refs > kMaxSameFindings) {
      findings->push_back(Finding{where, fmt::format("{} more rays whose configuration reference "
                                                     "does not resolve",
                                                     sweep.bad_refs - kMaxSameFindings)});
    }
    if (sweep.duplicates > kMaxSameFindings) {
      findings->push_back(Finding{where, fmt::format("{} more rays with a duplicate ray index",
                                                     sweep.duplicates - kMaxSameFindings)});
    }
    const std::optional<std::set<std::string>> described = DescribedMoments(
        sweep, assembled.sweep.description().config(), ConfigOf(assembled.volume_header.get()));
    if (!described) return;
    for (const auto& [name, first] : sweep.moments) {
      if (described->count(name) == 0) {
        findings->push_back(
            Finding{JoinWhere(first, "parameter_data.data_type.short_name", " / "),
                    fmt::format("no DataDescriptor for moment \"{}\" in the sweep's "
                                "SweepConfig or RayConfigs",
                                name)});
      }
    }
  }

  // The moments the sweep's SweepConfig and RayConfigs describe; nullopt
  // when there are none to say (or the reference is broken, reported as such).
  static std::optional<std::set<std::string>> DescribedMoments(
      const SweepChecks& sweep, const SweepConfigReference& ref, const VolumeConfig* config) {
    std::set<const RayConfig*> ray_configs = sweep.ray_configs;
    const SweepConfig* sweep_config = ResolveSweepConfig(config, ref);
    if (sweep_config == nullptr &&
        ref.ConfigReference_case() != SweepConfigReference::CONFIGREFERENCE_NOT_SET) {
      return std::nullopt;
    }
    std::set<std::string> described;
    bool found = false;
    if (sweep_config != nullptr) {
      found = true;
      for (const auto& entry : sweep_config->data_moments()) described.insert(entry.first);
      for (const RayConfigReference& r : sweep_config->ray_config_ref()) {
        if (const RayConfig* ray_config = ResolveRayConfig(config, r)) ray_configs.insert(ray_config);
      }
    }
    for (const RayConfig* ray_config : ray_configs) {
      found = true;
      for (const auto& entry : ray_config->data_moments()) described.insert(entry.first);
    }
    if (!found) return std::nullopt;
    return described;
  }

  // The assembler's verdicts on what it closed, and the checks of each
  // sweep it handed back.
  void Drain(std::vector<Finding>* findings) {
    for (stream::AssembledSweep& sweep : assembler_.TakeSweeps()) {
      auto checks = sweeps_.find(common_dto::UuidKey::Of(sweep.sweep_uuid));
      if (checks != sweeps_.end()) {
        CloseSweep(checks->second, sweep, findings);
        sweeps_.erase(checks);
      } else {
        CloseSweep(SweepChecks(), sweep, findings);
      }
      const std::string where = fmt::format("volume {} sweep {} ({})", UuidText(sweep.volume_uuid),
                                            sweep.position, UuidText(sweep.sweep_uuid));
      for (const std::string& item : sweep.missing) {
        findings->push_back(Finding{where, "incomplete: " + item});
      }
      for (const std::string& warning : sweep.warnings) {
        findings->push_back(Finding{where, warning});
      }
    }
    for (stream::AssembledVolume& volume : assembler_.TakeVolumes()) {
      const std::string where = fmt::format("volume {}", UuidText(volume.volume.uuid()));
      for (const std::string& item : volume.missing) {
        findings->push_back(Finding{where, "incomplete: " + item});
      }
      for (const std::string& warning : volume.warnings) {
        findings->push_back(Finding{where, warning});
      }
    }
  }

  Checker checker_;
  bool strict_;
  stream::Assembler assembler_;
  std::map<common_dto::UuidKey, SweepChecks> sweeps_;
};

// Writes findings and notes, and counts them.
class Report {
 public:
  explicit Report(OutputFile* out) : out_(out) {}

  void Print(const std::vector<Finding>& findings) {
    std::string text;
    for (const Finding& finding : findings) {
      const std::string what = finding.note ? "note: " + finding.what : finding.what;
      text += finding.path.empty() ? fmt::format("{}\n", what)
                                   : fmt::format("{}: {}\n", finding.path, what);
      ++(finding.note ? notes_ : findings_);
    }
    out_->Write(text);
  }

  // The closing line; the exit status.
  int Close(const std::string& name) {
    const std::string notes =
        notes_ == 0 ? "" : fmt::format(" ({} note{})", notes_, notes_ == 1 ? "" : "s");
    out_->Write(findings_ == 0 ? fmt::format("{}: no findings{}\n", name, notes)
                               : fmt::format("{}: {} finding{}{}\n", name, findings_,
                                             findings_ == 1 ? "" : "s", notes));
    out_->Commit();
    return findings_ == 0 ? kExitOk : kExitFindings;
  }

 private:
  OutputFile* out_;
  std::uint64_t findings_ = 0;
  std::uint64_t notes_ = 0;
};

// A stream, message by message. A damaged frame ends it as the end of input
// would, and is itself a finding.
void CheckStream(Input* input, const CheckOptions& options, Report* report) {
  const bool ray_stream = input->type()->full_name() == kDefaultStreamType;
  StreamChecker stream_checker(options.max_buffer_size, options.strict);
  Checker generic(options.max_buffer_size, options.strict);
  const std::unique_ptr<google::protobuf::Message> message = input->NewMessage();
  Progress progress(fmt::format("check {}", input->name()), input->size());
  while (input->Next(message.get())) {
    std::vector<Finding> findings;
    if (ray_stream) {
      findings =
          stream_checker.Add(std::move(static_cast<RayStreamMessage&>(*message)), input->Where());
    } else {
      generic.CheckValues(*message, "");
      findings = generic.Take();
      for (Finding& f : findings) f.path = input->Where() + (f.path.empty() ? "" : " / " + f.path);
    }
    report->Print(findings);
    progress.Update(input->bytes_read(), input->index() + 1);
  }
  progress.Erase();
  if (!input->damage().ok()) {
    report->Print({Finding{input->DamageWhere(), "damaged: " + input->DamageWhat()}});
  }
  if (ray_stream) report->Print(stream_checker.Finish());
}

void CheckMessage(const Message& message, const CheckOptions& options, Report* report) {
  Checker checker(options.max_buffer_size, options.strict);
  checker.CheckValues(message, "");
  if (const auto* data = dynamic_cast<const InstrumentData*>(&message)) {
    if (data->has_volume()) checker.CheckVolume(data->volume(), "volume");
    if (data->has_sweep()) checker.CheckSweep(data->sweep(), nullptr, "", "sweep");
    if (data->has_product()) checker.CheckProduct(data->product(), "product");
  } else if (const auto* volume = dynamic_cast<const Volume*>(&message)) {
    checker.CheckVolume(*volume, "");
  } else if (const auto* sweep = dynamic_cast<const Sweep*>(&message)) {
    checker.CheckSweep(*sweep, nullptr, "", "");
  } else if (const auto* product = dynamic_cast<const Product*>(&message)) {
    checker.CheckProduct(*product, "");
  } else if (const auto* config = dynamic_cast<const VolumeConfig*>(&message)) {
    checker.CheckVolumeConfig(*config, "", nullptr, "");
  } else if (const auto* buffer = dynamic_cast<const DataBuffer*>(&message)) {
    checker.CheckBuffer(*buffer, "", std::nullopt);
  }
  report->Print(checker.Take());
}

}  // namespace

int RunCheck(const CheckOptions& options) {
  const std::unique_ptr<Input> input = Input::Open(options.file, options.input);
  OutputFile out(options.output);
  Report report(&out);
  if (input->is_stream()) {
    CheckStream(input.get(), options, &report);
  } else {
    CheckMessage(*input->TakeMessage(), options, &report);
  }
  return report.Close(input->name());
}

}  // namespace cli
}  // namespace common_dto
