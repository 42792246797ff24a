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

#include "output.h"
#include "common_dto/model/field_path.h"
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
// Returns true at the end of the input.
bool ReadUpTo(int fd, std::string* out, std::uint64_t limit, const std::string& name) {
  char chunk[1 << 16];
  while (out->size() < limit) {
    const std::uint64_t want = std::min<std::uint64_t>(sizeof(chunk), limit - out->size());
    const ssize_t n = ::read(fd, chunk, static_cast<std::size_t>(want));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail(name, fmt::format("read error: {}", std::strerror(errno)));
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

void CollectUnknown(const Message& message, const std::string& path, UnknownFieldsReport* report) {
  const Reflection* r = message.GetReflection();
  if (!r->GetUnknownFields(message).empty()) {
    if (report->places++ == 0) report->first_path = path.empty() ? "the top level" : path;
  }
  std::vector<const FieldDescriptor*> fields;
  r->ListFields(message, &fields);
  for (const FieldDescriptor* field : fields) {
    if (field->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) continue;
    const std::string here = FieldPath(path, field->name());
    if (field->is_repeated()) {
      const int n = r->FieldSize(message, field);
      for (int i = 0; i < n; ++i) {
        CollectUnknown(r->GetRepeatedMessage(message, field, i), fmt::format("{}[{}]", here, i),
                       report);
      }
    } else {
      CollectUnknown(r->GetMessage(message, field), here, report);
    }
  }
}

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

const Descriptor* FindMessageType(const std::string& name) {
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
  Fail("", fmt::format("unknown message type '{}' for --type; {}", name, hint));
}

std::string UnsupportedFormatName(std::string_view head) {
  const auto u8 = [&head](std::size_t i) { return static_cast<unsigned char>(head[i]); };
  if (head.substr(0, 2) == "UF") return "Universal Format (UF)";
  // After a Fortran record length, in bytes, which the UF record repeats in
  // 16-bit words.
  if (head.size() >= 8 && head.substr(4, 2) == "UF") {
    const std::uint32_t bytes = (std::uint32_t{u8(0)} << 24) | (u8(1) << 16) | (u8(2) << 8) | u8(3);
    const std::uint32_t words = (std::uint32_t{u8(6)} << 8) | u8(7);
    if (bytes == 2 * words) return "Universal Format (UF)";
  }
  return "";
}

bool StartsLikeMessage(std::string_view bytes, const Descriptor* type) {
  if (bytes.empty()) return true;
  std::uint64_t tag = 0;
  std::size_t i = 0;
  for (int shift = 0; i < bytes.size() && shift < 35; shift += 7) {
    const auto byte = static_cast<unsigned char>(bytes[i++]);
    tag |= std::uint64_t{byte & 0x7fu} << shift;
    if ((byte & 0x80) == 0) break;
  }
  const FieldDescriptor* field = type->FindFieldByNumber(static_cast<int>(tag >> 3));
  if (field == nullptr) return false;
  using google::protobuf::internal::WireFormatLite;
  const auto wire = static_cast<WireFormatLite::WireType>(tag & 7);
  return wire == WireFormatLite::WireTypeForFieldType(
                     static_cast<WireFormatLite::FieldType>(field->type())) ||
         (field->is_packable() && wire == WireFormatLite::WIRETYPE_LENGTH_DELIMITED);
}

void FailUnsupportedFormat(const std::string& name, const std::string& format) {
  if (!format.empty()) Fail(name, fmt::format("format not supported: {}", format));
  Fail(name,
       "format not supported: neither a radar file the tool reads (ODIM_H5, CF/Radial, NEXRAD Level II) "
       "nor a common-dto message or ray stream");
}

std::string FileHead(const std::string& path, std::size_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return "";
  struct stat st {};
  std::string head;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    head.resize(limit);
    const ssize_t n = ::pread(fd, head.data(), limit, 0);
    head.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  }
  ::close(fd);
  return head;
}

UnknownFieldsReport FindUnknownFields(const Message& message) {
  UnknownFieldsReport report;
  CollectUnknown(message, std::string(), &report);
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

std::unique_ptr<Input> Input::Open(const std::string& path, const InputOptions& options) {
  if (std::unique_ptr<Message> radar = ReadRadarFile(path, options)) {
    std::unique_ptr<Input> input(new Input());
    input->path_ = input->name_ = path;
    input->options_ = options;
    input->type_ = radar->GetDescriptor();
    input->message_bytes_ = radar->ByteSizeLong();
    input->message_ = std::move(radar);
    return input;
  }
  std::unique_ptr<Input> input(new Input());
  input->path_ = path;
  input->name_ = path == "-" ? "<stdin>" : path;
  input->options_ = options;
  input->OpenSource();

  InputKind kind = options.kind;
  if (kind == InputKind::kAuto && !options.type_name.empty()) kind = InputKind::kMessage;
  const std::string& type_name = !options.type_name.empty()   ? options.type_name
                                 : kind == InputKind::kStream ? std::string(kDefaultStreamType)
                                                              : std::string(kDefaultMessageType);
  input->type_ = FindMessageType(type_name);
  switch (kind) {
    case InputKind::kStream:
      input->stream_ = true;
      input->OpenStreamReader();
      break;
    case InputKind::kMessage:
      input->ReadRest();
      if (const Status problem = input->ParseMessage(); !problem.ok()) {
        input->FailParse(fmt::format("not a {}: ", type_name), problem);
      }
      break;
    case InputKind::kAuto:
      input->Decide(type_name);
      break;
  }
  return input;
}

void Input::OpenSource() {
  source_ = std::make_unique<Source>();
  Source& source = *source_;
  if (path_ == "-") {
    source.fd = STDIN_FILENO;
  } else {
    source.fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (source.fd < 0) Fail(name_, fmt::format("cannot open: {}", std::strerror(errno)));
    source.owned = true;
  }
  struct stat st;
  if (::fstat(source.fd, &st) != 0) {
    Fail(name_, fmt::format("cannot open: {}", std::strerror(errno)));
  }
  if (S_ISDIR(st.st_mode)) Fail(name_, "is a directory");
  source.regular = S_ISREG(st.st_mode);
  if (source.regular) size_ = static_cast<std::uint64_t>(st.st_size);
}

// Auto: a stream when the start of the input reads as one; else a single
// message; else whichever reading explains the input better.
void Input::Decide(const std::string& type_name) {
  Source& source = *source_;
  source.complete = ReadUpTo(source.fd, &source.buffer, kProbeBytes, name_);
  if (const std::string format = UnsupportedFormatName(source.buffer); !format.empty()) {
    FailUnsupportedFormat(name_, format);
  }
  const StreamProbe probe =
      ProbeStream(source.buffer, source.complete, options_.max_message_size);
  if (probe.all && probe.Plausible()) return UseStream(probe.messages, true);
  ReadRest();
  const Status problem = ParseMessage();
  if (problem.ok()) {
    Note(fmt::format("{}: reading as a single {}", name_, type_name));
    return;
  }
  // Good messages before damage, or a first frame that is a ray stream
  // message in all but the text of a string: a damaged stream.
  if (probe.Plausible() || probe.error.code() == ErrorCode::kInvalidUtf8) {
    return UseStream(probe.messages, false);
  }
  // Bytes that do not even start as the message: another format.
  if (!StartsLikeMessage(source.buffer, type_)) FailUnsupportedFormat(name_, "");
  FailParse(fmt::format("neither a ray stream nor a {}: ", type_name), problem);
}

void Input::UseStream(std::uint64_t probed, bool intact) {
  type_ = FindMessageType(kDefaultStreamType);
  stream_ = true;
  if (!intact) {
    Note(fmt::format("{}: reading as a ray stream, damaged after {} messages", name_, probed));
  } else if (source_->complete) {
    Note(fmt::format("{}: reading as a ray stream ({} messages)", name_, probed));
  } else {
    Note(fmt::format("{}: reading as a ray stream", name_));
  }
  OpenStreamReader();
}

// Reads the whole input into the buffer, for a single message.
void Input::ReadRest() {
  Source& source = *source_;
  if (!source.complete) {
    source.complete = ReadUpTo(source.fd, &source.buffer, kMaxMessageBytes + 1, name_);
  }
  if (source.buffer.size() > kMaxMessageBytes) {
    Fail(name_, fmt::format("too large for a single message ({} or more; the limit is 2 GiB)",
                            FormatBytes(source.buffer.size())));
  }
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

void Input::FailParse(const std::string& prefix, const Status& problem) const {
  const Location& at = problem.location();
  std::string where = at.byte_offset ? fmt::format("byte offset {}", *at.byte_offset) : "";
  if (!problem_path_.empty()) where += " / " + problem_path_;
  Fail(name_, prefix + problem.message(), where);
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

std::string Input::DamageWhat() const {
  // The reader's text starts with the place, which goes to the end of the
  // line here.
  std::string what = damage_.message();
  const std::string prefix = Where() + ": ";
  if (what.compare(0, prefix.size(), prefix) == 0) what.erase(0, prefix.size());
  // Nothing good came before: perhaps not a stream at all.
  if (index_ == 0 && damage_.code() != ErrorCode::kIo) {
    what = type_->full_name() == kDefaultStreamType
               ? "not a ray stream: " + what
               : fmt::format("not a stream of {}: {}", type_->full_name(), what);
  }
  return what;
}

std::string Input::DamageWhere() const { return Where(); }

void Input::FailOnDamage() const {
  if (!damage_.ok()) Fail(name_, DamageWhat(), DamageWhere());
}

}  // namespace cli
}  // namespace common_dto
