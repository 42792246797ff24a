// Parts of the ODIM_H5 converter shared between its files.
#pragma once

#include <hdf5.h>

#include <string>

#include "common_dto/formats/formats.h"
#include "volume.pb.h"

namespace common_dto {
namespace formats {

// Reads the file; with `samples` false the moment buffers get their type,
// byte order and size but no data (what a write compares against).
Status ReadOdimFile(const std::string& path, bool samples, const ReadOptions& options,
                    kyt::pb::common::Volume* volume, Notes* notes);

// Writes the whole file (WriteFile adds the notes of a read-back).
Status WriteOdimFile(const std::string& path, const WriteOptions& options,
                     const kyt::pb::common::Volume& volume, Notes* notes);

// Writes group /dataset<index+1> for sweep `index`.
Status WriteOdimDataset(hid_t file, const kyt::pb::common::Volume& volume, int index,
                        const WriteOptions& options, Notes* notes);

// Reads group /dataset<index+1> into volume->sweep(index) and the
// configurations at `index`, which exist already.
Status ReadOdimDataset(hid_t file, int index, bool samples, kyt::pb::common::Volume* volume,
                       Notes* notes);

}  // namespace formats
}  // namespace common_dto
