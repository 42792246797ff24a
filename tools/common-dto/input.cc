// Opening inputs, telling streams from single messages, and naming the
// place where a damaged input goes wrong.
#include "input.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/io/zero_copy_stream_impl.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/unknown_field_set.h>
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

// How much of a pipe is read ahead to decide whether it carries a stream.
// Inputs up to this size are judged on all their bytes; longer ones on the
// frames that fit in it.
constexpr std::size_t kProbeBytes = std::size_t{64} << 20;

// The runtime cannot parse a message of 2 GiB or more.
constexpr std::uint64_t kMaxMessageBytes = INT_MAX;

// The runtime's parser gives up below this nesting depth.
constexpr int kMaxDepth = 100;

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

bool ReadVarint(const std::uint8_t** p, const std::uint8_t* end, std::uint64_t* value) {
  std::uint64_t v = 0;
  for (int i = 0; i < 10; ++i) {
    if (*p >= end) return false;
    const std::uint8_t b = *(*p)++;
    if (i == 9 && b > 1) return false;
    v |= static_cast<std::uint64_t>(b & 0x7f) << (7 * i);
    if ((b & 0x80) == 0) {
      *value = v;
      return true;
    }
  }
  return false;
}

std::string Join(const std::string& path, const std::string& name) {
  return path.empty() ? name : path + "." + name;
}

// Follows wire data through the descriptors the way the runtime's parser
// does, remembering the field path, and stops at the first problem.
class Diagnoser {
 public:
  explicit Diagnoser(const std::uint8_t* base) : base_(base) {}

  std::optional<WireProblem> Walk(const Descriptor* type, const std::uint8_t* p,
                                  const std::uint8_t* end, const std::string& path, int depth) {
    const bool map_entry = type != nullptr && type->options().map_entry();
    std::map<int, int> seen;  // Occurrences so far, per field number.
    while (p < end) {
      const std::uint8_t* tag_at = p;
      std::uint64_t tag = 0;
      if (!ReadVarint(&p, end, &tag)) return Problem("malformed tag", tag_at, path);
      if (tag > UINT32_MAX || (tag >> 3) == 0) {
        return Problem(fmt::format("invalid tag {}", tag), tag_at, path);
      }
      const int number = static_cast<int>(tag >> 3);
      const int wire_type = static_cast<int>(tag & 7);
      const FieldDescriptor* field = type == nullptr ? nullptr : type->FindFieldByNumber(number);
      const std::string name = field != nullptr
                                   ? field->full_name()
                                   : fmt::format("field number {}{}", number,
                                                 type != nullptr ? " of " + type->full_name() : "");
      std::string here = path;
      if (field != nullptr && !map_entry) {
        here = Join(path, field->name());
        if (field->is_repeated() && !field->is_map()) here += fmt::format("[{}]", seen[number]++);
      }
      std::uint64_t value = 0;
      switch (wire_type) {
        case 0:
          if (!ReadVarint(&p, end, &value)) {
            return Problem("malformed varint in " + name, tag_at, here);
          }
          break;
        case 1:
        case 5: {
          const std::size_t n = wire_type == 1 ? 8 : 4;
          if (static_cast<std::size_t>(end - p) < n) {
            return Problem("truncated value of " + name, tag_at, here);
          }
          p += n;
          break;
        }
        case 2: {
          if (!ReadVarint(&p, end, &value)) {
            return Problem("malformed length of " + name, tag_at, here);
          }
          if (value > static_cast<std::uint64_t>(end - p)) {
            return Problem(fmt::format("truncated: length {} of {} runs past the end of its data "
                                       "({} bytes left)",
                                       value, name, end - p),
                           tag_at, here);
          }
          const std::uint8_t* payload = p;
          p += value;
          if (field == nullptr) break;
          if (auto problem = CheckPayload(field, payload, p, &here, number, &seen, depth)) {
            return problem;
          }
          break;
        }
        case 3:
          if (std::string problem = SkipGroup(&p, end, depth); !problem.empty()) {
            return Problem(problem + " in " + name, tag_at, here);
          }
          break;
        case 4:
          return Problem("unexpected end-group tag", tag_at, here);
        default:
          return Problem(fmt::format("invalid wire type {} in {}", wire_type, name), tag_at, here);
      }
    }
    return std::nullopt;
  }

