// Length-delimited streams from and to paths, bytes and Python file objects,
// read and written by the stream library's DelimitedReader and
// DelimitedWriter.
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "binding.h"
#include "stream_binding.h"

namespace common_dto {
namespace python {

namespace {

using google::protobuf::Message;
using google::protobuf::io::CopyingInputStreamAdaptor;
using google::protobuf::io::CopyingOutputStreamAdaptor;

// A Python exception raised inside a stream callback, kept until the C++
// reader or writer returns and raised then.
class PendingError {
 public:
  void Keep(py::error_already_set&& e) { error_ = std::move(e); }
  void RethrowError() {
    if (error_) {
      py::error_already_set e = std::move(*error_);
      error_.reset();
      throw e;
    }
  }

 private:
  std::optional<py::error_already_set> error_;
};

// A Python binary file object as the runtime's copying input stream.
class PyFileInput : public google::protobuf::io::CopyingInputStream, public PendingError {
 public:
  explicit PyFileInput(py::object file) : read_(file.attr("read")) {}
  int Read(void* buffer, int size) override {
    try {
      py::object chunk = read_(size);
      if (chunk.is_none()) return 0;
      const std::string_view bytes = View(chunk);
      const std::size_t n = std::min(bytes.size(), static_cast<std::size_t>(size));
      std::memcpy(buffer, bytes.data(), n);
      return static_cast<int>(n);
    } catch (py::error_already_set& e) {
      Keep(std::move(e));
      return -1;
    }
  }

 private:
  py::object read_;
};

class PyFileOutput : public google::protobuf::io::CopyingOutputStream, public PendingError {
 public:
  explicit PyFileOutput(py::object file) : file_(std::move(file)), write_(file_.attr("write")) {}
  bool Write(const void* buffer, int size) override {
    try {
      write_(py::bytes(static_cast<const char*>(buffer), static_cast<std::size_t>(size)));
      return true;
    } catch (py::error_already_set& e) {
      Keep(std::move(e));
      return false;
    }
  }
  void Flush() {
    if (py::hasattr(file_, "flush")) file_.attr("flush")();
  }

