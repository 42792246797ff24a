// Reading the tool's inputs: single messages and length-delimited streams,
// from files, pipes or standard input, with the kind of an input found out
// when not given (from its first MiBs, read once), and errors that say
// where an input is damaged (the stream library's diagnosis, DiagnoseWire).
#pragma once

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common_dto/model/status.h"
#include "common_dto/stream/framing.h"

namespace common_dto {
namespace cli {

enum class InputKind { kAuto, kMessage, kStream };

// The message types a single-message file and a stream hold by default.
inline constexpr char kDefaultMessageType[] = "kyt.pb.common.InstrumentData";
inline constexpr char kDefaultStreamType[] = "kyt.pb.stream.RayStreamMessage";

// Looks a message up by full name in the generated pool. An unknown name is
// an error that suggests the full names ending in the same simple name.
Result<const google::protobuf::Descriptor*> FindMessageType(const std::string& name);

// Every message type of the schema (nested ones included), sorted by name.
std::vector<const google::protobuf::Descriptor*> AllMessageTypes();

struct InputOptions {
  InputKind kind = InputKind::kAuto;
  // Full name given with --type; empty for the defaults above. A type given
  // with --input-kind auto means a single message of that type.
  std::string type_name;
  std::size_t max_message_size = stream::kDefaultMaxMessageSize;
  // The tool's executable, which reads HDF5 and netCDF files in a worker
  // process of its own (crash_guard.h); empty: read them in this process.
  std::string worker;
};

// An opened input: a single message, or a stream read message by message.
class Input {
 public:
  // Opens `path` ("-" is standard input) and settles its kind, saying on
  // stderr which was chosen when it was found out. Without a type named, an
  // input of a format the tool does not read is refused (kUnsupported):
  // Universal Format by its start, other bytes when they start neither a
  // message of the type nor a ray stream and do not parse.
  static Result<std::unique_ptr<Input>> Open(const std::string& path, const InputOptions& options);
  ~Input();

  const std::string& name() const { return name_; }
  bool is_stream() const { return stream_; }
  // The type of the single message, or of each message of the stream.
  const google::protobuf::Descriptor* type() const { return type_; }
  // Size in bytes, 0 when unknown (a pipe).
  std::uint64_t size() const { return size_; }

  // Single message: the parsed message (once).
  std::unique_ptr<google::protobuf::Message> TakeMessage();
  // Its serialized size as read.
  std::uint64_t message_bytes() const { return message_bytes_; }

  // Stream: reads the next message into *message; false at the end of the
  // stream, or at a damaged frame (damage() then says what and where;
  // every message before it has been delivered).
  bool Next(google::protobuf::Message* message);
  // The same, handing out the next frame's bytes unparsed (valid until the
  // next call), for receivers that read them in place. A frame the caller
  // then finds unparsable is damage like any other: see SetDamage().
  bool NextBytes(std::string_view* bytes);
  // Ends the stream at the frame NextBytes() returned last, for `problem`
  // found in its bytes (the reader's own text follows "message N at byte
  // offset M: ").
  void SetDamage(const Status& problem);
  // The error that ended the stream early (code, message index, byte
  // offset, field); success at a clean end.
  const Status& damage() const { return damage_; }
  // The damage as an error of the tool about this input (its message names
  // the place); success when there is none. Damage before any message came
  // says that the input is perhaps no stream at all.
  Status DamageError() const;
  // Index and byte offset of the message Next() returned last.
  std::uint64_t index() const { return index_; }
  std::uint64_t offset() const { return offset_; }
  // Bytes read so far (for progress).
  std::uint64_t bytes_read() const;
  // A new message of the stream's type.
  std::unique_ptr<google::protobuf::Message> NewMessage() const;

  // "message 3 at byte offset 1234" for the message Next() returned last.
  std::string Where() const;

 private:
  struct Source;
  Input() = default;

  Status OpenSource();
  Status RefuseUnreadFormat();
  Status Settle(InputKind kind, const std::string& type_name);
  Status Decide(const std::string& type_name);
  Status UseStream(std::uint64_t probed, bool intact);
  Status ReadRest();
  Status ParseMessage();
  // The error of a single message that did not parse; with the default
  // type, bytes that start neither such a message nor a ray stream are
  // refused as of a format the tool does not read.
  Status ParseError(const std::string& prefix, const Status& problem) const;
  void OpenStreamReader();
  // Next()'s bookkeeping around one read of the stream.
  template <typename Read>
  bool Advance(const Read& read);

  std::string path_;
  std::string name_;
  InputOptions options_;
  bool stream_ = false;
  const google::protobuf::Descriptor* type_ = nullptr;
  std::uint64_t size_ = 0;
  std::unique_ptr<Source> source_;
  std::unique_ptr<google::protobuf::Message> message_;
  std::uint64_t message_bytes_ = 0;
  std::unique_ptr<stream::DelimitedReader> reader_;
  std::uint64_t index_ = 0;
  std::uint64_t offset_ = 0;
  Status damage_;
  std::string problem_path_;  // Where a single message's problem lies.
};

// An ODIM_H5 or CF/Radial file read as an InstrumentData holding its volume;
// null for other files and for options asking for a stream or another type
// (convert_files.cc).
Result<std::unique_ptr<google::protobuf::Message>> ReadRadarFile(const std::string& path,
                                                                 const InputOptions& options);

// The path of the first unknown fields in `message` ("" for the top level)
// and how many places hold some; for notes that a text form leaves them out.
struct UnknownFieldsReport {
  std::size_t places = 0;
  std::string first_path;
};
UnknownFieldsReport FindUnknownFields(const google::protobuf::Message& message);

}  // namespace cli
}  // namespace common_dto
