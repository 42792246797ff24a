// Small layer over netCDF-C: an owned file and typed attribute and variable
// access returning a Status.
#pragma once

#include <netcdf.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common_dto/model/status.h"

namespace common_dto {
namespace formats {

class NcFile {
 public:
  NcFile() = default;
  ~NcFile();
  NcFile(const NcFile&) = delete;
  NcFile& operator=(const NcFile&) = delete;
  Status Open(const std::string& path);    // read-only
  Status Create(const std::string& path);  // netCDF-4, replacing
  Status Close();                          // reports write errors
  int id() const { return id_; }

 private:
  int id_ = -1;
  std::string path_;
};

// An error about `where` (a variable, dimension or attribute name, the
// Location field).
Status NcError(ErrorCode code, const std::string& where, const std::string& what);
// Every netCDF call's result goes through here: NC_NOERR is success, any
// other result a `code` error about `where` naming the call and netCDF's
// reason ("DBZH: nc_def_var_deflate: NetCDF: Not a valid ID").
Status NcCheck(int rc, const char* call, ErrorCode code, const std::string& where);

// A variable's name, type and dimensions (ids, names and lengths).
struct NcVarInfo {
  std::string name;
  nc_type type = NC_NAT;
  std::vector<int> dims;
  std::vector<std::string> dim_names;
  std::vector<std::size_t> lengths;
};
// Variable `var` of `ncid`; kMalformed when the file cannot say.
Result<NcVarInfo> InqVar(int ncid, int var);
// The id of dimension `name` visible from `ncid`, -1 when there is none;
// an error only when netCDF fails otherwise.
Result<int> DimId(int ncid, const char* name);

bool HasAtt(int ncid, int varid, const char* name);
int VarId(int ncid, const std::string& name);  // -1 when absent
// Size in bytes of the file that `ncid` (or a group in it) belongs to; 0
// when it cannot be told.
std::uint64_t NcFileSize(int ncid);

// Attributes: text (NC_CHAR or NC_STRING) and one number.
Status GetAttText(int ncid, int varid, const char* name, std::string* out);
Status GetAttDouble(int ncid, int varid, const char* name, double* out);
Status PutAttText(int ncid, int varid, const char* name, const std::string& value);
Status PutAttDouble(int ncid, int varid, const char* name, nc_type type, double value);

// Variable `name`, values [start, start + count) along its first dimension
// (any numeric type, read as doubles). Missing variable: kMalformed.
Status GetDoubles(int ncid, const std::string& name, std::size_t start, std::size_t count,
                  std::vector<double>* out);
// Text element `index` of a char(n, len) or string(n) variable, or of a
// char(len) / scalar string variable when it has one dimension less.
Status GetText(int ncid, const std::string& name, std::size_t index, std::string* out);
// The length of dimension `name`; kMalformed when absent.
Result<std::size_t> DimLength(int ncid, const char* name);

// Defines a variable; returns its id through *varid.
Status DefVar(int ncid, const std::string& name, nc_type type, std::vector<int> dims, int* varid);

}  // namespace formats
}  // namespace common_dto
