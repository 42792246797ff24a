// DelimitedReader over arbitrary bytes, from memory in small blocks, from an
// std::istream and from a file descriptor (a memfd, which reads as a regular
// file and so also exercises the diagnosis of unparsable frames). Every
// reader must deliver exactly the frames a plain reference reading delivers,
// end the same way, and repeat its error. ReadBytes() must deliver the
// frames' bytes, and an assembler given them must answer as one given the
// parsed messages.
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "common_dto/stream/assembler.h"
#include "common_dto/stream/framing.h"
#include "fuzz_support.h"
#include "instrument_data.pb.h"
#include "ray_stream_message.pb.h"

using common_dto::stream::DelimitedReader;
using common_dto::stream::ReaderOptions;
using common_dto::stream::ReadResult;

namespace {

constexpr std::size_t kMaxSizes[] = {0, 16, 300, 1 << 20};

// The frames of `data` by the format's rules alone.
struct Reference {
  std::vector<std::string> messages;  // Deterministic bytes of each message.
  std::vector<std::uint64_t> ends;    // Offset after each frame.
  bool error = false;                 // Else a clean end.
};

Reference ReadReference(const google::protobuf::Message& prototype, const std::uint8_t* p,
                        std::size_t size, std::size_t max_size) {
  Reference ref;
  const std::uint8_t* const begin = p;
  const std::uint8_t* const end = p + size;
  std::unique_ptr<google::protobuf::Message> message(prototype.New());
  while (p < end) {
    std::uint64_t length = 0;
    int i = 0;
    for (;; ++i) {
      if (i == 10 || p >= end) {
        ref.error = true;
        return ref;
      }
      const std::uint8_t b = *p++;
      if (i == 9 && b > 1) {
        ref.error = true;
        return ref;
      }
      length |= static_cast<std::uint64_t>(b & 0x7f) << (7 * i);
      if ((b & 0x80) == 0) break;
    }
    if (length > max_size || length > static_cast<std::uint64_t>(end - p) ||
        !message->ParseFromArray(p, static_cast<int>(length))) {
      ref.error = true;
      return ref;
    }
    p += length;
    ref.messages.push_back(common_dto_fuzz::Serialize(*message));
    ref.ends.push_back(static_cast<std::uint64_t>(p - begin));
  }
  return ref;
}

void Check(DelimitedReader reader, const google::protobuf::Message& prototype,
           const Reference& ref) {
  std::unique_ptr<google::protobuf::Message> message(prototype.New());
  std::size_t n = 0;
  ReadResult r;
  while ((r = reader.Read(message.get()))) {
    FUZZ_CHECK(n < ref.messages.size(), "the reader delivered more messages than there are");
    FUZZ_CHECK(common_dto_fuzz::Serialize(*message) == ref.messages[n],
               "message " + std::to_string(n) + " differs");
    ++n;
    FUZZ_CHECK(reader.messages_read() == n, "messages_read() is off");
    FUZZ_CHECK(reader.byte_offset() == ref.ends[n - 1], "byte_offset() is off");
  }
  FUZZ_CHECK(n == ref.messages.size(), "the reader stopped early: " + r.error());
  FUZZ_CHECK(r.is_error() == ref.error, "the reader ended differently: '" + r.error() + "'");
  if (r.is_error()) {
    FUZZ_CHECK(!r.error().empty(), "an error without text");
    FUZZ_CHECK(r.error().rfind("message " + std::to_string(n) + " at byte offset ", 0) == 0,
               "the error does not name the message: " + r.error());
    const ReadResult again = reader.Read(message.get());
    FUZZ_CHECK(again.is_error() && again.error() == r.error(), "the error is not repeated");
    FUZZ_CHECK(!reader.status().ok(), "status() is ok after an error");
  } else {
    FUZZ_CHECK(reader.Read(message.get()).is_end_of_stream(), "no end of stream after the end");
  }
}

// The frames of `data` by the length prefixes alone: what ReadBytes()
// delivers, parsed or not.
struct Frames {
  std::vector<std::string_view> bytes;
  std::vector<std::uint64_t> ends;
  bool error = false;
};

Frames ReadFrames(const std::uint8_t* p, std::size_t size, std::size_t max_size) {
  Frames out;
  const std::uint8_t* const begin = p;
  const std::uint8_t* const end = p + size;
  while (p < end) {
    std::uint64_t length = 0;
    for (int i = 0;; ++i) {
      if (i == 10 || p >= end || (i == 9 && *p > 1)) {
        out.error = true;
        return out;
      }
      const std::uint8_t b = *p++;
      length |= static_cast<std::uint64_t>(b & 0x7f) << (7 * i);
      if ((b & 0x80) == 0) break;
    }
    if (length > max_size || length > static_cast<std::uint64_t>(end - p)) {
      out.error = true;
      return out;
    }
    out.bytes.emplace_back(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
    p += length;
    out.ends.push_back(static_cast<std::uint64_t>(p - begin));
  }
  return out;
}

// ReadBytes() delivers the frames; for ray streams, an assembler given each
// frame's bytes answers as one given the parsed message does (and refuses
// as unparsable what the runtime cannot parse).
void CheckBytes(DelimitedReader reader, const Frames& ref, bool ray_stream) {
  common_dto::stream::Assembler serialized, parsed;
  std::string_view bytes;
  std::size_t n = 0;
  ReadResult r;
  while ((r = reader.ReadBytes(&bytes))) {
    FUZZ_CHECK(n < ref.bytes.size() && bytes == ref.bytes[n],
               "ReadBytes() delivered other bytes as frame " + std::to_string(n));
    FUZZ_CHECK(reader.byte_offset() == ref.ends[n], "byte_offset() is off after ReadBytes()");
    ++n;
    if (!ray_stream) continue;
    const common_dto::Status a = serialized.AddSerialized(bytes);
    kyt::pb::stream::RayStreamMessage message;
    if (!message.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
      FUZZ_CHECK(a.code() == common_dto::ErrorCode::kUnparsable ||
                     a.code() == common_dto::ErrorCode::kInvalidUtf8,
                 "bytes the runtime cannot parse were taken: " + a.message());
      continue;
    }
    const common_dto::Status b = parsed.Add(std::move(message));
    FUZZ_CHECK(a.code() == b.code() && a.message() == b.message(),
               "serialized, a message gave '" + a.message() + "' instead of '" + b.message() + "'");
  }
  FUZZ_CHECK(n == ref.bytes.size(), "ReadBytes() stopped early: " + r.error());
  FUZZ_CHECK(r.is_error() == ref.error, "ReadBytes() ended differently: '" + r.error() + "'");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  common_dto_fuzz::QuietRuntime();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // First byte: source (2 bits), limit (2 bits), message type (1 bit),
  // block size for memory (3 bits).
  const std::uint8_t mode = data[0];
  ++data;
  --size;
  ReaderOptions options;
  options.max_message_size = kMaxSizes[(mode >> 2) & 3];
  static const kyt::pb::stream::RayStreamMessage stream_message;
  static const kyt::pb::common::InstrumentData instrument_data;
  const google::protobuf::Message& prototype =
      (mode & 16) != 0 ? static_cast<const google::protobuf::Message&>(instrument_data)
                       : stream_message;
  const Reference ref = ReadReference(prototype, data, size, options.max_message_size);
  const Frames frames =
      ReadFrames(data, size, std::min(options.max_message_size, std::size_t{0x7fffffff}));
  const bool ray_stream = (mode & 16) == 0;

  switch (mode & 3) {
    case 0:
    case 1: {
      const int block = (mode & 1) != 0 ? 1 + (mode >> 5) : -1;
      google::protobuf::io::ArrayInputStream in(data, static_cast<int>(size), block);
      Check(DelimitedReader::FromZeroCopyStream(&in, options), prototype, ref);
      google::protobuf::io::ArrayInputStream again(data, static_cast<int>(size), block);
      CheckBytes(DelimitedReader::FromZeroCopyStream(&again, options), frames, ray_stream);
      break;
    }
    case 2: {
      std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
      Check(DelimitedReader::FromStream(in, options), prototype, ref);
      std::istringstream again(std::string(reinterpret_cast<const char*>(data), size));
      CheckBytes(DelimitedReader::FromStream(again, options), frames, ray_stream);
      break;
    }
    case 3: {
      const int fd = memfd_create("stream_reader_fuzzer", MFD_CLOEXEC);
      FUZZ_CHECK(fd >= 0, "memfd_create failed");
      std::size_t done = 0;
      while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        FUZZ_CHECK(n > 0, "write to the memfd failed");
        done += static_cast<std::size_t>(n);
      }
      FUZZ_CHECK(::lseek(fd, 0, SEEK_SET) == 0, "lseek failed");
      Check(DelimitedReader::FromFd(fd, options), prototype, ref);
      FUZZ_CHECK(::lseek(fd, 0, SEEK_SET) == 0, "lseek failed");
      CheckBytes(DelimitedReader::FromFd(fd, options), frames, ray_stream);
      ::close(fd);
      break;
    }
  }
  return 0;
}
