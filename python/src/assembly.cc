// The stream library's Assembler and splitter. Results come back as tuples
// of serialized messages and texts, which common_dto.assembly turns into
// its AssembledVolume and AssembledSweep records.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "binding.h"
#include "common_dto/stream/assembler.h"
#include "common_dto/stream/splitter.h"
#include "stream_binding.h"

namespace common_dto {
namespace python {

namespace {

using kyt::pb::common::Volume;
using kyt::pb::stream::RayStreamMessage;
using kyt::pb::stream::VolumeConfigUri;

py::object OptionalBytes(const std::optional<google::protobuf::Timestamp>& value) {
  return value ? py::object(ToBytes(*value)) : py::object(py::none());
}

py::list Texts(const std::vector<std::string>& texts) {
  py::list out;
  for (const std::string& text : texts) out.append(text);
  return out;
}

// (volume, start, end, config_uri, complete, missing, warnings,
//  sweeps_delivered, unknown_left_out)
py::tuple VolumeTuple(const stream::AssembledVolume& v) {
  return py::make_tuple(ToBytes(v.volume), OptionalBytes(v.start), OptionalBytes(v.end),
                        v.config_uri ? py::object(ToBytes(*v.config_uri)) : py::object(py::none()),
                        v.complete, Texts(v.missing), Texts(v.warnings), v.sweeps_delivered,
                        Texts(v.unknown_left_out));
}

// (volume_uuid, volume_header, sweep_uuid, position, sweep, complete,
//  missing, warnings)
py::tuple SweepTuple(const stream::AssembledSweep& s) {
  return py::make_tuple(ToBytes(s.volume_uuid),
                        s.volume_header ? py::object(ToBytes(*s.volume_header)) : py::object(py::none()),
                        ToBytes(s.sweep_uuid), s.position, ToBytes(s.sweep), s.complete,
                        Texts(s.missing), Texts(s.warnings));
}

stream::AssemblerOptions OptionsOf(const py::dict& given) {
  stream::AssemblerOptions options;
  std::optional<bool> prefer_not_scanned;
  for (const auto& item : given) {
    const std::string key = item.first.cast<std::string>();
    const py::handle value = item.second;
    if (key == "delivery") {
      const std::string mode = value.cast<std::string>();
      if (mode != "volumes" && mode != "sweeps") throw py::value_error("delivery must be 'volumes' or 'sweeps'");
      options.delivery = mode == "sweeps" ? stream::DeliveryMode::kSweepBySweep
                                          : stream::DeliveryMode::kWholeVolumes;
    } else if (key == "output_compression") {
      options.output_compression = CompressionOf(py::reinterpret_borrow<py::object>(value));
    } else if (key == "fill") {
      if (!value.is_none()) options.fill = stream::FillValue{value.cast<double>()};
    } else if (key == "fill_prefer_not_scanned") {
      prefer_not_scanned = value.cast<bool>();
    } else if (key == "keep_samples") {
      options.keep_samples = value.cast<bool>();
    } else if (key == "max_open_volumes") {
      options.max_open_volumes = value.cast<std::size_t>();
    } else if (key == "max_open_sweeps") {
      options.max_open_sweeps = value.cast<std::size_t>();
    } else if (key == "max_rays_per_sweep") {
      options.max_rays_per_sweep = value.cast<std::size_t>();
    } else if (key == "max_moments_per_sweep") {
      options.max_moments_per_sweep = value.cast<std::size_t>();
    } else if (key == "max_buffer_size") {
      options.max_buffer_size = value.cast<std::size_t>();
    } else if (key == "max_buffered_bytes") {
      options.max_buffered_bytes = value.cast<std::uint64_t>();
    } else if (key == "max_volume_age") {
      options.max_volume_age = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(value.cast<double>()));
    } else if (key == "max_rays_per_volume") {
      options.max_rays_per_volume = value.cast<std::size_t>();
    } else if (key == "remembered_closed") {
      options.remembered_closed = value.cast<std::size_t>();
    } else {
      throw py::type_error("unknown Assembler option '" + key + "'");
    }
  }
  if (options.fill && prefer_not_scanned) options.fill->prefer_not_scanned = *prefer_not_scanned;
  return options;
}

class PyAssembler {
 public:
  explicit PyAssembler(const py::dict& options) : assembler_(OptionsOf(options)) {}

  // None, or the text of what was missing when the message closed a volume or
  // sweep with parts missing (the result is queued all the same).
  py::object Add(const py::object& data) { return Outcome(assembler_.AddSerialized(View(data))); }

