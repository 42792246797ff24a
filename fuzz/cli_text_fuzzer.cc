// Text input of the command-line tool (`common-dto encode --from text`):
// the tool's own FromText, then the bytes encode would write, and the text
// dump of those bytes (multi-line and single-line, as dump writes single
// messages and stream lines) must encode back to the same bytes.
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
  kyt::pb::common::InstrumentData instrument_data;
  kyt::pb::stream::RayStreamMessage stream_message;
  google::protobuf::Message* message =
      (data[0] & 1) != 0 ? static_cast<google::protobuf::Message*>(&stream_message)
                         : &instrument_data;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  std::string error;
  if (!cli::FromText(text, message, &error)) {
    FUZZ_CHECK(!error.empty(), "FromText failed without saying why");
    return 0;
  }
  if (!common_dto::stream::CheckUtf8(*message).ok()) return 0;  // encode refuses it
  const std::string bytes = cli::SerializeDeterministic(*message, &error);
  FUZZ_CHECK(error.empty(), error);
  std::unique_ptr<google::protobuf::Message> parsed(message->New());
  FUZZ_CHECK(parsed->ParseFromString(bytes), "encode wrote bytes that do not parse");

  for (const bool single_line : {false, true}) {
    const std::string dumped = cli::ToText(*parsed, single_line);
    FUZZ_CHECK(!single_line || dumped.find('\n') == std::string::npos,
               "a single-line dump with a line break:\n" + dumped);
    std::unique_ptr<google::protobuf::Message> back(message->New());
    FUZZ_CHECK(cli::FromText(dumped, back.get(), &error),
               "dump's text does not encode: " + error + "\n" + dumped);
    const std::string again = cli::SerializeDeterministic(*back, &error);
    FUZZ_CHECK(again == bytes, "text dump and encode changed the bytes:\n" + dumped);
  }
  return 0;
}
