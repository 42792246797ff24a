// Helpers for tests that compare wire bytes and runtime log output.
#pragma once

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/message.h>
#include <google/protobuf/stubs/logging.h>

#include <cctype>
#include <string>
#include <string_view>

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
    return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
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

}  // namespace common_dto_test
