// Small layer over the HDF5 C API: owned identifiers and typed attribute
// access that returns a Status instead of printing HDF5's error stack.
#pragma once

#include <hdf5.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common_dto/model/status.h"

namespace common_dto {
namespace formats {

// An HDF5 identifier closed with the function matching its kind.
class H5Id {
 public:
  H5Id() = default;
  explicit H5Id(hid_t id) : id_(id) {}
  ~H5Id() { Reset(); }
  H5Id(H5Id&& other) noexcept : id_(other.id_) { other.id_ = -1; }
  H5Id& operator=(H5Id&& other) noexcept {
    if (this != &other) {
      Reset();
      id_ = other.id_;
      other.id_ = -1;
    }
    return *this;
  }
  H5Id(const H5Id&) = delete;
  H5Id& operator=(const H5Id&) = delete;

  hid_t get() const { return id_; }
  // Gives the id up without closing it.
  hid_t release() {
    const hid_t id = id_;
    id_ = -1;
    return id;
  }
  bool valid() const { return id_ >= 0; }
  void Reset();

 private:
  hid_t id_ = -1;
};

// Prepares HDF5 for this library, once per process: no printed error
// stacks, and no clean-up at exit. HDF5 1.10 leaves a file whose close
// failed (a full disk) half-destroyed, and its clean-up at exit then crashes;
// every file this library opens it closes itself. Called before the first
// HDF5 or netCDF call (netCDF-4 starts HDF5 too).
void PrepareHdf5();

// An error about HDF5 object `path`.
Status H5Error(ErrorCode code, const std::string& path, const std::string& what);

// Every HDF5 call whose failure matters goes through one of these: a
// negative result is a `code` error about `path` (the Location field)
// naming the call ("/dataset1/data1/data: H5Pset_deflate failed").
Status H5Check(herr_t result, const char* call, const std::string& path,
               ErrorCode code = ErrorCode::kIo);
// An identifier a call returned, owned, or the error.
Result<H5Id> H5Checked(hid_t id, const char* call, const std::string& path,
                       ErrorCode code = ErrorCode::kIo);
// The path of object `obj` in its file ("/dataset1/what"); "" when HDF5
// cannot tell.
std::string ObjectPath(hid_t obj);

// Opens group `name` under `parent`; invalid when it does not exist.
H5Id OpenGroup(hid_t parent, const std::string& name);
bool HasAttr(hid_t obj, const char* name);
bool HasLink(hid_t parent, const std::string& name);

// Attribute readers. `path` is the object's path, for error locations.
// A missing attribute is kMalformed, one of the wrong class kInvalidArgument.
Status ReadStringAttr(hid_t obj, const std::string& path, const char* name, std::string* out);
Status ReadDoubleAttr(hid_t obj, const std::string& path, const char* name, double* out);
Status ReadLongAttr(hid_t obj, const std::string& path, const char* name, std::int64_t* out);
// A one-dimensional numeric array of exactly `count` values.
Status ReadDoublesAttr(hid_t obj, const std::string& path, const char* name, std::size_t count,
                       std::vector<double>* out);

// The first of `objs` (innermost first) that has attribute `name`, or -1.
hid_t FindAttr(const std::vector<hid_t>& objs, const char* name);

// Attribute writers (ODIM types: fixed-length null-terminated strings,
// 64-bit integers, doubles).
Status WriteStringAttr(hid_t obj, const char* name, const std::string& value);
Status WriteDoubleAttr(hid_t obj, const char* name, double value);
Status WriteLongAttr(hid_t obj, const char* name, std::int64_t value);
Status WriteDoublesAttr(hid_t obj, const char* name, const std::vector<double>& values);

// The HDF5 file type of a sample buffer's storage type and byte order
// (DataBuffer enums); -1 for types without a fixed layout.
hid_t FileTypeOf(int storage_type, int endian);
// The DataBuffer storage type and byte order of an HDF5 numeric type;
// false for types the model has no storage type for.
bool StorageOf(hid_t type, int* storage_type, int* endian);

}  // namespace formats
}  // namespace common_dto
