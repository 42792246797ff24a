// Parts of the CF/Radial converter shared between its files.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
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

// How a CF/Radial 1.4 field is written when its sweeps store it
// differently (storage type, step, offset, codes, or a linear scale in some
// sweeps only): unpacked, as the physical values offset + step * code of
// each sweep, without scale_factor and add_offset. Gates without a value are
// NaN, the _FillValue; below-threshold gates hold their sweep's value.
struct UnpackedField {
  int type = 0;  // NC_FLOAT or NC_DOUBLE
  // The below-threshold value all sweeps share, written as _Undetect; none
  // when they differ or a measured gate holds it too.
  std::optional<double> undetect;
};
using UnpackedFields = std::map<std::string, UnpackedField>;

// Writes CF/Radial `major` 1 (1.4) or 2 (2.1); with `read_back`, reads its
// metadata back into it (what WriteFile compares the volume with) before
// closing. *unpacked receives the fields written unpacked (see AsUnpacked).
Status WriteCfRadialFile(const std::string& path, int major, const WriteOptions& options,
                         const kyt::pb::common::Volume& volume, Notes* notes,
                         kyt::pb::common::Volume* read_back, UnpackedFields* unpacked);

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

// The fields of `volume` that a CF/Radial 1.4 file holds unpacked (all but
// those whose sweeps agree on storage type and linear scale, which stay
// packed), with a note for each; `axes` are the sweeps' range axes. Scans
// the samples of a field whose sweeps share a below-threshold value for a
// measured gate holding it too.
Status PlanUnpacked(const kyt::pb::common::Volume& volume, const std::vector<RangeAxis>& axes,
                    UnpackedFields* unpacked, Notes* notes);
// Writes the physical values of sweep `index`'s moment `name`, a field
// written unpacked, in its rows at `place`; `gates` of each ray.
Status PutValues(const kyt::pb::common::Volume& volume, int index, const std::string& name,
                 const SweepPlace& place, std::size_t gates, Notes* notes);
// Turns `metadata` (notes.h MetadataOf of the volume written) into what the
// file carries of its unpacked fields: values of the field's type, and a
// scale that holds only what values keep (an _Undetect that is a whole
// number as the code of both marks, step 1, offset 0). What the file does
// not carry either way (cyclic limits) stays, to be reported.
void AsUnpacked(const UnpackedFields& unpacked, kyt::pb::common::Volume* metadata);

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

// The descriptor of moment `name` of `sweep`, or null.
const kyt::pb::common::DataDescriptor* DescriptorOf(const kyt::pb::common::Volume& volume,
                                                    const kyt::pb::common::Sweep& sweep,
                                                    const std::string& name);

// Defines, in `place.ncid`, the variables of sweep `index`'s moments that are
// not defined yet (dimensions "time" and "range"); a CF/Radial 1.4 file
// defines them once for all sweeps, the fields of `unpacked` as values.
Status DefineMoments(const kyt::pb::common::Volume& volume, int index, const SweepPlace& place,
                     const WriteOptions& options, const UnpackedFields& unpacked, Notes* notes);
// Writes the rays of sweep `index` (time offsets from `epoch`, angles) and
// its samples at `place`, those of the fields of `unpacked` as values.
// `times` are the rays' seconds since `epoch` (NaN: no time). Gates whose
// codes are out of their scale's valid range are written as _FillValue.
Status WriteSweepRays(const kyt::pb::common::Volume& volume, int index, const SweepPlace& place,
                      const std::vector<double>& times, const UnpackedFields& unpacked,
                      Notes* notes);

// Reads rows [first, first + rays) at `place` into volume->sweep(index) and
// the descriptors into volume_config.sweep_config(index) (both exist):
// times (from the units of `time`), angles (azimuth and elevation as ray
// starts, span 0) and every 2-D (time, range) variable as a moment.
Status ReadSweepRays(const SweepPlace& place, std::size_t rays, bool samples, int index,
                     kyt::pb::common::Volume* volume, Notes* notes);

// A number as text ("%g").
std::string NumberText(double v);
// True for a number a code (int32) can be: finite, whole, within int32.
bool IsCode(double v);

// The netCDF type of a storage type (NC_NAT for none).
int NcTypeOf(int storage_type);

}  // namespace formats
}  // namespace common_dto
