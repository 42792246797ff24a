// Synthetic radar volumes: the one builder of volumes for the demo, the
// tests, the benchmarks and the fuzzers' seeds.
//
// Layouts of volumes with realistic structure and a fixed seed, so every
// run (on every machine) builds the same bytes:
//
//   M  operational S-band volume (WSR-88D-like super-resolution scan):
//      14 PPI sweeps, 4 of 720 rays x 1832 gates (0.5 deg, 250 m) at the low
//      elevations and 10 of 360 rays x 1200 gates (1 deg, 250 m) above;
//      6 moments (TH DBZH VRADH WRADH ZDR RHOHV) as UINT8:
//      57.6 MB of samples, 6480 rays.
//   S  OPERA-like C-band volume: 10 sweeps of 360 rays x 500 gates (1 deg,
//      500 m); the same 6 moments as UINT8: 10.8 MB of samples, 3600 rays.
//   L  dual-polarization research volume: 10 sweeps of 720 rays x 2000 gates
//      (0.5 deg, 75 m); 16 moments as FLOAT (little-endian): 921.6 MB of
//      samples, 7200 rays. Too close to the 2 GiB message limit to be held as
//      one message: it is only ever produced sweep by sweep.
//   D  the demo's volume: 2 sweeps of 36 rays x 40 gates (10 deg, 250 m out
//      to 10 km), DBZH and VRADH as UINT8.
//
// Every volume carries what a real one does: a full Instrument (location,
// identifiers, radar properties and calibration), a VolumeConfig with one
// SweepConfig and one RayConfig per sweep (pulse scheme and definitions,
// range scale, a DataDescriptor with a linear scale for every moment) and a
// SweepDescription per sweep. Each Sweep refers to its SweepConfig by index,
// carries task bookkeeping and its input time span, one canonical DataBuffer
// per moment (rays concatenated in ray order, [ray][gate], compression NONE
// stated, uncompressed_size set) and one Ray record per ray: start and end
// times, azimuth and elevation sectors, the RayConfig index and two noise and
// burst-power values (H and V channels) with their standard deviations.
//
// The samples come from a synthetic precipitation field: a few convective
// cells and a stratiform band placed by the seed, attenuated with range and
// cut off at the sweep's echo top, plus per-gate noise from a 64-bit
// xorshift generator. Gates without echo hold the moment's under-threshold
// code (UINT8) or the fill value -9999 (FLOAT); the other moments follow the
// reflectivity (velocity from a uniform wind folded at the Nyquist velocity,
// ZDR, RHOHV, PHIDP accumulating along the ray, and so on). The content is
// deterministic for a given seed on every platform that uses IEEE 754 doubles
// and the C library's exp/sin/cos (results may differ in the last bit of a
// float between C libraries; the sizes never do).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "data_buffer.pb.h"
#include "data_descriptor.pb.h"
#include "sweep.pb.h"
#include "volume.pb.h"

namespace common_dto {
namespace synthetic {

// One data moment of a reference volume.
struct MomentLayout {
  std::string name;  // Moment name: the sweep_moments and data_moments key.
  kyt::pb::common::DataType type;
  kyt::pb::common::DataUnit unit;
  kyt::pb::common::DataDescriptor::PolarizationSource polarization;
  double offset;  // Physical value = offset + step * code (UINT8 only).
  double step;
  std::string description;
};

// One sweep of a reference volume.
struct SweepLayout {
  int rays;
  int gates;
  double elevation_deg;
  double gate_length_m;
  double first_gate_m;
  double prf_hz;
  double speed_deg_per_sec;
};

struct VolumeLayout {
  std::string name;  // "M", "S", "L" or "D".
  std::string description;
  std::string config_name;  // VolumeConfig.name
  std::string task_name;    // Sweep.task_name
  std::uint64_t seed;
  double frequency_mhz;
  kyt::pb::common::DataBuffer::StorageType storage;  // UINT8 or FLOAT.
  std::vector<SweepLayout> sweeps;
  std::vector<MomentLayout> moments;

  int sweep_count() const { return static_cast<int>(sweeps.size()); }
  int ray_count() const;
  // Bytes of samples of one sweep / of the whole volume.
  std::uint64_t sweep_sample_bytes(int sweep) const;
  std::uint64_t sample_bytes() const;
  int sample_width() const;
};

const VolumeLayout& VolumeM();
const VolumeLayout& VolumeS();
const VolumeLayout& VolumeL();
const VolumeLayout& VolumeD();
// "M", "S", "L" or "D"; anything else aborts.
const VolumeLayout& VolumeByName(const std::string& name);

// The volume without sweeps: uuid, instrument and volume_config.
void MakeVolumeShell(const VolumeLayout& layout, kyt::pb::common::Volume* volume);

// Sweep `index` of the volume, complete (description, task, time span,
// moments, rays). *sweep is cleared first; buffers it already holds keep
// their capacity.
void MakeSweep(const VolumeLayout& layout, int index, kyt::pb::common::Sweep* sweep);

// The whole volume as one message: the shell and every sweep. For M and S;
// L is refused (it is produced with MakeSweep only).
void MakeVolume(const VolumeLayout& layout, kyt::pb::common::Volume* volume);

// A small volume whose samples are a ramp, for tests that check exact
// bytes: an instrument ("Test radar"), a configuration ("two moments") with
// one sweep configuration (UUID ...002a) whose descriptors name the two
// moments and one ray configuration, and per sweep `rays` rays with `gates`
// samples of "DBZ" (UINT16 little-endian, sample = sweep*1000 + ray*10 +
// gate; linear scale step 0.5, not_scanned 1) and "VRAD" (FLOAT big-endian,
// ray + 0.25*gate). Times start at 2026-01-01T00:00:00Z, a minute per sweep.
kyt::pb::common::Volume MakeTestVolume(int sweeps, int rays, int gates);

}  // namespace synthetic
}  // namespace common_dto
