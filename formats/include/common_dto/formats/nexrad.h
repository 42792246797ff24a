// NEXRAD Level II (WSR-88D Archive II): whole volume files and the chunks of
// the real-time feed, read into the data model.
//
// What is read
// ------------
//   * Archive II files: the 24-byte volume header ("AR2V00nn." or
//     "ARCHIVE2."), then either LDM records (a 4-byte big-endian size,
//     negative for the volume's last record, and a bzip2 stream of that many
//     bytes) or the messages themselves (older, uncompressed files). A file
//     compressed as a whole with gzip, as archives often distribute them, is
//     read through it.
//   * Messages: 31 (generic radial data) and the legacy 1 (digital radar
//     data); 5 (volume coverage pattern) for the target elevation of each
//     cut. Other message types are skipped.
//   * Per volume: the site (ICAO) as the instrument name, the site position
//     and height (height + feedhorn height) from the volume data block.
//     Files of message 1 hold no site position: the location stays unset.
//   * Per cut (elevation number): one sweep per gate geometry (range of the
//     first gate and gate spacing) of its moments, so every native gate is
//     kept. Moments of one geometry with fewer gates are padded to the
//     longest with the not-scanned code: an 8-bit moment so padded is
//     widened to 16 bits (codes unchanged) and its not-scanned code is
//     65535; a 16-bit one gets 65535 too. Split cuts (a surveillance and a
//     Doppler cut at one elevation) are separate cuts of the file and so
//     separate sweeps. Rays are kept in stored order (acquisition order),
//     every one, with their collection time as the start time, their
//     azimuth as the centre of a sector as wide as the azimuth spacing and
//     their measured elevation; the sweep's fixed angle is the cut's target
//     elevation from message 5, else (noted) its first ray's elevation.
//   * Moments: REF, VEL, SW, ZDR, PHI, RHO go to the ODIM quantities of the
//     vocabulary (DBZH, VRADH, WRADH, ZDR, PHIDP, RHOHV), CFP and other names
//     keep their name; the native name is kept in DataDescriptor.description.
//     Samples are the stored codes (8 or 16 bits, big-endian); the scale is
//     value = (code - offset) / scale, i.e. step 1 / scale and offset
//     -offset / scale; code 0 (below threshold) is the under-threshold code;
//     code 1 (range folded) stays in the samples and the scale's min_value
//     is 2 (the lowest code that is a value): the model has no code for
//     range folding, a note says so. Being outside the valid range, code 1
//     is no value (codes.h): writers put it out as missing. Unpadded
//     moments get a not-scanned code no sample holds (-1); their ODIM
//     nodata and CF _FillValue are then 1.
//
// Errors: kMalformed for bytes that are not Archive II or messages that
// contradict their own sizes, kTruncated for a file or record cut short,
// kTooLarge for data beyond what the input can hold. On error the volume
// holds the sweeps complete before the damage (and the rays read of the one
// it hit). Memory stays bounded by the input: decompressed data is limited
// to MaxSampleBytes of the compressed size.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "common_dto/formats/export.h"
#include "common_dto/formats/formats.h"
#include "common_dto/model/status.h"
#include "volume.pb.h"

namespace common_dto {
namespace formats {

// Whether `head` (the first bytes of a file, 32 or more) starts a NEXRAD
// Level II volume: the Archive II volume header, or a gzip stream (read to
// its first bytes by the caller otherwise).
COMMON_DTO_FORMATS_EXPORT bool IsNexradHeader(std::string_view head);

// Reads a whole Level II file held in memory (what ReadFile does with the
// file's bytes).
COMMON_DTO_FORMATS_EXPORT Status ReadNexradBytes(std::string_view bytes, const ReadOptions& options,
                                                 kyt::pb::common::Volume* volume, Notes* notes);

// The chunks of one volume of the real-time feed, fed in sequence order: the
// start chunk (volume header and the first LDM records), intermediate chunks
// and the end chunk, each one or more LDM records. Message types it does not
// know are skipped. After each chunk, the sweeps completed so far can be
// taken; a cut is complete when its last radial (end of elevation or end of
// volume) arrived, or when the next cut began.
class COMMON_DTO_FORMATS_EXPORT NexradChunkReader {
 public:
  NexradChunkReader();
  ~NexradChunkReader();
  NexradChunkReader(const NexradChunkReader&) = delete;
  NexradChunkReader& operator=(const NexradChunkReader&) = delete;

  // Feeds the next chunk; `last` for the end chunk, which closes the volume
  // (its last cut is complete then). An error leaves what was taken valid.
  Status Feed(std::string_view chunk, bool last);

  // The volume so far without sweeps: instrument, uuid (derived from the
  // site and the volume header's time) and an empty configuration. Known
  // once the start chunk was fed.
  const kyt::pb::common::Volume& volume() const;

  // Moves the sweeps completed since the last call into *part (a Volume
  // holding volume()'s instrument and uuid, and those sweeps with their
  // configurations inline in their descriptions, so each part stands
  // alone). Returns how many.
  int TakeSweeps(kyt::pb::common::Volume* part, Notes* notes);

  // Sweeps taken so far (the position of the next one in the volume).
  int sweeps_taken() const;
  bool closed() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace formats
}  // namespace common_dto
