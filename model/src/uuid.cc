// UUID text form and derived sweep UUIDs.
#include "common_dto/model/uuid.h"

#include <cstdint>

namespace common_dto {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void AppendHex(std::uint64_t value, int digits, std::string* out) {
  for (int i = digits - 1; i >= 0; --i) out->push_back(kHexDigits[(value >> (4 * i)) & 0xf]);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::uint64_t Mix(std::uint64_t z) {
  z += 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

}  // namespace

std::string FormatUuid(const kyt::pb::common::UUID& uuid) { return FormatUuid(UuidKey::Of(uuid)); }

std::string FormatUuid(UuidKey key) {
  const std::uint64_t hi = key.hi;
  const std::uint64_t lo = key.lo;
  std::string out;
  out.reserve(36);
  AppendHex(hi >> 32, 8, &out);
  out += '-';
  AppendHex(hi >> 16, 4, &out);
  out += '-';
  AppendHex(hi, 4, &out);
  out += '-';
  AppendHex(lo >> 48, 4, &out);
  out += '-';
  AppendHex(lo, 12, &out);
  return out;
}

bool ParseUuid(std::string_view text, kyt::pb::common::UUID* uuid) {
  if (text.size() != 36) return false;
  std::uint64_t halves[2] = {0, 0};
  int digits = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      continue;
    }
    const int v = HexValue(text[i]);
    if (v < 0) return false;
    std::uint64_t& half = halves[digits / 16];
    half = (half << 4) | static_cast<std::uint64_t>(v);
    ++digits;
  }
  uuid->set_most_significant_bits(static_cast<std::int64_t>(halves[0]));
  uuid->set_least_significant_bits(static_cast<std::int64_t>(halves[1]));
  return true;
}

bool SameUuid(const kyt::pb::common::UUID& a, const kyt::pb::common::UUID& b) {
  return a.most_significant_bits() == b.most_significant_bits() &&
         a.least_significant_bits() == b.least_significant_bits();
}

kyt::pb::common::UUID DeriveSweepUuid(const kyt::pb::common::UUID& volume_uuid, int position) {
  const auto msb = static_cast<std::uint64_t>(volume_uuid.most_significant_bits());
  const auto lsb = static_cast<std::uint64_t>(volume_uuid.least_significant_bits());
  std::uint64_t hi =
      Mix(msb ^ Mix(static_cast<std::uint64_t>(static_cast<std::int64_t>(position))));
  std::uint64_t lo = Mix(lsb ^ Mix(hi));
  hi = (hi & ~std::uint64_t{0xf000}) | std::uint64_t{0x8000};
  lo = (lo & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;
  kyt::pb::common::UUID out;
  out.set_most_significant_bits(static_cast<std::int64_t>(hi));
  out.set_least_significant_bits(static_cast<std::int64_t>(lo));
  return out;
}

}  // namespace common_dto
