// The IRIS reader's entry point for ReadFile.
#pragma once

#include <string>

#include "common_dto/formats/formats.h"
#include "volume.pb.h"

namespace common_dto {
namespace formats {

// Reads the RAW product file at `path` (the whole file, then ReadIrisBytes).
Status ReadIrisFile(const std::string& path, const ReadOptions& options,
                    kyt::pb::common::Volume* volume, Notes* notes);

}  // namespace formats
}  // namespace common_dto
