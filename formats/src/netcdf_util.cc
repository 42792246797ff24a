// Owned netCDF files and typed access.
#include "netcdf_util.h"

#include <sys/stat.h>

namespace common_dto {
namespace formats {

namespace {
constexpr std::size_t kMaxText = std::size_t{1} << 20;
constexpr std::size_t kMaxValues = std::size_t{1} << 26;
}  // namespace

// Closing after a failure: the error is already reported. Close() is what
// a writer calls, and checks.
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
  path_ = path;
  return Status::Ok();
}

Status NcFile::Create(const std::string& path) {
  int id = -1;
  const int rc = nc_create(path.c_str(), NC_CLOBBER | NC_NETCDF4, &id);
  if (rc != NC_NOERR) return NcError(ErrorCode::kIo, path, std::string("cannot create: ") + nc_strerror(rc));
  id_ = id;
  path_ = path;
  return Status::Ok();
}

Status NcFile::Close() {
  const int id = id_;
  id_ = -1;
  return id < 0 ? Status::Ok() : NcCheck(nc_close(id), "nc_close", ErrorCode::kIo, path_);
}

Status NcError(ErrorCode code, const std::string& where, const std::string& what) {
  Location location;
  location.field = where;
  return Status(code, where + ": " + what, location);
}

Status NcCheck(int rc, const char* call, ErrorCode code, const std::string& where) {
  return rc == NC_NOERR ? Status::Ok()
                        : NcError(code, where, std::string(call) + ": " + nc_strerror(rc));
}

Result<NcVarInfo> InqVar(int ncid, int var) {
  NcVarInfo info;
  char name[NC_MAX_NAME + 1] = {};
  int ndims = 0;
  const std::string where = "variable " + std::to_string(var);
  Status s = NcCheck(nc_inq_var(ncid, var, name, &info.type, &ndims, nullptr, nullptr),
                     "nc_inq_var", ErrorCode::kMalformed, where);
  if (!s.ok()) return s;
  info.name = name;
  info.dims.resize(static_cast<std::size_t>(ndims));
  s = NcCheck(nc_inq_vardimid(ncid, var, info.dims.data()), "nc_inq_vardimid",
              ErrorCode::kMalformed, info.name);
  for (int dim : info.dims) {
    char dim_name[NC_MAX_NAME + 1] = {};
    std::size_t length = 0;
    if (s.ok()) {
      s = NcCheck(nc_inq_dim(ncid, dim, dim_name, &length), "nc_inq_dim", ErrorCode::kMalformed,
                  info.name);
    }
    info.dim_names.emplace_back(dim_name);
    info.lengths.push_back(length);
  }
  if (!s.ok()) return s;
  return info;
}

Result<int> DimId(int ncid, const char* name) {
  int dim = -1;
  const int rc = nc_inq_dimid(ncid, name, &dim);
  if (rc == NC_EBADDIM) return -1;
  Status s = NcCheck(rc, "nc_inq_dimid", ErrorCode::kMalformed, name);
  if (!s.ok()) return s;
  return dim;
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
    return NcCheck(nc_free_string(1, &text), "nc_free_string", ErrorCode::kMalformed, name);
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
  return NcCheck(nc_get_att_double(ncid, varid, name, out), "nc_get_att_double",
                 ErrorCode::kMalformed, name);
}

Status PutAttText(int ncid, int varid, const char* name, const std::string& value) {
  return NcCheck(nc_put_att_text(ncid, varid, name, value.size(), value.data()), "nc_put_att_text",
                 ErrorCode::kIo, name);
}

Status PutAttDouble(int ncid, int varid, const char* name, nc_type type, double value) {
  return NcCheck(nc_put_att_double(ncid, varid, name, type, 1, &value), "nc_put_att_double",
                 ErrorCode::kIo, name);
}

Result<std::size_t> DimLength(int ncid, const char* name) {
  const Result<int> dim = DimId(ncid, name);
  if (!dim.ok()) return dim.status();
  if (*dim < 0) return NcError(ErrorCode::kMalformed, name, "missing dimension");
  std::size_t length = 0;
  const Status s =
      NcCheck(nc_inq_dimlen(ncid, *dim, &length), "nc_inq_dimlen", ErrorCode::kMalformed, name);
  if (!s.ok()) return s;
  return length;
}

Status GetDoubles(int ncid, const std::string& name, std::size_t start, std::size_t count,
                  std::vector<double>* out) {
  const int var = VarId(ncid, name);
  if (var < 0) return NcError(ErrorCode::kMalformed, name, "missing variable");
  const Result<NcVarInfo> info = InqVar(ncid, var);
  if (!info.ok()) return info.status();
  if (info->type == NC_CHAR || info->type == NC_STRING || info->dims.size() > 1) {
    return NcError(ErrorCode::kInvalidArgument, name, "wrong type: expected numbers");
  }
  const std::size_t length = info->dims.empty() ? 1 : info->lengths[0];
  if (count > kMaxValues || start + count > length) {
    return NcError(ErrorCode::kInvalidArgument, name,
                   "holds " + std::to_string(length) + " values, needed " +
                       std::to_string(start + count));
  }
  out->assign(count, 0.0);
  if (count == 0) return Status::Ok();
  const std::size_t starts[1] = {start}, counts[1] = {count};
  if (info->dims.empty()) {
    return NcCheck(nc_get_var_double(ncid, var, out->data()), "nc_get_var_double",
                   ErrorCode::kMalformed, name);
  }
  return NcCheck(nc_get_vara_double(ncid, var, starts, counts, out->data()), "nc_get_vara_double",
                 ErrorCode::kMalformed, name);
}

namespace {

// Element `index` of a string(n) variable, or of a scalar string.
Status GetStringElement(int ncid, int var, const NcVarInfo& info, std::size_t index,
                        std::string* out) {
  const std::string& name = info.name;
  if (info.dims.size() > 1 || (info.dims.size() == 1 && index >= info.lengths[0])) {
    return NcError(ErrorCode::kInvalidArgument, name, "too few elements");
  }
  const std::size_t start[1] = {index}, count[1] = {1};
  char* text = nullptr;
  Status s = NcCheck(nc_get_vara_string(ncid, var, start, count, &text), "nc_get_vara_string",
                     ErrorCode::kMalformed, name);
  if (!s.ok()) return s;
  out->assign(text ? text : "");
  return NcCheck(nc_free_string(1, &text), "nc_free_string", ErrorCode::kMalformed, name);
}

}  // namespace

Status GetText(int ncid, const std::string& name, std::size_t index, std::string* out) {
  const int var = VarId(ncid, name);
  if (var < 0) return NcError(ErrorCode::kMalformed, name, "missing variable");
  const Result<NcVarInfo> info = InqVar(ncid, var);
  if (!info.ok()) return info.status();
  const std::size_t ndims = info->dims.size();
  if (ndims > 2) return NcError(ErrorCode::kInvalidArgument, name, "wrong shape: expected text");
  if (info->type == NC_STRING) return GetStringElement(ncid, var, *info, index, out);
  if (info->type != NC_CHAR || ndims == 0) {
    return NcError(ErrorCode::kInvalidArgument, name, "wrong type: expected text");
  }
  const bool table = ndims == 2;
  const std::size_t len = info->lengths[table ? 1 : 0];
  if ((table && index >= info->lengths[0]) || len > kMaxText) {
    return NcError(ErrorCode::kInvalidArgument, name, "too few elements or too long");
  }
  out->assign(len, '\0');
  const std::size_t start[2] = {table ? index : 0, 0}, count[2] = {table ? 1 : len, len};
  const Status s = NcCheck(table ? nc_get_vara_text(ncid, var, start, count, out->data())
                                 : nc_get_vara_text(ncid, var, start + 1, count + 1, out->data()),
                           "nc_get_vara_text", ErrorCode::kMalformed, name);
  if (!s.ok()) return s;
  out->resize(out->find('\0') == std::string::npos ? len : out->find('\0'));
  while (!out->empty() && out->back() == ' ') out->pop_back();
  return Status::Ok();
}

Status DefVar(int ncid, const std::string& name, nc_type type, std::vector<int> dims, int* varid) {
  return NcCheck(
      nc_def_var(ncid, name.c_str(), type, static_cast<int>(dims.size()), dims.data(), varid),
      "nc_def_var", ErrorCode::kIo, name);
}

}  // namespace formats
}  // namespace common_dto
