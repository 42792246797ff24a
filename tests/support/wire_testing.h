// Helpers for tests that compare wire bytes and runtime log output.
#pragma once

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <google/protobuf/stubs/logging.h>

#include <cctype>
#include <string>
#include <string_view>
#include <vector>

namespace common_dto_test {

// "08 01 ff": lowercase hex pairs separated by single spaces.
inline std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[c >> 4];
    out += kDigits[c & 0xf];
  }
  return out;
}

// The inverse of Hex; whitespace is ignored.
inline std::string Unhex(std::string_view hex) {
  auto nibble = [](char c) -> int {
    return std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                                       : std::tolower(c) - 'a' + 10;
  };
  std::string out;
  int high = -1;
  for (char c : hex) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (high < 0) {
      high = nibble(c);
    } else {
      out += static_cast<char>((high << 4) | nibble(c));
      high = -1;
    }
  }
  return out;
}

// Serialization with map entries in key order.
inline std::string SerializeDeterministic(const google::protobuf::Message& message) {
  std::string out;
  {
    google::protobuf::io::StringOutputStream stream(&out);
    google::protobuf::io::CodedOutputStream coded(&stream);
    coded.SetSerializationDeterministic(true);
    message.SerializeToCodedStream(&coded);
  }
  return out;
}

// Captures what the protobuf runtime logs while the object is alive.
class LogCapture {
 public:
  LogCapture() {
    Active() = this;
    previous_ = google::protobuf::SetLogHandler(&LogCapture::Handle);
  }
  ~LogCapture() {
    google::protobuf::SetLogHandler(previous_);
    Active() = nullptr;
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::string& text() const { return text_; }

 private:
  static LogCapture*& Active() {
    static LogCapture* active = nullptr;
    return active;
  }
  static void Handle(google::protobuf::LogLevel, const char*, int, const std::string& message) {
    if (Active() != nullptr) Active()->text_ += message + "\n";
  }

  google::protobuf::LogHandler* previous_ = nullptr;
  std::string text_;
};

// The fields of a message as the generated pool knows them, one line per
// field in declaration order, for comparison with a table in a test:
//   "1 least_significant_bits sint64"
//   "6 ray_config_uuid kyt.pb.common.UUID oneof RayConfigReference"
//   "8 noise_dbm repeated double packed"
//   "9 thresholds map<string, float>"
// Enum and message types are written by full name.
inline std::string FieldType(const google::protobuf::FieldDescriptor* field) {
  if (field->enum_type() != nullptr) return field->enum_type()->full_name();
  if (field->message_type() != nullptr) return field->message_type()->full_name();
  return field->type_name();
}

inline std::vector<std::string> FieldsOf(const std::string& message_full_name) {
  std::vector<std::string> lines;
  const auto* message =
      google::protobuf::DescriptorPool::generated_pool()->FindMessageTypeByName(
          message_full_name);
  if (message == nullptr) return {"no message " + message_full_name};
  for (int i = 0; i < message->field_count(); ++i) {
    const auto* field = message->field(i);
    std::string line = std::to_string(field->number()) + " " + field->name() + " ";
    if (field->is_map()) {
      line += "map<" + FieldType(field->message_type()->map_key()) + ", " +
              FieldType(field->message_type()->map_value()) + ">";
    } else {
      if (field->is_repeated()) line += "repeated ";
      line += FieldType(field);
      if (field->is_packed()) line += " packed";
      if (field->real_containing_oneof() != nullptr) {
        line += " oneof " + field->real_containing_oneof()->name();
      }
    }
    lines.push_back(line);
  }
  return lines;
}

// The values of an enum in declaration order: "CUSTOM_TYPE=0 QUALITY_UL=1 ...".
inline std::string ValuesOf(const std::string& enum_full_name) {
  const auto* type =
      google::protobuf::DescriptorPool::generated_pool()->FindEnumTypeByName(enum_full_name);
  if (type == nullptr) return "no enum " + enum_full_name;
  std::string out;
  for (int i = 0; i < type->value_count(); ++i) {
    if (!out.empty()) out += ' ';
    out += type->value(i)->name() + "=" + std::to_string(type->value(i)->number());
  }
  return out;
}

}  // namespace common_dto_test
