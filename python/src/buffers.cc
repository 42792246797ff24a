// DataBuffer samples into numpy arrays: LZ4 decoded by the model library
// straight into the memory the array keeps, byte order made native in place.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "binding.h"
#include "common_dto/model/buffers.h"
#include "common_dto/model/codes.h"
#include "data_buffer.pb.h"

namespace common_dto {
namespace python {

namespace {

using kyt::pb::common::DataBuffer;

py::dtype DtypeOf(int storage_type) {
  switch (storage_type) {
    case DataBuffer::UINT8: return py::dtype::of<std::uint8_t>();
    case DataBuffer::UINT16: return py::dtype::of<std::uint16_t>();
    case DataBuffer::INT32: return py::dtype::of<std::int32_t>();
    case DataBuffer::INT64: return py::dtype::of<std::int64_t>();
    case DataBuffer::FLOAT: return py::dtype::of<float>();
    case DataBuffer::DOUBLE: return py::dtype::of<double>();
    case DataBuffer::BOOLEAN: return py::dtype::of<bool>();
    default: break;
  }
  const std::string name = DataBuffer::StorageType_IsValid(storage_type)
                               ? DataBuffer::StorageType_Name(storage_type)
                               : "storage type " + std::to_string(storage_type);
  if (storage_type == DataBuffer::STRING) {
    throw StatusError(Status(ErrorCode::kUnsupported,
                             "STRING buffers have no fixed layout and cannot be decoded into an "
                             "array; read DataBuffer.data yourself"),
                      ErrorKind::kBuffer);
  }
  throw StatusError(Status(ErrorCode::kUnsupported, "cannot decode a buffer of " + name),
                    ErrorKind::kBuffer);
}

// True when samples stored in `endian` must be swapped to native order.
bool NeedsSwap(int endian, int width, const py::object& unknown_endian) {
  if (width == 1) return false;
  bool big = false;
  if (endian == DataBuffer::BIG) {
    big = true;
  } else if (endian == DataBuffer::UNKNOWN_ENDIANNESS && !unknown_endian.is_none()) {
    big = unknown_endian.cast<std::string>() == "big";
  } else if (endian != DataBuffer::LITTLE) {
    throw StatusError(Status(ErrorCode::kUnsupported,
                             "byte order " + (DataBuffer::Endianness_IsValid(endian)
                                                  ? DataBuffer::Endianness_Name(endian)
                                                  : std::to_string(endian)) +
                                 " of a buffer is not LITTLE or BIG"),
                      ErrorKind::kBuffer);
  }
  constexpr std::uint16_t kOne = 1;
  const bool native_little = *reinterpret_cast<const std::uint8_t*>(&kOne) == 1;
  return big == native_little;
}

void Swap(char* data, std::size_t bytes, int width) {
  for (std::size_t i = 0; i + width <= bytes; i += width) std::reverse(data + i, data + i + width);
}

void CheckBooleans(const char* data, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const auto value = static_cast<std::uint8_t>(data[i]);
    if (value > 1) {
      throw StatusError(Status(ErrorCode::kMalformed, "BOOLEAN sample " + std::to_string(i) +
                                                          " is " + std::to_string(value) +
                                                          ", not 0 or 1"),
                        ErrorKind::kBuffer);
    }
  }
}

// The samples as a flat writable array in native byte order. Uncompressed
// data is copied once into the array; LZ4 data is decoded into a buffer the
// array then owns.
py::array Decode(const py::object& data, int compression, std::int32_t uncompressed_size,
                 int endian, int storage_type, const py::object& unknown_endian,
                 std::size_t max_size) {
  const py::dtype dtype = DtypeOf(storage_type);
  const int width = static_cast<int>(dtype.itemsize());
  const bool swap = NeedsSwap(endian, width, unknown_endian);
  const std::string_view in = View(data);
  const bool plain = compression == DataBuffer::NONE || compression == DataBuffer::UNKNOWN_COMPRESSION;
  auto decoded = std::make_unique<std::string>();
  if (!plain) {
    py::gil_scoped_release release;
    Check(AppendUncompressed(compression, uncompressed_size, in, decoded.get(), max_size),
          ErrorKind::kBuffer);
  }
  const std::size_t bytes = plain ? in.size() : decoded->size();
  if (bytes % width != 0) {
    throw StatusError(Status(ErrorCode::kInvalidArgument,
                             std::to_string(bytes) + " bytes are not a whole number of " +
                                 DataBuffer::StorageType_Name(storage_type) + " samples (" +
                                 std::to_string(width) + " bytes each)"),
                      ErrorKind::kBuffer);
  }
  const auto count = static_cast<py::ssize_t>(bytes / width);
  py::array out;
  char* samples = nullptr;
  if (plain) {
    out = py::array(dtype, {count}, {static_cast<py::ssize_t>(width)});
    samples = static_cast<char*>(out.mutable_data());
    if (bytes > 0) std::memcpy(samples, in.data(), bytes);
  } else {
    std::string* owned = decoded.release();
    py::capsule base(owned, [](void* p) { delete static_cast<std::string*>(p); });
    samples = owned->data();
    out = py::array(dtype, {count}, {static_cast<py::ssize_t>(width)}, samples, base);
  }
  if (storage_type == DataBuffer::BOOLEAN) CheckBooleans(samples, bytes);
  if (swap) {
    py::gil_scoped_release release;
    Swap(samples, bytes, width);
  }
  return out;
}

using Codes = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// True where an integer code of the linear scale (under_threshold,
// not_scanned, min_value, max_value) stands for no value: the mark codes
// and codes out of the valid range.
py::array_t<bool> NoValueMask(const Codes& codes, std::int32_t under, std::int32_t not_scanned,
                              std::int32_t min, std::int32_t max) {
  LinearDataScale scale;
  scale.set_under_threshold(under);
  scale.set_not_scanned(not_scanned);
  scale.set_min_value(min);
  scale.set_max_value(max);
  py::array_t<bool> out(std::vector<py::ssize_t>(codes.shape(), codes.shape() + codes.ndim()));
  const std::int64_t* in = codes.data();
  bool* mask = out.mutable_data();
  const py::ssize_t n = codes.size();
  {
    py::gil_scoped_release release;
    for (py::ssize_t i = 0; i < n; ++i) mask[i] = !IsValueCode(scale, in[i]);
  }
  return out;
}

}  // namespace

void BindBuffers(py::module_& m) {
  m.def("no_value_mask", &NoValueMask, py::arg("codes"), py::arg("under_threshold"),
        py::arg("not_scanned"), py::arg("min_value"), py::arg("max_value"));
  m.def("decode_samples", &Decode, py::arg("data"), py::arg("compression"),
        py::arg("uncompressed_size"), py::arg("endian"), py::arg("type"),
        py::arg("unknown_endian"), py::arg("max_size"));
  m.def("uncompressed_bytes", [](const py::object& data, int compression,
                                 std::int32_t uncompressed_size, std::size_t max_size) {
    std::string out;
    Check(AppendUncompressed(compression, uncompressed_size, View(data), &out, max_size),
          ErrorKind::kBuffer);
    return py::bytes(out);
  });
  // (data, compression number, uncompressed_size) of samples stored as asked.
  m.def("compress_samples", [](const py::object& data, const py::object& compression) {
    DataBuffer buffer;
    Check(SetSamples(View(data), CompressionOf(compression), &buffer), ErrorKind::kBuffer);
    return py::make_tuple(py::bytes(buffer.data()), static_cast<int>(buffer.compression()),
                          buffer.uncompressed_size());
  });
  m.def("sample_width", &SampleWidth);
}

}  // namespace python
}  // namespace common_dto
