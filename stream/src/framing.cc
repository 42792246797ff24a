// Length-delimited reading and writing of message streams.
#include "common_dto/stream/framing.h"

#include <fcntl.h>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl.h>
#include <google/protobuf/reflection.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <istream>
#include <map>
#include <mutex>
#include <ostream>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common_dto/model/field_path.h"
#include "ray_stream_message.pb.h"

namespace common_dto {
namespace stream {
namespace {

using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;
using google::protobuf::io::CodedInputStream;
using google::protobuf::io::CodedOutputStream;

// Frames above this cannot be parsed by the runtime (2 GiB - 1 in all, the
// length prefix included).
constexpr std::size_t kMaxFrame = static_cast<std::size_t>(INT_MAX) - 16;

std::string ErrnoText(int err) { return std::strerror(err); }

// ---- Diagnosis of wire data that does not parse ---------------------------

// The runtime's parser gives up below this nesting depth (messages and
// groups together).
constexpr int kMaxDepth = 100;

// Reads a base-128 varint of at most 10 bytes. As in the runtime's parser,
// bits beyond 64 in the 10th byte are dropped, not refused.
bool ReadVarint(const std::uint8_t** p, const std::uint8_t* end, std::uint64_t* value) {
  std::uint64_t v = 0;
  for (int i = 0; i < 10; ++i) {
    if (*p >= end) return false;
    const std::uint8_t b = *(*p)++;
    v |= static_cast<std::uint64_t>(b & 0x7f) << (7 * i);
    if ((b & 0x80) == 0) {
      *value = v;
      return true;
    }
  }
  return false;
}

bool IsFixedWidth(FieldDescriptor::Type type) {
  switch (type) {
    case FieldDescriptor::TYPE_FIXED32:
    case FieldDescriptor::TYPE_FIXED64:
    case FieldDescriptor::TYPE_SFIXED32:
    case FieldDescriptor::TYPE_SFIXED64:
    case FieldDescriptor::TYPE_FLOAT:
    case FieldDescriptor::TYPE_DOUBLE:
      return true;
    default:
      return false;
  }
}

std::string FormatIntKey(const FieldDescriptor* key, std::uint64_t raw) {
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

// Skips one value of `wire_type` (not a group); false when it is cut off or
// malformed.
bool SkipValue(int wire_type, const std::uint8_t** p, const std::uint8_t* end) {
  std::uint64_t v = 0;
  switch (wire_type) {
    case 0:
      return ReadVarint(p, end, &v);
    case 1:
    case 5: {
      const std::size_t n = wire_type == 1 ? 8 : 4;
      if (static_cast<std::size_t>(end - *p) < n) return false;
      *p += n;
      return true;
    }
    case 2:
      if (!ReadVarint(p, end, &v) || v > static_cast<std::uint64_t>(end - *p)) return false;
      *p += v;
      return true;
    default:
      return false;
  }
}

// "[\"DBZH\"]" or "[7]" after the name of a map field; "[index]" when the
// entry's key cannot be read.
std::string MapLabel(const Descriptor* entry, const std::uint8_t* p, const std::uint8_t* end,
                     int index) {
  const FieldDescriptor* key = entry->FindFieldByNumber(1);
  std::string label = "[" + std::to_string(index) + "]";
  while (key != nullptr && p < end) {
    std::uint64_t tag = 0, value = 0;
    if (!ReadVarint(&p, end, &tag)) break;
    const int wire_type = static_cast<int>(tag & 7);
    const std::uint8_t* value_at = p;
    if ((tag >> 3) == 1 && wire_type == 0 && ReadVarint(&value_at, end, &value) &&
        key->type() != FieldDescriptor::TYPE_STRING) {
      label = "[" + FormatIntKey(key, value) + "]";
    } else if ((tag >> 3) == 1 && wire_type == 2 && ReadVarint(&value_at, end, &value) &&
               value <= static_cast<std::uint64_t>(end - value_at) &&
               key->type() == FieldDescriptor::TYPE_STRING) {
      const std::string_view text(reinterpret_cast<const char*>(value_at),
                                  static_cast<std::size_t>(value));
      if (IsValidUtf8(text)) label = "[\"" + std::string(text) + "\"]";
    }
    if (!SkipValue(wire_type, &p, end)) break;
  }
  return label;
}

// Follows wire data through the descriptors the way the runtime's parser
// does, keeping the field path, and stops at the first problem.
class WireWalker {
 public:
  WireWalker(const std::uint8_t* base, std::string* path) : base_(base), path_(path) {}

  Status Walk(const Descriptor* type, const std::uint8_t* p, const std::uint8_t* end,
              const std::string& path, int depth) {
    const bool map_entry = type->options().map_entry();
    std::map<int, int> seen;  // Occurrences so far, per field number.
    while (p < end) {
      const std::uint8_t* tag_at = p;
      std::uint64_t tag = 0;
      if (!ReadVarint(&p, end, &tag)) {
        return Problem(ErrorCode::kUnparsable,
                       "malformed wire data: a malformed tag in a " + type->full_name(), tag_at,
                       path);
      }
      const std::uint64_t number = tag >> 3;
      const FieldDescriptor* field =
          number > 0 && number <= static_cast<std::uint64_t>(FieldDescriptor::kMaxNumber)
              ? type->FindFieldByNumber(static_cast<int>(number))
              : nullptr;
      std::string here = path;
      if (field != nullptr && !map_entry) {
        here = FieldPath(path, field->name());
        if (field->is_repeated() && !field->is_map()) {
          here += "[" + std::to_string(seen[field->number()]++) + "]";
        }
      }
      Status status = Value(type, field, number, static_cast<int>(tag & 7), tag_at, &p, end, &here,
                            &seen, depth);
      if (!status.ok()) return status;
    }
    return Status::Ok();
  }

 private:
  // One field's value after its tag.
  Status Value(const Descriptor* type, const FieldDescriptor* field, std::uint64_t number,
               int wire_type,
               const std::uint8_t* tag_at, const std::uint8_t** p, const std::uint8_t* end,
               std::string* here, std::map<int, int>* seen, int depth) {
    const std::string name = field != nullptr ? "field " + field->full_name()
                                              : "field number " + std::to_string(number) + " of " +
                                                    type->full_name();
    switch (wire_type) {
      case 0:
      case 1:
      case 5:
        if (!SkipValue(wire_type, p, end)) {
          return Problem(ErrorCode::kUnparsable,
                         (wire_type == 0 ? "malformed varint in " : "truncated value in ") + name,
                         tag_at, *here);
        }
        return Status::Ok();
      case 2: {
        std::uint64_t length = 0;
        if (!ReadVarint(p, end, &length)) {
          return Problem(ErrorCode::kUnparsable, "malformed length in " + name, tag_at, *here);
        }
        if (length > static_cast<std::uint64_t>(end - *p)) {
          return Problem(ErrorCode::kUnparsable,
                         "length " + std::to_string(length) + " of " + name +
                             " runs past the end of its message",
                         tag_at, *here);
        }
        const std::uint8_t* payload = *p;
        *p += length;
        if (field == nullptr) return Status::Ok();
        return Payload(field, payload, *p, here, seen, depth);
      }
      case 3: {
        if (depth >= kMaxDepth) {
          return Problem(ErrorCode::kUnparsable, "nesting too deep in " + name, tag_at, *here);
        }
        Status status = SkipGroup(p, end, depth, name);
        if (!status.ok()) return Problem(status.code(), status.message(), tag_at, *here);
        return Status::Ok();
      }
      default:
        return Problem(ErrorCode::kUnparsable,
                       "malformed wire data (wire type " + std::to_string(wire_type) + ") at " +
                           name,
                       tag_at, *here);
    }
  }

  // The payload of a length-delimited field: UTF-8 of strings, nested
  // messages, packed numbers.
  Status Payload(const FieldDescriptor* field, const std::uint8_t* begin, const std::uint8_t* end,
                 std::string* here, std::map<int, int>* seen, int depth) {
    switch (field->type()) {
      case FieldDescriptor::TYPE_STRING: {
        const std::string_view bytes(reinterpret_cast<const char*>(begin),
                                     static_cast<std::size_t>(end - begin));
        if (IsValidUtf8(bytes)) return Status::Ok();
        return Problem(ErrorCode::kInvalidUtf8, "invalid UTF-8 in field " + field->full_name(),
                       begin, *here, field->full_name());
      }
      case FieldDescriptor::TYPE_BYTES:
        return Status::Ok();
      case FieldDescriptor::TYPE_MESSAGE:
      case FieldDescriptor::TYPE_GROUP:
        if (depth >= kMaxDepth) {
          return Problem(ErrorCode::kUnparsable, "nesting too deep in field " + field->full_name(),
                         begin, *here);
        }
        if (field->is_map()) {
          *here += MapLabel(field->message_type(), begin, end, (*seen)[field->number()]++);
        }
        return Walk(field->message_type(), begin, end, *here, depth + 1);
      default:
        break;
    }
    // A packed list of varints must be well formed.
    if (field->is_repeated() && !IsFixedWidth(field->type())) {
      const std::uint8_t* q = begin;
      std::uint64_t v = 0;
      while (q < end) {
        if (!ReadVarint(&q, end, &v)) {
          return Problem(ErrorCode::kUnparsable,
                         "malformed packed values in field " + field->full_name(), begin, *here);
        }
      }
    }
    return Status::Ok();
  }

  // Skips a group whose start tag was read (groups exist here only as
  // unknown fields). The runtime counts each group level against its depth
  // limit.
  static Status SkipGroup(const std::uint8_t** p, const std::uint8_t* end, int depth,
                          const std::string& name) {
    int level = 1;
    while (level > 0) {
      if (*p >= end) return Status(ErrorCode::kUnparsable, "unterminated group in " + name);
      std::uint64_t tag = 0;
      if (!ReadVarint(p, end, &tag)) {
        return Status(ErrorCode::kUnparsable, "malformed tag in a group in " + name);
      }
      const int wire_type = static_cast<int>(tag & 7);
      if (wire_type == 3) {
        if (depth + ++level > kMaxDepth) {
          return Status(ErrorCode::kUnparsable, "groups nested deeper than " +
                                                    std::to_string(kMaxDepth) + " levels in " +
                                                    name);
        }
      } else if (wire_type == 4) {
        --level;
      } else if (!SkipValue(wire_type, p, end)) {
        return Status(ErrorCode::kUnparsable, "malformed group in " + name);
      }
    }
    return Status::Ok();
  }

  // A problem at `at`; `field` is the full name of a field with invalid
  // UTF-8 (the location's field), `path` where it lies (for *path_).
  Status Problem(ErrorCode code, std::string what, const std::uint8_t* at,
                 const std::string& path, std::string field = {}) const {
    Location location;
    location.byte_offset = static_cast<std::uint64_t>(at - base_);
    location.field = std::move(field);
    if (path_ != nullptr) *path_ = path;
    return Status(code, std::move(what), std::move(location));
  }

  const std::uint8_t* base_;
  std::string* path_;
};

// The start of a writer's error texts for its message `index`.
std::string MessagePrefix(std::uint64_t index) { return "message " + std::to_string(index) + ": "; }

}  // namespace

// ---- Reader ----------------------------------------------------------------

struct DelimitedReader::Impl {
  ReaderOptions options;
  std::unique_ptr<google::protobuf::io::FileInputStream> file_stream;
  std::unique_ptr<google::protobuf::io::IstreamInputStream> istream_stream;
  google::protobuf::io::ZeroCopyInputStream* input = nullptr;
  int owned_fd = -1;
  // For diagnosing unparsable frames: a regular file and the file offset of
  // stream byte 0, or -1.
  int diagnose_fd = -1;
  off_t file_base = 0;
  // For FromBytes(): the bytes read, also used to diagnose (for FromFd()
  // with bytes already consumed: those bytes, read before the descriptor).
  std::string_view memory;
  std::unique_ptr<google::protobuf::io::ArrayInputStream> memory_stream;
  google::protobuf::io::ZeroCopyInputStream* parts[2] = {nullptr, nullptr};
  std::unique_ptr<google::protobuf::io::ConcatenatingInputStream> concat;
  std::int64_t base = 0;  // input->ByteCount() at stream byte 0.
  std::uint64_t index = 0;
  // Stream offset after the last message delivered.
  std::uint64_t delivered_end = 0;
  bool ended = false;
  Status error;
  // ReadBytes(): the frame's bytes when they cannot be viewed in the input,
  // and whether they can (-1: not known yet).
  std::string frame;
  int stable_input = -1;

