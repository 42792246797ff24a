// Framing of message streams: files, pipes and sockets that carry a
// sequence of Protocol Buffers messages (usually kyt.pb.stream.RayStreamMessage).
//
// Frame format
// ------------
// Each message is preceded by its serialized size in bytes, written as a
// base-128 varint (the encoding of a uint32 field: 7 bits per byte, least
// significant group first, high bit set on every byte but the last). Then
// follow exactly that many bytes of the message's binary encoding. Nothing
// else: no header, no trailer, no checksum, no padding. A stream ends at the
// end of the file (or when the peer closes the connection) at a frame
// boundary.
//
// This is the convention of the Protocol Buffers runtime's delimited-message
// utilities (C++ google::protobuf::util::SerializeDelimitedToZeroCopyStream /
// ParseDelimitedFromZeroCopyStream, Java MessageLite.writeDelimitedTo /
// Parser.parseDelimitedFrom, Python's _VarintBytes(len) + bytes), so peers in
// other languages read and write these streams with their stock functions.
//
// Example: a RayStreamMessage holding an empty RayEnd is the two bytes 2a 00;
// framed it is 02 2a 00.
//
// Reading
// -------
// DelimitedReader never trusts a length prefix: a length above
// ReaderOptions::max_message_size is an error before anything is allocated
// for it, and a message is parsed straight from the input, so memory stays
// bounded by one message however long the stream is. Every message before
// a damaged frame is delivered; the damaged frame yields an error naming the
// message's index (0-based) and the byte offset of its length prefix, for
// example
//   message 3 at byte offset 1234: truncated: length 500 runs past the end
//   of the input (120 bytes left)
// Errors are: a length prefix cut off by the end of the input, a malformed
// length prefix, a length above the limit, a frame running past the end of
// the input, and a frame whose bytes do not parse as the message (malformed
// wire data or a string field holding invalid UTF-8; when the input is a
// regular file or bytes in memory the error names the offending field, see
// DiagnoseWire()). After an error the
// reader stays failed and returns the same error again.
//
// Writing
// -------
// DelimitedWriter refuses, with an error naming the field by its full name
// (such as "kyt.pb.stream.VolumeConfigUri.endpoint"), a message with invalid
// UTF-8 in a string field, map key or map value at any depth: the runtime
// would write such a message and its peers would fail to parse it. Nothing
// of a refused message is written; the stream stays usable.
//
// Diagnosis
// ---------
// DiagnoseWire() walks wire data the way the runtime's parser does and
// names the first thing the parser would stop at. The reader uses it on a
// frame that does not parse (read again from a regular file; other inputs
// cannot be read twice and get the generic text), and so do programs that
// hold a message's bytes in memory.
//
// Neither class is thread-safe; use one object per thread.
#pragma once

#include <google/protobuf/io/zero_copy_stream.h>
#include <google/protobuf/message.h>

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include "common_dto/model/status.h"
#include "common_dto/model/utf8.h"
#include "common_dto/stream/export.h"

namespace common_dto {
namespace stream {

// Largest message a reader accepts unless told otherwise: 256 MiB.
inline constexpr std::size_t kDefaultMaxMessageSize = std::size_t{256} << 20;

// The outcome of DelimitedReader::Read: a message, the end of the stream,
// or an error. Converts to true only when a message was read, so that
//   ReadResult r;
//   while ((r = reader.Read(&message))) { ... }
//   if (r.is_error()) { ... r.error() ... }
// reads a whole stream.
class ReadResult {
 public:
  enum class Kind { kMessage, kEndOfStream, kError };

  static ReadResult Message() { return ReadResult(Kind::kMessage, {}); }
  static ReadResult EndOfStream() { return ReadResult(Kind::kEndOfStream, {}); }
  static ReadResult Error(Status status) { return ReadResult(Kind::kError, std::move(status)); }

  ReadResult() = default;  // End of stream.

  Kind kind() const { return kind_; }
  bool has_message() const { return kind_ == Kind::kMessage; }
  bool is_end_of_stream() const { return kind_ == Kind::kEndOfStream; }
  bool is_error() const { return kind_ == Kind::kError; }
  // The error, with its code and location (message index, byte offset and,
  // where known, the field); success unless is_error().
  const Status& status() const { return status_; }
  // The error text; empty unless is_error().
  const std::string& error() const { return status_.message(); }
  explicit operator bool() const { return has_message(); }

 private:
  ReadResult(Kind kind, Status status) : kind_(kind), status_(std::move(status)) {}

