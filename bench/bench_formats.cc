// Radar file formats: volume M converted to and from ODIM_H5, CF/Radial 1.4
// and CF/Radial 2.1 files by the formats library, against writing and
// reading the same arrays (every sweep's moments as 2-D arrays plus the
// per-ray angle and time arrays) with plain HDF5 and netCDF calls, into and
// from files in a temporary directory.
//
// ratio = plain calls' time / the library's time: at least 0.8 is the goal.
// write_<format> includes reading the file's metadata back to name what the
// format could not carry; write_<format>_no_notes leaves that out
// (WriteOptions::report_not_carried = false).
#include <hdf5.h>
#include <netcdf.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bench_util.h"
#include "common_dto/formats/formats.h"

namespace common_dto_bench {
namespace {

using common_dto::formats::Format;
using kyt::pb::common::Volume;

std::string TempFile(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/common-dto-bench-" + std::to_string(getpid()) + "-" + name;
}

// The per-ray arrays the formats keep: azimuth, elevation and time.
std::vector<std::vector<double>> RayArrays(const kyt::pb::common::Sweep& sweep) {
  std::vector<std::vector<double>> arrays(3);
  for (const auto& ray : sweep.rays()) {
    arrays[0].push_back(ray.az_range_deg().start_deg());
    arrays[1].push_back(ray.el_range_deg().start_deg());
    arrays[2].push_back(double(ray.aq_start_time().seconds()) + 1e-9 * ray.aq_start_time().nanos());
  }
  return arrays;
}

const char* const kArrays[] = {"azimuth", "elevation", "time"};

void PlainHdf5Write(const Volume& volume, const std::string& path) {
  const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
  Check(file >= 0, "H5Fcreate");
  for (int s = 0; s < volume.sweep_size(); ++s) {
    const auto& sweep = volume.sweep(s);
    const hid_t group = H5Gcreate2(file, ("dataset" + std::to_string(s + 1)).c_str(), H5P_DEFAULT,
                                   H5P_DEFAULT, H5P_DEFAULT);
    const auto arrays = RayArrays(sweep);
    for (int a = 0; a < 3; ++a) {
      const hsize_t n = arrays[a].size();
      const hid_t space = H5Screate_simple(1, &n, nullptr);
      const hid_t attr = H5Acreate2(group, kArrays[a], H5T_IEEE_F64LE, space, H5P_DEFAULT, H5P_DEFAULT);
      H5Awrite(attr, H5T_NATIVE_DOUBLE, arrays[a].data());
      H5Aclose(attr);
      H5Sclose(space);
    }
    for (const auto& [name, buffer] : sweep.sweep_moments()) {
      const hsize_t dims[2] = {hsize_t(sweep.rays_size()), buffer.data().size() / sweep.rays_size()};
      const hid_t space = H5Screate_simple(2, dims, nullptr);
      const hid_t data = H5Dcreate2(group, name.c_str(), H5T_STD_U8LE, space, H5P_DEFAULT, H5P_DEFAULT,
                                    H5P_DEFAULT);
      Check(H5Dwrite(data, H5T_STD_U8LE, H5S_ALL, H5S_ALL, H5P_DEFAULT, buffer.data().data()) >= 0,
            "H5Dwrite");
      H5Dclose(data);
      H5Sclose(space);
    }
    H5Gclose(group);
  }
  H5Fclose(file);
}

herr_t ReadObject(hid_t group, const char* name, const H5L_info_t*, void* out) {
  auto* buffers = static_cast<std::vector<std::string>*>(out);
  const hid_t data = H5Dopen2(group, name, H5P_DEFAULT);
  const hid_t space = H5Dget_space(data);
  buffers->emplace_back(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space)), '\0');
  H5Dread(data, H5T_STD_U8LE, H5S_ALL, H5S_ALL, H5P_DEFAULT, buffers->back().data());
  H5Sclose(space);
  H5Dclose(data);
  return 0;
}

void PlainHdf5Read(const std::string& path, int sweeps, std::vector<std::string>* buffers) {
  const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  for (int s = 0; s < sweeps; ++s) {
    const hid_t group = H5Gopen2(file, ("dataset" + std::to_string(s + 1)).c_str(), H5P_DEFAULT);
    for (const char* a : kArrays) {
      const hid_t attr = H5Aopen(group, a, H5P_DEFAULT);
      const hid_t space = H5Aget_space(attr);
      std::vector<double> values(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space)));
      H5Aread(attr, H5T_NATIVE_DOUBLE, values.data());
      H5Sclose(space);
      H5Aclose(attr);
    }
    H5Literate(group, H5_INDEX_NAME, H5_ITER_NATIVE, nullptr, ReadObject, buffers);
    H5Gclose(group);
  }
  H5Fclose(file);
}

