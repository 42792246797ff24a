// Text input of the command-line tool (`common-dto encode --from text`):
// the tool's own FromText, then the bytes encode would write, and the text
// dump of those bytes (multi-line and single-line, as dump writes single
// messages and stream lines) must encode back to the same bytes.
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
      data, size, cli::FromText,
      [](const google::protobuf::Message& message, bool single_line) {
        std::string dumped = cli::ToText(message, single_line);
        FUZZ_CHECK(!single_line || dumped.find('\n') == std::string::npos,
                   "a single-line dump with a line break:\n" + dumped);
        return common_dto::Result<std::string>(std::move(dumped));
      });
}
