#include "common_dto/nats/subjects.h"

#include <charconv>

#include "common_dto/model/uuid.h"

namespace common_dto {
namespace nats {

using kyt::pb::stream::RayStreamMessage;

std::string_view KindToken(const RayStreamMessage& message) {
  switch (message.payload_case()) {
    case RayStreamMessage::kVolumeHeader: return "volume";
    case RayStreamMessage::kSweepHeader: return "sweep";
    case RayStreamMessage::kRayHeader:
    case RayStreamMessage::kParameterData:
    case RayStreamMessage::kRayEnd: return "rays";
    case RayStreamMessage::kSweepEnd: return "sweepend";
    case RayStreamMessage::kVolumeEnd: return "volumeend";
    case RayStreamMessage::PAYLOAD_NOT_SET: break;
  }
  return {};
}

std::string InstrumentToken(std::string_view name) {
  if (name.empty()) return "unnamed";
  std::string token(name);
  for (char& c : token) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '-';
    if (!keep) c = '_';
  }
  return token;
}

std::string RaysIdentity(const kyt::pb::common::UUID& sweep, std::int64_t first, std::int64_t last) {
  return RaysIdentity(FormatUuid(sweep), first, last);
}

std::string RaysIdentity(std::string_view sweep, std::int64_t first, std::int64_t last) {
  std::string id;
  id.reserve(sweep.size() + 3 + 41);
  id.append(sweep).append(".r.").append(std::to_string(first));
  if (last != first) id.append("-").append(std::to_string(last));
  return id;
}

std::string MessageIdentity(const RayStreamMessage& message) {
  switch (message.payload_case()) {
    case RayStreamMessage::kVolumeHeader:
      return FormatUuid(message.volume_header().volume_uuid()) + ".vh";
    case RayStreamMessage::kSweepHeader:
      return FormatUuid(message.sweep_header().sweep_uuid()) + ".sh";
    case RayStreamMessage::kRayHeader: {
      const auto& header = message.ray_header();
      return RaysIdentity(header.sweep_uuid(), header.ray_index(), header.ray_index());
    }
    case RayStreamMessage::kParameterData: {
      const auto& data = message.parameter_data();
      return RaysIdentity(data.sweep_uuid(), data.ray_index(), data.ray_index());
    }
    case RayStreamMessage::kRayEnd: {
      const auto& end = message.ray_end();
      return RaysIdentity(end.sweep_uuid(), end.ray_index(), end.ray_index());
    }
    case RayStreamMessage::kSweepEnd:
      return FormatUuid(message.sweep_end().sweep_uuid()) + ".se";
    case RayStreamMessage::kVolumeEnd:
      return FormatUuid(message.volume_end().volume_uuid()) + ".ve";
    case RayStreamMessage::PAYLOAD_NOT_SET: break;
  }
  return {};
}

std::string PieceIdentity(std::string_view whole, std::size_t piece, std::size_t pieces) {
  return std::string(whole) + "." + std::to_string(piece) + "of" + std::to_string(pieces);
}

namespace {

// A decimal number filling `text` entirely, without sign or leading zero.
bool ParseCount(std::string_view text, std::size_t* value) {
  if (text.empty() || text[0] == '0') return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool ParsePieceIdentity(std::string_view id, std::string_view* whole, std::size_t* piece, std::size_t* pieces) {
  const std::size_t dot = id.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string_view suffix = id.substr(dot + 1);
  const std::size_t of = suffix.find("of");
  std::size_t k = 0, n = 0;
  if (of == std::string_view::npos || !ParseCount(suffix.substr(0, of), &k) ||
      !ParseCount(suffix.substr(of + 2), &n) || k > n) {
    return false;
  }
  *whole = id.substr(0, dot);
  *piece = k;
  *pieces = n;
  return true;
}

}  // namespace nats
}  // namespace common_dto
