// JSON input of the command-line tool (`common-dto encode`): the tool's own
// FromJson, then what encode does with a parsed message (UTF-8 check,
// deterministic bytes), then what dump does with those bytes (ToJson), and
// the JSON dump must encode back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common_dto/stream/framing.h"
#include "convert.h"
#include "fuzz_support.h"
#include "instrument_data.pb.h"
#include "ray_stream_message.pb.h"

namespace cli = common_dto::cli;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  common_dto_fuzz::QuietRuntime();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // First byte: the message type, as encode picks it (a single
  // InstrumentData, or a stream line holding a RayStreamMessage).
  kyt::pb::common::InstrumentData instrument_data;
  kyt::pb::stream::RayStreamMessage stream_message;
  google::protobuf::Message* message =
      (data[0] & 1) != 0 ? static_cast<google::protobuf::Message*>(&stream_message)
                         : &instrument_data;
  const std::string_view json(reinterpret_cast<const char*>(data + 1), size - 1);

  std::string error;
  if (!cli::FromJson(json, message, &error)) {
    FUZZ_CHECK(!error.empty(), "FromJson failed without saying why");
    FUZZ_CHECK(error.find('\n') == std::string::npos, "the error is more than one line: " + error);
    return 0;
  }
  if (!common_dto::stream::CheckUtf8(*message).ok()) return 0;  // encode refuses it
  const std::string bytes = cli::SerializeDeterministic(*message, &error);
  FUZZ_CHECK(error.empty(), error);
  std::unique_ptr<google::protobuf::Message> parsed(message->New());
  FUZZ_CHECK(parsed->ParseFromString(bytes), "encode wrote bytes that do not parse");

  for (const bool pretty : {false, true}) {
    std::string dumped;
    if (!cli::ToJson(*parsed, pretty, &dumped, &error)) {
      // Only a Timestamp or Duration out of its range has no JSON form.
      FUZZ_CHECK(error.find("cannot be written as JSON") == 0, error);
      return 0;
    }
    std::unique_ptr<google::protobuf::Message> back(message->New());
    FUZZ_CHECK(cli::FromJson(dumped, back.get(), &error),
               "dump's JSON does not encode: " + error + "\n" + dumped);
    const std::string again = cli::SerializeDeterministic(*back, &error);
    FUZZ_CHECK(again == bytes, "JSON dump and encode changed the bytes:\n" + dumped);
  }
  return 0;
}
