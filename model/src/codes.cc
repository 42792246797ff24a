// Which stored codes of a linear scale are values.
#include "common_dto/model/codes.h"

#include <limits>

namespace common_dto {

bool ValidCodeRange(const LinearDataScale& scale, std::int64_t* lo, std::int64_t* hi) {
  const std::int64_t min = scale.min_value(), max = scale.max_value();
  std::int64_t top = max;
  if (min == 0 && max == 0) return false;
  if (max < min) {
    if (max != 0) return false;  // contradicts itself
    top = std::numeric_limits<std::int64_t>::max();
  }
  if (lo != nullptr) *lo = min;
  if (hi != nullptr) *hi = top;
  return true;
}

CodeKind ClassifyCode(const LinearDataScale& scale, std::int64_t code) {
  if (code == scale.under_threshold()) return CodeKind::kUnderThreshold;
  if (code == scale.not_scanned()) return CodeKind::kNotScanned;
  std::int64_t lo = 0, hi = 0;
  if (ValidCodeRange(scale, &lo, &hi) && (code < lo || code > hi)) return CodeKind::kOutOfRange;
  return CodeKind::kValue;
}

}  // namespace common_dto