  ~Impl() {
    concat.reset();
    file_stream.reset();
    if (owned_fd >= 0) ::close(owned_fd);
  }

  // Reads `consumed` (bytes already read from `fd`), then the rest of `fd`.
  void UseFd(int fd, std::string_view consumed = {}) {
    file_stream = std::make_unique<google::protobuf::io::FileInputStream>(fd);
    input = file_stream.get();
    if (!consumed.empty()) {
      memory_stream = std::make_unique<google::protobuf::io::ArrayInputStream>(
          consumed.data(), static_cast<int>(std::min<std::size_t>(consumed.size(), INT_MAX)));
      parts[0] = memory_stream.get();
      parts[1] = file_stream.get();
      concat = std::make_unique<google::protobuf::io::ConcatenatingInputStream>(parts, 2);
      input = concat.get();
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      const off_t at = ::lseek(fd, 0, SEEK_CUR);
      if (at >= static_cast<off_t>(consumed.size())) {
        diagnose_fd = fd;
        file_base = at - static_cast<off_t>(consumed.size());
      }
    }
  }

  std::uint64_t Offset() const { return static_cast<std::uint64_t>(input->ByteCount() - base); }

  ReadResult Fail(ErrorCode code, std::uint64_t offset, const std::string& what,
                  std::string field = {}) {
    Location location;
    location.message_index = index;
    location.byte_offset = offset;
    location.field = std::move(field);
    error = Status(code,
                   "message " + std::to_string(index) + " at byte offset " +
                       std::to_string(offset) + ": " + what,
                   std::move(location));
    return ReadResult::Error(error);
  }

