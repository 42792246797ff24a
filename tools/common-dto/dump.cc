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

int RunDump(const DumpOptions& options) {
  const std::unique_ptr<Input> input = Input::Open(options.file, options.input);
  const bool json = options.format == "json";
  OutputFile out(options.output);

  if (!input->is_stream()) {
    const std::unique_ptr<google::protobuf::Message> message = input->TakeMessage();
    if (json) {
      std::string text, error;
      if (!ToJson(*message, /*pretty=*/true, &text, &error)) Fail(input->name(), error);
      out.Write(text);
    } else {
      out.Write(ToText(*message, /*single_line=*/false));
    }
    out.Commit();
    const UnknownFieldsReport unknown = FindUnknownFields(*message);
    NoteUnknownFields(input->name(), json, unknown.places, unknown.first_path);
    return kExitOk;
  }

  // A stream: one line per message, read and written one at a time.
  const std::unique_ptr<google::protobuf::Message> message = input->NewMessage();
  Progress progress(fmt::format("dump {}", input->name()), input->size());
  std::size_t unknown_places = 0;
  std::string first_unknown;
  std::string line, error;
  while (input->Next(message.get())) {
    if (json) {
      if (!ToJson(*message, /*pretty=*/false, &line, &error)) {
        Fail(input->name(), error, input->Where());
      }
    } else {
      line = ToText(*message, /*single_line=*/true);
    }
    line += '\n';
    out.Write(line);
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
  out.Commit();
  NoteUnknownFields(input->name(), json, unknown_places, first_unknown);
  input->FailOnDamage();
  return kExitOk;
}

}  // namespace cli
}  // namespace common_dto
