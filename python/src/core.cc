// The extension module common_dto._core: the C++ libraries (model, stream,
// validate, formats) as the Python package uses them. The pure-Python
// modules wrap these functions in the package's public names.
#include <google/protobuf/descriptor.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <optional>

#include "binding.h"
#include "common_dto/model/buffers.h"
#include "common_dto/model/references.h"
#include "common_dto/model/utf8.h"
#include "common_dto/model/uuid.h"
#include "common_dto/stream/framing.h"
#include "volume_config.pb.h"

namespace common_dto {
namespace python {

namespace {

using google::protobuf::Message;
using kyt::pb::common::Ray;
using kyt::pb::common::SweepConfigReference;
using kyt::pb::common::SweepDescription;
using kyt::pb::common::UUID;
using kyt::pb::common::VolumeConfig;

py::dict LocationDict(const Location& location) {
  py::dict out;
  if (location.message_index) out["message_index"] = *location.message_index;
  if (location.byte_offset) out["byte_offset"] = *location.byte_offset;
  if (!location.field.empty()) out["field"] = location.field;
  if (!location.volume_uuid.empty()) out["volume_uuid"] = location.volume_uuid;
  if (!location.sweep_uuid.empty()) out["sweep_uuid"] = location.sweep_uuid;
  if (location.ray_index) out["ray_index"] = *location.ray_index;
  if (!location.moment.empty()) out["moment"] = location.moment;
  return out;
}

void Raise(const StatusError& error) {
  static const char* const kClasses[][2] = {
      {"common_dto.model", "Error"},
      {"common_dto.stream", "StreamError"},
      {"common_dto.assembly", "AssemblyError"},
      {"common_dto.buffers", "BufferDecodeError"},
  };
  const auto& names = kClasses[static_cast<int>(error.kind)];
  try {
    py::object cls = py::module_::import(names[0]).attr(names[1]);
    py::object exception = cls(error.status.message(), ErrorCodeName(error.status.code()),
                               **LocationDict(error.status.location()));
    PyErr_SetObject(cls.ptr(), exception.ptr());
  } catch (py::error_already_set& e) {
    e.restore();
  }
}

// A UUID message from its two halves as Python passes them (signed or not).
UUID MakeUuid(std::int64_t msb, std::int64_t lsb) {
  UUID uuid;
  uuid.set_most_significant_bits(msb);
  uuid.set_least_significant_bits(lsb);
  return uuid;
}

std::optional<VolumeConfig> OptionalConfig(const py::object& data) {
  if (data.is_none()) return std::nullopt;
  return Parse<VolumeConfig>(data);
}

// Where a resolved configuration sits: "inline", its index in `list`, or None.
template <typename List, typename T>
py::object Place(const List& list, const T* found) {
  if (found == nullptr) return py::none();
  for (int i = 0; i < list.size(); ++i) {
    if (&list.Get(i) == found) return py::int_(i);
  }
  return py::str("inline");
}

py::object SweepConfigPlace(const py::object& config_data, const py::object& ref_data) {
  const std::optional<VolumeConfig> config = OptionalConfig(config_data);
  const auto ref = Parse<SweepConfigReference>(ref_data);
  const VolumeConfig* c = config ? &*config : nullptr;
  const auto* found = ResolveSweepConfig(c, ref);
  if (c != nullptr) return Place(c->sweep_config(), found);
  if (found == nullptr) return py::none();
  return py::str("inline");
}

py::object RayConfigPlace(const py::object& config_data, const py::object& ray_data) {
  const std::optional<VolumeConfig> config = OptionalConfig(config_data);
  if (!config) return py::none();
  return Place(config->ray_config(), ResolveRayConfig(&*config, Parse<Ray>(ray_data)));
}

// "sweep" or "ray": which configuration holds the moment's descriptor, or None.
py::object DescriptorSource(const py::object& config_data, const py::object& description_data,
                            const py::object& ray_data, const std::string& name) {
  const std::optional<VolumeConfig> config = OptionalConfig(config_data);
  const VolumeConfig* c = config ? &*config : nullptr;
  const auto description = Parse<SweepDescription>(description_data);
  std::optional<Ray> ray;
  if (!ray_data.is_none()) ray = Parse<Ray>(ray_data);
  const auto* found = FindMomentDescriptor(c, description, ray ? &*ray : nullptr, name);
  if (found == nullptr) return py::none();
  const auto* sweep_config = ResolveSweepConfig(c, description.config());
  if (sweep_config != nullptr) {
    auto it = sweep_config->data_moments().find(name);
    if (it != sweep_config->data_moments().end() && &it->second == found) return py::str("sweep");
  }
  return py::str("ray");
}

// None, or (code, text, field) of the first string that is not UTF-8.
py::object CheckUtf8Of(const std::string& type_name, const py::object& data) {
  const Message* prototype = Prototype(type_name);
  if (prototype == nullptr) return py::none();
  std::unique_ptr<Message> message(prototype->New());
  const std::string_view bytes = View(data);
  Status status;
  if (!message->ParsePartialFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
    status = stream::DiagnoseWire(message->GetDescriptor(), bytes);
  } else {
    status = CheckUtf8(*message);
  }
  if (status.ok()) return py::none();
  return py::make_tuple(ErrorCodeName(status.code()), status.message(), status.location().field);
}

}  // namespace

void RegisterErrors(py::module_& m) {
  (void)m;
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const StatusError& e) {
      Raise(e);
    }
  });
}