  std::string InputError() const {
    if (file_stream != nullptr && file_stream->GetErrno() != 0) {
      return "read error: " + ErrnoText(file_stream->GetErrno());
    }
    return std::string();
  }

  // What is wrong with the frame whose content starts at `content_offset`,
  // read again from the file; success when the input is no regular file.
  Status Diagnose(const Message& message, std::uint64_t content_offset, std::size_t size) {
    if (memory_stream != nullptr && diagnose_fd < 0) {
      if (content_offset + size > memory.size()) return Status::Ok();
      return DiagnoseWire(message.GetDescriptor(),
                          memory.substr(static_cast<std::size_t>(content_offset), size));
    }
    if (diagnose_fd < 0) return Status::Ok();
    std::string bytes(size, '\0');
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pread(diagnose_fd, &bytes[done], size - done,
                                file_base + static_cast<off_t>(content_offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Status::Ok();
      done += static_cast<std::size_t>(n);
    }
    return DiagnoseWire(message.GetDescriptor(), bytes);
  }

  // Reads and discards what is left of the current frame. Skip() cannot be
  // used: on a file it seeks, and seeking past the end of a file succeeds, so
  // a frame cut off by the end of the file would go unnoticed.
  static bool SkipRest(CodedInputStream* coded) {
    char scratch[4096];
    for (int rest = coded->BytesUntilLimit(); rest > 0; rest = coded->BytesUntilLimit()) {
      if (!coded->ReadRaw(scratch, std::min(rest, static_cast<int>(sizeof scratch)))) return false;
    }
    return true;
  }

  ReadResult Read(Message* message) {
    if (!error.ok()) return ReadResult::Error(error);
    if (ended) return ReadResult::EndOfStream();
    message->Clear();
    ReadResult result = ReadFrame(message, nullptr);
    // Counted once the frame's CodedInputStream has handed back what it
    // read ahead.
    if (result.has_message()) delivered_end = Offset();
    return result;
  }

  ReadResult ReadBytes(std::string_view* bytes) {
    if (!error.ok()) return ReadResult::Error(error);
    if (ended) return ReadResult::EndOfStream();
    if (StableInput() && ViewFrame(bytes)) return ReadResult::Message();
    ReadResult result = ReadFrame(nullptr, bytes);
    if (result.has_message()) delivered_end = Offset();
    return result;
  }

  // The common case of bytes in memory: a whole, well-formed frame within
  // the input's next block, viewed where it is. False, having consumed
  // nothing, for anything else (ReadFrame then reads it).
  bool ViewFrame(std::string_view* bytes) {
    const void* block = nullptr;
    int size = 0;
    if (!input->Next(&block, &size)) return false;
    const auto* p = static_cast<const std::uint8_t*>(block);
    std::uint64_t length = 0;
    int prefix = 0;
    for (bool more = true; more; ++prefix) {
      if (prefix == size || prefix == 5) {  // ReadFrame handles the rest.
        input->BackUp(size);
        return false;
      }
      length |= static_cast<std::uint64_t>(p[prefix] & 0x7f) << (7 * prefix);
      more = (p[prefix] & 0x80) != 0;
    }
    if (length > std::min(options.max_message_size, kMaxFrame) ||
        length > static_cast<std::uint64_t>(size - prefix)) {
      input->BackUp(size);
      return false;
    }
    *bytes = std::string_view(reinterpret_cast<const char*>(p + prefix),
                              static_cast<std::size_t>(length));
    input->BackUp(size - prefix - static_cast<int>(length));
    ++index;
    delivered_end += static_cast<std::uint64_t>(prefix) + length;
    return true;
  }

  // Reads a length prefix into *size. Returns a message result when there
  // is a frame to read, else the end of the stream or the error.
  ReadResult ReadPrefix(CodedInputStream* coded, std::uint64_t offset, std::uint64_t* size,
                        int* prefix_bytes) {
    const std::size_t max_size = std::min(options.max_message_size, kMaxFrame);
    for (;;) {
      std::uint8_t byte = 0;
      if (!coded->ReadRaw(&byte, 1)) {
        const std::string io = InputError();
        if (!io.empty()) return Fail(ErrorCode::kIo, offset, io);
        if (*prefix_bytes == 0) {
          ended = true;
          return ReadResult::EndOfStream();
        }
        return Fail(ErrorCode::kTruncated, offset, "truncated: the length prefix is cut off by the end of the input");
      }
      if (*prefix_bytes == 9 && byte > 1) return Fail(ErrorCode::kMalformed, offset, "malformed length prefix");
      *size |= static_cast<std::uint64_t>(byte & 0x7f) << (7 * *prefix_bytes);
      ++*prefix_bytes;
      if ((byte & 0x80) == 0) break;
      if (*prefix_bytes == 10) return Fail(ErrorCode::kMalformed, offset, "malformed length prefix (over 10 bytes)");
    }
    if (*size > max_size) {
      return Fail(ErrorCode::kTooLarge, offset, "length " + std::to_string(*size) + " exceeds the maximum message size " +
                              std::to_string(max_size));
    }
    return ReadResult::Message();
  }

  ReadResult Truncated(std::uint64_t offset, std::uint64_t size, int prefix_bytes) {
    const std::string io = InputError();
    if (!io.empty()) return Fail(ErrorCode::kIo, offset, io);
    // The failed read has read the input to its end.
    const std::uint64_t left = Offset() - offset - static_cast<std::uint64_t>(prefix_bytes);
    return Fail(ErrorCode::kTruncated, offset, "truncated: length " + std::to_string(size) +
                            " runs past the end of the input (" + std::to_string(left) +
                            " bytes left)");
  }

  // Reads one frame: parses it into *message, or, with message null, hands
  // out its bytes in *bytes.
  ReadResult ReadFrame(Message* message, std::string_view* bytes) {
    const std::uint64_t offset = Offset();
    CodedInputStream coded(input);
    std::uint64_t size = 0;
    int prefix_bytes = 0;
    ReadResult prefix = ReadPrefix(&coded, offset, &size, &prefix_bytes);
    if (!prefix.has_message()) return prefix;
    const int frame_start = coded.CurrentPosition();
    const int length = static_cast<int>(size);
    if (message == nullptr) {
      if (!FrameBytes(&coded, length, bytes)) return Truncated(offset, size, prefix_bytes);
      ++index;
      return ReadResult::Message();
    }
    const CodedInputStream::Limit limit = coded.PushLimit(length);
    const bool parsed = message->ParseFromCodedStream(&coded) && coded.ConsumedEntireMessage();
    if (!parsed || coded.CurrentPosition() - frame_start != length) {
      if (!SkipRest(&coded)) return Truncated(offset, size, prefix_bytes);
      const Status problem = Diagnose(*message, offset + static_cast<std::uint64_t>(prefix_bytes),
                                      static_cast<std::size_t>(size));
      const std::string detail = problem.ok()
                                     ? "malformed wire data or invalid UTF-8 in a string field"
                                     : problem.message();
      return Fail(problem.ok() ? ErrorCode::kUnparsable : problem.code(), offset,
                  "unparsable " + message->GetDescriptor()->full_name() + " (length " +
                      std::to_string(size) + "): " + detail,
                  problem.location().field);
    }
    coded.PopLimit(limit);
    ++index;
    return ReadResult::Message();
  }

  // The `length` bytes of a frame: a view of the input where it is bytes in
  // memory that stay put (FromBytes, an ArrayInputStream), else a copy in
  // `frame`, grown as the bytes arrive so that a length prefix alone
  // allocates nothing.
  bool FrameBytes(CodedInputStream* coded, int length, std::string_view* bytes) {
    const void* data = nullptr;
    int available = 0;
    if (StableInput() && coded->GetDirectBufferPointer(&data, &available) &&
        available >= length) {
      *bytes = std::string_view(static_cast<const char*>(data), static_cast<std::size_t>(length));
      return coded->Skip(length);
    }
    frame.clear();
    constexpr int kChunk = 1 << 20;
    for (int done = 0; done < length;) {
      const int n = std::min(kChunk, length - done);
      frame.resize(static_cast<std::size_t>(done + n));
      if (!coded->ReadRaw(&frame[static_cast<std::size_t>(done)], n)) return false;
      done += n;
    }
    *bytes = frame;
    return true;
  }

  bool StableInput() {
    if (stable_input < 0) {
      stable_input = (input == memory_stream.get() && concat == nullptr) ||
                     dynamic_cast<google::protobuf::io::ArrayInputStream*>(input) != nullptr;
    }
    return stable_input == 1;
  }
};

DelimitedReader::DelimitedReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DelimitedReader::DelimitedReader(DelimitedReader&&) noexcept = default;
DelimitedReader& DelimitedReader::operator=(DelimitedReader&&) noexcept = default;
DelimitedReader::~DelimitedReader() = default;

DelimitedReader DelimitedReader::FromFd(int fd, ReaderOptions options) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->UseFd(fd);
  return DelimitedReader(std::move(impl));
}

DelimitedReader DelimitedReader::FromFd(int fd, std::string_view consumed, ReaderOptions options) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->memory = consumed;
  impl->UseFd(fd, consumed);
  return DelimitedReader(std::move(impl));
}

DelimitedReader DelimitedReader::FromFile(const std::string& path, ReaderOptions options) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    impl->error = Status(ErrorCode::kIo, "cannot open " + path + ": " + ErrnoText(errno));
    static google::protobuf::io::ArrayInputStream empty(nullptr, 0);
    impl->input = &empty;
  } else {
    impl->owned_fd = fd;
    impl->UseFd(fd);
  }
  return DelimitedReader(std::move(impl));
}