 private:
  std::optional<WireProblem> CheckPayload(const FieldDescriptor* field, const std::uint8_t* begin,
                                          const std::uint8_t* end, std::string* here, int number,
                                          std::map<int, int>* seen, int depth) {
    const std::string_view bytes(reinterpret_cast<const char*>(begin),
                                 static_cast<std::size_t>(end - begin));
    switch (field->type()) {
      case FieldDescriptor::TYPE_STRING:
        if (!IsValidUtf8(bytes)) {
          return Problem("invalid UTF-8 in field " + field->full_name(), begin, *here);
        }
        return std::nullopt;
      case FieldDescriptor::TYPE_BYTES:
        return std::nullopt;
      case FieldDescriptor::TYPE_MESSAGE:
      case FieldDescriptor::TYPE_GROUP: {
        if (depth >= kMaxDepth) {
          return Problem(fmt::format("nesting deeper than {} levels", kMaxDepth), begin, *here);
        }
        if (field->is_map()) {
          const int index = (*seen)[number]++;
          *here += MapLabel(field->message_type(), begin, end, index);
        }
        return Walk(field->message_type(), begin, end, *here, depth + 1);
      }
      default:
        break;
    }
    // A packed list of numbers: varints must be well formed.
    if (field->is_repeated() && (field->type() != FieldDescriptor::TYPE_FIXED32 &&
                                 field->type() != FieldDescriptor::TYPE_FIXED64 &&
                                 field->type() != FieldDescriptor::TYPE_SFIXED32 &&
                                 field->type() != FieldDescriptor::TYPE_SFIXED64 &&
                                 field->type() != FieldDescriptor::TYPE_FLOAT &&
                                 field->type() != FieldDescriptor::TYPE_DOUBLE)) {
      const std::uint8_t* q = begin;
      std::uint64_t v = 0;
      while (q < end) {
        if (!ReadVarint(&q, end, &v)) {
          return Problem("malformed packed values of " + field->full_name(), begin, *here);
        }
      }
    }
    return std::nullopt;
  }

  // "[\"DBZH\"]" or "[7]" after the name of a map field; "[index]" when the
  // entry's key cannot be read.
  static std::string MapLabel(const Descriptor* entry, const std::uint8_t* p,
                              const std::uint8_t* end, int index) {
    const FieldDescriptor* key = entry->FindFieldByNumber(1);
    std::string label = fmt::format("[{}]", index);
    while (key != nullptr && p < end) {
      std::uint64_t tag = 0, value = 0;
      if (!ReadVarint(&p, end, &tag)) break;
      const int wire_type = static_cast<int>(tag & 7);
      if (wire_type == 0) {
        if (!ReadVarint(&p, end, &value)) break;
        if ((tag >> 3) == 1 && key->type() != FieldDescriptor::TYPE_STRING) {
          label = fmt::format("[{}]", FormatIntKey(key, value));
        }
      } else if (wire_type == 2) {
        if (!ReadVarint(&p, end, &value) || value > static_cast<std::uint64_t>(end - p)) break;
        const std::string_view text(reinterpret_cast<const char*>(p),
                                    static_cast<std::size_t>(value));
        if ((tag >> 3) == 1 && key->type() == FieldDescriptor::TYPE_STRING &&
            IsValidUtf8(text)) {
          label = fmt::format("[\"{}\"]", text);
        }
        p += value;
      } else if (wire_type == 1 || wire_type == 5) {
        const std::size_t n = wire_type == 1 ? 8 : 4;
        if (static_cast<std::size_t>(end - p) < n) break;
        p += n;
      } else {
        break;
      }
    }
    return label;
  }

  static std::string FormatIntKey(const FieldDescriptor* key, std::uint64_t raw) {
    switch (key->type()) {
      case FieldDescriptor::TYPE_SINT32:
      case FieldDescriptor::TYPE_SINT64:
        return std::to_string(static_cast<std::int64_t>((raw >> 1) ^ (~(raw & 1) + 1)));
      case FieldDescriptor::TYPE_INT32:
        return std::to_string(static_cast<std::int32_t>(static_cast<std::uint32_t>(raw)));
      case FieldDescriptor::TYPE_INT64:
        return std::to_string(static_cast<std::int64_t>(raw));
      case FieldDescriptor::TYPE_BOOL:
        return raw != 0 ? "true" : "false";
      default:
        return std::to_string(raw);
    }
  }