  // Feeds every frame of `reader` to the assembler. Strict: the first error
  // is raised (the damaged frame's error as StreamError). Otherwise the
  // errors' texts are returned and a damaged frame ends the input as its end
  // would.
  py::list AddStream(Reader& reader, bool strict) {
    py::list errors;
    std::string_view bytes;
    for (;;) {
      Location where;
      where.message_index = reader.messages_read();
      where.byte_offset = reader.byte_offset();
      const stream::ReadResult frame = reader.NextFrame(&bytes);
      Status status = frame.status();
      ErrorKind kind = ErrorKind::kStream;
      if (frame.has_message()) {
        status = assembler_.AddSerialized(bytes);
        // A closed volume lacking parts is in its result; a message of a kind
        // this version does not know is skipped.
        if (status.ok() || status.code() == ErrorCode::kIncomplete ||
            status.code() == ErrorCode::kUnsupported) {
          continue;
        }
        // Bytes that do not parse are a damaged frame, as when the reader parses them.
        const bool damaged = status.code() == ErrorCode::kUnparsable ||
                             status.code() == ErrorCode::kInvalidUtf8;
        status = damaged ? status.Wrap("message " + std::to_string(*where.message_index) +
                                           " at byte offset " + std::to_string(*where.byte_offset) + ": ",
                                       where)
                         : status.Wrap("", where);
        if (!damaged) kind = ErrorKind::kAssembly;
      } else if (!frame.is_error()) {
        break;
      }
      if (strict) throw StatusError(status, kind);
      errors.append(status.message());
      if (kind == ErrorKind::kStream) break;
    }
    return errors;
  }

  py::list TakeVolumes() {
    py::list out;
    for (const auto& volume : assembler_.TakeVolumes()) out.append(VolumeTuple(volume));
    return out;
  }
  py::list TakeSweeps() {
    py::list out;
    for (const auto& sweep : assembler_.TakeSweeps()) out.append(SweepTuple(sweep));
    return out;
  }
  void Finish() { assembler_.Finish(); }
  std::size_t CloseExpired() { return assembler_.CloseExpired(); }
  std::size_t open_volumes() const { return assembler_.open_volumes(); }
  std::size_t open_sweeps() const { return assembler_.open_sweeps(); }
  std::uint64_t buffered_bytes() const { return assembler_.buffered_bytes(); }

 private:
  static py::object Outcome(const Status& status) {
    if (status.code() == ErrorCode::kIncomplete) return py::str(status.message());
    Check(status, ErrorKind::kAssembly);
    return py::none();
  }
  stream::Assembler assembler_;
};

stream::SplitOptions SplitOptionsOf(const py::object& compression, const py::object& start,
                                    const py::object& end, const py::object& config_uri) {
  stream::SplitOptions options;
  options.ray_compression = CompressionOf(compression);
  if (!start.is_none()) options.volume_start = Parse<google::protobuf::Timestamp>(start);
  if (!end.is_none()) options.volume_end = Parse<google::protobuf::Timestamp>(end);
  if (!config_uri.is_none()) options.config_uri = Parse<VolumeConfigUri>(config_uri);
  return options;
}

// (messages as bytes, not_carried)
py::tuple Split(const py::object& volume_data, const py::object& compression,
                const py::object& start, const py::object& end, const py::object& config_uri) {
  const auto volume = Parse<Volume>(volume_data);
  const stream::SplitOptions options = SplitOptionsOf(compression, start, end, config_uri);
  std::vector<RayStreamMessage> messages;
  stream::SplitReport report;
  Check(stream::SplitVolume(volume, options, &messages, &report), ErrorKind::kAssembly);
  py::list out;
  for (const RayStreamMessage& message : messages) out.append(ToBytes(message));
  return py::make_tuple(out, Texts(report.not_carried));
}

// Writes the stream straight to `writer`; returns not_carried.
py::list SplitTo(const py::object& volume_data, Writer& writer, const py::object& compression,
                 const py::object& start, const py::object& end, const py::object& config_uri) {
  const auto volume = Parse<Volume>(volume_data);
  const stream::SplitOptions options = SplitOptionsOf(compression, start, end, config_uri);
  stream::DelimitedWriter* target = writer.get();
  if (target == nullptr) {
    throw StatusError(Status(ErrorCode::kInvalidArgument, "the writer is closed"), ErrorKind::kStream);
  }
  stream::SplitReport report;
  const Status status = stream::SplitVolume(volume, options, target, &report);
  writer.Sync();
  Check(status, ErrorKind::kAssembly);
  return Texts(report.not_carried);
}

}  // namespace

void BindAssembly(py::module_& m) {
  py::class_<PyAssembler>(m, "Assembler")
      .def(py::init<const py::dict&>())
      .def("add", &PyAssembler::Add)
      .def("add_stream", &PyAssembler::AddStream)
      .def("take_volumes", &PyAssembler::TakeVolumes)
      .def("take_sweeps", &PyAssembler::TakeSweeps)
      .def("finish", &PyAssembler::Finish)
      .def("close_expired", &PyAssembler::CloseExpired)
      .def_property_readonly("open_volumes", &PyAssembler::open_volumes)
      .def_property_readonly("open_sweeps", &PyAssembler::open_sweeps)
      .def_property_readonly("buffered_bytes", &PyAssembler::buffered_bytes);
  m.def("split_volume", &Split);
  m.def("split_volume_to", &SplitTo);
}

}  // namespace python
}  // namespace common_dto