DelimitedReader DelimitedReader::FromStream(std::istream& in, ReaderOptions options) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->istream_stream = std::make_unique<google::protobuf::io::IstreamInputStream>(&in);
  impl->input = impl->istream_stream.get();
  return DelimitedReader(std::move(impl));
}

DelimitedReader DelimitedReader::FromZeroCopyStream(google::protobuf::io::ZeroCopyInputStream* in,
                                                    ReaderOptions options) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->input = in;
  impl->base = in->ByteCount();
  return DelimitedReader(std::move(impl));
}

DelimitedReader DelimitedReader::FromBytes(std::string_view bytes, ReaderOptions options) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->memory = bytes;
  impl->memory_stream = std::make_unique<google::protobuf::io::ArrayInputStream>(
      bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX)));
  impl->input = impl->memory_stream.get();
  return DelimitedReader(std::move(impl));
}

ReadResult DelimitedReader::Read(Message* message) { return impl_->Read(message); }
ReadResult DelimitedReader::ReadBytes(std::string_view* bytes) { return impl_->ReadBytes(bytes); }

Status DiagnoseWire(const Descriptor* type, std::string_view data, std::string* path) {
  const auto* begin = reinterpret_cast<const std::uint8_t*>(data.data());
  return WireWalker(begin, path).Walk(type, begin, begin + data.size(), std::string(), 0);
}
Status DelimitedReader::status() const { return impl_->error; }
std::uint64_t DelimitedReader::messages_read() const { return impl_->index; }
std::uint64_t DelimitedReader::byte_offset() const { return impl_->delivered_end; }