  // Skips a group whose start tag was read. Empty if it is well formed, else
  // what is wrong with it.
  static std::string SkipGroup(const std::uint8_t** p, const std::uint8_t* end, int depth) {
    const std::string malformed = "malformed group";
    int level = 1;
    while (level > 0) {
      if (depth + level > kMaxDepth) {
        return fmt::format("groups nested deeper than {} levels", kMaxDepth);
      }
      std::uint64_t tag = 0, value = 0;
      if (!ReadVarint(p, end, &tag)) return malformed;
      switch (tag & 7) {
        case 0:
          if (!ReadVarint(p, end, &value)) return malformed;
          break;
        case 1:
        case 5: {
          const std::size_t n = (tag & 7) == 1 ? 8 : 4;
          if (static_cast<std::size_t>(end - *p) < n) return malformed;
          *p += n;
          break;
        }
        case 2:
          if (!ReadVarint(p, end, &value) || value > static_cast<std::uint64_t>(end - *p)) {
            return malformed;
          }
          *p += value;
          break;
        case 3:
          ++level;
          break;
        case 4:
          --level;
          break;
        default:
          return malformed;
      }
    }
    return std::string();
  }

  WireProblem Problem(std::string what, const std::uint8_t* at, const std::string& path) const {
    return WireProblem{std::move(what), static_cast<std::uint64_t>(at - base_), path};
  }

  const std::uint8_t* base_;
};

// The outcome of reading an input through as a stream of RayStreamMessages.
struct ScanResult {
  bool ok = false;
  std::uint64_t messages = 0;  // Good messages before the problem.
  Status error;                // The reader's error, or ours.
  std::uint64_t offset = 0;    // Byte offset of the frame with the problem.
};

// A stream: frames to the end of the input, each holding a
// RayStreamMessage, the first of them with a payload set and nothing unknown
// at its top level; that keeps bytes that happen to frame correctly from
// passing as a stream. (Later messages without a payload are for check to
// report.)
ScanResult ScanStream(stream::DelimitedReader reader, Progress* progress) {
  ScanResult result;
  kyt::pb::stream::RayStreamMessage message;
  for (;;) {
    result.offset = reader.byte_offset();
    const stream::ReadResult r = reader.Read(&message);
    if (r.is_end_of_stream()) {
      result.ok = true;
      return result;
    }
    if (r.is_error()) {
      result.error = r.status();
      return result;
    }
    const std::string where =
        fmt::format("message {} at byte offset {}: ", result.messages, result.offset);
    if (result.messages == 0 &&
        message.payload_case() == kyt::pb::stream::RayStreamMessage::PAYLOAD_NOT_SET) {
      result.error = Status(ErrorCode::kProtocol, where + "no payload set");
      return result;
    }
    if (result.messages == 0 && !message.GetReflection()->GetUnknownFields(message).empty()) {
      result.error = Status(ErrorCode::kUnparsable, where + "unknown fields in the envelope");
      return result;
    }
    ++result.messages;
    progress->Update(reader.byte_offset(), result.messages);
  }
}

// Reads the rest of `fd` into *out; false (errno set) on a read error.
bool ReadRest(int fd, std::string* out, std::uint64_t limit) {
  char chunk[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(chunk, static_cast<std::size_t>(n));
    if (out->size() > limit) return true;
  }
}

