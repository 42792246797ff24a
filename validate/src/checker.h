// The rules of one message, applied by reflection and by structure; shared
// by ValidateMessage() and the stream validator. Locations are relative to
// the message checked.
#pragma once

#include <google/protobuf/message.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common_dto/validate/validate.h"
#include "instrument_data.pb.h"

namespace common_dto {
namespace validate {
namespace internal {

// Findings of one kind in one list (rays of a sweep) beyond this many are
// counted in one finding instead of listed.
constexpr int kMaxSameFindings = 5;

std::string EntriesText(int n);
std::string UuidString(const kyt::pb::common::UUID& uuid);
// Locations compare with the numbers in them taken as numbers, so that
// sweep[2] comes before sweep[10].

// The moment names `sweep_config` and `ray_configs` describe; nullopt when
// there are none to say, or when `ref` is broken (reported as such).
std::optional<std::set<std::string>> DescribedMoments(
    const kyt::pb::common::SweepConfigReference& ref, const kyt::pb::common::VolumeConfig* config,
    std::set<const kyt::pb::common::RayConfig*> ray_configs);

class Checker {
 public:
  explicit Checker(const Options& options) : options_(options) {}

  void Report(FindingCode code, std::string location, std::string text);
  // A note, or a finding when strict.
  void ReportNote(FindingCode code, std::string location, std::string text);
  // A finding that sums up others; listed after them.
  void ReportLast(FindingCode code, std::string location, std::string text);
  // The findings so far in location order, then the summing-up ones.
  std::vector<Finding> Take();

  // Enum numbers the enum does not list, Timestamps out of range and
  // unknown fields, anywhere in `message`.
  void CheckValues(const google::protobuf::Message& message, const std::string& path);
  // The value rules of one message, as CheckValues() applies them to
  // every message it walks.
  void CheckEnum(const google::protobuf::FieldDescriptor* field, int value,
                 const std::string& path);
  void CheckTime(const google::protobuf::Message& message, const std::string& path);
  void CheckUnknownFields(const google::protobuf::Message& message, const std::string& path);
  void CheckVolumeConfig(const kyt::pb::common::VolumeConfig& config, const std::string& path,
                         const kyt::pb::common::UUID* volume_uuid, const std::string& volume_path);
  void CheckVolume(const kyt::pb::common::Volume& volume, const std::string& path);
  // `config` is the volume configuration the sweep's references point
  // into (null for a sweep on its own), found at `config_path`.
  void CheckSweep(const kyt::pb::common::Sweep& sweep, const kyt::pb::common::VolumeConfig* config,
                  const std::string& config_path, const std::string& path);
  // Buffer declarations against the bytes. `rays`, for a sweep's buffer,
  // is the number of rays its samples must divide among.
  void CheckBuffer(const kyt::pb::common::DataBuffer& buffer, const std::string& path,
                   std::optional<std::uint64_t> rays);
  void CheckProduct(const kyt::pb::common::Product& product, const std::string& path);
  // Problems of a sweep configuration reference; checks an inline one too.
  void CheckSweepConfigRef(const kyt::pb::common::SweepConfigReference& ref,
                           const kyt::pb::common::VolumeConfig* config,
                           const std::string& config_path, const std::string& path);
  // A ray's configuration reference that does not resolve, at `ray_path`.
  void CheckRayRef(const kyt::pb::common::Ray& ray, const kyt::pb::common::VolumeConfig& config,
                   const std::string& config_path, const std::string& ray_path);

 private:
  using UuidPlaces = std::vector<std::pair<const kyt::pb::common::UUID*, std::string>>;
  void CheckUniqueUuids(const UuidPlaces& ids);
  void CheckSweepRays(const kyt::pb::common::Sweep& sweep,
                      const kyt::pb::common::VolumeConfig* config, const std::string& config_path,
                      const std::string& path);
  void CheckSweepConfig(const kyt::pb::common::SweepConfig& sweep_config,
                        const kyt::pb::common::VolumeConfig* config, const std::string& config_path,
                        const std::string& path);
  std::optional<std::uint64_t> DecodedBytes(const kyt::pb::common::DataBuffer& buffer,
                                            const std::string& path);

  Options options_;
  std::vector<Finding> findings_;
  std::vector<Finding> tail_;
};

}  // namespace internal
}  // namespace validate
}  // namespace common_dto
