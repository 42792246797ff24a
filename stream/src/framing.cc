// Length-delimited reading and writing of message streams.
#include "common_dto/stream/framing.h"

#include <fcntl.h>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl.h>
#include <google/protobuf/reflection.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <istream>
#include <mutex>
#include <ostream>
#include <unordered_map>
#include <unordered_set>
#include <vector>

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

// ---- Diagnosis of a frame that does not parse -----------------------------

// Walks wire data against `type` and names the first problem the runtime's
// parser would stop at: invalid UTF-8 in a string field, or malformed data.
// Empty when nothing is found.
class WireWalker {
 public:
  std::string Walk(const Descriptor* type, std::string_view data, int depth) {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const unsigned char* end = p + data.size();
    while (p < end) {
      std::uint64_t tag = 0;
      if (!Varint(&p, end, &tag)) return Malformed(type, "a malformed tag");
      const int number = static_cast<int>(tag >> 3);
      const int wire_type = static_cast<int>(tag & 7);
      const FieldDescriptor* field =
          type == nullptr || number <= 0 ? nullptr : type->FindFieldByNumber(number);
      const std::string where =
          field != nullptr  ? "field " + field->full_name()
          : type != nullptr ? "field number " + std::to_string(number) + " of " + type->full_name()
                            : "an unknown group";
      std::uint64_t value = 0;
      switch (wire_type) {
        case 0:
          if (!Varint(&p, end, &value)) return "malformed varint in " + where;
          break;
        case 1:
        case 5: {
          const std::size_t n = wire_type == 1 ? 8 : 4;
          if (static_cast<std::size_t>(end - p) < n) return "truncated value in " + where;
          p += n;
          break;
        }
        case 2: {
          if (!Varint(&p, end, &value)) return "malformed length in " + where;
          if (value > static_cast<std::uint64_t>(end - p)) {
            return "length " + std::to_string(value) + " of " + where +
                   " runs past the end of its message";
          }
          std::string_view payload(reinterpret_cast<const char*>(p),
                                   static_cast<std::size_t>(value));
          p += value;
          if (field == nullptr) break;
          if (field->type() == FieldDescriptor::TYPE_STRING) {
            if (!IsValidUtf8(payload)) return "invalid UTF-8 in " + where;
          } else if (field->type() == FieldDescriptor::TYPE_MESSAGE) {
            if (depth >= 100) return "nesting too deep in " + where;
            std::string inner = Walk(field->message_type(), payload, depth + 1);
            if (!inner.empty()) return inner;
          }
          break;
        }
        case 3: {
          // A group (only in unknown fields here): skip to its end tag.
          if (depth >= 100) return "nesting too deep in " + where;
          int level = 1;
          while (level > 0) {
            if (p >= end) return "unterminated group in " + where;
            std::uint64_t t = 0;
            if (!Varint(&p, end, &t)) return "malformed tag in a group in " + where;
            const int wt = static_cast<int>(t & 7);
            if (wt == 3) {
              // The runtime's parser counts each group level against its
              // recursion limit.
              if (depth + ++level > 100) return "groups nested deeper than 100 levels in " + where;
            } else if (wt == 4) {
              --level;
            } else if (!SkipValue(wt, &p, end)) {
              return "malformed group in " + where;
            }
          }
          break;
        }
        default:
          return "malformed wire data (wire type " + std::to_string(wire_type) + ") at " + where;
      }
    }
    return std::string();
  }

 private:
  static bool Varint(const unsigned char** p, const unsigned char* end, std::uint64_t* value) {
    std::uint64_t v = 0;
    for (int i = 0; i < 10; ++i) {
      if (*p >= end) return false;
      const unsigned char b = *(*p)++;
      v |= static_cast<std::uint64_t>(b & 0x7f) << (7 * i);
      if ((b & 0x80) == 0) {
        *value = v;
        return true;
      }
    }
    return false;
  }
  static bool SkipValue(int wire_type, const unsigned char** p, const unsigned char* end) {
    std::uint64_t v = 0;
    switch (wire_type) {
      case 0:
        return Varint(p, end, &v);
      case 1:
      case 5: {
        const std::size_t n = wire_type == 1 ? 8 : 4;
        if (static_cast<std::size_t>(end - *p) < n) return false;
        *p += n;
        return true;
      }
      case 2:
        if (!Varint(p, end, &v) || v > static_cast<std::uint64_t>(end - *p)) return false;
        *p += v;
        return true;
      default:
        return false;
    }
  }
  static std::string Malformed(const Descriptor* type, const char* what) {
    return std::string("malformed wire data: ") + what +
           (type != nullptr ? " in a " + type->full_name() : std::string());
  }
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
  std::int64_t base = 0;  // input->ByteCount() at stream byte 0.
  std::uint64_t index = 0;
  bool ended = false;
  Status error;

