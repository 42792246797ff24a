// What the stored codes of a moment with a linear scale stand for.
//
// A moment with integer storage and a LINEAR scale
// (DataDescriptor.DataScale.LinearDataScale) holds codes: `under_threshold`
// and `not_scanned` mark gates below the detection threshold and gates
// without data, every other code c stands for the value offset + step * c
// unless the scale states a valid range that c lies outside:
//
//   * The range is stated when min_value and max_value are not both 0 (the
//     protobuf default means "not stated"). Then:
//       - max_value >= min_value: the valid codes are min_value..max_value;
//       - max_value == 0 < min_value: only a lower bound is stated, the valid
//         codes are those >= min_value;
//       - any other max_value < min_value contradicts itself and states no
//         range (no code is taken away from a measured gate on that ground).
//   * A code outside the range that is neither under_threshold nor
//     not_scanned (such as NEXRAD's "range folded" code 1 below min_value 2)
//     is no value: readers mask it as missing, writers write it as the
//     format's missing code (see formats.h), the model's samples keep it.
//
// The rule applies to codes of integer storage; float samples are values
// (or NaN) whatever the range says.
#pragma once

#include <cstdint>

#include "common_dto/model/export.h"
#include "data_descriptor.pb.h"

namespace common_dto {

using LinearDataScale = kyt::pb::common::DataDescriptor::DataScale::LinearDataScale;

// What a stored code of a linear scale stands for.
enum class CodeKind {
  kValue,           // offset + step * code
  kUnderThreshold,  // the under_threshold code
  kNotScanned,      // the not_scanned code (checked after under_threshold)
  kOutOfRange,      // outside the stated valid range: no value
};

// True when the scale states a valid range (see above); *lo and *hi (may be
// null) receive its bounds, *hi INT64_MAX for a range with only a lower bound.
COMMON_DTO_MODEL_EXPORT bool ValidCodeRange(const LinearDataScale& scale, std::int64_t* lo,
                                            std::int64_t* hi);

COMMON_DTO_MODEL_EXPORT CodeKind ClassifyCode(const LinearDataScale& scale, std::int64_t code);

// True when `code` stands for a physical value.
inline bool IsValueCode(const LinearDataScale& scale, std::int64_t code) {
  return ClassifyCode(scale, code) == CodeKind::kValue;
}

}  // namespace common_dto
