// Polar volumes in and out of radar file formats.
//
// A Volume of the data model is written to, or read from, one file of
//   * ODIM_H5 (EUMETNET OPERA's information model on HDF5): polar volumes
//     (`PVOL`) and single scans (`SCAN`); read versions 2.0 to 2.4, written
//     as 2.4. Mapping table: odim.h.
//   * IRIS/Sigmet RAW products, read only (iris.h).
//   * CF/Radial 1.4 (one netCDF file, rays along `time`, sweeps by start and
//     end ray index) and CF/Radial 2.1 (WMO FM 301: one netCDF group per
//     sweep). Mapping table: cfradial.h.
// Products (ODIM IMAGE/COMP, CF grids, GeoTIFF, GeoJSON) go through products.h.
//
// Rays and samples
// ----------------
// The model keeps a sweep's rays in ray-index order and its samples in the
// layout of buffers.h (row-major [ray][gate]). Ray r of a sweep is row r of
// the file's data arrays, in both directions: nothing is reordered or
// rotated. In ODIM_H5, row 0 is the ray whose azimuth starts at north and
// `a1gate` names the row acquired first; it is kept in
// Sweep.first_azimuth_gate_index. In CF/Radial the rows are in the file's
// `time` order, usually acquisition order.
//
// Samples are copied bit for bit: a moment keeps its storage type (8- and
// 16-bit unsigned integers, 32- and 64-bit integers, floats, doubles) and
// byte order in both directions; the one exception is a CF/Radial 1.4 field
// whose sweeps store it differently, written as physical values (cfradial.h).
// The scale (gain and offset, scale_factor and add_offset) and the codes for
// "not scanned" and "under threshold" go to and come from the moment's
// DataDescriptor.
//
// Missing and below-threshold samples
// -----------------------------------
// Every format's "missing" and "below threshold" conventions map to the
// moment's LinearDataScale codes, both ways, so that a gate missing in the
// source is missing in every output and a measured gate is never masked:
//   * Integer storage: `not_scanned` is the code of a gate without data
//     (ODIM nodata, CF _FillValue) and `under_threshold` the code of a gate
//     below the detection threshold (ODIM undetect). A moment without a
//     separate below-threshold code (CF files have none) has
//     under_threshold == not_scanned; writers then write that one code for
//     both, never a code (such as 0) that valid samples may hold.
//   * Float storage (FLOAT, DOUBLE): NaN is always a gate without data. A
//     fill value or code that is a whole number (-9999, -32768, 0) is kept
//     as the code, the samples untouched; any other (9.999e20, -9.99e33) is
//     not representable as a code, so the samples holding it are read as NaN
//     (a note says so) and written back with NaN as the fill value. Codes of
//     a float moment are meaningful only when its scale is LINEAR; without
//     one NaN is the only missing value.
//   * Codes outside the valid range: an integer moment whose LINEAR scale
//     states a valid range (min_value and max_value not both 0; rule and
//     edge cases in common_dto/model/codes.h) may hold codes outside it
//     that are neither `under_threshold` nor `not_scanned` (NEXRAD's range
//     folded code 1 below min_value 2). They are no values: writers put
//     those gates out as the missing code (ODIM nodata, CF _FillValue),
//     copying a moment's samples only when one of its gates is affected,
//     and note per sweep and moment (kConverted) how many gates and which
//     codes; the model's samples keep them. When the storage type cannot
//     hold `not_scanned` (-1 in 8-bit samples) the missing code written is
//     the lowest code the type holds that is neither a value nor
//     `under_threshold` (1 for NEXRAD's 8-bit moments), so that nodata and
//     _FillValue then mark exactly the out-of-range gates. The Python
//     decoder (common_dto.buffers.scale_codes) masks them as well.
//
// Times and values the source does not hold
// -----------------------------------------
// Nothing is invented: an attribute or variable the source lacks is left
// out of the output (not written as 0), and a model field that is unset is
// not written. Sweep start and end times are kept exactly. Ray times missing
// from the source (most ODIM producers write only a dataset's start and
// end) are derived from the sweep's start and end in the order of
// acquisition, as xradar and Radx do, and a note says so; the Unix epoch
// never appears unless the file says so.
//
// What could not be carried
// -------------------------
// Every read and write returns, besides its Status, a list of notes (Note:
// a kind, the field and moment concerned, and a text; NoteText makes one
// line of it): one per kind of thing the other side has no place for ("not carried:
// sweep[*].rays[*].noise_dbm", "moment DBZ: not an ODIM quantity, written
// under its own name"). A write lists the model fields whose values would not
// come back when the file is read again (WriteOptions::report_not_carried);
// a read lists what the file held that the model has no field for. Notes are
// not errors.
//
// Errors
// ------
// A file that cannot be converted gives an error Status with a code from
// status.h and a location (Location.field names the HDF5 path or netCDF
// variable, sweep_uuid is unset, Location.moment the moment): kMalformed for
// files that are not HDF5 or netCDF, are truncated or lack mandatory parts,
// kInvalidArgument for values that contradict each other (a dataset whose
// shape disagrees with nrays/nbins, a sweep of the wrong kind), kTooLarge for
// a dataset of 2 GiB or more, kUnsupported for valid files this version does
// not convert (products), kIo for files that cannot be opened
// or written. A write goes to a temporary file beside `path` (".NAME.tmp-XXXXXX")
// that is renamed over it on success and removed on failure, so a failed
// write leaves no partial file and an existing file unchanged.
// Memory stays bounded: one dataset is read or written at a time beside the
// volume.
//
// Limits of the libraries underneath: files truncated anywhere and files
// with missing, mistyped or contradicting attributes end in errors, but
// HDF5 1.10's own parser (which netCDF-4 uses too) is not hardened against
// deliberately corrupted metadata blocks: such a file can still crash inside
// libhdf5 (DetectFormat included). Convert untrusted files in a process of
// their own, as the common-dto tool does. A write that fails because the
// disk is full leaves HDF5 1.10 with a file it cannot close, whose clean-up
// at process exit would crash: the first use of these functions therefore
// turns HDF5's clean-up at exit off (H5dont_atexit) unless the process
// started HDF5 before; a program that uses HDF5 itself closes its own files.
//
// Threads: HDF5 and netCDF-C are not thread-safe, so the functions here take
// one process-wide lock; conversions from several threads run one after the
// other.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common_dto/formats/export.h"
#include "common_dto/model/status.h"
#include "volume.pb.h"

