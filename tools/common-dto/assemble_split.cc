// common-dto assemble and split: between ray streams and InstrumentData
// files holding a volume.
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl.h>
#include <google/protobuf/util/time_util.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "commands.h"
#include "common_dto/stream/assembler.h"
#include "common_dto/stream/framing.h"
#include "common_dto/model/uuid.h"
#include "common_dto/stream/splitter.h"
#include "convert.h"
#include "instrument_data.pb.h"
#include "model.h"
#include "output.h"
#include "ray_stream_message.pb.h"

namespace common_dto {
namespace cli {
namespace {

// Problems reported one by one before the rest are only counted.
constexpr std::size_t kMaxWarnings = 20;

Compression ParseCompression(const std::string& name) {
  if (name == "lz4-frame") return Compression::kLz4Frame;
  if (name == "lz4-block") return Compression::kLz4Block;
  return Compression::kNone;
}

// The time given with `option`; none when not given.
Result<std::optional<google::protobuf::Timestamp>> ParseTime(const std::string& text,
                                                             std::string_view option) {
  if (text.empty()) return std::optional<google::protobuf::Timestamp>();
  google::protobuf::Timestamp time;
  if (!google::protobuf::util::TimeUtil::FromString(text, &time)) {
    return Error("",
         fmt::format("{} '{}' is not an RFC 3339 time such as 2026-01-01T00:00:00Z", option, text));
  }
  return std::optional<google::protobuf::Timestamp>(time);
}

class WarningLimit {
 public:
  explicit WarningLimit(std::string file) : file_(std::move(file)) {}
  ~WarningLimit() {
    if (count_ > kMaxWarnings) {
      Warn(fmt::format("{}: {} more problems not shown", file_, count_ - kMaxWarnings));
    }
  }
  void Add(std::string_view text) {
    if (++count_ <= kMaxWarnings) Warn(fmt::format("{}: {}", file_, text));
  }
  std::size_t count() const { return count_; }

