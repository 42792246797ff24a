// Opening inputs, telling streams from single messages, and naming the
// place where a damaged input goes wrong.
#include "input.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/io/zero_copy_stream_impl.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/unknown_field_set.h>
#include <google/protobuf/wire_format_lite.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "output.h"
#include "common_dto/model/walk.h"
#include "ray_stream_message.pb.h"

namespace common_dto {
namespace cli {
namespace {

using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

// The runtime cannot parse a message of 2 GiB or more.
constexpr std::uint64_t kMaxMessageBytes = INT_MAX;

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

void CollectTypes(const Descriptor* type, std::vector<const Descriptor*>* out) {
  out->push_back(type);
  for (int i = 0; i < type->nested_type_count(); ++i) CollectTypes(type->nested_type(i), out);
}

void CollectFile(const FileDescriptor* file, std::set<const FileDescriptor*>* seen) {
  if (file == nullptr || !seen->insert(file).second) return;
  for (int i = 0; i < file->dependency_count(); ++i) CollectFile(file->dependency(i), seen);
}

// Reads from `fd` onto *out until it holds `limit` bytes or the input ends.
// Holds true at the end of the input.
Result<bool> ReadUpTo(int fd, std::string* out, std::uint64_t limit, const std::string& name) {
  char chunk[1 << 16];
  while (out->size() < limit) {
    const std::uint64_t want = std::min<std::uint64_t>(sizeof(chunk), limit - out->size());
    const ssize_t n = ::read(fd, chunk, static_cast<std::size_t>(want));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Error(name, fmt::format("read error: {}", std::strerror(errno)), {}, ErrorCode::kIo);
    if (n == 0) return true;
    out->append(chunk, static_cast<std::size_t>(n));
  }
  return false;
}

// How the start of an input reads as a ray stream: the frames that lie
// wholly in it, up to the first that does not parse.
struct StreamProbe {
  std::uint64_t messages = 0;  // Frames that parsed.
  bool first_has_payload = false;
  bool first_unknown_kind = false;  // Only unknown fields: a newer producer's kind.
  bool all = false;                 // Every frame of the probe parsed.
  Status error;                     // Why a frame did not.

