// What a write could not carry: the model fields whose values do not come
// back when the written file is read again.
#pragma once

#include <functional>

#include "common_dto/formats/formats.h"
#include "volume.pb.h"

namespace common_dto {
namespace formats {

// The volume without sample bytes: moment buffers keep only type and byte
// order. With `like`, a sweep whose ray count equals like's keeps only the
// rays a comparison looks at.
kyt::pb::common::Volume MetadataOf(const kyt::pb::common::Volume& volume,
                                   const kyt::pb::common::Volume* like = nullptr);

// Appends a kNotCarried note ("not carried: <field path>") for each field set in `volume` whose
// value `read_back` (metadata, as a read without samples gives) lacks or
// holds differently (repeated elements and map entries as [*], one line per
// path). Times are compared to the microsecond, numbers to a relative 1e-9,
// the rays of a sweep on an even sample of 32. `as_written`, when given,
// turns the volume's metadata into the form the writer put parts of it in
// (moments written as physical values) before the comparison.
void AddNotCarried(const kyt::pb::common::Volume& volume, kyt::pb::common::Volume read_back,
                   Notes* notes,
                   const std::function<void(kyt::pb::common::Volume*)>& as_written = nullptr);

}  // namespace formats
}  // namespace common_dto
