// The rules of one message.
#include "checker.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <google/protobuf/unknown_field_set.h>
#include <google/protobuf/util/time_util.h>

#include <algorithm>
#include <cctype>
#include <map>

#include "common_dto/model/buffers.h"
#include "common_dto/model/field_path.h"
#include "common_dto/model/references.h"
#include "common_dto/model/uuid.h"
#include "common_dto/model/walk.h"

namespace common_dto {
namespace validate {
namespace internal {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;
using kyt::pb::common::DataBuffer;
using kyt::pb::common::Product;
using kyt::pb::common::Ray;
using kyt::pb::common::RayConfig;
using kyt::pb::common::RayConfigReference;
using kyt::pb::common::Sweep;
using kyt::pb::common::SweepConfig;
using kyt::pb::common::SweepConfigReference;
using kyt::pb::common::Volume;
using kyt::pb::common::VolumeConfig;

std::string EntriesText(int n) { return n == 1 ? "1 entry" : fmt::format("{} entries", n); }

std::string UuidString(const kyt::pb::common::UUID& uuid) { return FormatUuid(uuid); }


std::optional<std::set<std::string>> DescribedMoments(const SweepConfigReference& ref,
                                                      const VolumeConfig* config,
                                                      std::set<const RayConfig*> ray_configs) {
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

void Checker::Report(FindingCode code, std::string location, std::string text) {
  findings_.push_back(Finding{code, Severity::kFinding, std::move(location), std::move(text)});
}

void Checker::ReportNote(FindingCode code, std::string location, std::string text) {
  findings_.push_back(Finding{code, options_.strict ? Severity::kFinding : Severity::kNote,
                              std::move(location), std::move(text)});
}

void Checker::ReportLast(FindingCode code, std::string location, std::string text) {
  tail_.push_back(Finding{code, Severity::kFinding, std::move(location), std::move(text)});
}

std::vector<Finding> Checker::Take() {
  std::vector<Finding> findings = std::move(findings_);
  std::stable_sort(findings.begin(), findings.end(), [](const Finding& a, const Finding& b) {
    return NaturalLess(a.location, b.location);
  });
  findings.insert(findings.end(), tail_.begin(), tail_.end());
  findings_.clear();
  tail_.clear();
  return findings;
}

void Checker::CheckTime(const Message& message, const std::string& path) {
  const auto& time = static_cast<const google::protobuf::Timestamp&>(message);
  using google::protobuf::util::TimeUtil;
  if (time.seconds() < TimeUtil::kTimestampMinSeconds ||
      time.seconds() > TimeUtil::kTimestampMaxSeconds || time.nanos() < 0 ||
      time.nanos() > 999999999) {
    Report(FindingCode::kInvalidTime, path,
           fmt::format("invalid time (seconds {}, nanos {}): outside years 1 to 9999 or "
                       "nanos outside 0 to 999999999",
                       time.seconds(), time.nanos()));
  }
}

namespace {

// The value rules over every message below the one walked: times, enum
// numbers, unknown fields.
class ValueRules : public FieldVisitor {
 public:
  explicit ValueRules(Checker* checker) : checker_(checker) {}

  bool EnterMessage(const Message& message, const std::string& path) override {
    if (message.GetDescriptor()->full_name() == "google.protobuf.Timestamp") {
      checker_->CheckTime(message, path);
      return false;
    }
    checker_->CheckUnknownFields(message, path);
    return true;
  }

  bool VisitValue(const Message& message, const FieldDescriptor* field, int index,
                  const std::string& path) override {
    if (field->cpp_type() != FieldDescriptor::CPPTYPE_ENUM) return true;
    const Reflection* r = message.GetReflection();
    checker_->CheckEnum(field, index < 0 ? r->GetEnumValue(message, field)
                                         : r->GetRepeatedEnumValue(message, field, index),
                        path);
    return true;
  }

 private:
  Checker* checker_;
};

}  // namespace

void Checker::CheckValues(const Message& message, const std::string& path) {
  ValueRules rules(this);
  WalkFields(message, &rules, WalkOptions(), path);
}

void Checker::CheckUnknownFields(const Message& message, const std::string& path) {
  const google::protobuf::UnknownFieldSet& unknown =
      message.GetReflection()->GetUnknownFields(message);
  if (unknown.empty()) return;
  std::set<int> numbers;
  for (int i = 0; i < unknown.field_count(); ++i) numbers.insert(unknown.field(i).number());
  ReportNote(FindingCode::kUnknownFields, path,
             fmt::format("field number{} {} not in the schema (kept as unknown fields)",
                         numbers.size() == 1 ? "" : "s", fmt::join(numbers, ", ")));
}

void Checker::CheckEnum(const FieldDescriptor* field, int value, const std::string& path) {
  if (field->enum_type()->FindValueByNumber(value) == nullptr) {
    Report(FindingCode::kUnknownEnumValue, path,
           fmt::format("{} is not a value of {}", value, field->enum_type()->full_name()));
  }
}

void Checker::CheckUniqueUuids(const UuidPlaces& ids) {
  std::map<std::string, std::string> first;
  for (const auto& [uuid, path] : ids) {
    if (uuid == nullptr) continue;
    const std::string text = UuidString(*uuid);
    auto [it, fresh] = first.emplace(text, path);
    if (!fresh) {
      Report(FindingCode::kDuplicateUuid, path,
             fmt::format("duplicate UUID {} (also {})", text, it->second));
    }
  }
}

void Checker::CheckVolumeConfig(const VolumeConfig& config, const std::string& path,
                                const kyt::pb::common::UUID* volume_uuid,
                                const std::string& volume_path) {
  UuidPlaces ids;
  if (volume_uuid != nullptr) ids.emplace_back(volume_uuid, volume_path);
  if (config.has_uuid()) ids.emplace_back(&config.uuid(), FieldPath(path, "uuid"));
  for (int i = 0; i < config.sweep_config_size(); ++i) {
    if (config.sweep_config(i).has_uuid()) {
      ids.emplace_back(&config.sweep_config(i).uuid(),
                       FieldPath(FieldPath(path, "sweep_config", i), "uuid"));
    }
  }
  for (int i = 0; i < config.ray_config_size(); ++i) {
    if (config.ray_config(i).has_uuid()) {
      ids.emplace_back(&config.ray_config(i).uuid(),
                       FieldPath(FieldPath(path, "ray_config", i), "uuid"));
    }
  }
  CheckUniqueUuids(ids);
  for (int i = 0; i < config.sweep_config_size(); ++i) {
    CheckSweepConfig(config.sweep_config(i), &config, path, FieldPath(path, "sweep_config", i));
  }
  for (int i = 0; i < config.sweep_descriptions_size(); ++i) {
    CheckSweepConfigRef(config.sweep_descriptions(i).config(), &config, path,
                        FieldPath(FieldPath(path, "sweep_descriptions", i), "config"));
  }
}

void Checker::CheckVolume(const Volume& volume, const std::string& path) {
  const VolumeConfig* config = volume.has_volume_config() ? &volume.volume_config() : nullptr;
  const std::string config_path = FieldPath(path, "volume_config");
  if (config != nullptr) {
    CheckVolumeConfig(*config, config_path, volume.has_uuid() ? &volume.uuid() : nullptr,
                      FieldPath(path, "uuid"));
  }
  for (int i = 0; i < volume.sweep_size(); ++i) {
    CheckSweep(volume.sweep(i), config, config_path, FieldPath(path, "sweep", i));
  }
}

void Checker::CheckRayRef(const Ray& ray, const VolumeConfig& config,
                          const std::string& config_path, const std::string& ray_path) {
  if (ResolveRayConfig(&config, ray) != nullptr) return;
  switch (ray.RayConfigReference_case()) {
    case Ray::kRayConfigIndex:
      Report(
          FindingCode::kUnresolvedReference, FieldPath(ray_path, "ray_config_index"),
          fmt::format("refers to ray config {}, but {} has {}", ray.ray_config_index(),
                      FieldPath(config_path, "ray_config"), EntriesText(config.ray_config_size())));
      break;
    case Ray::kRayConfigUuid:
      Report(FindingCode::kUnresolvedReference, FieldPath(ray_path, "ray_config_uuid"),
             fmt::format("refers to ray config {}, which no entry of {} has",
                         UuidString(ray.ray_config_uuid()), FieldPath(config_path, "ray_config")));
      break;
    default:
      break;
  }
}

// Rays: configuration references and duplicate indices.
void Checker::CheckSweepRays(const Sweep& sweep, const VolumeConfig* config,
                             const std::string& config_path, const std::string& path) {
  std::map<std::int32_t, int> first_with_index;
  int bad_refs = 0, duplicates = 0;
  for (int i = 0; i < sweep.rays_size(); ++i) {
    const Ray& ray = sweep.rays(i);
    const std::string ray_path = FieldPath(path, "rays", i);
    if (config != nullptr && ResolveRayConfig(config, ray) == nullptr &&
        ray.RayConfigReference_case() != Ray::RAYCONFIGREFERENCE_NOT_SET &&
        ++bad_refs <= kMaxSameFindings) {
      CheckRayRef(ray, *config, config_path, ray_path);
    }
    auto [it, fresh] = first_with_index.emplace(ray.index(), i);
    if (!fresh && ++duplicates <= kMaxSameFindings) {
      Report(FindingCode::kDuplicateRayIndex, FieldPath(ray_path, "index"),
             fmt::format("duplicate ray index {} (also rays[{}])", ray.index(), it->second));
    }
  }
  if (bad_refs > kMaxSameFindings) {
    ReportLast(FindingCode::kMoreOmitted, FieldPath(path, "rays"),
               fmt::format("{} more rays whose configuration reference does not resolve",
                           bad_refs - kMaxSameFindings));
  }
  if (duplicates > kMaxSameFindings) {
    ReportLast(
        FindingCode::kMoreOmitted, FieldPath(path, "rays"),
        fmt::format("{} more rays with a duplicate ray index", duplicates - kMaxSameFindings));
  }
}

void Checker::CheckSweep(const Sweep& sweep, const VolumeConfig* config,
                         const std::string& config_path, const std::string& path) {
  const auto& ref = sweep.description().config();
  const std::string ref_path = FieldPath(FieldPath(path, "description"), "config");
  if (config != nullptr) {
    CheckSweepConfigRef(ref, config, config_path, ref_path);
  } else if (ref.has_sweep_config()) {
    CheckSweepConfig(ref.sweep_config(), nullptr, config_path, FieldPath(ref_path, "sweep_config"));
  }
  CheckSweepRays(sweep, config, config_path, path);

  // Moments: buffers and descriptors.
  std::vector<std::string> names;
  for (const auto& entry : sweep.sweep_moments()) names.push_back(entry.first);
  std::sort(names.begin(), names.end());
  std::set<const RayConfig*> ray_configs;
  for (const Ray& ray : sweep.rays()) {
    if (const RayConfig* ray_config = ResolveRayConfig(config, ray)) ray_configs.insert(ray_config);
  }
  const std::optional<std::set<std::string>> described =
      DescribedMoments(ref, config, std::move(ray_configs));
  for (const std::string& name : names) {
    const std::string moment_path = FieldPathKey(path, "sweep_moments", name);
    CheckBuffer(sweep.sweep_moments().at(name), moment_path,
                static_cast<std::uint64_t>(sweep.rays_size()));
    if (described && described->count(name) == 0) {
      Report(FindingCode::kUndescribedMoment, moment_path,
             fmt::format("no DataDescriptor for moment \"{}\" in the sweep's SweepConfig or "
                         "RayConfigs",
                         name));
    }
  }
}

// The bytes the buffer's samples take decoded; nullopt when that cannot be
// said (undecodable, reported; or an unlisted compression).
std::optional<std::uint64_t> Checker::DecodedBytes(const DataBuffer& buffer,
                                                   const std::string& path) {
  const std::uint64_t bytes = buffer.data().size();
  const auto declared = static_cast<std::uint64_t>(buffer.uncompressed_size());
  switch (buffer.compression()) {
    case DataBuffer::LZ4: {
      std::string scratch;
      const Status status = AppendUncompressed(buffer, &scratch, options_.max_buffer_size);
      if (!status.ok()) {
        Report(FindingCode::kBufferUndecodable, FieldPath(path, "data"),
               "LZ4 data does not decompress as declared: " + status.message());
        return std::nullopt;
      }
      if (scratch.size() != declared) {
        Report(FindingCode::kBufferSizeMismatch, FieldPath(path, "uncompressed_size"),
               fmt::format("LZ4 data decompresses to {} bytes, not the {} declared", scratch.size(),
                           buffer.uncompressed_size()));
      }
      return scratch.size();
    }
    case DataBuffer::NONE:
    case DataBuffer::UNKNOWN_COMPRESSION:
      if (buffer.uncompressed_size() != 0 && declared != bytes) {
        Report(
            FindingCode::kBufferSizeMismatch, FieldPath(path, "uncompressed_size"),
            fmt::format("declares {} bytes, but data holds {}", buffer.uncompressed_size(), bytes));
      }
      return bytes;
    default:
      return std::nullopt;  // An unlisted compression; reported as such.
  }
}

void Checker::CheckBuffer(const DataBuffer& buffer, const std::string& path,
                          std::optional<std::uint64_t> rays) {
  const std::optional<std::uint64_t> decoded = DecodedBytes(buffer, path);
  if (!decoded) return;
  const std::uint64_t bytes = *decoded;
  const int width = SampleWidth(buffer.type());
  if (width > 0 && bytes % static_cast<std::uint64_t>(width) != 0) {
    const auto* value = DataBuffer::StorageType_descriptor()->FindValueByNumber(buffer.type());
    Report(FindingCode::kBufferWidth, FieldPath(path, "data"),
           fmt::format("{} bytes is no multiple of the {}-byte width of {}", bytes, width,
                       value != nullptr ? value->name() : std::to_string(buffer.type())));
    return;
  }
  if (!rays) return;
  if (*rays == 0) {
    if (bytes > 0) {
      Report(FindingCode::kBufferRays, FieldPath(path, "data"),
             fmt::format("{} bytes, but the sweep has no rays", bytes));
    }
    return;
  }
  const std::uint64_t units = width > 0 ? bytes / static_cast<std::uint64_t>(width) : bytes;
  if (units % *rays != 0) {
    Report(FindingCode::kBufferRays, FieldPath(path, "data"),
           fmt::format("{} {} do not divide among the sweep's {} rays", units,
                       width > 0 ? "samples" : "bytes", *rays));
  }
}

void Checker::CheckProduct(const Product& product, const std::string& path) {
  if (!product.has_raster()) return;
  const auto& raster = product.raster();
  const std::string raster_path = FieldPath(path, "raster");
  for (int i = 0; i < raster.data_set_size(); ++i) {
    const auto& data = raster.data_set(i).data();
    for (int j = 0; j < data.size(); ++j) {
      CheckBuffer(data.Get(j), FieldPath(FieldPath(raster_path, "data_set", i), "data", j),
                  std::nullopt);
    }
  }
}

void Checker::CheckSweepConfigRef(const SweepConfigReference& ref, const VolumeConfig* config,
                                  const std::string& config_path, const std::string& path) {
  switch (ref.ConfigReference_case()) {
    case SweepConfigReference::kSweepConfigIndex:
      if (config != nullptr && ResolveSweepConfig(config, ref) == nullptr) {
        Report(FindingCode::kUnresolvedReference, FieldPath(path, "sweep_config_index"),
               fmt::format("refers to sweep config {}, but {} has {}", ref.sweep_config_index(),
                           FieldPath(config_path, "sweep_config"),
                           EntriesText(config->sweep_config_size())));
      }
      break;
    case SweepConfigReference::kSweepConfigUuid:
      if (config != nullptr && ResolveSweepConfig(config, ref) == nullptr) {
        Report(FindingCode::kUnresolvedReference, FieldPath(path, "sweep_config_uuid"),
               fmt::format("refers to sweep config {}, which no entry of {} has",
                           UuidString(ref.sweep_config_uuid()),
                           FieldPath(config_path, "sweep_config")));
      }
      break;
    case SweepConfigReference::kSweepConfig:
      CheckSweepConfig(ref.sweep_config(), config, config_path, FieldPath(path, "sweep_config"));
      break;
    default:
      break;
  }
}

void Checker::CheckSweepConfig(const SweepConfig& sweep_config, const VolumeConfig* config,
                               const std::string& config_path, const std::string& path) {
  for (int i = 0; i < sweep_config.ray_config_ref_size(); ++i) {
    const RayConfigReference& ref = sweep_config.ray_config_ref(i);
    const std::string ref_path = FieldPath(path, "ray_config_ref", i);
    switch (ref.RayConfigReference_case()) {
      case RayConfigReference::kRayConfigIndex:
        if (config != nullptr && ResolveRayConfig(config, ref) == nullptr) {
          Report(FindingCode::kUnresolvedReference, FieldPath(ref_path, "ray_config_index"),
                 fmt::format("refers to ray config {}, but {} has {}", ref.ray_config_index(),
                             FieldPath(config_path, "ray_config"),
                             EntriesText(config->ray_config_size())));
        }
        break;
      case RayConfigReference::kRayConfigUuid:
        if (config != nullptr && ResolveRayConfig(config, ref) == nullptr) {
          Report(
              FindingCode::kUnresolvedReference, FieldPath(ref_path, "ray_config_uuid"),
              fmt::format("refers to ray config {}, which no entry of {} has",
                          UuidString(ref.ray_config_uuid()), FieldPath(config_path, "ray_config")));
        }
        break;
      case RayConfigReference::kRayConfig:
        break;
      default:
        Report(FindingCode::kEmptyReference, ref_path,
               "refers to nothing (no UUID, index or inline RayConfig)");
    }
  }
}

}  // namespace internal
}  // namespace validate
}  // namespace common_dto
