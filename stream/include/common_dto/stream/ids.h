// Text form of UUIDs and the derived sweep UUIDs of split volumes.
#pragma once

#include <string>
#include <string_view>

#include "uuid.pb.h"

namespace common_dto {
namespace stream {

// The canonical 36-character form "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"
// (lowercase hex): most_significant_bits first, then least_significant_bits,
// each half taken as its 64-bit two's-complement pattern, as Java's
// java.util.UUID prints it.
std::string FormatUuid(const kyt::pb::common::UUID& uuid);

// Parses the canonical form (either case). Returns false, leaving *uuid
// unchanged, for anything else.
bool ParseUuid(std::string_view text, kyt::pb::common::UUID* uuid);

bool SameUuid(const kyt::pb::common::UUID& a, const kyt::pb::common::UUID& b);

// The UUID of the sweep at `position` (0-based, in Volume.sweep order) of
// the volume `volume_uuid`, as the splitter assigns it. Sweeps carry no UUID
// of their own in a Volume; deriving it makes splitting reproducible: the
// same volume always becomes the same stream.
//
// Derivation, on unsigned 64-bit arithmetic (wrapping), with
//   mix(z) = the SplitMix64 finaliser:
//            z += 0x9e3779b97f4a7c15;
//            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
//            z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
//            return z ^ (z >> 31);
//   hi = mix(msb ^ mix(position))          msb, lsb: the volume UUID's halves
//   lo = mix(lsb ^ mix(hi))
//   hi = (hi & ~0xf000) | 0x8000           version 8 ("custom") nibble
//   lo = (lo & 0x3fffffffffffffff) | 0x8000000000000000   RFC 4122 variant
// and most_significant_bits = hi, least_significant_bits = lo.
kyt::pb::common::UUID DeriveSweepUuid(const kyt::pb::common::UUID& volume_uuid, int position);

}  // namespace stream
}  // namespace common_dto