// netCDF-4: one group per sweep (`groups`) or all rays in the root group.
void PlainNetcdfWrite(const Volume& volume, const std::string& path, bool groups) {
  int file = 0;
  Check(nc_create(path.c_str(), NC_CLOBBER | NC_NETCDF4, &file) == NC_NOERR, "nc_create");
  std::size_t first = 0, total = 0, gates = 0;
  for (const auto& sweep : volume.sweep()) {
    total += sweep.rays_size();
    gates = std::max(gates, sweep.sweep_moments().begin()->second.data().size() / sweep.rays_size());
  }
  int root_dims[2] = {0, 0};
  if (!groups) {
    nc_def_dim(file, "time", total, &root_dims[0]);
    nc_def_dim(file, "range", gates, &root_dims[1]);
  }
  for (int s = 0; s < volume.sweep_size(); ++s) {
    const auto& sweep = volume.sweep(s);
    const std::size_t rays = sweep.rays_size();
    const std::size_t g = sweep.sweep_moments().begin()->second.data().size() / rays;
    int ncid = file, dims[2] = {root_dims[0], root_dims[1]}, var = 0;
    if (groups) {
      nc_def_grp(file, ("sweep_" + std::to_string(s)).c_str(), &ncid);
      nc_def_dim(ncid, "time", rays, &dims[0]);
      nc_def_dim(ncid, "range", g, &dims[1]);
    }
    const auto arrays = RayArrays(sweep);
    const std::size_t start[2] = {groups ? 0 : first, 0}, count[2] = {rays, g};
    for (int a = 0; a < 3; ++a) {
      if (nc_inq_varid(ncid, kArrays[a], &var) != NC_NOERR) nc_def_var(ncid, kArrays[a], NC_DOUBLE, 1, dims, &var);
      nc_put_vara_double(ncid, var, start, count, arrays[a].data());
    }
    for (const auto& [name, buffer] : sweep.sweep_moments()) {
      if (nc_inq_varid(ncid, name.c_str(), &var) != NC_NOERR) nc_def_var(ncid, name.c_str(), NC_UBYTE, 2, dims, &var);
      Check(nc_put_vara_uchar(ncid, var, start, count,
                              reinterpret_cast<const unsigned char*>(buffer.data().data())) == NC_NOERR,
            "nc_put_vara");
    }
    first += rays;
  }
  nc_close(file);
}

void ReadNetcdfGroup(int ncid, std::vector<std::string>* buffers) {
  int nvars = 0;
  nc_inq_varids(ncid, &nvars, nullptr);
  std::vector<int> ids(static_cast<std::size_t>(nvars));
  nc_inq_varids(ncid, &nvars, ids.data());
  for (int var : ids) {
    int ndims = 0, dims[2];
    nc_inq_varndims(ncid, var, &ndims);
    nc_inq_vardimid(ncid, var, dims);
    std::size_t n = 1, len = 0;
    for (int d = 0; d < ndims; ++d) {
      nc_inq_dimlen(ncid, dims[d], &len);
      n *= len;
    }
    nc_type type = 0;
    nc_inq_vartype(ncid, var, &type);
    buffers->emplace_back(n * (type == NC_DOUBLE ? 8 : 1), '\0');
    nc_get_var(ncid, var, buffers->back().data());
  }
}

void PlainNetcdfRead(const std::string& path, std::vector<std::string>* buffers) {
  int file = 0, ngroups = 0;
  Check(nc_open(path.c_str(), NC_NOWRITE, &file) == NC_NOERR, "nc_open");
  nc_inq_grps(file, &ngroups, nullptr);
  std::vector<int> groups(static_cast<std::size_t>(ngroups));
  nc_inq_grps(file, &ngroups, groups.data());
  if (groups.empty()) ReadNetcdfGroup(file, buffers);
  for (int g : groups) ReadNetcdfGroup(g, buffers);
  nc_close(file);
}

void Plain(Format format, const Volume& volume, const std::string& path) {
  if (format == Format::kOdim) PlainHdf5Write(volume, path);
  else PlainNetcdfWrite(volume, path, format == Format::kCfRadial2);
}

void Register() {
  for (Format format : {Format::kOdim, Format::kCfRadial1, Format::kCfRadial2}) {
    const std::string name = common_dto::formats::FormatName(format);
    for (const bool notes : {true, false}) {
    const std::string label = "Formats/M/write_" + name + (notes ? "" : "_no_notes");
    benchmark::RegisterBenchmark(label.c_str(), [format, notes](benchmark::State& state) {
      const Reference& ref = GetReference("M");
      common_dto::formats::WriteOptions options;
      options.report_not_carried = notes;
      const std::string ours = TempFile("ours"), plain = TempFile("plain");
      RunPaired(
          state, {double(ref.layout->sample_bytes()), double(ref.layout->ray_count()), "plain_write"},
          [&] {
            Stopwatch t;
            const auto status = common_dto::formats::WriteFile(ours, format, options, ref.volume, nullptr);
            const double s = t.Seconds();
            Check(status.ok(), status.message());
            return s;
          },
          [&] {
            Stopwatch t;
            Plain(format, ref.volume, plain);
            return t.Seconds();
          });
      unlink(ours.c_str());
      unlink(plain.c_str());
    })->UseManualTime()->MinTime(0.5)->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark(("Formats/M/read_" + name).c_str(), [format](benchmark::State& state) {
      const Reference& ref = GetReference("M");
      const std::string ours = TempFile("ours"), plain = TempFile("plain");
      Check(common_dto::formats::WriteFile(ours, format, {}, ref.volume, nullptr).ok(), "write");
      Plain(format, ref.volume, plain);
      RunPaired(
          state, {double(ref.layout->sample_bytes()), double(ref.layout->ray_count()), "plain_read"},
          [&] {
            auto volume = std::make_unique<Volume>();
            Stopwatch t;
            const auto status = common_dto::formats::ReadFile(ours, format, {}, volume.get(), nullptr);
            const double s = t.Seconds();
            Check(status.ok(), status.message());
            return s;
          },
          [&] {
            auto buffers = std::make_unique<std::vector<std::string>>();
            Stopwatch t;
            if (format == Format::kOdim) PlainHdf5Read(plain, ref.volume.sweep_size(), buffers.get());
            else PlainNetcdfRead(plain, buffers.get());
            return t.Seconds();
          });
      unlink(ours.c_str());
      unlink(plain.c_str());
    })->UseManualTime()->MinTime(0.5)->Unit(benchmark::kMillisecond);
  }
}

[[maybe_unused]] const bool registered = (Register(), true);

}  // namespace
}  // namespace common_dto_bench