  // Whether the input reads as a stream: its first message has a payload
  // (or is of a kind only a newer producer knows, followed by another
  // message), which keeps bytes that happen to frame from passing as one.
  bool Plausible() const {
    return messages > 0 && (first_has_payload || (first_unknown_kind && messages > 1));
  }
};

StreamProbe ProbeStream(std::string_view bytes, bool complete, std::size_t max_message_size) {
  StreamProbe probe;
  stream::ReaderOptions options;
  options.max_message_size = max_message_size;
  stream::DelimitedReader reader = stream::DelimitedReader::FromBytes(bytes, options);
  kyt::pb::stream::RayStreamMessage message;
  for (;;) {
    const stream::ReadResult r = reader.Read(&message);
    if (r.is_end_of_stream()) {
      probe.all = true;
      return probe;
    }
    if (r.is_error()) {
      // A frame cut off by the end of the probe: more of the input follows.
      probe.all = !complete && r.status().code() == ErrorCode::kTruncated;
      if (!probe.all) probe.error = r.status();
      return probe;
    }
    if (probe.messages++ == 0) {
      probe.first_has_payload =
          message.payload_case() != kyt::pb::stream::RayStreamMessage::PAYLOAD_NOT_SET;
      probe.first_unknown_kind = !probe.first_has_payload &&
                                 !message.GetReflection()->GetUnknownFields(message).empty();
    }
  }
}

// The radar file format `head` starts, of those the tool recognises but
// does not read; "" for none. Universal Format: "UF" at byte 0, or at byte 4
// after a Fortran record length (in bytes, in either byte order) that the
// UF header repeats at bytes 6-7 (in 16-bit words).
std::string_view UnreadFormatName(std::string_view head) {
  constexpr std::string_view kUf = "Universal Format (UF)";
  if (head.substr(0, 2) == "UF") return kUf;
  if (head.size() < 8 || head.substr(4, 2) != "UF") return "";
  const auto u8 = [head](std::size_t i) {
    return std::uint32_t{static_cast<unsigned char>(head[i])};
  };
  const std::uint32_t words = u8(6) << 8 | u8(7);
  const std::uint32_t big = u8(0) << 24 | u8(1) << 16 | u8(2) << 8 | u8(3);
  const std::uint32_t little = u8(3) << 24 | u8(2) << 16 | u8(1) << 8 | u8(0);
  return big == 2 * words || little == 2 * words ? kUf : "";
}

// The varint at the start of `bytes` and the bytes it takes (0 when it does
// not end within them, or within 10 bytes).
std::pair<std::uint64_t, std::size_t> LeadingVarint(std::string_view bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes.size() && i < 10; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    value |= std::uint64_t{byte & 0x7fu} << (7 * i);
    if ((byte & 0x80) == 0) return {value, i + 1};
  }
  return {0, 0};
}

// Whether `bytes` start with a tag naming a field of `type` in that field's
// wire type (or, for a packable field, packed).
bool StartsWithFieldOf(std::string_view bytes, const Descriptor* type) {
  using google::protobuf::internal::WireFormatLite;
  const auto [tag, size] = LeadingVarint(bytes);
  if (size == 0 || (tag >> 3) > static_cast<std::uint64_t>(FieldDescriptor::kMaxNumber)) {
    return false;
  }
  const FieldDescriptor* field = type->FindFieldByNumber(static_cast<int>(tag >> 3));
  if (field == nullptr) return false;
  const auto wire = static_cast<WireFormatLite::WireType>(tag & 7);
  return wire == WireFormatLite::WireTypeForFieldType(
                     static_cast<WireFormatLite::FieldType>(field->type())) ||
         (field->is_packable() && wire == WireFormatLite::WIRETYPE_LENGTH_DELIMITED);
}

// Whether `bytes` can start a single message of `type` or a ray stream (a
// length prefix, then a field of a ray stream message).
bool StartsLikeModelData(std::string_view bytes, const Descriptor* type) {
  if (StartsWithFieldOf(bytes, type)) return true;
  const auto [length, size] = LeadingVarint(bytes);
  return size > 0 && length > 0 &&
         StartsWithFieldOf(bytes.substr(size), kyt::pb::stream::RayStreamMessage::descriptor());
}

// The error refusing an input of a format the tool does not read, named
// when it is recognised.
Status Unsupported(std::string_view name, std::string_view format) {
  if (!format.empty()) {
    return Error(name, fmt::format("format not supported: {}", format), {},
                 ErrorCode::kUnsupported);
  }
  return Error(name,
               "format not supported: neither a radar file the tool reads (ODIM_H5, CF/Radial, NEXRAD "
               "Level II, IRIS, Rainbow 5) nor a common-dto message or ray stream",
               {}, ErrorCode::kUnsupported);
}

// Counts the messages holding unknown fields, and names the first.
class UnknownFieldsFinder : public FieldVisitor {
 public:
  explicit UnknownFieldsFinder(UnknownFieldsReport* report) : report_(report) {}
  bool EnterMessage(const Message& message, const std::string& path) override {
    if (!message.GetReflection()->GetUnknownFields(message).empty() && report_->places++ == 0) {
      report_->first_path = path.empty() ? "the top level" : path;
    }
    return true;
  }

