// Rainbow 5 volume files (Leonardo, formerly Gematronik), read only.
//
// A Rainbow 5 file is an XML header (<volume> holding <scan>, the sensor
// description and one <slice> per sweep) followed by BLOB sections, each
// `<BLOB blobid="N" size="S" compression="qt">`, S bytes and `</BLOB>`.
// A "qt" BLOB holds a 4-byte big-endian uncompressed size and a zlib stream.
//
// What the reader makes of it:
//   * One sweep per <slice>, in the order the file lists them (rising
//     elevation, whatever the order of acquisition; each sweep's times say
//     when it was scanned). A setting a slice lacks is the first slice's,
//     else the scan's <pargroup>'s.
//   * Every stored ray, in stored order (the order of acquisition): a
//     360-degree slice often holds 361 rays whose first and last overlap;
//     both are kept. Ray azimuths (elevations for an RHI) from the
//     startangle and stopangle BLOBs, angle code * 360 / 2^depth.
//   * Each <rawdata> is a moment, its samples copied bit for bit (8- or
//     16-bit unsigned, big-endian) with the scale of its min, max and depth:
//     code 0 is "no data" (not_scanned and under_threshold), code c >= 1
//     stands for min + (c - 1) * (max - min) / (2^depth - 2). Moments of one
//     slice with fewer gates than another are padded with code 0 (noted).
//     The moment takes the ODIM quantity the vocabulary maps its native name
//     to (the native name kept in DataDescriptor.description); a name the
//     vocabulary does not map stays as it is (noted).
//   * Sweep start from the slice's datetimehighaccuracy (else its date and
//     time). Ray times from the timestamp BLOB (milliseconds from the
//     slice's start) where the file has one; else the sweep's end is derived
//     from the antenna speed and the angles swept and the ray times spread
//     evenly over it (noted). Every sweep's task_start is the scan's date
//     and time (else the volume's datetime).
//   * Position, beam width and wavelength from <sensorinfo> (or the older
//     <radarinfo>), as attributes or child elements.
// Elements the model has no field for are named in kNotCarried notes.
//
// Errors: kMalformed for a header that is not a Rainbow volume or lacks
// what a sweep needs (posangle, rangestep, a moment's min, max or bins),
// kTruncated for BLOBs cut off or missing at the end of the input,
// kInvalidArgument for ray or gate counts that disagree with the BLOBs'
// bytes, kTooLarge for sizes beyond what the input can hold, kUnsupported
// for pointing-mode files and unknown compressions. On error the volume
// holds the sweeps read before the failing one.
#pragma once

#include <string_view>

#include "common_dto/formats/export.h"
#include "common_dto/formats/formats.h"
#include "common_dto/model/status.h"
#include "volume.pb.h"

namespace common_dto {
namespace formats {

// True when `bytes` (the start of a file suffices) begin like a Rainbow 5
// file: an optional XML declaration and comments, then a <volume> element
// (or a <product>, which the reader refuses as kUnsupported).
COMMON_DTO_FORMATS_EXPORT bool LooksLikeRainbow(std::string_view bytes);

// Reads a whole Rainbow 5 file held in memory into *volume (cleared first).
// Memory stays bounded by the input: no declared size is allocated beyond
// MaxSampleBytes of the input's length.
COMMON_DTO_FORMATS_EXPORT Status ReadRainbowBytes(std::string_view bytes,
                                                  const ReadOptions& options,
                                                  kyt::pb::common::Volume* volume, Notes* notes);

}  // namespace formats
}  // namespace common_dto
