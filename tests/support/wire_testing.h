// Helpers for tests that compare wire bytes and runtime log output.
#pragma once

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/message.h>
#include <google/protobuf/stubs/logging.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
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

// The little-endian bytes of a double (eight) or a float (four), as Hex writes them.
template <typename Bits, typename T>
std::string LittleEndianHex(T value) {
  static_assert(sizeof(Bits) == sizeof(T), "same width");
  Bits bits;
  std::memcpy(&bits, &value, sizeof bits);
  std::string bytes;
  for (size_t i = 0; i < sizeof bits; ++i) bytes += static_cast<char>(bits >> (8 * i));
  return Hex(bytes);
}
inline std::string HexOf(double value) { return LittleEndianHex<std::uint64_t>(value); }
inline std::string HexOf(float value) { return LittleEndianHex<std::uint32_t>(value); }

// `v` as a base-128 varint, as the wire format writes lengths and numbers.
inline std::string Varint(std::uint64_t v) {
  std::string out;
  do {
    out += static_cast<char>((v & 0x7f) | (v > 0x7f ? 0x80 : 0));
    v >>= 7;
  } while (v != 0);
  return out;
}

// A varint with all 64 bits set: -1 as int32, int64 or enum; INT64_MIN as sint64.
inline const std::string kVarintAllOnes = "ff ff ff ff ff ff ff ff ff 01";

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

// A message of type M read from hex; a parse failure fails the test.
template <typename M>
M ParseHex(std::string_view hex) {
  M message;
  EXPECT_TRUE(message.ParseFromString(Unhex(hex))) << M::descriptor()->full_name() << ": " << hex;
  return message;
}

// `message` is written as exactly `hex`, and those bytes read back into known
// fields only, to an equal message.
inline void ExpectWire(const google::protobuf::Message& message, std::string_view hex) {
  const std::string type = message.GetTypeName();
  EXPECT_EQ(Hex(SerializeDeterministic(message)), hex) << type;
  std::unique_ptr<google::protobuf::Message> back(message.New());
  ASSERT_TRUE(back->ParseFromString(Unhex(hex))) << type << ": " << hex;
  EXPECT_EQ(back->GetReflection()->GetUnknownFields(*back).field_count(), 0) << type;
  EXPECT_TRUE(google::protobuf::util::MessageDifferencer::Equals(*back, message))
      << type << " read back as " << back->ShortDebugString();
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
