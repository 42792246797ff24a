// Parts of the CF/Radial converter shared between its files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common_dto/formats/formats.h"
#include "quantities.h"
#include "volume.pb.h"

namespace common_dto {
namespace formats {

// Reads a CF/Radial 1.4 or 2.1 file (told apart by content). With `samples`
// false the moment buffers get type, byte order and size but no data.
Status ReadCfRadialFile(const std::string& path, bool samples, const ReadOptions& options,
                        kyt::pb::common::Volume* volume, Notes* notes);
// Reads the open file `ncid` (ReadCfRadialFile once it opened `path`).
Status ReadCfRadialOpen(int ncid, const std::string& path, bool samples, const ReadOptions& options,
                        kyt::pb::common::Volume* volume, Notes* notes);
// Writes CF/Radial `major` 1 (1.4) or 2 (2.1); with `read_back`, reads its
// metadata back into it (what WriteFile compares the volume with) before
// closing.
Status WriteCfRadialFile(const std::string& path, int major, const WriteOptions& options,
                         const kyt::pb::common::Volume& volume, Notes* notes,
                         kyt::pb::common::Volume* read_back);

// Where the rays of one sweep live in a file: the group (ncid) holding the
// `time`, `range`, `azimuth`, `elevation` and moment variables, the first
// row of the sweep along `time`, and the length of `range` there.
// In files with ragged rays (CF/Radial 1.x `n_points`), moments are 1-D
// along `n_points` and ray r's gates are [start[r], start[r] + gates[r]),
// r counted from the sweep's first ray.
struct SweepPlace {
  SweepPlace(int group, std::size_t first, std::size_t range = 0)
      : ncid(group), first_ray(first), range_size(range) {}
  int ncid = -1;
  std::size_t first_ray = 0;
  std::size_t range_size = 0;
  bool ragged = false;
  std::vector<std::size_t> ray_start, ray_gates;
};

// ---- Metadata lookup ------------------------------------------------------
//
// Every CF/Radial metadata value is found by one rule, the same for 1.4 and
// 2.1: a variable of that name in the sweep's group (2.1), else in the root
// group, else in the root's `instrument_parameters`, `radar_parameters` or
// `radar_calibration` group (where 2.1 producers put them), else a global
// attribute of that name. A variable's value for a sweep is element
// `sweep` of a variable along `sweep`, element `row` (the sweep's first ray)
// of one along `time`, element 0 of any other, the value of a scalar.
struct CfScope {
  int root = -1;
  int group = -1;  // the sweep's group; -1 in 1.4
  std::size_t sweep = 0;
  std::size_t row = 0;
  std::vector<int> parameter_groups;  // of the root, found once (RootScope)
};
CfScope RootScope(int root);
// The value named `name`; false when it is nowhere or not a number (text).
bool CfNumber(const CfScope& scope, const char* name, double* out);
bool CfText(const CfScope& scope, const char* name, std::string* out);

// Defines, in `place.ncid`, the variables of sweep `index`'s moments that are
// not defined yet (dimensions "time" and "range"); a CF/Radial 1.4 file
// defines them once for all sweeps.
Status DefineMoments(const kyt::pb::common::Volume& volume, int index, const SweepPlace& place,
                     const WriteOptions& options, Notes* notes);
// Writes the rays of sweep `index` (time offsets from `epoch`, angles) and
// its samples at `place`.
// `times` are the rays' seconds since `epoch` (NaN: no time). Gates whose
// codes are out of their scale's valid range are written as _FillValue.
Status WriteSweepRays(const kyt::pb::common::Volume& volume, int index, const SweepPlace& place,
                      const std::vector<double>& times, Notes* notes);

// Reads rows [first, first + rays) at `place` into volume->sweep(index) and
// the descriptors into volume_config.sweep_config(index) (both exist):
// times (from the units of `time`), angles (azimuth and elevation as ray
// starts, span 0) and every 2-D (time, range) variable as a moment.
Status ReadSweepRays(const SweepPlace& place, std::size_t rays, bool samples, int index,
                     kyt::pb::common::Volume* volume, Notes* notes);

// The netCDF type of a storage type (NC_NAT for none).
int NcTypeOf(int storage_type);

}  // namespace formats
}  // namespace common_dto