  Kind kind_ = Kind::kEndOfStream;
  Status status_;
};

struct ReaderOptions {
  // A length prefix above this is an error (checked before allocating).
  // Values above 2 GiB - 1 are treated as 2 GiB - 1, the runtime's limit.
  std::size_t max_message_size = kDefaultMaxMessageSize;
};

// The first problem the runtime's parser would fail on in `data` taken as a
// `type` message, or success when none is found: invalid UTF-8 in a string
// field (kInvalidUtf8, the location's `field` holding the field's full
// name), else kUnparsable (malformed tags, varints and lengths, values
// running past the end of their message, wire types 4, 6 and 7, nesting
// deeper than 100 levels). The location's byte_offset is the offset in
// `data` of the field's tag (of the string's bytes for kInvalidUtf8). When
// `path` is given it receives the path of the field that holds the
// problem, such as volume.sweep[2].sweep_moments["DBZH"].data (empty at
// the top level). The Python package's reader mirrors this diagnosis.
COMMON_DTO_STREAM_EXPORT Status DiagnoseWire(const google::protobuf::Descriptor* type,
                                             std::string_view data, std::string* path = nullptr);

// Reads length-delimited messages of any type, one at a time.
class COMMON_DTO_STREAM_EXPORT DelimitedReader {
 public:
  // Reads from an open file descriptor (file, pipe or socket), which the
  // reader neither closes nor seeks.
  static DelimitedReader FromFd(int fd, ReaderOptions options = {});
  // As above, for a descriptor from which the stream's first bytes have
  // already been read (to find out what the input is): reads `consumed`
  // first, which must outlive the reader, then the rest of `fd`. Offsets
  // count from the start of `consumed`.
  static DelimitedReader FromFd(int fd, std::string_view consumed, ReaderOptions options = {});
  // Opens and reads the file at `path`; the reader closes it. A file that
  // cannot be opened makes status() and the first Read() an error.
  static DelimitedReader FromFile(const std::string& path, ReaderOptions options = {});
  // Reads from `in`, which must outlive the reader.
  static DelimitedReader FromStream(std::istream& in, ReaderOptions options = {});
  // Reads the frames in `bytes`, which must outlive the reader (at most
  // 2 GiB - 1 of them are read). Errors name the offending field as for a
  // regular file.
  static DelimitedReader FromBytes(std::string_view bytes, ReaderOptions options = {});
  // Reads from `in` (not owned), for example an ArrayInputStream over bytes
  // in memory. Offsets count from the stream's position at construction.
  static DelimitedReader FromZeroCopyStream(google::protobuf::io::ZeroCopyInputStream* in,
                                            ReaderOptions options = {});

  DelimitedReader(DelimitedReader&&) noexcept;
  DelimitedReader& operator=(DelimitedReader&&) noexcept;
  ~DelimitedReader();

  // Reads the next message into *message (cleared first). At a clean end of
  // input (nothing left at a frame boundary) returns end of stream; an empty
  // input is a stream of no messages. *message holds unspecified content
  // after an error.
  ReadResult Read(google::protobuf::Message* message);

  // Reads the next frame without parsing it: *bytes views the message's
  // bytes until the next call (in the input itself for FromBytes() and
  // ArrayInputStream inputs, else in the reader's buffer). For receivers
  // that decode the bytes themselves, such as Assembler::AddSerialized().
  // The frame errors are those of Read(); what the bytes hold is not checked.
  ReadResult ReadBytes(std::string_view* bytes);

  // An error when the input could not be opened or a read has failed.
  Status status() const;
  // Number of messages delivered so far; also the index of the next one.
  std::uint64_t messages_read() const;
  // Byte offset after the last message delivered: of the next frame, or of
  // the damaged frame after an error.
  std::uint64_t byte_offset() const;

 private:
  struct Impl;
  explicit DelimitedReader(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

struct WriterOptions {
  // Serialize map entries in key order, so equal messages give equal bytes
  // (whether a volume is split into messages first or straight into the
  // writer, and from run to run). Off writes maps in the runtime's hash
  // order, which may differ between processes.
  bool deterministic = true;
  // Refuse messages with invalid UTF-8 in a string (see CheckUtf8). Turning
  // this off writes what the runtime writes; peers may then fail to parse.
  bool check_utf8 = true;
  // Push every message through to the file descriptor or std::ostream right
  // after writing it (for pipes and sockets). Otherwise output is buffered
  // until Flush(), Close() or destruction.
  bool flush_each_message = false;
};

// Writes length-delimited messages of any type.
class COMMON_DTO_STREAM_EXPORT DelimitedWriter {
 public:
  // Writes to an open file descriptor, which the writer does not close.
  static DelimitedWriter ToFd(int fd, WriterOptions options = {});
  // Creates (or truncates) the file at `path` with mode 0644; Close() or the
  // destructor closes it. A file that cannot be created makes status() and
  // the first Write() an error.
  static DelimitedWriter ToFile(const std::string& path, WriterOptions options = {});
  // Writes to `out`, which must outlive the writer.
  static DelimitedWriter ToStream(std::ostream& out, WriterOptions options = {});
  // Writes to `out` (not owned); Flush() has no effect on it beyond handing
  // back the unused part of its buffer.
  static DelimitedWriter ToZeroCopyStream(google::protobuf::io::ZeroCopyOutputStream* out,
                                          WriterOptions options = {});

  DelimitedWriter(DelimitedWriter&&) noexcept;
  DelimitedWriter& operator=(DelimitedWriter&&) noexcept;
  // Flushes and closes what the writer owns; errors are lost (call Close()
  // to see them).
  ~DelimitedWriter();

  // Writes one frame. Refuses (writing nothing, the writer staying usable)
  // a message with invalid UTF-8 or larger than 2 GiB - 1. An I/O error is
  // final: status() and every later Write() return it.
  Status Write(const google::protobuf::Message& message);
  // Writes one frame holding a message serialized by the caller: `head`
  // followed by `tail` (which may be empty). For messages encoded from their
  // parts without being built, such as the splitter's ray-level messages
  // (their header fields, then the samples). Nothing is checked: the caller
  // vouches for the bytes.
  Status WriteSerialized(std::string_view head, std::string_view tail = {});
  // Pushes buffered bytes to the file descriptor or std::ostream.
  Status Flush();
  // Flushes and, for ToFile(), closes the file. Later writes fail.
  Status Close();

  Status status() const;
  std::uint64_t messages_written() const;
  // Bytes of frames written so far (length prefixes included).
  std::uint64_t bytes_written() const;

 private:
  struct Impl;
  explicit DelimitedWriter(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace stream
}  // namespace common_dto