 private:
  py::object file_;
  py::object write_;
};

}  // namespace

struct Reader::Input {
  py::object keep;  // The bytes read from, kept alive.
  std::unique_ptr<PyFileInput> file;
  std::unique_ptr<CopyingInputStreamAdaptor> adaptor;
};

Reader::Reader(std::unique_ptr<Input> input, stream::DelimitedReader reader,
               const std::string& type_name)
    : input_(std::move(input)), reader_(std::move(reader)) {
  if (const Message* prototype = Prototype(type_name)) message_.reset(prototype->New());
}
Reader::~Reader() = default;

std::unique_ptr<Reader> Reader::FromPath(const std::string& path, const std::string& type_name,
                                         std::size_t max_size) {
  return std::unique_ptr<Reader>(new Reader(std::make_unique<Input>(),
                                            stream::DelimitedReader::FromFile(path, {max_size}),
                                            type_name));
}

std::unique_ptr<Reader> Reader::FromBytes(py::object data, const std::string& type_name,
                                          std::size_t max_size) {
  auto input = std::make_unique<Input>();
  if (!PyBytes_Check(data.ptr())) data = py::bytes(std::string(View(data)));  // A stable copy.
  input->keep = data;
  const std::string_view bytes = View(input->keep);
  return std::unique_ptr<Reader>(new Reader(
      std::move(input), stream::DelimitedReader::FromBytes(bytes, {max_size}), type_name));
}

std::unique_ptr<Reader> Reader::FromFileObject(py::object file, const std::string& type_name,
                                               std::size_t max_size) {
  auto input = std::make_unique<Input>();
  input->file = std::make_unique<PyFileInput>(std::move(file));
  input->adaptor = std::make_unique<CopyingInputStreamAdaptor>(input->file.get());
  auto* stream = input->adaptor.get();
  return std::unique_ptr<Reader>(new Reader(
      std::move(input), stream::DelimitedReader::FromZeroCopyStream(stream, {max_size}), type_name));
}

void Reader::Fail(const stream::ReadResult& result) {
  if (input_->file) input_->file->RethrowError();
  if (result.is_error()) throw StatusError(result.status(), ErrorKind::kStream);
}

py::object Reader::Read() {
  if (!message_) return ReadFrame();
  const stream::ReadResult result = reader_.Read(message_.get());
  Fail(result);
  if (!result.has_message()) return py::none();
  return ToBytes(*message_);
}

py::object Reader::ReadFrame() {
  std::string_view bytes;
  const stream::ReadResult result = reader_.ReadBytes(&bytes);
  Fail(result);
  if (!result.has_message()) return py::none();
  return py::bytes(bytes.data(), bytes.size());
}

stream::ReadResult Reader::NextFrame(std::string_view* bytes) {
  stream::ReadResult result = reader_.ReadBytes(bytes);
  if (input_->file) input_->file->RethrowError();
  return result;
}

struct Writer::Output {
  std::string* bytes = nullptr;  // For EncodeDelimited.
  std::unique_ptr<PyFileOutput> file;
  std::unique_ptr<CopyingOutputStreamAdaptor> adaptor;
};

Writer::Writer(std::unique_ptr<Output> output, stream::DelimitedWriter writer)
    : output_(std::move(output)), writer_(std::move(writer)) {}
Writer::~Writer() {
  // The writer flushes into the adaptor, which writes to the file object.
  writer_.reset();
  output_.reset();
}

std::unique_ptr<Writer> Writer::ToPath(const std::string& path, bool deterministic,
                                       bool check_utf8) {
  stream::WriterOptions options;
  options.deterministic = deterministic;
  options.check_utf8 = check_utf8;
  return std::unique_ptr<Writer>(
      new Writer(std::make_unique<Output>(), stream::DelimitedWriter::ToFile(path, options)));
}

std::unique_ptr<Writer> Writer::ToFileObject(py::object file, bool deterministic,
                                             bool check_utf8) {
  stream::WriterOptions options;
  options.deterministic = deterministic;
  options.check_utf8 = check_utf8;
  auto output = std::make_unique<Output>();
  output->file = std::make_unique<PyFileOutput>(std::move(file));
  output->adaptor = std::make_unique<CopyingOutputStreamAdaptor>(output->file.get());
  auto* stream = output->adaptor.get();
  return std::unique_ptr<Writer>(
      new Writer(std::move(output), stream::DelimitedWriter::ToZeroCopyStream(stream, options)));
}

const Message& Writer::Parsed(const std::string& type_name, const py::object& data) {
  if (!message_ || message_->GetDescriptor()->full_name() != type_name) {
    const Message* prototype = Prototype(type_name);
    message_.reset(prototype ? prototype->New() : nullptr);
  }
  ParseInto(data, message_.get(), ErrorKind::kStream);
  return *message_;
}

void Writer::Write(const std::string& type_name, const py::object& data) {
  if (!writer_) {
    throw StatusError(Status(ErrorCode::kInvalidArgument, "message " +
                                                               std::to_string(written_) +
                                                               ": the writer is closed"),
                      ErrorKind::kStream);
  }
  Status status;
  if (Prototype(type_name) == nullptr) {  // A type of the caller's own: bytes as they are.
    const std::string_view bytes = View(data);
    status = writer_->WriteSerialized(bytes);
  } else {
    status = writer_->Write(Parsed(type_name, data));
  }
  if (output_->file) output_->file->RethrowError();
  Check(status, ErrorKind::kStream);
  written_ = writer_->messages_written();
  bytes_ = writer_->bytes_written();
}

void Writer::WriteFrame(std::string_view bytes) {
  Check(writer_->WriteSerialized(bytes), ErrorKind::kStream);
}

void Writer::Flush() {
  if (!writer_) return;
  Status status = writer_->Flush();
  if (output_->adaptor && !output_->adaptor->Flush() && status.ok()) {
    status = Status(ErrorCode::kIo, "writing to the file object failed");
  }
  if (output_->file) {
    output_->file->RethrowError();
    output_->file->Flush();
  }
  Check(status, ErrorKind::kStream);
}

void Writer::Close() {
  if (!writer_) return;
  Flush();
  const Status status = writer_->Close();
  writer_.reset();
  Check(status, ErrorKind::kStream);
}

void Writer::Sync() {
  if (writer_) {
    written_ = writer_->messages_written();
    bytes_ = writer_->bytes_written();
  }
}

namespace {

py::bytes EncodeDelimited(const std::string& type_name, const py::object& data,
                          bool deterministic) {
  std::string out;
  {
    google::protobuf::io::StringOutputStream sink(&out);
    stream::WriterOptions options;
    options.deterministic = deterministic;
    Writer writer(std::make_unique<Writer::Output>(),
                  stream::DelimitedWriter::ToZeroCopyStream(&sink, options));
    writer.Write(type_name, data);
    writer.Close();
  }
  return py::bytes(out);
}

py::object Diagnose(const std::string& type_name, const py::object& data) {
  const Message* prototype = Prototype(type_name);
  if (prototype == nullptr) return py::none();
  std::string path;
  const Status status = stream::DiagnoseWire(prototype->GetDescriptor(), View(data), &path);
  if (status.ok()) return py::none();
  return py::make_tuple(ErrorCodeName(status.code()), status.message(), status.location().field,
                        path);
}

}  // namespace

void BindStream(py::module_& m) {
  m.attr("DEFAULT_MAX_MESSAGE_SIZE") = stream::kDefaultMaxMessageSize;
  py::class_<Reader>(m, "Reader")
      .def_static("from_path", &Reader::FromPath)
      .def_static("from_bytes", &Reader::FromBytes)
      .def_static("from_file_object", &Reader::FromFileObject)
      .def("read", &Reader::Read)
      .def("read_frame", &Reader::ReadFrame)
      .def_property_readonly("messages_read", &Reader::messages_read)
      .def_property_readonly("byte_offset", &Reader::byte_offset);
  py::class_<Writer>(m, "Writer")
      .def_static("to_path", &Writer::ToPath)
      .def_static("to_file_object", &Writer::ToFileObject)
      .def("write", &Writer::Write)
      .def("flush", &Writer::Flush)
      .def("close", &Writer::Close)
      .def_property_readonly("messages_written", &Writer::messages_written)
      .def_property_readonly("bytes_written", &Writer::bytes_written);
  m.def("encode_delimited", &EncodeDelimited);
  m.def("diagnose_wire", &Diagnose);
}

}  // namespace python
}  // namespace common_dto
