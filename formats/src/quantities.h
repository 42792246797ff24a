// What the formats share: the table of radar quantities (ODIM names, CF
// standard names and units, the model's data types), sweep geometry and
// sample access on the model side, and time conversions.
#pragma once

#include <google/protobuf/timestamp.pb.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common_dto/formats/formats.h"
#include "common_dto/model/codes.h"
#include "common_dto/model/status.h"
#include "data_descriptor.pb.h"
#include "ray_config.pb.h"
#include "sweep_config.pb.h"
#include "sweep.pb.h"
#include "sweep_config.pb.h"
#include "volume.pb.h"

namespace common_dto {
namespace formats {

// The first error of `statuses`, or success.
inline Status FirstError(std::initializer_list<Status> statuses) {
  for (const Status& s : statuses) {
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

// The most samples a file of `file_size` bytes can hold for one dataset: zlib
// (gzip) expands at most about 1032:1, so anything declared beyond that (plus
// a margin for fill values of small files) is refused before it is
// allocated, whatever the file's dimensions say.
inline std::int64_t MaxSampleBytes(std::uint64_t file_size) {
  constexpr std::int64_t kMaxExpansion = 1100;
  constexpr std::int64_t kSmallFile = std::int64_t{1} << 20;
  return static_cast<std::int64_t>(file_size) * kMaxExpansion + kSmallFile;
}

struct Quantity {
  const char* name;           // ODIM quantity, also the CF/Radial field name written
  kyt::pb::common::DataType type;
  kyt::pb::common::DataDescriptor::PolarizationSource polarization;
  kyt::pb::common::DataUnit unit;
  const char* standard_name;  // CF/Radial standard_name ("" when none)
};

// The quantity named `name` (ODIM spelling), or null.
const Quantity* FindQuantity(std::string_view name);
// The quantity with CF standard name `standard_name` and polarization (the
// first one), or null.
const Quantity* FindQuantityByStandardName(std::string_view standard_name);
// The descriptor a reader gives a moment named `name`: type, polarization
// and unit from the table (CUSTOM_TYPE for names not in it), short name.
kyt::pb::common::DataDescriptor DescriptorFor(const std::string& name);

// Unit text ("dBZ", "m/s", ...) of a DataUnit, "" for ASSUMED/CUSTOM; and
// back (ASSUMED_UNIT when unknown).
const char* UnitText(kyt::pb::common::DataUnit unit);
kyt::pb::common::DataUnit UnitFromText(std::string_view text);

// CF/Radial sweep_mode text of a sweep type, and the type a sweep_mode text
// names (UNKNOWN for text the vocabulary does not hold).
const char* SweepModeText(kyt::pb::common::SweepConfig::SweepType type);
kyt::pb::common::SweepConfig::SweepType SweepModeFromText(std::string_view text);

// The ODIM quantity a radar processor's format ("nexrad", "iris", "rainbow")
// calls `name`, or null when the vocabulary does not map it.
const char* QuantityOfNativeName(std::string_view format, std::string_view name);

// ---- Model side ---------------------------------------------------------

// The range axis of a sweep's samples.
struct RangeAxis {
  double start_m = 0;
  double step_m = 0;
  std::int64_t gates = 0;
};

// The resolved configurations of sweep `index` (either may be null): the
// SweepConfig its description refers to, and the RayConfig of its first ray
// (else the first one the SweepConfig refers to).
const kyt::pb::common::SweepConfig* SweepConfigOf(const kyt::pb::common::Volume& volume,
                                                  const kyt::pb::common::Sweep& sweep);
const kyt::pb::common::RayConfig* RayConfigOf(const kyt::pb::common::Volume& volume,
                                              const kyt::pb::common::Sweep& sweep);

// The moment names of a sweep, sorted.
std::vector<std::string> MomentNames(const kyt::pb::common::Sweep& sweep);

// The range axis of sweep `index` from its SweepConfig (else its RayConfig),
// the gate count from the moments' buffers, which must all divide into the
// sweep's rays and agree with each other and with the configuration.
Status SweepRange(const kyt::pb::common::Volume& volume, int index, RangeAxis* axis);

// The uncompressed samples of `buffer`: the data itself, or decoded into
// *scratch. Checks that they divide into rays x gates.
Status SweepSamples(const kyt::pb::common::DataBuffer& buffer, std::int64_t rays,
                    std::int64_t gates, std::string* scratch, std::string_view* out);

// The code a writer puts out for a gate without data of an integer moment
// with linear scale `lin` stored as `storage_type`: not_scanned when the
// type holds it, else (a stated valid range) the lowest code the type holds
// that is neither a value nor the under-threshold code; none otherwise.
std::optional<std::int64_t> MissingCode(const LinearDataScale& lin, int storage_type);

// True on a machine that stores numbers big-endian.
bool NativeBig();

// True when samples of storage `type` can hold `code` (float types: any).
bool TypeHoldsCode(int type, std::int64_t code);

// One stored sample: its code (integer storage) or its value (FLOAT, DOUBLE).
struct Sample {
  bool is_float = false;
  std::int64_t code = 0;
  double value = 0;
};
// The sample at `p` of storage `type` (an integer or float type) in byte
// order `endian` (UNKNOWN_ENDIANNESS: the machine's own).
Sample SampleAt(const char* p, int type, int endian);

// What a gate of a moment with descriptor `d` (may be null) stands for, and
// its physical value offset + step * sample for a value or a below-threshold
// gate. With a LINEAR scale, integer codes follow codes.h; a float sample is
// not scanned when NaN or the not-scanned code, below threshold when the
// under-threshold code, else a value. A below-threshold code equal to the
// not-scanned code is not scanned (the one code of a moment without a
// separate below-threshold code). Without a LINEAR scale every sample but
// NaN is a value, as it is.
struct Gate {
  CodeKind kind = CodeKind::kValue;
  std::int64_t code = 0;
  double value = 0;
};
Gate GateOf(const kyt::pb::common::DataDescriptor* d, const Sample& sample);

// "sweep[S]: N gates with codes outside the valid range LO..HI (C1, C2, ...)":
// the start of the note about out-of-range codes, `codes` the first few.
std::string OutOfRangeText(const LinearDataScale& lin, int sweep, std::int64_t gates,
                           const std::vector<std::int64_t>& codes);

// Writes the gates of an integer moment whose codes are out of the valid
// range of its LINEAR scale (codes.h) as `missing`: *samples (those of a
// buffer of `type` and `endian`, e.g. from SweepSamples) are copied into
// *scratch, unless they are there already, only when a gate is affected.
// One note for `field` and moment `name` of sweep `sweep` counts the gates
// and names codes. Without a missing code the samples stay as they are
// (noted).
void MaskOutOfRange(const kyt::pb::common::DataDescriptor* d, int type, int endian,
                    std::optional<std::int64_t> missing, int sweep, const std::string& field,
                    const std::string& name, std::string* scratch, std::string_view* samples,
                    Notes* notes);

// An error naming sweep `index` (and moment `moment`, may be empty).
Status SweepError(ErrorCode code, int index, const std::string& moment, const std::string& what);

// ---- Time ---------------------------------------------------------------

double EpochSeconds(const google::protobuf::Timestamp& t);
// Rounded to the nearest microsecond (what a double holds for current dates).
google::protobuf::Timestamp FromEpochSeconds(double seconds);
// "YYYYMMDD" and "HHMMSS" (ODIM), or "YYYY-MM-DDTHH:MM:SSZ" (CF).
std::string FormatDate(std::int64_t epoch_seconds);
std::string FormatClock(std::int64_t epoch_seconds);
std::string FormatIso(std::int64_t epoch_seconds);
// Inverse of the above; false when the text is not such a time.
bool ParseDateClock(const std::string& date, const std::string& clock, std::int64_t* epoch);
bool ParseIso(std::string_view text, std::int64_t* epoch);
// Seconds since 1970 of a UTC calendar date and clock (second 60 of a leap
// second included); false for a month, day, hour or minute out of range.
bool CivilToEpoch(int y, int mo, int d, int h, int mi, int s, std::int64_t* epoch);

// Ray times for a sweep whose rays have none, as xradar and Radx derive
// them: the sweep's input_timespan divided evenly among its rays in the
// order of acquisition, which starts at row first_azimuth_gate_index and
// wraps around (ray k acquired gets [start + k d, start + (k + 1) d), d =
// span / rays). Nothing is changed when a ray has a start or end time, when
// the sweep lacks a start or an end, or when the end precedes the start.
// True when times were derived (callers note it).
bool DeriveRayTimes(kyt::pb::common::Sweep* sweep);

}  // namespace formats
}  // namespace common_dto
