// JSON input of the command-line tool (`common-dto encode`): the tool's own
// FromJson, then what encode does with a parsed message (UTF-8 check,
// deterministic bytes), then what dump does with those bytes (ToJson, compact
// and pretty), and the JSON dump must encode back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cli_round_trip.h"

namespace cli = common_dto::cli;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  common_dto_fuzz::QuietRuntime();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return common_dto_fuzz::ToolSyntaxRoundTrip(
      data, size, cli::FromJson,
      [](const google::protobuf::Message& message, bool pretty) {
        common_dto::Result<std::string> json = cli::ToJson(message, pretty);
        // Only a Timestamp or Duration out of its range has no JSON form.
        FUZZ_CHECK(json.ok() || json.status().code() == common_dto::ErrorCode::kUnsupported,
                   json.status().message());
        return json;
      });
}
