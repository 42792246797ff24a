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
// parsed with `parse(input, message)`, which fails only with a one-line
// error. A parsed message that encode accepts (valid UTF-8) must give bytes
// that parse back, and each of the two dump forms `dump(message,
// second_form)` makes of them (a Result holding the text) must parse back
// to the same bytes. A dump error means that form cannot represent the
// message.
template <typename Parse, typename Dump>
int ToolSyntaxRoundTrip(const std::uint8_t* data, std::size_t size, Parse parse, Dump dump) {
  if (size < 1) return 0;
  kyt::pb::common::InstrumentData instrument_data;
  kyt::pb::stream::RayStreamMessage stream_message;
  google::protobuf::Message* message =
      (data[0] & 1) != 0 ? static_cast<google::protobuf::Message*>(&stream_message)
                         : &instrument_data;
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

  if (const common_dto::Status parsed = parse(input, message); !parsed.ok()) {
    FUZZ_CHECK(!parsed.message().empty(), "parsing failed without saying why");
    FUZZ_CHECK(parsed.message().find('\n') == std::string::npos,
               "the error is more than one line: " + parsed.message());
    return 0;
  }
  if (!common_dto::CheckUtf8(*message).ok()) return 0;  // encode refuses it
  const common_dto::Result<std::string> bytes = common_dto::cli::SerializeDeterministic(*message);
  FUZZ_CHECK(bytes.ok(), bytes.status().message());
  std::unique_ptr<google::protobuf::Message> parsed(message->New());
  FUZZ_CHECK(parsed->ParseFromString(*bytes), "encode wrote bytes that do not parse");

  for (const bool second_form : {false, true}) {
    const common_dto::Result<std::string> dumped = dump(*parsed, second_form);
    if (!dumped.ok()) return 0;
    std::unique_ptr<google::protobuf::Message> back(message->New());
    const common_dto::Status again_parsed = parse(*dumped, back.get());
    FUZZ_CHECK(again_parsed.ok(),
               "the dump does not encode: " + again_parsed.message() + "\n" + *dumped);
    const common_dto::Result<std::string> again = common_dto::cli::SerializeDeterministic(*back);
    FUZZ_CHECK(again.ok() && *again == *bytes, "dump and encode changed the bytes:\n" + *dumped);
  }
  return 0;
}

}  // namespace common_dto_fuzz
