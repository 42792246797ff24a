// The HDF5 and netCDF call wrappers of the formats library: a failing call
// becomes a Status with its code, the call's name and the object's path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "hdf5_util.h"
#include "netcdf_util.h"

namespace {

using common_dto::ErrorCode;
using common_dto::Result;
using common_dto::Status;
using namespace common_dto::formats;  // NOLINT: the wrappers under test

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "calls_" + std::to_string(getpid()) + "_" + name;
}

// A file with group /what holding one attribute, closed again.
std::string MakeHdf5(const std::string& name) {
  PrepareHdf5();
  const std::string path = TempPath(name);
  H5Id file(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT));
  H5Id what(H5Gcreate2(file.get(), "what", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
  EXPECT_TRUE(WriteStringAttr(what.get(), "object", "PVOL").ok());
  return path;
}

TEST(Hdf5Calls, CompressionOfAnArrayThatCannotBeChunkedIsAnError) {
  PrepareHdf5();
  Result<H5Id> dcpl = H5Checked(H5Pcreate(H5P_DATASET_CREATE), "H5Pcreate", "/dataset1/data1/data");
  ASSERT_TRUE(dcpl.ok());
  const hsize_t empty[2] = {0, 250};  // a chunk must hold at least one element each way
  const Status s =
      H5Check(H5Pset_chunk(dcpl->get(), 2, empty), "H5Pset_chunk", "/dataset1/data1/data");
  EXPECT_EQ(s.code(), ErrorCode::kIo);
  EXPECT_EQ(s.location().field, "/dataset1/data1/data");
  EXPECT_EQ(s.message(), "/dataset1/data1/data: H5Pset_chunk failed");
  // Deflate on a property list of the wrong class.
  Result<H5Id> fapl = H5Checked(H5Pcreate(H5P_FILE_ACCESS), "H5Pcreate", "/");
  ASSERT_TRUE(fapl.ok());
  EXPECT_EQ(H5Check(H5Pset_deflate(fapl->get(), 6), "H5Pset_deflate", "/x").message(),
            "/x: H5Pset_deflate failed");
  const Result<H5Id> bad = H5Checked(H5Dopen2(fapl->get(), "data", H5P_DEFAULT), "H5Dopen2",
                                     "/x/data", ErrorCode::kMalformed);
  EXPECT_EQ(bad.status().code(), ErrorCode::kMalformed);
  EXPECT_EQ(bad.status().location().field, "/x/data");
}

TEST(Hdf5Calls, AttributeWritesIntoAReadOnlyFileNameTheCallAndPath) {
  const std::string path = MakeHdf5("ro.h5");
  H5Id file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
  ASSERT_TRUE(file.valid());
  H5Id what = OpenGroup(file.get(), "what");
  ASSERT_TRUE(what.valid());
  EXPECT_EQ(ObjectPath(what.get()), "/what");
  // Replacing an attribute starts by deleting it; a new one by creating it.
  Status s = WriteStringAttr(what.get(), "object", "SCAN");
  EXPECT_EQ(s.code(), ErrorCode::kIo);
  EXPECT_EQ(s.location().field, "/what/object");
  EXPECT_EQ(s.message(), "/what/object: H5Adelete failed");
  s = WriteDoubleAttr(what.get(), "lon", 13.86);
  EXPECT_EQ(s.location().field, "/what/lon");
  EXPECT_EQ(s.message(), "/what/lon: H5Acreate2 failed");
  s = WriteDoublesAttr(file.get(), "angles", {0.5, 1.5});
  EXPECT_EQ(s.location().field, "/angles");
  EXPECT_EQ(s.message(), "/angles: H5Acreate2 failed");
  // What was there is still there.
  std::string object;
  ASSERT_TRUE(ReadStringAttr(what.get(), "/what", "object", &object).ok());
  EXPECT_EQ(object, "PVOL");
  unlink(path.c_str());
}

// A netCDF-4 file with dimension time(3) and variable DBZH(time), closed
// again; its id is then no longer valid.
int ClosedNetcdf(const std::string& path) {
  NcFile file;
  EXPECT_TRUE(file.Create(path).ok());
  int dim = 0, var = 0;
  EXPECT_EQ(nc_def_dim(file.id(), "time", 3, &dim), NC_NOERR);
  EXPECT_TRUE(DefVar(file.id(), "DBZH", NC_FLOAT, {dim}, &var).ok());
  const int id = file.id();
  EXPECT_TRUE(file.Close().ok());
  EXPECT_TRUE(file.Close().ok());  // a second close does nothing
  return id;
}

TEST(NetcdfCalls, CallsOnAClosedFileNameTheCallAndVariable) {
  const std::string path = TempPath("closed.nc");
  const int id = ClosedNetcdf(path);
  Status s = DimLength(id, "time").status();
  EXPECT_EQ(s.code(), ErrorCode::kMalformed);
  EXPECT_EQ(s.location().field, "time");
  EXPECT_EQ(s.message(), std::string("time: nc_inq_dimid: ") + nc_strerror(NC_EBADID));
  const Result<NcVarInfo> info = InqVar(id, 0);
  EXPECT_EQ(info.status().code(), ErrorCode::kMalformed);
  EXPECT_EQ(info.status().message(),
            std::string("variable 0: nc_inq_var: ") + nc_strerror(NC_EBADID));
  s = PutAttText(id, NC_GLOBAL, "Conventions", "CF/Radial");
  EXPECT_EQ(s.code(), ErrorCode::kIo);
  EXPECT_EQ(s.message(), std::string("Conventions: nc_put_att_text: ") + nc_strerror(NC_EBADID));
  int var = 0;
  s = DefVar(id, "VRADH", NC_FLOAT, {0}, &var);
  EXPECT_EQ(s.code(), ErrorCode::kIo);
  EXPECT_EQ(s.location().field, "VRADH");
  EXPECT_EQ(s.message(), std::string("VRADH: nc_def_var: ") + nc_strerror(NC_EBADID));
  EXPECT_EQ(DimId(id, "time").status().code(), ErrorCode::kMalformed);
  unlink(path.c_str());
}

TEST(NetcdfCalls, AbsentDimensionIsNoErrorAndVariablesDescribeThemselves) {
  const std::string path = TempPath("open.nc");
  ClosedNetcdf(path);
  NcFile file;
  ASSERT_TRUE(file.Open(path).ok());
  const Result<int> range = DimId(file.id(), "range");
  ASSERT_TRUE(range.ok());
  EXPECT_EQ(*range, -1);
  EXPECT_EQ(DimLength(file.id(), "range").status().message(), "range: missing dimension");
  EXPECT_EQ(DimLength(file.id(), "time").value_or(0), 3u);
  const Result<NcVarInfo> info = InqVar(file.id(), VarId(file.id(), "DBZH"));
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info->name, "DBZH");
  EXPECT_EQ(info->type, NC_FLOAT);
  EXPECT_EQ(info->dim_names, std::vector<std::string>{"time"});
  EXPECT_EQ(info->lengths, std::vector<std::size_t>{3});
  // Compression of a variable in a file open read-only.
  const Status s = NcCheck(nc_def_var_deflate(file.id(), VarId(file.id(), "DBZH"), 1, 1, 6),
                           "nc_def_var_deflate", ErrorCode::kIo, "DBZH");
  EXPECT_EQ(s.code(), ErrorCode::kIo);
  EXPECT_EQ(s.message().rfind("DBZH: nc_def_var_deflate: ", 0), 0u) << s.message();
  EXPECT_TRUE(file.Close().ok());
  unlink(path.c_str());
}

}  // namespace
