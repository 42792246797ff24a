#include "common_dto/nats/subjects.h"

#include <cstdio>

#include "common_dto/model/uuid.h"

namespace common_dto {
namespace nats {

using kyt::pb::stream::RayStreamMessage;

std::string_view KindToken(const RayStreamMessage& message) {
  switch (message.payload_case()) {
    case RayStreamMessage::kVolumeHeader: return "volume";
    case RayStreamMessage::kSweepHeader: return "sweep";
    case RayStreamMessage::kRayHeader: return "ray";
    case RayStreamMessage::kParameterData: return "data";
    case RayStreamMessage::kRayEnd: return "rayend";
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

namespace {

// Moment names are free text; a header value must stay one printable line.
std::string EscapeMoment(std::string_view name) {
  std::string out;
  for (unsigned char c : name) {
    if (c > 0x20 && c < 0x7f && c != '%') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string RayPart(const std::string& sweep, const char* kind, std::int64_t ray) {
  return sweep + "." + kind + "." + std::to_string(ray);
}

}  // namespace

std::string MessageIdentity(const RayStreamMessage& message) {
  switch (message.payload_case()) {
    case RayStreamMessage::kVolumeHeader:
      return FormatUuid(message.volume_header().volume_uuid()) + ".vh";
    case RayStreamMessage::kSweepHeader:
      return FormatUuid(message.sweep_header().sweep_uuid()) + ".sh";
    case RayStreamMessage::kRayHeader:
      return RayPart(FormatUuid(message.ray_header().sweep_uuid()), "rh",
                     message.ray_header().ray_index());
    case RayStreamMessage::kParameterData: {
      const auto& data = message.parameter_data();
      return RayPart(FormatUuid(data.sweep_uuid()), "pd", data.ray_index()) + "." +
             EscapeMoment(data.data_type().short_name());
    }
    case RayStreamMessage::kRayEnd:
      return RayPart(FormatUuid(message.ray_end().sweep_uuid()), "re", message.ray_end().ray_index());
    case RayStreamMessage::kSweepEnd:
      return FormatUuid(message.sweep_end().sweep_uuid()) + ".se";
    case RayStreamMessage::kVolumeEnd:
      return FormatUuid(message.volume_end().volume_uuid()) + ".ve";
    case RayStreamMessage::PAYLOAD_NOT_SET: break;
  }
  return {};
}

}  // namespace nats
}  // namespace common_dto
