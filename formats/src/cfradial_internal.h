// Parts of the CF/Radial converter shared between its files.
#pragma once

#include <cstdint>
#include <string>

#include "common_dto/formats/formats.h"
#include "quantities.h"
#include "volume.pb.h"

namespace common_dto {
namespace formats {

// Reads a CF/Radial 1.4 or 2.1 file (told apart by content). With `samples`
// false the moment buffers get type, byte order and size but no data.
Status ReadCfRadialFile(const std::string& path, bool samples, const ReadOptions& options,
                        kyt::pb::common::Volume* volume, Notes* notes);
// Writes CF/Radial `major` 1 (1.4) or 2 (2.1).
Status WriteCfRadialFile(const std::string& path, int major, const WriteOptions& options,
                         const kyt::pb::common::Volume& volume, Notes* notes);

// Where the rays of one sweep live in a file: the group (ncid) holding the
// `time`, `range`, `azimuth`, `elevation` and moment variables, the first
// row of the sweep along `time`, and the length of `range` there.
struct SweepPlace {
  int ncid = -1;
  std::size_t first_ray = 0;
  std::size_t range_size = 0;
};

// Defines, in `place.ncid`, the variables of sweep `index`'s moments that are
// not defined yet (dimensions "time" and "range"); a CF/Radial 1.4 file
// defines them once for all sweeps.
Status DefineMoments(const kyt::pb::common::Volume& volume, int index, const SweepPlace& place,
                     const WriteOptions& options, Notes* notes);
// Writes the rays of sweep `index` (time offsets from `epoch`, angles) and
// its samples at `place`.
Status WriteSweepRays(const kyt::pb::common::Volume& volume, int index, const SweepPlace& place,
                      std::int64_t epoch);

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
