// The round trip that `common-dto encode` and `common-dto dump` make on a
// message written in one of the tool's input syntaxes (JSON or text), shared
// by the fuzz targets of those syntaxes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common_dto/stream/framing.h"
#include "convert.h"
#include "fuzz_support.h"
#include "instrument_data.pb.h"
#include "ray_stream_message.pb.h"

namespace common_dto_fuzz {

// The first input byte picks the message type as encode does (a single
// InstrumentData, or a stream line holding a RayStreamMessage); the rest is
// parsed with `parse(input, message, error)`, which fails only with an
// error text. A parsed message that encode accepts (valid UTF-8) must give
// bytes that parse back, and each of the two dump forms `dump(message,
// second_form, dumped, error)` makes of them must parse back to the same
// bytes. `dump` returns false for a message that form cannot represent.
template <typename Parse, typename Dump>
int ToolSyntaxRoundTrip(const std::uint8_t* data, std::size_t size, Parse parse, Dump dump) {
  if (size < 1) return 0;
  kyt::pb::common::InstrumentData instrument_data;
  kyt::pb::stream::RayStreamMessage stream_message;
  google::protobuf::Message* message =
      (data[0] & 1) != 0 ? static_cast<google::protobuf::Message*>(&stream_message)
                         : &instrument_data;
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

  std::string error;
  if (!parse(input, message, &error)) {
    FUZZ_CHECK(!error.empty(), "parsing failed without saying why");
    FUZZ_CHECK(error.find('\n') == std::string::npos, "the error is more than one line: " + error);
    return 0;
  }
  if (!common_dto::CheckUtf8(*message).ok()) return 0;  // encode refuses it
  const std::string bytes = common_dto::cli::SerializeDeterministic(*message, &error);
  FUZZ_CHECK(error.empty(), error);
  std::unique_ptr<google::protobuf::Message> parsed(message->New());
  FUZZ_CHECK(parsed->ParseFromString(bytes), "encode wrote bytes that do not parse");

  for (const bool second_form : {false, true}) {
    std::string dumped;
    if (!dump(*parsed, second_form, &dumped, &error)) return 0;
    std::unique_ptr<google::protobuf::Message> back(message->New());
    FUZZ_CHECK(parse(dumped, back.get(), &error),
               "the dump does not encode: " + error + "\n" + dumped);
    const std::string again = common_dto::cli::SerializeDeterministic(*back, &error);
    FUZZ_CHECK(again == bytes, "dump and encode changed the bytes:\n" + dumped);
  }
  return 0;
}

}  // namespace common_dto_fuzz