// Reads from `fd` until `limit` bytes are buffered or the input ends.
// Returns true at the end of the input.
bool ReadAhead(int fd, std::string* out, std::size_t limit, const std::string& name) {
  char chunk[1 << 16];
  while (out->size() < limit) {
    const ssize_t n = ::read(fd, chunk, std::min(sizeof(chunk), limit - out->size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail(name, fmt::format("read error: {}", std::strerror(errno)));
    if (n == 0) return true;
    out->append(chunk, static_cast<std::size_t>(n));
  }
  return false;
}

// Whether the frames that fit in `prefix` (the start of a longer input) hold
// RayStreamMessages as ScanStream wants them; the last frame may be cut off.
bool PrefixLooksLikeStream(const std::string& prefix) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(prefix.data());
  const std::uint8_t* end = p + prefix.size();
  int frames = 0;
  kyt::pb::stream::RayStreamMessage message;
  while (p < end) {
    std::uint64_t size = 0;
    if (!ReadVarint(&p, end, &size)) return frames > 0;
    if (size > static_cast<std::uint64_t>(end - p)) return frames > 0;
    if (!message.ParseFromArray(p, static_cast<int>(size))) return false;
    if (frames == 0 &&
        (message.payload_case() == kyt::pb::stream::RayStreamMessage::PAYLOAD_NOT_SET ||
         !message.GetReflection()->GetUnknownFields(message).empty())) {
      return false;
    }
    ++frames;
    p += size;
  }
  return frames > 0;
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
    const std::string here = Join(path, field->name());
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

// ---- Diagnosis --------------------------------------------------------------

std::optional<WireProblem> DiagnoseWire(const Descriptor* type, std::string_view data) {
  const auto* begin = reinterpret_cast<const std::uint8_t*>(data.data());
  return Diagnoser(begin).Walk(type, begin, begin + data.size(), std::string(), 0);
}

UnknownFieldsReport FindUnknownFields(const Message& message) {
  UnknownFieldsReport report;
  CollectUnknown(message, std::string(), &report);
  return report;
}

// ---- Input ------------------------------------------------------------------

struct Input::Source {
  int fd = -1;
  bool owned = false;
  bool regular = false;
  // Bytes read ahead from a pipe, and whether they are all of it.
  std::string buffer;
  bool buffer_complete = false;
  std::unique_ptr<google::protobuf::io::ArrayInputStream> array;
  std::unique_ptr<google::protobuf::io::FileInputStream> file;
  // The read-ahead, then the rest of the pipe (the array must outlive
  // `concat`, which keeps a pointer to it).
  google::protobuf::io::ZeroCopyInputStream* parts[2] = {nullptr, nullptr};
  std::unique_ptr<google::protobuf::io::ConcatenatingInputStream> concat;

  ~Source() {
    concat.reset();
    file.reset();
    if (owned && fd >= 0) ::close(fd);
  }

  // The frame whose length prefix is at `offset`: its declared size and
  // as much of its content as the input still holds.
  struct FrameBytes {
    std::uint64_t size = 0;
    std::string bytes;
  };
  std::optional<FrameBytes> Frame(std::uint64_t offset) const {
    std::string head(10, '\0');
    std::string_view view;
    if (regular) {
      const ssize_t n = ::pread(fd, head.data(), head.size(), static_cast<off_t>(offset));
      if (n <= 0) return std::nullopt;
      head.resize(static_cast<std::size_t>(n));
      view = head;
    } else if (offset < buffer.size()) {
      view = std::string_view(buffer).substr(static_cast<std::size_t>(offset));
    } else {
      return std::nullopt;
    }
    const auto* p = reinterpret_cast<const std::uint8_t*>(view.data());
    const std::uint8_t* start = p;
    FrameBytes frame;
    if (!ReadVarint(&p, p + std::min<std::size_t>(view.size(), 10), &frame.size)) {
      return std::nullopt;
    }
    const std::uint64_t content = offset + static_cast<std::uint64_t>(p - start);
    if (frame.size > kMaxMessageBytes) return std::nullopt;
    if (regular) {
      frame.bytes.resize(static_cast<std::size_t>(frame.size));
      std::size_t done = 0;
      while (done < frame.bytes.size()) {
        const ssize_t n = ::pread(fd, &frame.bytes[done], frame.bytes.size() - done,
                                  static_cast<off_t>(content + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
      }
      frame.bytes.resize(done);
      return frame;
    }
    if (!buffer_complete && content + frame.size > buffer.size()) return std::nullopt;
    frame.bytes =
        buffer.substr(static_cast<std::size_t>(std::min<std::uint64_t>(content, buffer.size())),
                      static_cast<std::size_t>(frame.size));
    return frame;
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
  input->source_ = std::make_unique<Source>();
  Source& source = *input->source_;
  const std::string& name = input->name_;

  if (path == "-") {
    source.fd = STDIN_FILENO;
  } else {
    source.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (source.fd < 0) Fail(name, fmt::format("cannot open: {}", std::strerror(errno)));
    source.owned = true;
  }
  struct stat st;
  if (::fstat(source.fd, &st) != 0)
    Fail(name, fmt::format("cannot open: {}", std::strerror(errno)));
  if (S_ISDIR(st.st_mode)) Fail(name, "is a directory");
  source.regular = S_ISREG(st.st_mode);
  if (source.regular) input->size_ = static_cast<std::uint64_t>(st.st_size);

  InputKind kind = options.kind;
  if (kind == InputKind::kAuto && !options.type_name.empty()) kind = InputKind::kMessage;
  const std::string& type_name = !options.type_name.empty()   ? options.type_name
                                 : kind == InputKind::kStream ? std::string(kDefaultStreamType)
                                                              : std::string(kDefaultMessageType);
  input->type_ = FindMessageType(type_name);

  if (kind == InputKind::kStream) {
    input->stream_ = true;
    input->OpenStreamReader();
    return input;
  }

  // What a single message needs: all its bytes.
  auto read_all = [&]() {
    if (!source.regular && source.buffer_complete) return;
    if (source.regular && ::lseek(source.fd, 0, SEEK_SET) != 0) {
      Fail(name, fmt::format("cannot seek: {}", std::strerror(errno)));
    }
    if (source.regular) source.buffer.clear();
    if (!ReadRest(source.fd, &source.buffer, kMaxMessageBytes)) {
      Fail(name, fmt::format("read error: {}", std::strerror(errno)));
    }
    source.buffer_complete = true;
    if (source.buffer.size() > kMaxMessageBytes) {
      Fail(name, fmt::format("too large for a single message ({} or more; the limit is 2 GiB)",
                             FormatBytes(source.buffer.size())));
    }
  };
  // Parses the buffer as the single message; on failure returns the
  // problem found.
  auto parse = [&](std::string* what, std::string* where) {
    std::unique_ptr<Message> message(
        google::protobuf::MessageFactory::generated_factory()->GetPrototype(input->type_)->New());
    if (message->ParseFromString(source.buffer)) {
      input->message_ = std::move(message);
      input->message_bytes_ = source.buffer.size();
      std::string().swap(source.buffer);
      return true;
    }
    const auto problem = DiagnoseWire(input->type_, source.buffer);
    *what = problem ? problem->what : "malformed wire data";
    *where = problem ? fmt::format("byte offset {}", problem->offset) : std::string();
    if (problem && !problem->path.empty()) *where += " / " + problem->path;
    return false;
  };

  if (kind == InputKind::kMessage) {
    read_all();
    std::string what, where;
    if (!parse(&what, &where)) Fail(name, fmt::format("not a {}: {}", type_name, what), where);
    return input;
  }

  // Auto: a stream when the whole input reads as one, else a single message.
  const Descriptor* stream_type = FindMessageType(kDefaultStreamType);
  ScanResult scan;
  bool decided_stream = false;
  {
    Progress progress(fmt::format("{}: scanning", name), input->size_);
    stream::ReaderOptions reader_options;
    reader_options.max_message_size = options.max_message_size;
    if (source.regular) {
      scan = ScanStream(stream::DelimitedReader::FromFd(source.fd, reader_options), &progress);
    } else {
      source.buffer_complete = ReadAhead(source.fd, &source.buffer, kProbeBytes, name);
      if (source.buffer_complete) {
        input->size_ = source.buffer.size();
        google::protobuf::io::ArrayInputStream array(source.buffer.data(),
                                                     static_cast<int>(source.buffer.size()));
        scan = ScanStream(stream::DelimitedReader::FromZeroCopyStream(&array, reader_options),
                          &progress);
      } else {
        scan.ok = PrefixLooksLikeStream(source.buffer);
      }
    }
    decided_stream = scan.ok;
  }
  if (decided_stream) {
    input->type_ = stream_type;
    input->stream_ = true;
    if (source.regular || source.buffer_complete) {
      Note(fmt::format("{}: reading as a ray stream ({} messages)", name, scan.messages));
    } else {
      Note(fmt::format("{}: reading as a ray stream", name));
    }
    input->OpenStreamReader();
    return input;
  }
  read_all();
  std::string what, where;
  if (parse(&what, &where)) {
    Note(fmt::format("{}: reading as a single {}", name, type_name));
    return input;
  }
  // Neither. Report what fits the input better: a stream that went wrong
  // after good messages, else the single message.
  if (scan.messages > 0) {
    input->type_ = stream_type;
    input->index_ = scan.messages;
    input->offset_ = scan.offset;
    input->FailRead(stream::ReadResult::Error(scan.error));
  }
  Fail(name, fmt::format("neither a ray stream nor a {}: {}", type_name, what), where);
}

void Input::OpenStreamReader() {
  Source& source = *source_;
  stream::ReaderOptions reader_options;
  reader_options.max_message_size = options_.max_message_size;
  if (source.regular) {
    if (::lseek(source.fd, 0, SEEK_SET) != 0 && path_ != "-") {
      Fail(name_, fmt::format("cannot seek: {}", std::strerror(errno)));
    }
    reader_ = std::make_unique<stream::DelimitedReader>(
        stream::DelimitedReader::FromFd(source.fd, reader_options));
    return;
  }
  if (source.buffer.empty() && !source.buffer_complete) {
    reader_ = std::make_unique<stream::DelimitedReader>(
        stream::DelimitedReader::FromFd(source.fd, reader_options));
    return;
  }
  source.array = std::make_unique<google::protobuf::io::ArrayInputStream>(
      source.buffer.data(), static_cast<int>(source.buffer.size()));
  if (source.buffer_complete) {
    reader_ = std::make_unique<stream::DelimitedReader>(
        stream::DelimitedReader::FromZeroCopyStream(source.array.get(), reader_options));
    return;
  }
  source.file = std::make_unique<google::protobuf::io::FileInputStream>(source.fd);
  source.parts[0] = source.array.get();
  source.parts[1] = source.file.get();
  source.concat = std::make_unique<google::protobuf::io::ConcatenatingInputStream>(source.parts, 2);
  reader_ = std::make_unique<stream::DelimitedReader>(
      stream::DelimitedReader::FromZeroCopyStream(source.concat.get(), reader_options));
}

std::unique_ptr<Message> Input::TakeMessage() { return std::move(message_); }

std::unique_ptr<Message> Input::NewMessage() const {
  return std::unique_ptr<Message>(
      google::protobuf::MessageFactory::generated_factory()->GetPrototype(type_)->New());
}

bool Input::Next(Message* message) {
  const std::uint64_t index = reader_->messages_read();
  const std::uint64_t offset = reader_->byte_offset();
  const stream::ReadResult result = reader_->Read(message);
  index_ = index;
  offset_ = offset;
  if (result.has_message()) return true;
  if (result.is_end_of_stream()) return false;
  FailRead(result);
}

std::uint64_t Input::bytes_read() const { return reader_ ? reader_->byte_offset() : 0; }

std::string Input::Where() const {
  return fmt::format("message {} at byte offset {}", index_, offset_);
}

void Input::FailRead(const stream::ReadResult& result) {
  // The reader says "message N at byte offset M: <what>"; the location goes
  // to the end of our line.
  std::string what = result.error();
  const std::string prefix = Where() + ": ";
  if (what.rfind(prefix, 0) == 0) what = what.substr(prefix.size());
  std::string where = Where();
  if (what.rfind("unparsable", 0) == 0) {
    if (const auto frame = source_->Frame(offset_)) {
      if (frame->bytes.size() < frame->size) {
        what = fmt::format("truncated: length {} runs past the end of the input ({} bytes left)",
                           frame->size, frame->bytes.size());
      } else if (const auto problem = DiagnoseWire(type_, frame->bytes)) {
        what = problem->what;
        if (!problem->path.empty()) where += " / " + problem->path;
      }
    }
  }
  // Nothing good came before: perhaps not a stream at all.
  if (index_ == 0 && what.rfind("read error", 0) != 0) {
    what = type_->full_name() == kDefaultStreamType
               ? "not a ray stream: " + what
               : fmt::format("not a stream of {}: {}", type_->full_name(), what);
  }
  Fail(name_, what, where);
}

}  // namespace cli
}  // namespace common_dto