// ---- Writer ----------------------------------------------------------------

struct DelimitedWriter::Impl {
  WriterOptions options;
  int owned_fd = -1;
  std::unique_ptr<google::protobuf::io::FileOutputStream> file_stream;
  std::ostream* ostream = nullptr;
  std::unique_ptr<google::protobuf::io::OstreamOutputStream> ostream_stream;
  google::protobuf::io::ZeroCopyOutputStream* output = nullptr;
  std::uint64_t count = 0;
  std::uint64_t bytes = 0;
  bool closed = false;
  Status error;

  ~Impl() {
    // The destructor's errors are lost, as the header says.
    if (!closed) static_cast<void>(Close());
  }

  Status Fail(const std::string& what) {
    error = Status(ErrorCode::kIo, what);
    return error;
  }

  std::string OutputError() const {
    if (file_stream != nullptr && file_stream->GetErrno() != 0) {
      return "write error: " + ErrnoText(file_stream->GetErrno());
    }
    if (ostream != nullptr && !ostream->good()) return "write error on the output stream";
    return "write error";
  }

  Status Write(const Message& message) {
    if (!error.ok()) return error;
    if (closed) return Status(ErrorCode::kInvalidArgument, "message " + std::to_string(count) + ": the writer is closed");
    if (options.check_utf8) {
      Status s = CheckUtf8(message);
      if (!s.ok()) return s.Wrap(MessagePrefix(count));
    }
    const std::size_t size = message.ByteSizeLong();
    if (size > kMaxFrame) {
      return Status(ErrorCode::kTooLarge, MessagePrefix(count) + std::to_string(size) +
                           " bytes exceed the 2 GiB limit");
    }
    {
      CodedOutputStream coded(output);
      coded.SetSerializationDeterministic(options.deterministic);
      coded.WriteVarint32(static_cast<std::uint32_t>(size));
      message.SerializeWithCachedSizes(&coded);
      if (coded.HadError()) return Fail(MessagePrefix(count) + OutputError());
      bytes += static_cast<std::uint64_t>(coded.ByteCount());
    }
    ++count;
    if (options.flush_each_message) return Flush();
    return Status::Ok();
  }