 private:
  std::string file_;
  std::size_t count_ = 0;
};

stream::Assembler MakeAssembler(const AssembleOptions& options) {
  stream::AssemblerOptions assembler_options;
  assembler_options.delivery = stream::DeliveryMode::kWholeVolumes;
  assembler_options.output_compression = ParseCompression(options.compression);
  if (options.fill) {
    stream::FillValue fill;
    fill.value = *options.fill;
    assembler_options.fill = fill;
  }
  return stream::Assembler(assembler_options);
}

// What the stream held: the volume wanted, how many volumes completed, and
// the problems warned of.
struct Assembled {
  std::optional<stream::AssembledVolume> chosen;
  std::size_t completed = 0;
  std::size_t problems = 0;
};

// Feeds the stream to the assembler. Volumes are counted in the order they
// complete; only the one wanted is kept. A damaged frame ends the stream as
// the end of input does, with a warning; damage before any message is the
// error.
Result<Assembled> ReadVolumes(Input* input, const AssembleOptions& options) {
  stream::Assembler assembler = MakeAssembler(options);
  const std::size_t wanted = options.volume.value_or(0);
  Assembled result;
  auto take = [&]() {
    for (stream::AssembledVolume& volume : assembler.TakeVolumes()) {
      if (result.completed++ == wanted) result.chosen = std::move(volume);
    }
  };
  WarningLimit warnings(input->name());
  std::size_t unknown_kinds = 0;
  Progress progress(fmt::format("assemble {}", input->name()), input->size());
  std::string_view bytes;
  while (input->NextBytes(&bytes)) {
    // Read in place; a frame that does not parse is damage, as when the
    // reader parses it.
    const Status status = assembler.AddSerialized(bytes);
    if (status.code() == ErrorCode::kUnparsable || status.code() == ErrorCode::kInvalidUtf8) {
      input->SetDamage(status);
      break;
    }
    if (status.code() == ErrorCode::kUnsupported) {
      ++unknown_kinds;
    } else if (!status.ok()) {
      warnings.Add(fmt::format("{} ({})", status.message(), input->Where()));
    }
    take();
    progress.Update(input->bytes_read(), input->index() + 1);
  }
  progress.Erase();
  if (input->index() == 0 && !input->damage().ok()) return input->DamageError();
  if (!input->damage().ok()) {
    warnings.Add(fmt::format("{}; assembled what came before", input->damage().message()));
  }
  assembler.Finish();
  take();
  if (unknown_kinds > 0) {
    Note(fmt::format("{}: skipped {} message{} of a kind this version does not know",
                     input->name(), unknown_kinds, unknown_kinds == 1 ? "" : "s"));
  }
  result.problems = warnings.count();
  return result;
}

// Says what the chosen volume lacks and what of it is not written.
std::size_t ReportVolume(const std::string& name, const stream::AssembledVolume& volume) {
  const std::string volume_name = UuidText(volume.volume.uuid());
  WarningLimit warnings(name);
  for (const std::string& item : volume.missing) {
    warnings.Add(fmt::format("volume {} is incomplete: {}", volume_name, item));
  }
  for (const std::string& warning : volume.warnings) {
    warnings.Add(fmt::format("volume {}: {}", volume_name, warning));
  }
  if (!volume.unknown_left_out.empty()) {
    Note(fmt::format("{}: volume {}: unknown fields (of a newer schema) of {} have no place in a "
                     "Volume and are not written",
                     name, volume_name, fmt::join(volume.unknown_left_out, ", ")));
  }
  if (volume.config_uri) {
    Warn(fmt::format("{}: volume {}: the configuration came by reference ({} at {}); the volume "
                     "written holds none",
                     name, volume_name, UuidText(volume.config_uri->uuid()),
                     volume.config_uri->endpoint()));
  }
  if (volume.start || volume.end) {
    Note(fmt::format("{}: volume {}: its start and end times ({} .. {}) have no field in a Volume "
                     "and are not written",
                     name, volume_name, volume.start ? TimeText(*volume.start) : "?",
                     volume.end ? TimeText(*volume.end) : "?"));
  }
  return warnings.count();
}

// Writes the InstrumentData straight to the output, so that the volume's
// samples are not held twice.
Status WriteInstrumentData(const kyt::pb::common::InstrumentData& data, const std::string& name,
                           const std::string& path) {
  const std::size_t size = data.ByteSizeLong();
  if (size > static_cast<std::size_t>(INT_MAX)) {
    return Error(name,
                 fmt::format("the message is too large to encode ({} bytes; the limit is 2 GiB)", size),
                 {}, ErrorCode::kTooLarge);
  }
  Result<std::unique_ptr<OutputFile>> out = OutputFile::Open(path);
  if (!out.ok()) return out.status();
  {
    google::protobuf::io::FileOutputStream file((*out)->fd());
    {
      google::protobuf::io::CodedOutputStream coded(&file);
      coded.SetSerializationDeterministic(true);
      data.SerializeWithCachedSizes(&coded);
    }
    if (!file.Flush()) {
      return Error((*out)->display_name(), fmt::format("write error: {}", std::strerror(file.GetErrno())),
                   {}, ErrorCode::kIo);
    }
  }
  return (*out)->Commit();
}

// The volume the options ask for, of those the stream completed.
Status CheckChoice(const std::string& name, const AssembleOptions& options,
                   const Assembled& assembled) {
  const std::size_t completed = assembled.completed;
  if (completed == 0) return Error(name, "the stream holds no volume");
  if (!options.volume && completed > 1) {
    return Error(name, fmt::format("the stream holds {} volumes; choose one with --volume N "
                                   "(0 to {}, in the order they end)",
                                   completed, completed - 1));
  }
  if (!assembled.chosen) {
    return Error(name, fmt::format("--volume {}: the stream holds {} volume{}",
                                   options.volume.value_or(0), completed, completed == 1 ? "" : "s"));
  }
  return Status::Ok();
}

// The volume of an InstrumentData or a Volume.
Result<const kyt::pb::common::Volume*> VolumeOf(const std::string& name,
                                                const google::protobuf::Message& message) {
  if (const auto* data = dynamic_cast<const kyt::pb::common::InstrumentData*>(&message)) {
    if (!data->has_volume()) {
      return Error(name, fmt::format("the InstrumentData holds {}, not a volume",
                                     data->has_sweep()     ? "a sweep"
                                     : data->has_product() ? "a product"
                                                           : "nothing"));
    }
    return &data->volume();
  }
  if (const auto* volume = dynamic_cast<const kyt::pb::common::Volume*>(&message)) return volume;
  return Error(name, fmt::format("split reads an InstrumentData or a Volume, not a {}",
                                 message.GetDescriptor()->full_name()));
}

}  // namespace

Result<int> RunAssemble(const AssembleOptions& options) {
  InputOptions input_options = options.input_options;
  if (input_options.kind == InputKind::kAuto && input_options.type_name.empty()) {
    input_options.kind = InputKind::kStream;
  }
  Result<std::unique_ptr<Input>> opened = Input::Open(options.input, input_options);
  if (!opened.ok()) return opened.status();
  Input* input = opened->get();
  if (!input->is_stream() || input->type()->full_name() != kDefaultStreamType) {
    return Error(input->name(), fmt::format("assemble reads a stream of {}", kDefaultStreamType));
  }
  Result<Assembled> assembled = ReadVolumes(input, options);
  if (!assembled.ok()) return assembled.status();
  if (Status status = CheckChoice(input->name(), options, *assembled); !status.ok()) return status;
  std::size_t problems = assembled->problems + ReportVolume(input->name(), *assembled->chosen);
  kyt::pb::common::InstrumentData data;
  *data.mutable_volume() = std::move(assembled->chosen->volume);
  assembled->chosen.reset();
  if (Status status = WriteInstrumentData(data, input->name(), options.output); !status.ok()) {
    return status;
  }
  // Written all the same, but not as the producer meant it.
  return problems == 0 ? kExitOk : kExitFindings;
}

Result<int> RunSplit(const SplitOptions& options) {
  const Result<std::optional<google::protobuf::Timestamp>> start = ParseTime(options.start, "--start");
  if (!start.ok()) return start.status();
  const Result<std::optional<google::protobuf::Timestamp>> end = ParseTime(options.end, "--end");
  if (!end.ok()) return end.status();
  InputOptions input_options = options.input_options;
  if (input_options.kind == InputKind::kAuto) input_options.kind = InputKind::kMessage;
  Result<std::unique_ptr<Input>> input = Input::Open(options.input, input_options);
  if (!input.ok()) return input.status();
  const std::string& name = (*input)->name();
  if ((*input)->is_stream()) return Error(name, "split reads a single message holding a volume");
  const std::unique_ptr<google::protobuf::Message> message = (*input)->TakeMessage();
  const Result<const kyt::pb::common::Volume*> volume = VolumeOf(name, *message);
  if (!volume.ok()) return volume.status();

  stream::SplitOptions split_options;
  split_options.ray_compression = ParseCompression(options.compression);
  split_options.volume_start = *start;
  split_options.volume_end = *end;
  Result<std::unique_ptr<OutputFile>> out = OutputFile::Open(options.output);
  if (!out.ok()) return out.status();
  stream::WriterOptions writer_options;
  writer_options.deterministic = true;
  stream::DelimitedWriter writer = stream::DelimitedWriter::ToFd((*out)->fd(), writer_options);
  Progress progress(fmt::format("split {}", name), 0);
  stream::SplitReport report;
  const Status status = stream::SplitVolume(**volume, split_options, &writer, &report, [&] {
    progress.Update(writer.bytes_written(), writer.messages_written());
    return Status::Ok();
  });
  if (!status.ok()) return ErrorOf(name, status);
  if (const Status closed = writer.Close(); !closed.ok()) return ErrorOf((*out)->display_name(), closed);
  progress.Erase();
  if (Status committed = (*out)->Commit(); !committed.ok()) return committed;
  WarningLimit warnings(name);
  for (const std::string& item : report.not_carried) {
    warnings.Add(fmt::format("not carried by the stream: {}", item));
  }
  return kExitOk;
}

}  // namespace cli
}  // namespace common_dto