 private:
  UnknownFieldsReport* report_;
};

}  // namespace

// ---- Types ------------------------------------------------------------------

std::vector<const Descriptor*> AllMessageTypes() {
  const DescriptorPool* pool = DescriptorPool::generated_pool();
  std::set<const FileDescriptor*> files;
  for (const char* root : {"instrument_data.proto", "ray_stream_message.proto",
                           "geo_polyline.proto", "ymds_time.proto"}) {
    CollectFile(pool->FindFileByName(root), &files);
  }
  std::vector<const Descriptor*> types;
  for (const FileDescriptor* file : files) {
    if (file->package().rfind("kyt.pb.", 0) != 0) continue;
    for (int i = 0; i < file->message_type_count(); ++i)
      CollectTypes(file->message_type(i), &types);
  }
  std::sort(types.begin(), types.end(), [](const Descriptor* a, const Descriptor* b) {
    return a->full_name() < b->full_name();
  });
  return types;
}

Result<const Descriptor*> FindMessageType(const std::string& name) {
  if (const Descriptor* type = DescriptorPool::generated_pool()->FindMessageTypeByName(name)) {
    return type;
  }
  // Suggest full names whose last part matches, ignoring case.
  const std::size_t dot = name.rfind('.');
  const std::string simple = Lower(dot == std::string::npos ? name : name.substr(dot + 1));
  std::vector<std::string> matches;
  for (const Descriptor* type : AllMessageTypes()) {
    if (Lower(type->name()) == simple || Lower(type->full_name()) == Lower(name)) {
      matches.push_back(type->full_name());
    }
  }
  std::string hint;
  if (matches.empty()) {
    hint = fmt::format("give a full name such as {}", kDefaultMessageType);
  } else {
    hint = "did you mean " + matches[0];
    for (std::size_t i = 1; i < matches.size(); ++i) hint += " or " + matches[i];
    hint += "?";
  }
  return Error("", fmt::format("unknown message type '{}' for --type; {}", name, hint));
}

UnknownFieldsReport FindUnknownFields(const Message& message) {
  UnknownFieldsReport report;
  UnknownFieldsFinder finder(&report);
  WalkFields(message, &finder);
  return report;
}

// ---- Input ------------------------------------------------------------------

// How much of an input is read to decide what it is when not told: the
// first frames of a stream, or the start of a single message.
constexpr std::size_t kProbeBytes = std::size_t{4} << 20;

struct Input::Source {
  int fd = -1;
  bool owned = false;
  bool regular = false;
  // The bytes read to decide (or, for a single message, all of it), and
  // whether they are the whole input.
  std::string buffer;
  bool complete = false;

