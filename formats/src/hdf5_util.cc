// Owned HDF5 identifiers and typed attributes.
#include "hdf5_util.h"

#include <mutex>

#include "data_buffer.pb.h"

namespace common_dto {
namespace formats {

using kyt::pb::common::DataBuffer;

namespace {

// Strings longer than this in an attribute are refused (ODIM strings are
// short; this bounds what a damaged file can make us allocate).
constexpr std::size_t kMaxStringAttr = std::size_t{1} << 20;
constexpr std::size_t kMaxArrayAttr = std::size_t{1} << 24;

Status AttrError(ErrorCode code, const std::string& path, const char* name,
                 const std::string& what) {
  return H5Error(code, path + "/" + name, what);
}

// Opens attribute `name`, kMalformed when missing.
Status OpenAttr(hid_t obj, const std::string& path, const char* name, H5Id* attr) {
  if (!HasAttr(obj, name)) return AttrError(ErrorCode::kMalformed, path, name, "missing attribute");
  *attr = H5Id(H5Aopen(obj, name, H5P_DEFAULT));
  if (!attr->valid()) return AttrError(ErrorCode::kMalformed, path, name, "unreadable attribute");
  return Status::Ok();
}

// Number of elements of an attribute's dataspace, or -1.
hssize_t AttrPoints(hid_t attr) {
  H5Id space(H5Aget_space(attr));
  return space.valid() ? H5Sget_simple_extent_npoints(space.get()) : -1;
}

Status ReadNumbers(hid_t obj, const std::string& path, const char* name, hid_t mem_type,
                   std::size_t count, void* out) {
  H5Id attr;
  Status status = OpenAttr(obj, path, name, &attr);
  if (!status.ok()) return status;
  const Result<H5Id> type =
      H5Checked(H5Aget_type(attr.get()), "H5Aget_type", path + "/" + name, ErrorCode::kMalformed);
  if (!type.ok()) return type.status();
  const H5T_class_t cls = H5Tget_class(type->get());
  if (cls != H5T_INTEGER && cls != H5T_FLOAT) {
    return AttrError(ErrorCode::kInvalidArgument, path, name, "wrong type: expected a number");
  }
  const hssize_t points = AttrPoints(attr.get());
  if (points < 0 || static_cast<std::size_t>(points) != count) {
    return AttrError(ErrorCode::kInvalidArgument, path, name,
                     "holds " + std::to_string(points) + " values, expected " +
                         std::to_string(count));
  }
  if (H5Aread(attr.get(), mem_type, out) < 0) {
    return AttrError(ErrorCode::kMalformed, path, name, "unreadable attribute");
  }
  return Status::Ok();
}

// Writes attribute `name` (at `path`) of `obj`, replacing one already there.
Status WriteAttr(hid_t obj, const char* name, const std::string& path, hid_t file_type,
                 hid_t mem_type, hid_t space, const void* data) {
  const htri_t exists = H5Aexists(obj, name);
  Status s = H5Check(exists, "H5Aexists", path);
  if (s.ok() && exists > 0) s = H5Check(H5Adelete(obj, name), "H5Adelete", path);
  if (!s.ok()) return s;
  Result<H5Id> attr = H5Checked(H5Acreate2(obj, name, file_type, space, H5P_DEFAULT, H5P_DEFAULT),
                                "H5Acreate2", path);
  if (!attr.ok()) return attr.status();
  return H5Check(H5Awrite(attr->get(), mem_type, data), "H5Awrite", path);
}

// A scalar (or, with `n`, one-dimensional) number attribute.
Status WriteNumberAttr(hid_t obj, const char* name, hid_t file_type, hid_t mem_type,
                       const void* data, std::optional<hsize_t> n = std::nullopt) {
  const std::string path = ObjectPath(obj) + "/" + name;
  const Result<H5Id> space =
      n ? H5Checked(H5Screate_simple(1, &*n, nullptr), "H5Screate_simple", path)
        : H5Checked(H5Screate(H5S_SCALAR), "H5Screate", path);
  if (!space.ok()) return space.status();
  return WriteAttr(obj, name, path, file_type, mem_type, space->get(), data);
}

}  // namespace

// Closing only releases the identifier here; a file whose writing must
// succeed is flushed and closed by its writer, which checks the result.
void H5Id::Reset() {
  if (id_ < 0) return;
  switch (H5Iget_type(id_)) {
    case H5I_FILE: H5Fclose(id_); break;
    case H5I_GROUP: H5Gclose(id_); break;
    case H5I_DATASET: H5Dclose(id_); break;
    case H5I_ATTR: H5Aclose(id_); break;
    case H5I_DATASPACE: H5Sclose(id_); break;
    case H5I_DATATYPE: H5Tclose(id_); break;
    case H5I_GENPROP_LST: H5Pclose(id_); break;
    default: break;
  }
  id_ = -1;
}

void PrepareHdf5() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Refused (harmlessly) when the process started HDF5 before.
    H5dont_atexit();
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  });
}

