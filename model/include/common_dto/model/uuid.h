// UUIDs: 128-bit keys, text form, and the derived sweep UUIDs of split volumes.
#pragma once

#include "common_dto/model/export.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "uuid.pb.h"

namespace common_dto {

// A UUID as a plain 128-bit value, for use as a map key: comparing and
// hashing it costs two integer operations, where the message or its text
// would cost an allocation.
struct UuidKey {
  std::uint64_t hi = 0;  // most_significant_bits
  std::uint64_t lo = 0;  // least_significant_bits

  static UuidKey Of(const kyt::pb::common::UUID& uuid) {
    return {static_cast<std::uint64_t>(uuid.most_significant_bits()),
            static_cast<std::uint64_t>(uuid.least_significant_bits())};
  }
  friend bool operator==(UuidKey a, UuidKey b) { return a.hi == b.hi && a.lo == b.lo; }
  friend bool operator!=(UuidKey a, UuidKey b) { return !(a == b); }
  friend bool operator<(UuidKey a, UuidKey b) { return a.hi != b.hi ? a.hi < b.hi : a.lo < b.lo; }
};

struct UuidKeyHash {
  std::size_t operator()(UuidKey key) const {
    return static_cast<std::size_t>(key.hi ^ (key.lo * 0x9e3779b97f4a7c15ULL));
  }
};


// The canonical 36-character form "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"
// (lowercase hex): most_significant_bits first, then least_significant_bits,
// each half taken as its 64-bit two's-complement pattern, as Java's
// java.util.UUID prints it.
COMMON_DTO_MODEL_EXPORT std::string FormatUuid(const kyt::pb::common::UUID& uuid);
COMMON_DTO_MODEL_EXPORT std::string FormatUuid(UuidKey key);

// Parses the canonical form (either case). Returns false, leaving *uuid
// unchanged, for anything else.
COMMON_DTO_MODEL_EXPORT bool ParseUuid(std::string_view text, kyt::pb::common::UUID* uuid);

COMMON_DTO_MODEL_EXPORT bool SameUuid(const kyt::pb::common::UUID& a, const kyt::pb::common::UUID& b);

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
COMMON_DTO_MODEL_EXPORT kyt::pb::common::UUID DeriveSweepUuid(const kyt::pb::common::UUID& volume_uuid, int position);

}  // namespace common_dto
