// Radar file formats (the formats library) and validation (the validate
// library). Formats are named as formats::FormatName names them, so every
// format the library knows is reachable without code here.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "binding.h"
#include "common_dto/formats/formats.h"
#include "common_dto/validate/validate.h"
#include "ray_stream_message.pb.h"
#include "volume.pb.h"

namespace common_dto {
namespace python {

namespace {

using kyt::pb::common::Volume;

std::vector<formats::Format> AllFormats() {
  std::vector<formats::Format> all;
  for (int value = 0; value < 256; ++value) {
    const auto format = static_cast<formats::Format>(value);
    const std::string name = formats::FormatName(format);
    if (name.empty()) break;
    all.push_back(format);
  }
  return all;
}

formats::Format FormatNamed(const std::string& name) {
  const std::optional<formats::Format> format = formats::ParseFormat(name);
  if (!format) {
    std::string known;
    for (formats::Format f : AllFormats()) known += std::string(known.empty() ? "" : ", ") + formats::FormatName(f);
    throw py::value_error("unknown format '" + name + "' (known: " + known + ")");
  }
  return *format;
}

// (kind, field, moment, text, line) of each note.
py::list NoteTuples(const formats::Notes& notes) {
  py::list out;
  for (const formats::Note& note : notes) {
    out.append(py::make_tuple(formats::NoteKindName(note.kind), note.field, note.moment, note.text,
                              formats::NoteText(note)));
  }
  return out;
}

py::object Detect(const std::string& path) {
  std::optional<formats::Format> format;
  {
    py::gil_scoped_release release;
    format = formats::DetectFormat(path);
  }
  return format ? py::object(py::str(formats::FormatName(*format))) : py::object(py::none());
}

// (volume, notes)
py::tuple Read(const std::string& path, const std::string& format_name) {
  const formats::Format format = FormatNamed(format_name);
  Volume volume;
  formats::Notes notes;
  Status status;
  {
    py::gil_scoped_release release;
    status = formats::ReadFile(path, format, {}, &volume, &notes);
  }
  Check(status, ErrorKind::kModel);
  return py::make_tuple(ToBytes(volume), NoteTuples(notes));
}

py::list Write(const py::object& volume_data, const std::string& path, const std::string& format_name,
               int compression_level, bool odim_scan, bool report_not_carried) {
  const formats::Format format = FormatNamed(format_name);
  const auto volume = Parse<Volume>(volume_data);
  formats::WriteOptions options;
  options.compression_level = compression_level;
  options.odim_scan = odim_scan;
  options.report_not_carried = report_not_carried;
  formats::Notes notes;
  Status status;
  {
    py::gil_scoped_release release;
    status = formats::WriteFile(path, format, options, volume, &notes);
  }
  Check(status, ErrorKind::kModel);
  return NoteTuples(notes);
}

// The names findings go by in Python: the FindingCode names in snake case.
const char* FindingCodeName(validate::FindingCode code) {
  using validate::FindingCode;
  switch (code) {
    case FindingCode::kInvalidTime: return "invalid_time";
    case FindingCode::kUnknownEnumValue: return "unknown_enum_value";
    case FindingCode::kUnknownFields: return "unknown_fields";
    case FindingCode::kDuplicateUuid: return "duplicate_uuid";
    case FindingCode::kDuplicateRayIndex: return "duplicate_ray_index";
    case FindingCode::kUnresolvedReference: return "unresolved_reference";
    case FindingCode::kEmptyReference: return "empty_reference";
    case FindingCode::kUndescribedMoment: return "undescribed_moment";
    case FindingCode::kBufferUndecodable: return "buffer_undecodable";
    case FindingCode::kBufferSizeMismatch: return "buffer_size_mismatch";
    case FindingCode::kBufferWidth: return "buffer_width";
    case FindingCode::kBufferRays: return "buffer_rays";
    case FindingCode::kMoreOmitted: return "more_omitted";
    case FindingCode::kUnknownKind: return "unknown_kind";
    case FindingCode::kSequence: return "sequence";
    case FindingCode::kIncomplete: return "incomplete";
    case FindingCode::kAssemblyWarning: return "assembly_warning";
    case FindingCode::kDamaged: return "damaged";
    case FindingCode::kGeoreference: return "georeference";
  }
  return "unknown";
}

// (code, severity, location, text) of each finding.
py::list FindingTuples(const std::vector<validate::Finding>& findings) {
  py::list out;
  for (const validate::Finding& f : findings) {
    out.append(py::make_tuple(FindingCodeName(f.code),
                              f.severity == validate::Severity::kNote ? "note" : "finding",
                              f.location, f.text));
  }
  return out;
}

validate::Options ValidateOptions(bool strict, std::size_t max_buffer_size) {
  validate::Options options;
  options.strict = strict;
  options.max_buffer_size = max_buffer_size;
  return options;
}

py::list ValidateMessageOf(const std::string& type_name, const py::object& data, bool strict,
                           std::size_t max_buffer_size) {
  const google::protobuf::Message* prototype = Prototype(type_name);
  if (prototype == nullptr) throw py::type_error(type_name + " is not a message of the schema");
  std::unique_ptr<google::protobuf::Message> message(prototype->New());
  ParseInto(data, message.get(), ErrorKind::kModel);
  return FindingTuples(validate::ValidateMessage(*message, ValidateOptions(strict, max_buffer_size)));
}

class PyStreamValidator {
 public:
  PyStreamValidator(bool strict, std::size_t max_buffer_size)
      : validator_(ValidateOptions(strict, max_buffer_size)) {}
  py::list Add(const py::object& data, const std::string& where) {
    auto message = Parse<kyt::pb::stream::RayStreamMessage>(data);
    return FindingTuples(validator_.Add(std::move(message), where));
  }
  py::list Finish() { return FindingTuples(validator_.Finish()); }

 private:
  validate::StreamValidator validator_;
};

py::list ValidateStream(const std::string& path, bool strict, std::size_t max_buffer_size) {
  Result<std::vector<validate::Finding>> findings = [&] {
    py::gil_scoped_release release;
    return validate::ValidateStreamFile(path, ValidateOptions(strict, max_buffer_size));
  }();
  Check(findings.status(), ErrorKind::kModel);
  return FindingTuples(*findings);
}

}  // namespace

void BindFormats(py::module_& m) {
  m.def("format_names", [] {
    py::list names;
    for (formats::Format f : AllFormats()) names.append(formats::FormatName(f));
    return names;
  });
  m.def("detect_format", &Detect);
  m.def("read_file", &Read);
  m.def("write_file", &Write);
}

void BindValidate(py::module_& m) {
  m.def("validate_message", &ValidateMessageOf);
  m.def("validate_stream_file", &ValidateStream);
  m.def("message_place", &validate::MessagePlace);
  py::class_<PyStreamValidator>(m, "StreamValidator")
      .def(py::init<bool, std::size_t>())
      .def("add", &PyStreamValidator::Add)
      .def("finish", &PyStreamValidator::Finish);
}

}  // namespace python
}  // namespace common_dto