  ~Impl() {
    file_stream.reset();
    if (owned_fd >= 0) ::close(owned_fd);
  }

  void UseFd(int fd) {
    file_stream = std::make_unique<google::protobuf::io::FileInputStream>(fd);
    input = file_stream.get();
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      const off_t at = ::lseek(fd, 0, SEEK_CUR);
      if (at >= 0) {
        diagnose_fd = fd;
        file_base = at;
      }
    }
  }

  std::uint64_t Offset() const { return static_cast<std::uint64_t>(input->ByteCount() - base); }

  ReadResult Fail(ErrorCode code, std::uint64_t offset, const std::string& what) {
    Location location;
    location.message_index = index;
    location.byte_offset = offset;
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

  std::string Diagnose(const Message& message, std::uint64_t content_offset, std::size_t size) {
    if (diagnose_fd < 0) return std::string();
    std::string bytes(size, '\0');
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pread(diagnose_fd, &bytes[done], size - done,
                                file_base + static_cast<off_t>(content_offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::string();
      done += static_cast<std::size_t>(n);
    }
    return WireWalker().Walk(message.GetDescriptor(), bytes, 0);
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
    const std::uint64_t offset = Offset();
    const std::size_t max_size = std::min(options.max_message_size, kMaxFrame);

    CodedInputStream coded(input);
    std::uint64_t size = 0;
    int prefix_bytes = 0;
    for (;;) {
      std::uint8_t byte = 0;
      if (!coded.ReadRaw(&byte, 1)) {
        const std::string io = InputError();
        if (!io.empty()) return Fail(ErrorCode::kIo, offset, io);
        if (prefix_bytes == 0) {
          ended = true;
          return ReadResult::EndOfStream();
        }
        return Fail(ErrorCode::kTruncated, offset, "truncated: the length prefix is cut off by the end of the input");
      }
      if (prefix_bytes == 9 && byte > 1) return Fail(ErrorCode::kMalformed, offset, "malformed length prefix");
      size |= static_cast<std::uint64_t>(byte & 0x7f) << (7 * prefix_bytes);
      ++prefix_bytes;
      if ((byte & 0x80) == 0) break;
      if (prefix_bytes == 10) return Fail(ErrorCode::kMalformed, offset, "malformed length prefix (over 10 bytes)");
    }
    if (size > max_size) {
      return Fail(ErrorCode::kTooLarge, offset, "length " + std::to_string(size) + " exceeds the maximum message size " +
                              std::to_string(max_size));
    }
    const int frame_start = coded.CurrentPosition();
    const int length = static_cast<int>(size);
    const CodedInputStream::Limit limit = coded.PushLimit(length);
    const bool parsed = message->ParseFromCodedStream(&coded) && coded.ConsumedEntireMessage();
    if (!parsed || coded.CurrentPosition() - frame_start != length) {
      if (!SkipRest(&coded)) {
        const std::string io = InputError();
        if (!io.empty()) return Fail(ErrorCode::kIo, offset, io);
        // The failed skip has read the input to its end.
        const std::uint64_t left = Offset() - offset - static_cast<std::uint64_t>(prefix_bytes);
        return Fail(ErrorCode::kTruncated, offset, "truncated: length " + std::to_string(size) +
                                " runs past the end of the input (" + std::to_string(left) +
                                " bytes left)");
      }
      std::string detail = Diagnose(*message, offset + static_cast<std::uint64_t>(prefix_bytes),
                                    static_cast<std::size_t>(size));
      if (detail.empty()) detail = "malformed wire data or invalid UTF-8 in a string field";
      return Fail(ErrorCode::kUnparsable, offset, "unparsable " + message->GetDescriptor()->full_name() + " (length " +
                              std::to_string(size) + "): " + detail);
    }
    coded.PopLimit(limit);
    ++index;
    return ReadResult::Message();
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

ReadResult DelimitedReader::Read(Message* message) { return impl_->Read(message); }
Status DelimitedReader::status() const { return impl_->error; }
std::uint64_t DelimitedReader::messages_read() const { return impl_->index; }
std::uint64_t DelimitedReader::byte_offset() const { return impl_->Offset(); }

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
    if (!closed) Close();
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
Status DelimitedWriter::Flush() { return impl_->Flush(); }
Status DelimitedWriter::Close() { return impl_->Close(); }
Status DelimitedWriter::status() const { return impl_->error; }
std::uint64_t DelimitedWriter::messages_written() const { return impl_->count; }
std::uint64_t DelimitedWriter::bytes_written() const { return impl_->bytes; }

}  // namespace stream
}  // namespace common_dto
