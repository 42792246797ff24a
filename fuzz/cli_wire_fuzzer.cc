// The diagnosis of damaged wire data (stream::DiagnoseWire, which names the
// byte offset and field path where data goes wrong, used by the reader and
// the tool) and the tool's search for unknown fields, on arbitrary bytes for
// the types the tool reads by default and a few others.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "fuzz_support.h"
#include "input.h"

namespace cli = common_dto::cli;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  common_dto_fuzz::QuietRuntime();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static const char* const kTypes[] = {
      "kyt.pb.common.InstrumentData", "kyt.pb.stream.RayStreamMessage", "kyt.pb.common.Volume",
      "kyt.pb.common.Sweep",          "kyt.pb.common.VolumeConfig",     "kyt.pb.common.Product"};
  const auto* type = google::protobuf::DescriptorPool::generated_pool()->FindMessageTypeByName(
      kTypes[data[0] % (sizeof kTypes / sizeof kTypes[0])]);
  FUZZ_CHECK(type != nullptr, "a type is missing");
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  const common_dto::Status problem = common_dto::stream::DiagnoseWire(type, bytes);
  if (!problem.ok()) {
    FUZZ_CHECK(!problem.message().empty(), "a problem without a description");
    FUZZ_CHECK(problem.location().byte_offset.value_or(bytes.size() + 1) <= bytes.size(),
               "the offset lies past the data");
  }
  std::unique_ptr<google::protobuf::Message> message(
      google::protobuf::MessageFactory::generated_factory()->GetPrototype(type)->New());
  const bool parsed = message->ParseFromArray(bytes.data(), static_cast<int>(bytes.size()));
  // What the runtime parses, the diagnosis finds nothing wrong with.
  FUZZ_CHECK(!parsed || problem.ok(), "a problem in data the runtime parses: " + problem.message());
  if (parsed) {
    const auto report = cli::FindUnknownFields(*message);
    FUZZ_CHECK((report.places == 0) == report.first_path.empty(), "unknown-field report is off");
  }
  return 0;
}