  // Writes a frame of `head` then `tail`, copying them into the output's
  // buffers as they come.
  Status WriteSerialized(std::string_view head, std::string_view tail) {
    if (!error.ok()) return error;
    if (closed) return Status(ErrorCode::kInvalidArgument, "message " + std::to_string(count) + ": the writer is closed");
    const std::size_t size = head.size() + tail.size();
    if (size > kMaxFrame) {
      return Status(ErrorCode::kTooLarge, MessagePrefix(count) + std::to_string(size) +
                           " bytes exceed the 2 GiB limit");
    }
    std::uint8_t prefix[5];
    const std::uint8_t* prefix_end =
        CodedOutputStream::WriteVarint32ToArray(static_cast<std::uint32_t>(size), prefix);
    const std::string_view pieces[3] = {
        std::string_view(reinterpret_cast<const char*>(prefix),
                         static_cast<std::size_t>(prefix_end - prefix)),
        head, tail};
    void* data = nullptr;
    int room = 0;
    for (std::string_view piece : pieces) {
      while (!piece.empty()) {
        if (room == 0 && !output->Next(&data, &room)) return Fail(MessagePrefix(count) + OutputError());
        const std::size_t n = std::min(piece.size(), static_cast<std::size_t>(room));
        std::memcpy(data, piece.data(), n);
        data = static_cast<char*>(data) + n;
        room -= static_cast<int>(n);
        piece.remove_prefix(n);
      }
    }
    if (room > 0) output->BackUp(room);
    bytes += static_cast<std::uint64_t>(pieces[0].size() + size);
    ++count;
    if (options.flush_each_message) return Flush();
    return Status::Ok();
  }

