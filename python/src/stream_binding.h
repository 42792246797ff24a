// The stream reader and writer of the extension, shared by the stream and
// assembly bindings.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "binding.h"
#include "common_dto/stream/framing.h"

namespace common_dto {
namespace python {

class Reader {
 public:
  struct Input;
  static std::unique_ptr<Reader> FromPath(const std::string& path, const std::string& type_name,
                                          std::size_t max_size);
  static std::unique_ptr<Reader> FromBytes(py::object data, const std::string& type_name,
                                           std::size_t max_size);
  static std::unique_ptr<Reader> FromFileObject(py::object file, const std::string& type_name,
                                                std::size_t max_size);
  ~Reader();

  // The next message, parsed and checked by the C++ reader, as its bytes;
  // None at the end. Types the library does not hold come as their frames.
  py::object Read();
  // The next frame's bytes, unparsed; None at the end.
  py::object ReadFrame();
  // For loops in C++: the next frame in place (a Python exception of a file
  // object is raised here).
  stream::ReadResult NextFrame(std::string_view* bytes);

  std::uint64_t messages_read() const { return reader_.messages_read(); }
  std::uint64_t byte_offset() const { return reader_.byte_offset(); }

 private:
  Reader(std::unique_ptr<Input> input, stream::DelimitedReader reader, const std::string& type_name);
  void Fail(const stream::ReadResult& result);

  std::unique_ptr<Input> input_;
  stream::DelimitedReader reader_;
  std::unique_ptr<google::protobuf::Message> message_;
};

class Writer {
 public:
  struct Output;
  static std::unique_ptr<Writer> ToPath(const std::string& path, bool deterministic, bool check_utf8);
  static std::unique_ptr<Writer> ToFileObject(py::object file, bool deterministic, bool check_utf8);
  Writer(std::unique_ptr<Output> output, stream::DelimitedWriter writer);
  ~Writer();

  // Writes the message of type `type_name` serialized as `data`.
  void Write(const std::string& type_name, const py::object& data);
  // Writes a frame of bytes as they are.
  void WriteFrame(std::string_view bytes);
  void Flush();
  void Close();
  // The C++ writer, for writing straight from C++ (the splitter); null once closed.
  stream::DelimitedWriter* get() { return writer_ ? &*writer_ : nullptr; }
  // Takes the counts over after writes made through get().
  void Sync();

  std::uint64_t messages_written() const { return written_; }
  std::uint64_t bytes_written() const { return bytes_; }

 private:
  const google::protobuf::Message& Parsed(const std::string& type_name, const py::object& data);

  std::unique_ptr<Output> output_;
  std::optional<stream::DelimitedWriter> writer_;
  std::unique_ptr<google::protobuf::Message> message_;
  std::uint64_t written_ = 0;
  std::uint64_t bytes_ = 0;
};

}  // namespace python
}  // namespace common_dto
