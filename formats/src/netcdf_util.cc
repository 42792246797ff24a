// Owned netCDF files and typed access.
#include "netcdf_util.h"

#include <sys/stat.h>

namespace common_dto {
namespace formats {

namespace {
constexpr std::size_t kMaxText = std::size_t{1} << 20;
constexpr std::size_t kMaxValues = std::size_t{1} << 26;
}  // namespace

NcFile::~NcFile() {
  if (id_ >= 0) nc_close(id_);
}

Status NcFile::Open(const std::string& path) {
  int id = -1;
  const int rc = nc_open(path.c_str(), NC_NOWRITE, &id);
  if (rc != NC_NOERR) {
    return NcError(rc == ENOENT || rc == EACCES ? ErrorCode::kIo : ErrorCode::kMalformed, path,
                   std::string("cannot open as netCDF: ") + nc_strerror(rc));
  }
  id_ = id;
  return Status::Ok();
}

Status NcFile::Create(const std::string& path) {
  int id = -1;
  const int rc = nc_create(path.c_str(), NC_CLOBBER | NC_NETCDF4, &id);
  if (rc != NC_NOERR) return NcError(ErrorCode::kIo, path, std::string("cannot create: ") + nc_strerror(rc));
  id_ = id;
  return Status::Ok();
}

Status NcFile::Close() {
  const int id = id_;
  id_ = -1;
  return id < 0 ? Status::Ok() : NcCheck(nc_close(id), ErrorCode::kIo, "closing the file");
}

Status NcError(ErrorCode code, const std::string& where, const std::string& what) {
  Location location;
  location.field = where;
  return Status(code, where + ": " + what, location);
}

Status NcCheck(int rc, ErrorCode code, const std::string& where) {
  return rc == NC_NOERR ? Status::Ok() : NcError(code, where, nc_strerror(rc));
}

bool HasAtt(int ncid, int varid, const char* name) {
  int id = 0;
  return nc_inq_attid(ncid, varid, name, &id) == NC_NOERR;
}

std::uint64_t NcFileSize(int ncid) {
  std::size_t length = 0;
  if (nc_inq_path(ncid, &length, nullptr) != NC_NOERR || length == 0) return 0;
  std::string path(length, '\0');
  if (nc_inq_path(ncid, nullptr, path.data()) != NC_NOERR) return 0;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

int VarId(int ncid, const std::string& name) {
  int id = -1;
  return nc_inq_varid(ncid, name.c_str(), &id) == NC_NOERR ? id : -1;
}

Status GetAttText(int ncid, int varid, const char* name, std::string* out) {
  nc_type type = 0;
  std::size_t len = 0;
  if (nc_inq_att(ncid, varid, name, &type, &len) != NC_NOERR) {
    return NcError(ErrorCode::kMalformed, name, "missing attribute");
  }
  if (type == NC_CHAR) {
    if (len > kMaxText) return NcError(ErrorCode::kTooLarge, name, "text too long");
    out->assign(len, '\0');
    if (len > 0 && nc_get_att_text(ncid, varid, name, out->data()) != NC_NOERR) {
      return NcError(ErrorCode::kMalformed, name, "unreadable attribute");
    }
    out->resize(out->find('\0') == std::string::npos ? len : out->find('\0'));
    return Status::Ok();
  }
  if (type == NC_STRING && len == 1) {
    char* text = nullptr;
    if (nc_get_att_string(ncid, varid, name, &text) != NC_NOERR) {
      return NcError(ErrorCode::kMalformed, name, "unreadable attribute");
    }
    out->assign(text ? text : "");
    nc_free_string(1, &text);
    return Status::Ok();
  }
  return NcError(ErrorCode::kInvalidArgument, name, "wrong type: expected text");
}

Status GetAttDouble(int ncid, int varid, const char* name, double* out) {
  nc_type type = 0;
  std::size_t len = 0;
  if (nc_inq_att(ncid, varid, name, &type, &len) != NC_NOERR) {
    return NcError(ErrorCode::kMalformed, name, "missing attribute");
  }
  if (type == NC_CHAR || type == NC_STRING || len != 1) {
    return NcError(ErrorCode::kInvalidArgument, name, "wrong type: expected one number");
  }
  return NcCheck(nc_get_att_double(ncid, varid, name, out), ErrorCode::kMalformed, name);
}

Status PutAttText(int ncid, int varid, const char* name, const std::string& value) {
  return NcCheck(nc_put_att_text(ncid, varid, name, value.size(), value.data()), ErrorCode::kIo, name);
}

Status PutAttDouble(int ncid, int varid, const char* name, nc_type type, double value) {
  return NcCheck(nc_put_att_double(ncid, varid, name, type, 1, &value), ErrorCode::kIo, name);
}

Status DimLength(int ncid, const char* name, std::size_t* length) {
  int dim = 0;
  if (nc_inq_dimid(ncid, name, &dim) != NC_NOERR) {
    return NcError(ErrorCode::kMalformed, name, "missing dimension");
  }
  return NcCheck(nc_inq_dimlen(ncid, dim, length), ErrorCode::kMalformed, name);
}

Status GetDoubles(int ncid, const std::string& name, std::size_t start, std::size_t count,
                  std::vector<double>* out) {
  const int var = VarId(ncid, name);
  if (var < 0) return NcError(ErrorCode::kMalformed, name, "missing variable");
  nc_type type = 0;
  int ndims = 0;
  nc_inq_vartype(ncid, var, &type);
  nc_inq_varndims(ncid, var, &ndims);
  if (type == NC_CHAR || type == NC_STRING || ndims > 1) {
    return NcError(ErrorCode::kInvalidArgument, name, "wrong type: expected numbers");
  }
  int dim = 0;
  std::size_t length = 1;
  if (ndims == 1) {
    nc_inq_vardimid(ncid, var, &dim);
    nc_inq_dimlen(ncid, dim, &length);
  }
  if (count > kMaxValues || start + count > length) {
    return NcError(ErrorCode::kInvalidArgument, name,
                   "holds " + std::to_string(length) + " values, needed " +
                       std::to_string(start + count));
  }
  out->assign(count, 0.0);
  if (count == 0) return Status::Ok();
  const std::size_t starts[1] = {start}, counts[1] = {count};
  return NcCheck(ndims == 0 ? nc_get_var_double(ncid, var, out->data())
                            : nc_get_vara_double(ncid, var, starts, counts, out->data()),
                 ErrorCode::kMalformed, name);
}

Status GetText(int ncid, const std::string& name, std::size_t index, std::string* out) {
  const int var = VarId(ncid, name);
  if (var < 0) return NcError(ErrorCode::kMalformed, name, "missing variable");
  nc_type type = 0;
  int ndims = 0;
  int dims[NC_MAX_VAR_DIMS];
  nc_inq_vartype(ncid, var, &type);
  nc_inq_varndims(ncid, var, &ndims);
  if (ndims > 2) return NcError(ErrorCode::kInvalidArgument, name, "wrong shape: expected text");
  nc_inq_vardimid(ncid, var, dims);
  std::size_t lengths[2] = {1, 1};
  for (int i = 0; i < ndims; ++i) nc_inq_dimlen(ncid, dims[i], &lengths[i]);
  if (type == NC_STRING) {
    const std::size_t start[1] = {index}, count[1] = {1};
    if (ndims > 1 || (ndims == 1 && index >= lengths[0])) {
      return NcError(ErrorCode::kInvalidArgument, name, "too few elements");
    }
    char* text = nullptr;
    if (nc_get_vara_string(ncid, var, start, count, &text) != NC_NOERR) {
      return NcError(ErrorCode::kMalformed, name, "unreadable");
    }
    out->assign(text ? text : "");
    nc_free_string(1, &text);
    return Status::Ok();
  }
  if (type != NC_CHAR || ndims == 0) return NcError(ErrorCode::kInvalidArgument, name, "wrong type: expected text");
  const bool table = ndims == 2;
  const std::size_t len = lengths[table ? 1 : 0];
  if ((table && index >= lengths[0]) || len > kMaxText) {
    return NcError(ErrorCode::kInvalidArgument, name, "too few elements or too long");
  }
  out->assign(len, '\0');
  const std::size_t start[2] = {table ? index : 0, 0}, count[2] = {table ? 1 : len, len};
  const int rc = table ? nc_get_vara_text(ncid, var, start, count, out->data())
                       : nc_get_vara_text(ncid, var, start + 1, count + 1, out->data());
  if (rc != NC_NOERR) return NcError(ErrorCode::kMalformed, name, nc_strerror(rc));
  out->resize(out->find('\0') == std::string::npos ? len : out->find('\0'));
  while (!out->empty() && out->back() == ' ') out->pop_back();
  return Status::Ok();
}

Status DefVar(int ncid, const std::string& name, nc_type type, std::vector<int> dims, int* varid) {
  return NcCheck(nc_def_var(ncid, name.c_str(), type, static_cast<int>(dims.size()), dims.data(), varid),
                 ErrorCode::kIo, name);
}

}  // namespace formats
}  // namespace common_dto