Status H5Error(ErrorCode code, const std::string& path, const std::string& what) {
  Location location;
  location.field = path;
  return Status(code, path + ": " + what, location);
}

Status H5Check(herr_t result, const char* call, const std::string& path, ErrorCode code) {
  return result < 0 ? H5Error(code, path, std::string(call) + " failed") : Status::Ok();
}

Result<H5Id> H5Checked(hid_t id, const char* call, const std::string& path, ErrorCode code) {
  if (id < 0) return H5Error(code, path, std::string(call) + " failed");
  return H5Id(id);
}

std::string ObjectPath(hid_t obj) {
  const ssize_t length = H5Iget_name(obj, nullptr, 0);
  if (length <= 0) return "";
  std::string name(static_cast<std::size_t>(length) + 1, '\0');
  if (H5Iget_name(obj, name.data(), name.size()) < 0) return "";
  name.resize(static_cast<std::size_t>(length));
  return name == "/" ? "" : name;
}

bool HasLink(hid_t parent, const std::string& name) {
  return H5Lexists(parent, name.c_str(), H5P_DEFAULT) > 0;
}

H5Id OpenGroup(hid_t parent, const std::string& name) {
  if (!HasLink(parent, name)) return H5Id();
  H5O_info_t info;
  if (H5Oget_info_by_name2(parent, name.c_str(), &info, H5O_INFO_BASIC, H5P_DEFAULT) < 0 ||
      info.type != H5O_TYPE_GROUP) {
    return H5Id();
  }
  return H5Id(H5Gopen2(parent, name.c_str(), H5P_DEFAULT));
}

bool HasAttr(hid_t obj, const char* name) { return obj >= 0 && H5Aexists(obj, name) > 0; }

hid_t FindAttr(const std::vector<hid_t>& objs, const char* name) {
  for (hid_t obj : objs) {
    if (HasAttr(obj, name)) return obj;
  }
  return -1;
}

namespace {

// A variable-length string attribute's text.
Status ReadVariableString(hid_t attr, const std::string& path, std::string* out) {
  Result<H5Id> mem = H5Checked(H5Tcopy(H5T_C_S1), "H5Tcopy", path);
  if (!mem.ok()) return mem.status();
  Status s = H5Check(H5Tset_size(mem->get(), H5T_VARIABLE), "H5Tset_size", path);
  char* text = nullptr;
  if (s.ok()) s = H5Check(H5Aread(attr, mem->get(), &text), "H5Aread", path, ErrorCode::kMalformed);
  if (s.ok() && text == nullptr) s = H5Error(ErrorCode::kMalformed, path, "unreadable string");
  if (!s.ok()) return s;
  out->assign(text);
  return H5Check(H5free_memory(text), "H5free_memory", path);
}

}  // namespace

Status ReadStringAttr(hid_t obj, const std::string& path, const char* name, std::string* out) {
  H5Id attr;
  Status status = OpenAttr(obj, path, name, &attr);
  if (!status.ok()) return status;
  const Result<H5Id> typed =
      H5Checked(H5Aget_type(attr.get()), "H5Aget_type", path + "/" + name, ErrorCode::kMalformed);
  if (!typed.ok()) return typed.status();
  const H5Id& type = *typed;
  if (H5Tget_class(type.get()) != H5T_STRING) {
    return AttrError(ErrorCode::kInvalidArgument, path, name, "wrong type: expected a string");
  }
  if (AttrPoints(attr.get()) != 1) {
    return AttrError(ErrorCode::kInvalidArgument, path, name, "expected one string");
  }
  if (H5Tis_variable_str(type.get()) > 0) {
    status = ReadVariableString(attr.get(), path + "/" + name, out);
    if (!status.ok()) return status;
  } else {
    const std::size_t size = H5Tget_size(type.get());
    if (size == 0) return AttrError(ErrorCode::kMalformed, path, name, "H5Tget_size failed");
    if (size > kMaxStringAttr) return AttrError(ErrorCode::kTooLarge, path, name, "string too long");
    std::string buffer(size, '\0');
    if (H5Aread(attr.get(), type.get(), buffer.data()) < 0) {
      return AttrError(ErrorCode::kMalformed, path, name, "unreadable string");
    }
    buffer.resize(buffer.find('\0') == std::string::npos ? size : buffer.find('\0'));
    *out = std::move(buffer);
  }
  while (!out->empty() && out->back() == ' ') out->pop_back();  // space-padded strings
  return Status::Ok();
}

