// common-dto dump: a file or stream as JSON or the runtime's text format.
#include <fmt/format.h>

#include "commands.h"
#include "convert.h"
#include "output.h"

namespace common_dto {
namespace cli {
namespace {

void NoteUnknownFields(const std::string& file, bool json, std::size_t places,
                       const std::string& first) {
  if (places == 0) return;
  Warn(fmt::format("{}: unknown fields (numbers the schema does not have) {}; first at {}{}", file,
                   json ? "are left out of the JSON"
                        : "are shown by number, which encode cannot "
                          "read back",
                   first, places > 1 ? fmt::format(", {} places in all", places) : ""));
}

}  // namespace

namespace {

Result<int> DumpMessage(Input* input, bool json, OutputFile* out) {
  const std::unique_ptr<google::protobuf::Message> message = input->TakeMessage();
  if (json) {
    const Result<std::string> text = ToJson(*message, /*pretty=*/true);
    if (!text.ok()) return ErrorOf(input->name(), text.status());
    out->Write(*text);
  } else {
    out->Write(ToText(*message, /*single_line=*/false));
  }
  if (Status status = out->Commit(); !status.ok()) return status;
  const UnknownFieldsReport unknown = FindUnknownFields(*message);
  NoteUnknownFields(input->name(), json, unknown.places, unknown.first_path);
  return kExitOk;
}

// A stream: one line per message, read and written one at a time.
Result<int> DumpStream(Input* input, bool json, OutputFile* out) {
  const std::unique_ptr<google::protobuf::Message> message = input->NewMessage();
  Progress progress(fmt::format("dump {}", input->name()), input->size());
  std::size_t unknown_places = 0;
  std::string first_unknown;
  while (out->ok() && input->Next(message.get())) {
    Result<std::string> line = json ? ToJson(*message, /*pretty=*/false)
                                    : Result<std::string>(ToText(*message, /*single_line=*/true));
    if (!line.ok()) return ErrorOf(input->name(), line.status(), input->Where());
    *line += '\n';
    out->Write(*line);
    const UnknownFieldsReport unknown = FindUnknownFields(*message);
    if (unknown.places > 0 && unknown_places == 0) {
      first_unknown = fmt::format("{} ({})", input->Where(), unknown.first_path);
    }
    unknown_places += unknown.places;
    progress.Update(input->bytes_read(), input->index() + 1);
  }
  progress.Erase();
  // Every message before a damaged frame is written; then the damage is the
  // error.
  if (Status status = out->Commit(); !status.ok()) return status;
  NoteUnknownFields(input->name(), json, unknown_places, first_unknown);
  if (Status damage = input->DamageError(); !damage.ok()) return damage;
  return kExitOk;
}

}  // namespace

Result<int> RunDump(const DumpOptions& options) {
  Result<std::unique_ptr<Input>> input = Input::Open(options.file, options.input);
  if (!input.ok()) return input.status();
  Result<std::unique_ptr<OutputFile>> out = OutputFile::Open(options.output);
  if (!out.ok()) return out.status();
  const bool json = options.format == "json";
  return (*input)->is_stream() ? DumpStream(input->get(), json, out->get())
                               : DumpMessage(input->get(), json, out->get());
}

}  // namespace cli
}  // namespace common_dto
