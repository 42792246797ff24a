// Shared pieces of the Python extension common_dto._core: messages cross
// between the languages as their serialized bytes, and a failed Status
// becomes one of the package's error classes.
#pragma once

#include <google/protobuf/message.h>
#include <pybind11/pybind11.h>

#include <exception>
#include <string>
#include <string_view>

#include "common_dto/model/buffers.h"
#include "common_dto/model/status.h"

namespace common_dto {
namespace python {

namespace py = pybind11;

// The Python class a failed Status is raised as; every one carries the
// Status's code and location.
enum class ErrorKind {
  kModel,     // common_dto.model.Error
  kStream,    // common_dto.stream.StreamError
  kAssembly,  // common_dto.assembly.AssemblyError
  kBuffer,    // common_dto.buffers.BufferDecodeError
};

struct StatusError : std::exception {
  StatusError(Status s, ErrorKind k) : status(std::move(s)), kind(k) {}
  const char* what() const noexcept override { return status.message().c_str(); }
  Status status;
  ErrorKind kind;
};

inline void Check(const Status& status, ErrorKind kind) {
  if (!status.ok()) throw StatusError(status, kind);
}

// Installs the translation of StatusError into the Python error classes.
void RegisterErrors(py::module_& m);

// The bytes of a bytes-like object, without a copy; valid while `object`
// lives and is not resized.
std::string_view View(const py::handle& object);

// The message's serialized bytes as a Python bytes object (one copy, straight
// into the object).
py::bytes ToBytes(const google::protobuf::Message& message);

// Parses `data` into *message; a kUnparsable error (of `kind`) when it does not.
void ParseInto(const py::handle& data, google::protobuf::Message* message, ErrorKind kind);

template <typename M>
M Parse(const py::handle& data, ErrorKind kind = ErrorKind::kModel) {
  M message;
  ParseInto(data, &message, kind);
  return message;
}

// Compression of samples written: None, "frame" or "block" (LZ4).
Compression CompressionOf(const py::object& name);

// The prototype of the schema's message type `full_name` ("kyt.pb.common.Volume"),
// or null for types the library does not hold.
const google::protobuf::Message* Prototype(const std::string& full_name);

void BindModel(py::module_& m);
void BindBuffers(py::module_& m);
void BindStream(py::module_& m);
void BindAssembly(py::module_& m);
void BindFormats(py::module_& m);
void BindValidate(py::module_& m);

}  // namespace python
}  // namespace common_dto