Status ReadDoubleAttr(hid_t obj, const std::string& path, const char* name, double* out) {
  return ReadNumbers(obj, path, name, H5T_NATIVE_DOUBLE, 1, out);
}

Status ReadLongAttr(hid_t obj, const std::string& path, const char* name, std::int64_t* out) {
  double value = 0;
  Status status = ReadDoubleAttr(obj, path, name, &value);
  if (!status.ok()) return status;
  // Integers are read through a double, which holds every ODIM count exactly.
  if (!(value >= -9.0e15 && value <= 9.0e15) || value != static_cast<double>(
                                                          static_cast<std::int64_t>(value))) {
    return AttrError(ErrorCode::kInvalidArgument, path, name, "wrong type: expected an integer");
  }
  *out = static_cast<std::int64_t>(value);
  return Status::Ok();
}

Status ReadDoublesAttr(hid_t obj, const std::string& path, const char* name, std::size_t count,
                       std::vector<double>* out) {
  if (count > kMaxArrayAttr) return AttrError(ErrorCode::kTooLarge, path, name, "too many values");
  out->assign(count, 0.0);
  return ReadNumbers(obj, path, name, H5T_NATIVE_DOUBLE, count, out->data());
}

Status WriteStringAttr(hid_t obj, const char* name, const std::string& value) {
  const std::string path = ObjectPath(obj) + "/" + name;
  const Result<H5Id> type = H5Checked(H5Tcopy(H5T_C_S1), "H5Tcopy", path);
  if (!type.ok()) return type.status();
  const Result<H5Id> space = H5Checked(H5Screate(H5S_SCALAR), "H5Screate", path);
  Status s = space.status();
  if (s.ok()) s = H5Check(H5Tset_size(type->get(), value.size() + 1), "H5Tset_size", path);
  if (s.ok()) s = H5Check(H5Tset_strpad(type->get(), H5T_STR_NULLTERM), "H5Tset_strpad", path);
  if (!s.ok()) return s;
  return WriteAttr(obj, name, path, type->get(), type->get(), space->get(), value.c_str());
}

Status WriteDoubleAttr(hid_t obj, const char* name, double value) {
  return WriteNumberAttr(obj, name, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, &value);
}

Status WriteLongAttr(hid_t obj, const char* name, std::int64_t value) {
  return WriteNumberAttr(obj, name, H5T_STD_I64LE, H5T_NATIVE_INT64, &value);
}

Status WriteDoublesAttr(hid_t obj, const char* name, const std::vector<double>& values) {
  return WriteNumberAttr(obj, name, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, values.data(),
                         values.size());
}

hid_t FileTypeOf(int storage_type, int endian) {
  const bool big = endian == DataBuffer::BIG;
  switch (storage_type) {
    case DataBuffer::UINT8: return H5T_STD_U8LE;
    case DataBuffer::UINT16: return big ? H5T_STD_U16BE : H5T_STD_U16LE;
    case DataBuffer::INT32: return big ? H5T_STD_I32BE : H5T_STD_I32LE;
    case DataBuffer::INT64: return big ? H5T_STD_I64BE : H5T_STD_I64LE;
    case DataBuffer::FLOAT: return big ? H5T_IEEE_F32BE : H5T_IEEE_F32LE;
    case DataBuffer::DOUBLE: return big ? H5T_IEEE_F64BE : H5T_IEEE_F64LE;
    default: return -1;
  }
}

bool StorageOf(hid_t type, int* storage_type, int* endian) {
  const H5T_class_t cls = H5Tget_class(type);
  const std::size_t size = H5Tget_size(type);
  const H5T_order_t order = H5Tget_order(type);
  *endian = order == H5T_ORDER_BE ? DataBuffer::BIG : DataBuffer::LITTLE;
  if (cls == H5T_INTEGER) {
    const bool is_signed = H5Tget_sign(type) == H5T_SGN_2;
    if (size == 1 && !is_signed) *storage_type = DataBuffer::UINT8;
    else if (size == 2 && !is_signed) *storage_type = DataBuffer::UINT16;
    else if (size == 4 && is_signed) *storage_type = DataBuffer::INT32;
    else if (size == 8 && is_signed) *storage_type = DataBuffer::INT64;
    else return false;
    if (size == 1) *endian = DataBuffer::LITTLE;
    return true;
  }
  if (cls == H5T_FLOAT && (size == 4 || size == 8)) {
    *storage_type = size == 4 ? DataBuffer::FLOAT : DataBuffer::DOUBLE;
    return true;
  }
  return false;
}

}  // namespace formats
}  // namespace common_dto
