// common-dto encode: JSON or text into the binary form, the inverse of dump.
#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "commands.h"
#include "common_dto/stream/framing.h"
#include "convert.h"
#include "output.h"

namespace common_dto {
namespace cli {
namespace {

// A JSON input that is no one message but whose first line is one: JSON
// Lines, a stream given without --stream.
bool IsJsonLines(const std::string& text, const google::protobuf::Message& prototype) {
  const std::size_t end = text.find('\n');
  if (end == std::string::npos || text.find_first_not_of(" \t\r\n", end) == std::string::npos) {
    return false;
  }
  const std::unique_ptr<google::protobuf::Message> probe(prototype.New());
  std::string ignored;
  return FromJson(std::string_view(text).substr(0, end), probe.get(), &ignored);
}

}  // namespace

int RunEncode(const EncodeOptions& options) {
  const bool json = options.from == "json";
  const google::protobuf::Descriptor* type =
      FindMessageType(!options.type_name.empty() ? options.type_name
                      : options.stream           ? std::string(kDefaultStreamType)
                                                 : std::string(kDefaultMessageType));
  const std::string name = options.input == "-" ? "<stdin>" : options.input;
  const std::string form = json ? "JSON" : "text";

  std::ifstream file;
  std::istream* in = &std::cin;
  if (options.input != "-") {
    file.open(options.input, std::ios::binary);
    if (!file) Fail(name, fmt::format("cannot open: {}", std::strerror(errno)));
    in = &file;
  }
  const std::unique_ptr<google::protobuf::Message> message(
      google::protobuf::MessageFactory::generated_factory()->GetPrototype(type)->New());
  std::string error;

  OutputFile out(options.output);
  if (!options.stream) {
    std::ostringstream all;
    all << in->rdbuf();
    if (in->bad()) Fail(name, "read error");
    const std::string text = all.str();
    const bool parsed =
        json ? FromJson(text, message.get(), &error) : FromText(text, message.get(), &error);
    if (!parsed) {
      const bool several = json && IsJsonLines(text, *message);
      Fail(name, fmt::format("not a {} {}: {}{}", form, type->full_name(), error,
                             several ? " (one message per line? use --stream)" : ""));
    }
    // The check's message names the field and its path.
    const Status utf8 = CheckUtf8(*message);
    if (!utf8.ok()) Fail(name, utf8.message());
    const std::string bytes = SerializeDeterministic(*message, &error);
    if (!error.empty()) Fail(name, error);
    out.Write(bytes);
    out.Commit();
    return kExitOk;
  }

  // One message per line, each written as one frame.
  stream::WriterOptions writer_options;
  writer_options.deterministic = true;
  stream::DelimitedWriter writer = stream::DelimitedWriter::ToFd(out.fd(), writer_options);
  Progress progress(fmt::format("encode {}", name), 0);
  std::string line;
  std::uint64_t line_number = 0, bytes = 0;
  while (std::getline(*in, line)) {
    ++line_number;
    bytes += line.size() + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Blank lines separate nothing in JSON Lines; in text, where an empty
    // message prints as nothing, a blank line is an empty message.
    if (json && line.find_first_not_of(" \t") == std::string::npos) continue;
    const std::string where = fmt::format("line {}", line_number);
    const bool parsed =
        json ? FromJson(line, message.get(), &error) : FromText(line, message.get(), &error);
    if (!parsed) Fail(name, fmt::format("not a {} {}: {}", form, type->full_name(), error), where);
    // Checked here so that the error names the line, not the frame.
    const Status utf8 = CheckUtf8(*message);
    if (!utf8.ok()) Fail(name, utf8.message(), where);
    const Status written = writer.Write(*message);
    if (!written.ok()) Fail(name, written.message(), where);
    progress.Update(bytes, writer.messages_written());
  }
  if (in->bad()) Fail(name, "read error");
  const Status closed = writer.Close();
  if (!closed.ok()) Fail(out.display_name(), closed.message());
  progress.Erase();
  out.Commit();
  return kExitOk;
}

}  // namespace cli
}  // namespace common_dto