std::string_view View(const py::handle& object) {
  if (PyBytes_Check(object.ptr())) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    PyBytes_AsStringAndSize(object.ptr(), &data, &size);
    return {data, static_cast<std::size_t>(size)};
  }
  if (PyByteArray_Check(object.ptr())) {
    return {PyByteArray_AS_STRING(object.ptr()),
            static_cast<std::size_t>(PyByteArray_GET_SIZE(object.ptr()))};
  }
  // Other buffers (memoryview, numpy arrays) must be contiguous; the view
  // stays valid while the exporting object lives.
  const py::buffer_info info = py::reinterpret_borrow<py::buffer>(object).request();
  return {static_cast<const char*>(info.ptr), static_cast<std::size_t>(info.size * info.itemsize)};
}

py::bytes ToBytes(const Message& message) {
  const std::size_t size = message.ByteSizeLong();
  if (size > static_cast<std::size_t>(INT_MAX)) {
    throw StatusError(Status(ErrorCode::kTooLarge,
                             "a " + message.GetDescriptor()->full_name() + " of " +
                                 std::to_string(size) + " bytes exceeds the 2 GiB limit of one message"),
                      ErrorKind::kModel);
  }
  PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (out == nullptr) throw py::error_already_set();
  message.SerializeWithCachedSizesToArray(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out)));
  return py::reinterpret_steal<py::bytes>(out);
}

void ParseInto(const py::handle& data, Message* message, ErrorKind kind) {
  const std::string_view bytes = View(data);
  if (bytes.size() > static_cast<std::size_t>(INT_MAX) ||
      !message->ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
    throw StatusError(Status(ErrorCode::kUnparsable,
                             "the bytes do not parse as a " + message->GetDescriptor()->full_name()),
                      kind);
  }
}

Compression CompressionOf(const py::object& name) {
  if (name.is_none()) return Compression::kNone;
  const std::string text = name.cast<std::string>();
  if (text == "frame") return Compression::kLz4Frame;
  if (text == "block") return Compression::kLz4Block;
  throw py::value_error("compression must be None, 'frame' or 'block'");
}

const Message* Prototype(const std::string& full_name) {
  const auto* descriptor =
      google::protobuf::DescriptorPool::generated_pool()->FindMessageTypeByName(full_name);
  if (descriptor == nullptr) return nullptr;
  return google::protobuf::MessageFactory::generated_factory()->GetPrototype(descriptor);
}

void BindModel(py::module_& m) {
  m.def("format_uuid", [](std::int64_t msb, std::int64_t lsb) { return FormatUuid(MakeUuid(msb, lsb)); });
  m.def("parse_uuid", [](const std::string& text) -> py::object {
    UUID uuid;
    if (!ParseUuid(text, &uuid)) return py::none();
    return py::make_tuple(uuid.most_significant_bits(), uuid.least_significant_bits());
  });
  m.def("derive_sweep_uuid", [](std::int64_t msb, std::int64_t lsb, int position) {
    const UUID uuid = DeriveSweepUuid(MakeUuid(msb, lsb), position);
    return py::make_tuple(uuid.most_significant_bits(), uuid.least_significant_bits());
  });
  m.def("sweep_config_place", &SweepConfigPlace);
  m.def("ray_config_place", &RayConfigPlace);
  m.def("descriptor_source", &DescriptorSource);
  m.def("check_utf8", &CheckUtf8Of);
  m.def("error_code_names", [] {
    py::list names;
    for (int code = 1;; ++code) {
      const std::string name = ErrorCodeName(static_cast<ErrorCode>(code));
      if (name.empty() || name == "unknown" || code > 255) break;
      names.append(name);
    }
    return py::tuple(names);
  });
}

}  // namespace python
}  // namespace common_dto

PYBIND11_MODULE(_core, m) {
  namespace cp = common_dto::python;
  m.doc() = "The common-dto C++ libraries, as the common_dto package uses them.";
  cp::RegisterErrors(m);
  cp::BindModel(m);
  cp::BindBuffers(m);
  cp::BindStream(m);
  cp::BindAssembly(m);
  cp::BindFormats(m);
  cp::BindValidate(m);
}