  Status Flush() {
    if (!error.ok()) return error;
    if (file_stream != nullptr && !file_stream->Flush()) return Fail(OutputError());
    if (ostream_stream != nullptr) {
      ostream_stream.reset();  // Hands its buffer to the std::ostream.
      ostream->flush();
      ostream_stream = std::make_unique<google::protobuf::io::OstreamOutputStream>(ostream);
      output = ostream_stream.get();
      if (!ostream->good()) return Fail(OutputError());
    }
    return Status::Ok();
  }

  Status Close() {
    if (closed) return error;
    Status status = Flush();
    if (file_stream != nullptr && owned_fd >= 0) {
      if (!file_stream->Close() && status.ok()) status = Fail(OutputError());
      owned_fd = -1;
    }
    file_stream.reset();
    ostream_stream.reset();
    closed = true;
    return status;
  }
};

DelimitedWriter::DelimitedWriter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DelimitedWriter::DelimitedWriter(DelimitedWriter&&) noexcept = default;
DelimitedWriter& DelimitedWriter::operator=(DelimitedWriter&&) noexcept = default;
DelimitedWriter::~DelimitedWriter() = default;

DelimitedWriter DelimitedWriter::ToFd(int fd, WriterOptions options) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->file_stream = std::make_unique<google::protobuf::io::FileOutputStream>(fd);
  impl->output = impl->file_stream.get();
  return DelimitedWriter(std::move(impl));
}

