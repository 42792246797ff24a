// Validation of messages, ray streams and ray stream files.
#include "common_dto/validate/validate.h"

#include <fmt/format.h>

#include <any>
#include <map>
#include <utility>

#include "checker.h"
#include "common_dto/model/field_path.h"
#include "common_dto/model/references.h"
#include "common_dto/model/uuid.h"
#include "common_dto/stream/assembler.h"
#include "common_dto/stream/framing.h"
#include "ray_stream_message.pb.h"

namespace common_dto {
namespace validate {

using internal::Checker;
using internal::kMaxSameFindings;
using internal::UuidString;
using kyt::pb::common::Ray;
using kyt::pb::common::RayConfig;
using kyt::pb::common::VolumeConfig;
using kyt::pb::stream::RayStreamMessage;

std::vector<Finding> ValidateMessage(const google::protobuf::Message& message,
                                     const Options& options) {
  using namespace kyt::pb::common;  // NOLINT: the message types tried below
  Checker checker(options);
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
  return checker.Take();
}

std::string MessagePlace(std::uint64_t index, std::uint64_t offset) {
  return fmt::format("message {} at byte offset {}", index, offset);
}

namespace {

std::string JoinWhere(const std::string& a, const std::string& b) {
  return b.empty() ? a : a + " / " + b;
}

const VolumeConfig* ConfigOf(const kyt::pb::stream::VolumeHeader* header) {
  return header != nullptr && header->has_volume_config() ? &header->volume_config() : nullptr;
}

// What the rules keep about an open sweep of the stream.
struct SweepChecks {
  std::set<const RayConfig*> ray_configs;  // Into the assembler's VolumeHeader.
  std::map<std::int32_t, std::string> ray_index_first;
  std::map<std::string, std::string> moments;  // Name to the first message carrying it.
  int bad_refs = 0;    // Rays whose configuration reference does not resolve.
  int duplicates = 0;  // Rays with a Ray.index seen before in the sweep.
};

}  // namespace

// Which volume and sweep a message belongs to is the assembler's to say (it
// runs in validation mode, keeping no samples). The rules observe it: what
// they need about each open sweep is kept in the sweep's observer slot, and
// each sweep and volume is reported on as it closes.
struct StreamValidator::Impl : stream::AssemblerObserver {
  explicit Impl(const Options& o) : options(o), checker(o) {
    stream::AssemblerOptions assembler_options;
    assembler_options.delivery = stream::DeliveryMode::kSweepBySweep;
    assembler_options.max_buffer_size = o.max_buffer_size;
    assembler_options.keep_samples = false;
    assembler = stream::Assembler(assembler_options);
    assembler.SetObserver(this);
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  void Check(const RayStreamMessage& message);
  std::vector<Finding> Add(RayStreamMessage&& message, const std::string& where);
  std::vector<Finding> Drain();

  void SweepStarted(const stream::ObservedSweep& sweep) override { sweep.state = SweepChecks(); }
  void RayStarted(const stream::ObservedSweep& sweep, std::int32_t ray_index,
                  const Ray& ray) override;
  void MomentTaken(const stream::ObservedSweep& sweep,
                   const stream::ObservedMoment& moment) override {
    std::any_cast<SweepChecks>(&sweep.state)->moments.emplace(std::string(moment.name), where);
  }
  void SweepEnded(const stream::ObservedSweep& sweep,
                  const stream::AssembledSweep& assembled) override;
  void VolumeEnded(const stream::ObservedVolume& volume,
                   const stream::AssembledVolume& assembled) override;
  void Problem(const Status& status) override;

  void Verdicts(const std::string& place, const std::vector<std::string>& missing,
                const std::vector<std::string>& warnings);

  Options options;
  Checker checker;
  stream::Assembler assembler;
  std::string where;               // Of the message being added.
  std::vector<Finding> problems;   // What the assembler refused of it.
  std::vector<Finding> verdicts;   // On the sweeps and volumes it closed.
};

void StreamValidator::Impl::Check(const RayStreamMessage& message) {
  checker.CheckValues(message, "");
  switch (message.payload_case()) {
    case RayStreamMessage::kVolumeHeader: {
      const auto& header = message.volume_header();
      if (!header.has_volume_config()) break;
      checker.CheckVolumeConfig(header.volume_config(), "volume_header.volume_config",
                                header.has_volume_uuid() ? &header.volume_uuid() : nullptr,
                                "volume_header.volume_uuid");
      break;
    }
    case RayStreamMessage::kSweepHeader: {
      const auto& header = message.sweep_header();
      checker.CheckSweepConfigRef(header.description().config(),
                                  ConfigOf(assembler.FindOpenVolume(header.volume_uuid())),
                                  "volume_header.volume_config", "sweep_header.description.config");
      break;
    }
    case RayStreamMessage::kParameterData:
      checker.CheckBuffer(message.parameter_data().data(), "parameter_data.data", std::nullopt);
      break;
    default:
      break;
  }
}

void StreamValidator::Impl::RayStarted(const stream::ObservedSweep& observed, std::int32_t,
                                       const Ray& ray) {
  SweepChecks* sweep = std::any_cast<SweepChecks>(&observed.state);
  const VolumeConfig* config = ConfigOf(&observed.volume.header);
  if (config != nullptr && ray.RayConfigReference_case() != Ray::RAYCONFIGREFERENCE_NOT_SET) {
    if (const RayConfig* ray_config = ResolveRayConfig(config, ray)) {
      sweep->ray_configs.insert(ray_config);
    } else if (++sweep->bad_refs <= kMaxSameFindings) {  // Beyond: counted at the close.
      checker.CheckRayRef(ray, *config, "volume_header.volume_config", "ray_header.ray");
    }
  }
  auto [it, fresh] = sweep->ray_index_first.emplace(ray.index(), where);
  if (!fresh && ++sweep->duplicates <= kMaxSameFindings) {
    checker.Report(
        FindingCode::kDuplicateRayIndex, "ray_header.ray.index",
        fmt::format("duplicate ray index {} in the sweep (also {})", ray.index(), it->second));
  }
}

// Decided by code: a kind this version does not know is a note; a sweep
// closed incomplete is reported through its `missing` items.
void StreamValidator::Impl::Problem(const Status& status) {
  if (status.code() == ErrorCode::kUnsupported) {
    problems.push_back(Finding{FindingCode::kUnknownKind,
                               options.strict ? Severity::kFinding : Severity::kNote, where,
                               status.message()});
  } else if (status.code() != ErrorCode::kIncomplete) {
    problems.push_back(Finding{FindingCode::kSequence, Severity::kFinding, where, status.message()});
  }
}

void StreamValidator::Impl::Verdicts(const std::string& place,
                                     const std::vector<std::string>& missing,
                                     const std::vector<std::string>& warnings) {
  for (const std::string& item : missing) {
    verdicts.push_back(
        Finding{FindingCode::kIncomplete, Severity::kFinding, place, "incomplete: " + item});
  }
  for (const std::string& warning : warnings) {
    verdicts.push_back(Finding{FindingCode::kAssemblyWarning, Severity::kFinding, place, warning});
  }
}

// Rays counted beyond those listed, moments the sweep's configurations do
// not describe (reported at the first message that carried them), and the
// assembler's verdict.
void StreamValidator::Impl::SweepEnded(const stream::ObservedSweep& observed,
                                       const stream::AssembledSweep& assembled) {
  const SweepChecks& sweep = *std::any_cast<SweepChecks>(&observed.state);
  const std::string place = "sweep " + UuidString(assembled.sweep_uuid);
  if (sweep.bad_refs > kMaxSameFindings) {
    verdicts.push_back(Finding{FindingCode::kMoreOmitted, Severity::kFinding, place,
                               fmt::format("{} more rays whose configuration reference "
                                           "does not resolve",
                                           sweep.bad_refs - kMaxSameFindings)});
  }
  if (sweep.duplicates > kMaxSameFindings) {
    verdicts.push_back(Finding{FindingCode::kMoreOmitted, Severity::kFinding, place,
                               fmt::format("{} more rays with a duplicate ray index",
                                           sweep.duplicates - kMaxSameFindings)});
  }
  const std::optional<std::set<std::string>> described = internal::DescribedMoments(
      assembled.sweep.description().config(), ConfigOf(&observed.volume.header), sweep.ray_configs);
  for (const auto& [name, first] : sweep.moments) {
    if (!described || described->count(name) != 0) continue;
    verdicts.push_back(Finding{FindingCode::kUndescribedMoment, Severity::kFinding,
                               JoinWhere(first, "parameter_data.data_type.short_name"),
                               fmt::format("no DataDescriptor for moment \"{}\" in the sweep's "
                                           "SweepConfig or RayConfigs",
                                           name)});
  }
  Verdicts(fmt::format("volume {} sweep {} ({})", UuidString(assembled.volume_uuid),
                       assembled.position, UuidString(assembled.sweep_uuid)),
           assembled.missing, assembled.warnings);
}

void StreamValidator::Impl::VolumeEnded(const stream::ObservedVolume&,
                                        const stream::AssembledVolume& assembled) {
  Verdicts("volume " + UuidString(assembled.volume.uuid()), assembled.missing, assembled.warnings);
}

// The message's own findings, what the assembler refused of it, then the
// verdicts on what it closed.
std::vector<Finding> StreamValidator::Impl::Add(RayStreamMessage&& message,
                                                const std::string& place) {
  where = place;
  Check(message);
  static_cast<void>(assembler.Add(std::move(message)));  // Problem() has seen it.
  std::vector<Finding> findings = checker.Take();
  for (Finding& finding : findings) finding.location = JoinWhere(where, finding.location);
  for (Finding& f : problems) findings.push_back(std::move(f));
  problems.clear();
  for (Finding& f : Drain()) findings.push_back(std::move(f));
  return findings;
}

// The verdicts gathered; what the assembler hands back is seen already.
std::vector<Finding> StreamValidator::Impl::Drain() {
  static_cast<void>(assembler.TakeSweeps());
  static_cast<void>(assembler.TakeVolumes());
  return std::exchange(verdicts, {});
}

StreamValidator::StreamValidator(const Options& options) : impl_(std::make_unique<Impl>(options)) {}
StreamValidator::~StreamValidator() = default;
StreamValidator::StreamValidator(StreamValidator&&) noexcept = default;
StreamValidator& StreamValidator::operator=(StreamValidator&&) noexcept = default;

std::vector<Finding> StreamValidator::Add(RayStreamMessage&& message, const std::string& where) {
  return impl_->Add(std::move(message), where);
}

std::vector<Finding> StreamValidator::Finish() {
  impl_->assembler.Finish();
  return impl_->Drain();
}

Result<std::vector<Finding>> ValidateStreamFile(const std::string& path, const Options& options) {
  stream::DelimitedReader reader = stream::DelimitedReader::FromFile(path);
  if (!reader.status().ok()) return reader.status();  // Cannot be opened.
  StreamValidator validator(options);
  std::vector<Finding> findings;
  RayStreamMessage message;
  for (;;) {
    const std::uint64_t index = reader.messages_read();
    const std::uint64_t offset = reader.byte_offset();
    const stream::ReadResult read = reader.Read(&message);
    if (read.is_error()) {
      findings.push_back(Finding{FindingCode::kDamaged, Severity::kFinding,
                                 MessagePlace(index, offset),
                                 "damaged: " + read.status().message()});
      break;
    }
    if (!read.has_message()) break;
    for (Finding& f : validator.Add(std::move(message), MessagePlace(index, offset))) {
      findings.push_back(std::move(f));
    }
    message.Clear();
  }
  for (Finding& f : validator.Finish()) findings.push_back(std::move(f));
  return findings;
}

}  // namespace validate
}  // namespace common_dto