namespace common_dto {
namespace formats {

enum class Format {
  kOdim,        // ODIM_H5
  kCfRadial1,   // CF/Radial 1.4
  kCfRadial2,   // CF/Radial 2.1 (FM 301)
  kNexrad,      // NEXRAD Level II (read only; nexrad.h)
  kIris,        // IRIS/Sigmet RAW product (read only; iris.h)
  kRainbow,     // Rainbow 5 volume (read only; rainbow.h)
};

// "odim", "cfradial1", "cfradial2", "nexrad", "iris", "rainbow".
COMMON_DTO_FORMATS_EXPORT const char* FormatName(Format format);
// The inverse of FormatName; nullopt for other text.
COMMON_DTO_FORMATS_EXPORT std::optional<Format> ParseFormat(const std::string& name);

// The format of the file at `path`, from its content: an ODIM_H5 file is HDF5
// with a root `Conventions` attribute starting "ODIM_H5" (or, without one,
// with /what/object and /dataset1); a CF/Radial file is
// netCDF with a `sweep_group_name` variable (2.1) or a
// `sweep_start_ray_index` variable (1.4); a NEXRAD Level II file starts
// with its Archive II volume header ("AR2V" or "ARCHIVE2"), directly or
// inside gzip; an IRIS product starts with a product_hdr structure header;
// a Rainbow 5 file starts with a <volume> (or <product>) element after an
// optional XML declaration. nullopt for anything else, including files
// that cannot be opened.
COMMON_DTO_FORMATS_EXPORT std::optional<Format> DetectFormat(const std::string& path);

// Called after each sweep with the number of sweeps done and in all.
using ProgressFunction = std::function<void(std::size_t done, std::size_t total)>;

struct ReadOptions {
  ProgressFunction progress;
};

struct WriteOptions {
  // gzip (deflate) level of the data arrays, 0 (none) to 9.
  int compression_level = 0;
  // ODIM_H5 only: write a single-sweep volume as a SCAN instead of a PVOL.
  bool odim_scan = false;
  // Read the written file's metadata back and list the model fields that do
  // not come back ("not carried: ..."). Costs about a third of the write
  // for large volumes; without it the notes hold only what the writer itself
  // saw (moments without a scale, padded sweeps, ...).
  bool report_not_carried = true;
  ProgressFunction progress;
};

// What kind of thing a note reports.
enum class NoteKind {
  // A value the other side has no place for: left out of the output.
  kNotCarried,
  // A value the source lacks, computed from others (ray times from the
  // sweep's start and end).
  kDerived,
  // A convention the source does not state, taken as the usual one (no
  // Conventions attribute, no gain or offset, no nodata code).
  kAssumed,
  // Samples or codes carried in another form: masked as missing, widened,
  // padded, or a code the other side cannot hold.
  kConverted,
  // A moment whose quantity the format does not know, kept under its name.
  kUnknownName,
};

// "not_carried", "derived", "assumed", "converted", "unknown_name".
COMMON_DTO_FORMATS_EXPORT const char* NoteKindName(NoteKind kind);

// One thing a read or write could not carry as it was.
struct Note {
  NoteKind kind = NoteKind::kNotCarried;
  // The model field path ("sweep[*].rays[*].noise_dbm") or the file's
  // attribute or group ("what/source", "/dataset1/data2") concerned; empty
  // when the note is about the whole file.
  std::string field;
  // The short name of the moment concerned, if any.
  std::string moment;
  // What happened, in words; without the moment's name, which NoteText
  // puts before it. A kNotCarried note with no text is about `field` alone.
  std::string text;

  friend bool operator==(const Note& a, const Note& b) {
    return a.kind == b.kind && a.field == b.field && a.moment == b.moment && a.text == b.text;
  }
  friend bool operator!=(const Note& a, const Note& b) { return !(a == b); }
};

// The note as one line: "not carried: FIELD" for a kNotCarried note
// without text, "moment NAME: TEXT" for a note about a moment, else TEXT.
COMMON_DTO_FORMATS_EXPORT std::string NoteText(const Note& note);

// The notes of what could not be carried, in a stable order, one for each
// different line.
using Notes = std::vector<Note>;

// Reads the file at `path`, written in `format`, into *volume (cleared
// first). On error *volume holds what was read before the failure.
COMMON_DTO_FORMATS_EXPORT Status ReadFile(const std::string& path, Format format,
                                          const ReadOptions& options,
                                          kyt::pb::common::Volume* volume, Notes* notes);

// Writes `volume` to a new file at `path` in `format` (an existing file is
// replaced). The formats of radar processors (NEXRAD, IRIS, Rainbow 5) are
// only read: kUnsupported.
COMMON_DTO_FORMATS_EXPORT Status WriteFile(const std::string& path, Format format,
                                           const WriteOptions& options,
                                           const kyt::pb::common::Volume& volume,
                                           Notes* notes);

}  // namespace formats
}  // namespace common_dto
