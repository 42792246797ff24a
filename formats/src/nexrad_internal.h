// NEXRAD Level II: the decoding layers shared by the file reader and the
// chunk reader (nexrad.h describes the mapping).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common_dto/formats/formats.h"
#include "common_dto/model/status.h"
#include "ray_config.pb.h"
#include "sweep.pb.h"
#include "sweep_config.pb.h"
#include "volume.pb.h"

namespace common_dto {
namespace formats {
namespace nexrad {

// One data moment of one radial, as stored.
struct Moment {
  std::string name;  // native name, trailing spaces removed
  double first_m = 0, step_m = 0;
  int gates = 0;
  int bits = 8;
  double scale = 0, offset = 0;
  std::string codes;  // big-endian, gates * bits / 8 bytes
};

// One radial of message 31 or 1.
struct Radial {
  double time = 0;
  double azimuth = 0, elevation = 0;
  double spacing = 0;  // azimuth spacing, 0 when not stated
  int cut = 0;         // elevation number (1-based)
  int status = 0;      // radial status
  std::optional<double> nyquist, unamb_range_km, noise_h, noise_v;
  std::vector<Moment> moments;
};

// A sweep built from (part of) a cut, with its configurations.
struct BuiltSweep {
  kyt::pb::common::Sweep sweep;
  kyt::pb::common::SweepConfig sweep_config;
  kyt::pb::common::RayConfig ray_config;
};

// Decodes Archive II bytes into sweeps: the volume header, LDM records and
// messages; collects the radials of the current cut and builds its sweeps
// once it is complete.
class Decoder {
 public:
  // `budget`: the most bytes decompressed data and built samples may take.
  explicit Decoder(std::uint64_t budget) : budget_(budget) {}

  // The 24-byte volume header at the start of `bytes`.
  Status Header(std::string_view bytes);
  bool has_header() const { return has_header_; }
  // LDM records (size word + bzip2) from `bytes`; *last set at a record
  // with a negative size.
  Status Records(std::string_view bytes, bool* last);
  // Messages (12-byte frame header + message header + body).
  Status Messages(std::string_view bytes);
  // Builds the sweeps of the cut being read.
  Status FinishCut();
  void AddBudget(std::uint64_t bytes) { budget_ += bytes; }

  // The volume without sweeps (instrument, configuration name).
  const kyt::pb::common::Volume& volume() const { return volume_; }
  std::vector<BuiltSweep>* done() { return &done_; }
  Notes* notes() { return &notes_; }
  // The header's time and site, for a volume uuid.
  std::string identity() const { return identity_; }

 private:
  Status Message31(std::string_view body);
  Status Message1(std::string_view body);
  void Message5(std::string_view body);
  Status AddRadial(Radial&& radial);
  Status Spend(std::uint64_t bytes);

  std::uint64_t budget_;
  bool has_header_ = false;
  bool located_ = false;
  bool elevation_noted_ = false;
  std::string identity_;
  kyt::pb::common::Volume volume_;
  std::vector<double> targets_;  // target elevation per cut (message 5)
  std::vector<Radial> cut_;
  std::vector<BuiltSweep> done_;
  Notes notes_;
};

// Builds the sweeps (one per gate geometry) of one cut's radials.
Status BuildCut(std::vector<Radial>* radials, std::optional<double> target, std::uint64_t* budget,
                std::vector<BuiltSweep>* out, Notes* notes);

// bzip2 and gzip streams, decompressed to at most `cap` bytes.
Status Bunzip(std::string_view record, std::uint64_t cap, std::string* out);
Status Gunzip(std::string_view bytes, std::uint64_t cap, std::string* out);

}  // namespace nexrad
}  // namespace formats
}  // namespace common_dto