  ~Source() {
    if (owned && fd >= 0) ::close(fd);
  }
};

Input::~Input() {
  reader_.reset();
  source_.reset();
}

Result<std::unique_ptr<Input>> Input::Open(const std::string& path, const InputOptions& options) {
  Result<std::unique_ptr<Message>> radar = ReadRadarFile(path, options);
  if (!radar.ok()) return radar.status();
  std::unique_ptr<Input> input(new Input());
  input->options_ = options;
  if (*radar != nullptr) {
    input->path_ = input->name_ = path;
    input->type_ = (*radar)->GetDescriptor();
    input->message_bytes_ = (*radar)->ByteSizeLong();
    input->message_ = std::move(*radar);
    return input;
  }
  input->path_ = path;
  input->name_ = path == "-" ? "<stdin>" : path;
  if (Status status = input->OpenSource(); !status.ok()) return status;
  // A named type is read as told; else a file of another format is refused
  // by name before its bytes are taken for wire data.
  if (options.type_name.empty()) {
    if (Status status = input->RefuseUnreadFormat(); !status.ok()) return status;
  }
  InputKind kind = options.kind;
  if (kind == InputKind::kAuto && !options.type_name.empty()) kind = InputKind::kMessage;
  const std::string& type_name = !options.type_name.empty()   ? options.type_name
                                 : kind == InputKind::kStream ? std::string(kDefaultStreamType)
                                                              : std::string(kDefaultMessageType);
  if (Status status = input->Settle(kind, type_name); !status.ok()) return status;
  return input;
}

// Reads the input as `kind` says, of the type named.
Status Input::Settle(InputKind kind, const std::string& type_name) {
  Result<const Descriptor*> type = FindMessageType(type_name);
  if (!type.ok()) return type.status();
  type_ = *type;
  switch (kind) {
    case InputKind::kStream:
      stream_ = true;
      OpenStreamReader();
      return Status::Ok();
    case InputKind::kMessage: {
      if (Status status = ReadRest(); !status.ok()) return status;
      const Status problem = ParseMessage();
      return problem.ok() ? problem : ParseError(fmt::format("not a {}: ", type_name), problem);
    }
    case InputKind::kAuto:
      return Decide(type_name);
  }
  return Status::Ok();
}

Status Input::OpenSource() {
  source_ = std::make_unique<Source>();
  Source& source = *source_;
  if (path_ == "-") {
    source.fd = STDIN_FILENO;
  } else {
    source.fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (source.fd < 0) {
      return Error(name_, fmt::format("cannot open: {}", std::strerror(errno)), {}, ErrorCode::kIo);
    }
    source.owned = true;
  }
  struct stat st;
  if (::fstat(source.fd, &st) != 0) {
    return Error(name_, fmt::format("cannot open: {}", std::strerror(errno)), {}, ErrorCode::kIo);
  }
  if (S_ISDIR(st.st_mode)) return Error(name_, "is a directory", {}, ErrorCode::kIo);
  source.regular = S_ISREG(st.st_mode);
  if (source.regular) size_ = static_cast<std::uint64_t>(st.st_size);
  return Status::Ok();
}

Status Input::RefuseUnreadFormat() {
  Source& source = *source_;
  constexpr std::size_t kHeadBytes = 8;  // What UnreadFormatName looks at.
  const Result<bool> complete = ReadUpTo(source.fd, &source.buffer, kHeadBytes, name_);
  if (!complete.ok()) return complete.status();
  source.complete = *complete;
  const std::string_view format = UnreadFormatName(source.buffer);
  return format.empty() ? Status::Ok() : Unsupported(name_, format);
}

// Auto: a stream when the start of the input reads as one; else a single
// message; else whichever reading explains the input better.
Status Input::Decide(const std::string& type_name) {
  Source& source = *source_;
  const Result<bool> complete = ReadUpTo(source.fd, &source.buffer, kProbeBytes, name_);
  if (!complete.ok()) return complete.status();
  source.complete = *complete;
  const StreamProbe probe =
      ProbeStream(source.buffer, source.complete, options_.max_message_size);
  if (probe.all && probe.Plausible()) return UseStream(probe.messages, true);
  if (Status status = ReadRest(); !status.ok()) return status;
  const Status problem = ParseMessage();
  if (problem.ok()) {
    Note(fmt::format("{}: reading as a single {}", name_, type_name));
    return Status::Ok();
  }
  // Good messages before damage, or a first frame that is a ray stream
  // message in all but the text of a string: a damaged stream.
  if (probe.Plausible() || probe.error.code() == ErrorCode::kInvalidUtf8) {
    return UseStream(probe.messages, false);
  }
  return ParseError(fmt::format("neither a ray stream nor a {}: ", type_name), problem);
}

Status Input::UseStream(std::uint64_t probed, bool intact) {
  Result<const Descriptor*> type = FindMessageType(kDefaultStreamType);
  if (!type.ok()) return type.status();
  type_ = *type;
  stream_ = true;
  if (!intact) {
    Note(fmt::format("{}: reading as a ray stream, damaged after {} messages", name_, probed));
  } else if (source_->complete) {
    Note(fmt::format("{}: reading as a ray stream ({} messages)", name_, probed));
  } else {
    Note(fmt::format("{}: reading as a ray stream", name_));
  }
  OpenStreamReader();
  return Status::Ok();
}

// Reads the whole input into the buffer, for a single message.
Status Input::ReadRest() {
  Source& source = *source_;
  if (!source.complete) {
    const Result<bool> complete = ReadUpTo(source.fd, &source.buffer, kMaxMessageBytes + 1, name_);
    if (!complete.ok()) return complete.status();
    source.complete = *complete;
  }
  if (source.buffer.size() > kMaxMessageBytes) {
    return Error(name_,
                 fmt::format("too large for a single message ({} or more; the limit is 2 GiB)",
                             FormatBytes(source.buffer.size())),
                 {}, ErrorCode::kTooLarge);
  }
  return Status::Ok();
}

// Parses the buffer as the single message; on failure, what is wrong.
Status Input::ParseMessage() {
  std::unique_ptr<Message> message = NewMessage();
  Source& source = *source_;
  if (message->ParseFromString(source.buffer)) {
    message_ = std::move(message);
    message_bytes_ = source.buffer.size();
    std::string().swap(source.buffer);
    return Status::Ok();
  }
  const Status problem = stream::DiagnoseWire(type_, source.buffer, &problem_path_);
  return problem.ok() ? Status(ErrorCode::kUnparsable, "malformed wire data") : problem;
}

Status Input::ParseError(const std::string& prefix, const Status& problem) const {
  // Not even the start of what the tool reads: another format, not damage.
  if (options_.type_name.empty() && !StartsLikeModelData(source_->buffer, type_)) {
    return Unsupported(name_, "");
  }
  const Location& at = problem.location();
  std::string where = at.byte_offset ? fmt::format("byte offset {}", *at.byte_offset) : "";
  if (!problem_path_.empty()) where += " / " + problem_path_;
  return Error(name_, prefix + problem.message(), where, problem.code(), problem.location());
}

void Input::OpenStreamReader() {
  Source& source = *source_;
  stream::ReaderOptions reader_options;
  reader_options.max_message_size = options_.max_message_size;
  // The bytes read to decide are read by the stream reader first, then the
  // rest of the input: nothing is read twice.
  reader_ = std::make_unique<stream::DelimitedReader>(
      source.complete
          ? stream::DelimitedReader::FromBytes(source.buffer, reader_options)
          : stream::DelimitedReader::FromFd(source.fd, source.buffer, reader_options));
}

std::unique_ptr<Message> Input::TakeMessage() { return std::move(message_); }

std::unique_ptr<Message> Input::NewMessage() const {
  return std::unique_ptr<Message>(
      google::protobuf::MessageFactory::generated_factory()->GetPrototype(type_)->New());
}

bool Input::Next(Message* message) {
  return Advance([&] { return reader_->Read(message); });
}

bool Input::NextBytes(std::string_view* bytes) {
  return Advance([&] { return reader_->ReadBytes(bytes); });
}

template <typename Read>
bool Input::Advance(const Read& read) {
  if (!damage_.ok()) return false;
  const std::uint64_t index = reader_->messages_read();
  const std::uint64_t offset = reader_->byte_offset();
  const stream::ReadResult result = read();
  index_ = index;
  offset_ = offset;
  if (result.has_message()) return true;
  if (result.is_error()) damage_ = result.status();
  return false;
}

void Input::SetDamage(const Status& problem) {
  Location location = problem.location();
  location.message_index = index_;
  location.byte_offset = offset_;
  damage_ = Status(problem.code(), Where() + ": " + problem.message(), std::move(location));
}

std::uint64_t Input::bytes_read() const { return reader_ ? reader_->byte_offset() : 0; }

std::string Input::Where() const {
  return fmt::format("message {} at byte offset {}", index_, offset_);
}

Status Input::DamageError() const {
  if (damage_.ok()) return damage_;
  // Nothing good came before: perhaps not a stream at all.
  if (index_ == 0 && damage_.code() != ErrorCode::kIo) {
    const std::string what = type_->full_name() == kDefaultStreamType
                                 ? std::string("not a ray stream")
                                 : fmt::format("not a stream of {}", type_->full_name());
    return ErrorOf(name_, damage_.Wrap(what + ": "));
  }
  return ErrorOf(name_, damage_);
}

}  // namespace cli
}  // namespace common_dto