DelimitedWriter DelimitedWriter::ToFile(const std::string& path, WriterOptions options) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    impl->error = Status(ErrorCode::kIo, "cannot create " + path + ": " + ErrnoText(errno));
    impl->closed = true;
    return DelimitedWriter(std::move(impl));
  }
  DelimitedWriter writer = ToFd(fd, options);
  writer.impl_->owned_fd = fd;
  return writer;
}

DelimitedWriter DelimitedWriter::ToStream(std::ostream& out, WriterOptions options) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->ostream = &out;
  impl->ostream_stream = std::make_unique<google::protobuf::io::OstreamOutputStream>(&out);
  impl->output = impl->ostream_stream.get();
  return DelimitedWriter(std::move(impl));
}

DelimitedWriter DelimitedWriter::ToZeroCopyStream(google::protobuf::io::ZeroCopyOutputStream* out,
                                                  WriterOptions options) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->output = out;
  return DelimitedWriter(std::move(impl));
}

Status DelimitedWriter::Write(const Message& message) { return impl_->Write(message); }
Status DelimitedWriter::WriteSerialized(std::string_view head, std::string_view tail) {
  return impl_->WriteSerialized(head, tail);
}
Status DelimitedWriter::Flush() { return impl_->Flush(); }
Status DelimitedWriter::Close() { return impl_->Close(); }
Status DelimitedWriter::status() const { return impl_->error; }
std::uint64_t DelimitedWriter::messages_written() const { return impl_->count; }
std::uint64_t DelimitedWriter::bytes_written() const { return impl_->bytes; }

}  // namespace stream
}  // namespace common_dto
