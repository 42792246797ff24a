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
  return FromJson(std::string_view(text).substr(0, end), probe.get()).ok();
}

Status Parse(bool json, std::string_view text, google::protobuf::Message* message) {
  return json ? FromJson(text, message) : FromText(text, message);
}

// The whole input as one message.
Status EncodeMessage(std::istream* in, const std::string& name, bool json,
                     google::protobuf::Message* message, OutputFile* out) {
  std::ostringstream all;
  all << in->rdbuf();
  if (in->bad()) return Error(name, "read error", {}, ErrorCode::kIo);
  const std::string text = all.str();
  if (const Status parsed = Parse(json, text, message); !parsed.ok()) {
    const bool several = json && IsJsonLines(text, *message);
    return Error(name, fmt::format("not a {} {}: {}{}", json ? "JSON" : "text",
                                   message->GetDescriptor()->full_name(), parsed.message(),
                                   several ? " (one message per line? use --stream)" : ""));
  }
  // The check's message names the field and its path.
  if (const Status utf8 = CheckUtf8(*message); !utf8.ok()) return ErrorOf(name, utf8);
  const Result<std::string> bytes = SerializeDeterministic(*message);
  if (!bytes.ok()) return ErrorOf(name, bytes.status());
  out->Write(*bytes);
  return out->Commit();
}

// One message per line, each written as one frame.
Status EncodeStream(std::istream* in, const std::string& name, bool json,
                    google::protobuf::Message* message, OutputFile* out) {
  stream::WriterOptions writer_options;
  writer_options.deterministic = true;
  stream::DelimitedWriter writer = stream::DelimitedWriter::ToFd(out->fd(), writer_options);
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
    if (const Status parsed = Parse(json, line, message); !parsed.ok()) {
      return Error(name, fmt::format("not a {} {}: {}", json ? "JSON" : "text",
                                     message->GetDescriptor()->full_name(), parsed.message()),
                   where);
    }
    // Checked here so that the error names the line, not the frame.
    if (const Status utf8 = CheckUtf8(*message); !utf8.ok()) return ErrorOf(name, utf8, where);
    if (const Status written = writer.Write(*message); !written.ok()) {
      return ErrorOf(name, written, where);
    }
    progress.Update(bytes, writer.messages_written());
  }
  if (in->bad()) return Error(name, "read error", {}, ErrorCode::kIo);
  if (const Status closed = writer.Close(); !closed.ok()) {
    return ErrorOf(out->display_name(), closed);
  }
  progress.Erase();
  return out->Commit();
}

}  // namespace

Result<int> RunEncode(const EncodeOptions& options) {
  const Result<const google::protobuf::Descriptor*> type =
      FindMessageType(!options.type_name.empty() ? options.type_name
                      : options.stream           ? std::string(kDefaultStreamType)
                                                 : std::string(kDefaultMessageType));
  if (!type.ok()) return type.status();
  const std::string name = options.input == "-" ? "<stdin>" : options.input;
  std::ifstream file;
  std::istream* in = &std::cin;
  if (options.input != "-") {
    file.open(options.input, std::ios::binary);
    if (!file) return Error(name, fmt::format("cannot open: {}", std::strerror(errno)), {}, ErrorCode::kIo);
    in = &file;
  }
  const std::unique_ptr<google::protobuf::Message> message(
      google::protobuf::MessageFactory::generated_factory()->GetPrototype(*type)->New());
  Result<std::unique_ptr<OutputFile>> out = OutputFile::Open(options.output);
  if (!out.ok()) return out.status();
  const bool json = options.from == "json";
  const Status status = options.stream ? EncodeStream(in, name, json, message.get(), out->get())
                                       : EncodeMessage(in, name, json, message.get(), out->get());
  if (!status.ok()) return status;
  return kExitOk;
}

}  // namespace cli
}  // namespace common_dto
