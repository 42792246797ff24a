// IRIS/Sigmet RAW product files (Vaisala's radar processors), read-only.
//
// A RAW product is a sequence of 6144-byte records: the product_hdr, the
// ingest_header (ingest and task configuration), then the data records of
// each sweep, each starting with a raw_prod_bhdr. A sweep's data is one
// ingest_data_header per data type followed by its rays, run-length
// compressed in 16-bit words. What the reader carries:
//   * Instrument: site name, latitude, longitude, altitude (ground height
//     plus radar height), beam widths, IRIS version.
//   * Per sweep: fixed angle, start time, the task's name and start, the
//     scan mode (PPI, RHI, manual), range axis (first bin, output bin step,
//     the most gates any ray of the sweep holds), PRF, pulse width,
//     wavelength and the Nyquist velocity (from wavelength, PRF and the
//     multi-PRF mode).
//   * Rays in stored order (IRIS stores them by azimuth slot, not by time):
//     azimuth and elevation at start and end, the start time (sweep start
//     plus the ray's seconds, or milliseconds when the file has extended
//     headers). Sweep.first_azimuth_gate_index names the ray acquired first.
//     A slot without data (a missing ray) is left out; none is invented.
//   * Moments: the data types of the task's DSP data mask. 1-byte types are
//     UINT8, 2-byte types UINT16, copied as stored with a linear scale, except
//     the 1-byte types whose conversion is not linear (KDP, RhoHV, SQI), which
//     are decoded to FLOAT (NaN where the code means no data). Code 0 ("no
//     data available") stands for both a gate not scanned and one below the
//     thresholds, which IRIS does not tell apart: it is both not_scanned and
//     under_threshold. The 2-byte code 65535, reserved for "area not
//     scanned" in IRIS's other products, is read as the value it encodes.
//     Gates beyond a ray's own gate count are filled with code 0.
//   * Names: the ODIM quantity the vocabulary maps the IRIS name to (DB_DBZ2
//     -> DBZH); the IRIS name is kept in DataDescriptor.description. A type
//     the vocabulary does not map keeps its IRIS name (a note says so).
// Errors: kMalformed for files that are not RAW products or end inside a
// header or a ray (the volume then holds the rays read before), kInvalidArgument
// for headers that contradict the data mask.
#pragma once

#include <string>

#include "common_dto/formats/export.h"
#include "common_dto/formats/formats.h"
#include "volume.pb.h"

namespace common_dto {
namespace formats {

// True when `head` (the file's first bytes, at least 2) starts like an IRIS
// product (a product_hdr structure header).
COMMON_DTO_FORMATS_EXPORT bool LooksLikeIris(const std::string& head);

// Reads a RAW product held in memory into *volume (cleared first).
COMMON_DTO_FORMATS_EXPORT Status ReadIrisBytes(const std::string& bytes, const ReadOptions& options,
                                               kyt::pb::common::Volume* volume, Notes* notes);

}  // namespace formats
}  // namespace common_dto
