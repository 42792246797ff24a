// Binary, JSON and text forms of messages.
#include "convert.h"

#include <fmt/format.h>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/text_format.h>
#include <google/protobuf/util/json_util.h>
#include <google/protobuf/util/type_resolver.h>
#include <google/protobuf/util/type_resolver_util.h>

#include <cctype>
#include <climits>
#include <memory>

namespace common_dto {
namespace cli {
namespace {

constexpr char kTypeUrlPrefix[] = "type.googleapis.com";

google::protobuf::util::TypeResolver* Resolver() {
  static const std::unique_ptr<google::protobuf::util::TypeResolver> resolver(
      google::protobuf::util::NewTypeResolverForDescriptorPool(
          kTypeUrlPrefix, google::protobuf::DescriptorPool::generated_pool()));
  return resolver.get();
}

std::string TypeUrl(const google::protobuf::Message& message) {
  return fmt::format("{}/{}", kTypeUrlPrefix, message.GetDescriptor()->full_name());
}

// `text` with control characters escaped (\n, \t, \xNN) and trailing
// whitespace removed: parser messages may quote input, and an error must stay
// on one line.
std::string EscapeControls(std::string_view text) {
  std::string line;
  line.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\n') {
      line += "\\n";
    } else if (c == '\t') {
      line += "\\t";
    } else if (u < 0x20 || u == 0x7f) {
      line += fmt::format("\\x{:02x}", u);
    } else {
      line += c;
    }
  }
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

// A status message of the JSON converter as one line. For a syntax error
// the converter appends the input around the fault (up to 20 characters
// before and after it, newlines included) and a line with a caret under the
// fault; both are dropped. What remains can still hold control characters
// taken from the input (a field name with an escaped newline): they are
// escaped, not cut at, so that the message never ends up empty.
std::string OneLine(std::string text) {
  constexpr std::size_t kContextAfter = 20;
  const std::size_t caret = text.rfind('\n');
  if (caret != std::string::npos && !text.empty() && text.back() == '^' &&
      text.find_first_not_of(' ', caret + 1) == text.size() - 1) {
    // The context is `before` characters up to the fault, then at most
    // kContextAfter more; the message ends at the newline before it.
    const std::size_t before = text.size() - caret - 2;
    std::size_t cut = caret;
    for (std::size_t length = before; length <= before + kContextAfter && length < caret;
         ++length) {
      if (text[caret - length - 1] == '\n') cut = caret - length - 1;
    }
    text.resize(cut);
  }
  const std::string line = EscapeControls(text);
  return line.empty() ? "malformed JSON" : line;
}

// The JSON printer writes a negative zero as -0, which the JSON parser reads
// as the integer 0 and so loses the sign; -0.0 keeps it. Rewrites every
// number token that is exactly -0 (outside strings) that way.
std::string KeepNegativeZeros(std::string_view json) {
  std::string out;
  out.reserve(json.size());
  bool in_string = false;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    out += c;
    if (in_string) {
      if (c == '\\' && i + 1 < json.size()) {
        out += json[++i];
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
      continue;
    }
    if (c == '-' && i + 1 < json.size() && json[i + 1] == '0') {
      const char next = i + 2 < json.size() ? json[i + 2] : ' ';
      if (!std::isdigit(static_cast<unsigned char>(next)) && next != '.' && next != 'e' &&
          next != 'E') {
        out += "0.0";
        ++i;
      }
    }
  }
  return out;
}

class FirstError : public google::protobuf::io::ErrorCollector {
 public:
  void AddError(int line, int column, const std::string& message) override {
    if (error_.empty())
      error_ = fmt::format("line {} column {}: {}", line + 1, column + 1, EscapeControls(message));
  }
  void AddWarning(int, int, const std::string&) override {}
  const std::string& error() const { return error_; }

 private:
  std::string error_;
};

}  // namespace

Result<std::string> SerializeDeterministic(const google::protobuf::Message& message) {
  const std::size_t size = message.ByteSizeLong();
  if (size > static_cast<std::size_t>(INT_MAX)) {
    return Status(ErrorCode::kTooLarge,
                  fmt::format("the message is too large to encode ({} bytes; the limit is 2 GiB)", size));
  }
  std::string bytes;
  bytes.reserve(size);
  {
    google::protobuf::io::StringOutputStream out(&bytes);
    google::protobuf::io::CodedOutputStream coded(&out);
    coded.SetSerializationDeterministic(true);
    message.SerializeWithCachedSizes(&coded);
  }
  return bytes;
}

Result<std::string> ToJson(const google::protobuf::Message& message, bool pretty) {
  Result<std::string> bytes = SerializeDeterministic(message);
  if (!bytes.ok()) return bytes.status();
  google::protobuf::util::JsonPrintOptions options;
  options.preserve_proto_field_names = true;
  options.always_print_primitive_fields = false;
  options.add_whitespace = pretty;
  std::string json;
  const auto status = google::protobuf::util::BinaryToJsonString(Resolver(), TypeUrl(message),
                                                                 *bytes, &json, options);
  if (!status.ok()) {
    return Status(ErrorCode::kUnsupported,
                  fmt::format("cannot be written as JSON: {} (the text format can: --format text)",
                              OneLine(std::string(status.message()))));
  }
  if (pretty && (json.empty() || json.back() != '\n')) json += '\n';
  return json;
}

Status FromJson(std::string_view json, google::protobuf::Message* message) {
  message->Clear();
  google::protobuf::util::JsonParseOptions options;
  options.ignore_unknown_fields = false;
  const auto status =
      google::protobuf::util::JsonStringToMessage(KeepNegativeZeros(json), message, options);
  if (status.ok()) return Status::Ok();
  return Status(ErrorCode::kUnparsable, OneLine(std::string(status.message())));
}

std::string ToText(const google::protobuf::Message& message, bool single_line) {
  google::protobuf::TextFormat::Printer printer;
  printer.SetSingleLineMode(single_line);
  std::string text;
  printer.PrintToString(message, &text);
  if (single_line) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
  }
  return text;
}

Status FromText(std::string_view text, google::protobuf::Message* message) {
  message->Clear();
  FirstError errors;
  google::protobuf::TextFormat::Parser parser;
  parser.RecordErrorsTo(&errors);
  if (parser.ParseFromString(std::string(text), message)) return Status::Ok();
  return Status(ErrorCode::kUnparsable, errors.error().empty() ? "malformed text" : errors.error());
}

}  // namespace cli
}  // namespace common_dto
