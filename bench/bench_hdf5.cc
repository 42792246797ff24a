// Peer baseline: the same volume written and read as HDF5, laid out as an
// ODIM_H5 polar volume (one group per sweep, one 2-D dataset per sweep and
// moment, the per-ray angles and times as attribute arrays), in memory with
// the core driver. Writing ends with the file image copied out of the
// library (as a serialization ends with the bytes); reading opens such an
// image (the core driver copies it in, as it reads a whole file on open) and
// reads every dataset and ray array into freshly allocated buffers.
//
// Compared with serializing the volume to a string and parsing it into a
// fresh message: ratio = HDF5 time / our time, so above 1 means faster than
// HDF5.
#include <hdf5.h>

#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"

namespace common_dto_bench {
namespace {

using kyt::pb::common::Volume;

void H5Check(long long status, const char* what) {
  Check(status >= 0, std::string("HDF5 ") + what);
}

hid_t CoreFileAccess() {
  const hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
  H5Check(fapl, "H5Pcreate");
  H5Check(H5Pset_fapl_core(fapl, std::size_t{16} << 20, /*backing_store=*/0), "H5Pset_fapl_core");
  return fapl;
}

void AttrString(hid_t obj, const char* name, const std::string& value) {
  const hid_t type = H5Tcopy(H5T_C_S1);
  H5Tset_size(type, value.size() + 1);
  H5Tset_strpad(type, H5T_STR_NULLTERM);
  const hid_t space = H5Screate(H5S_SCALAR);
  const hid_t attr = H5Acreate2(obj, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
  H5Check(H5Awrite(attr, type, value.c_str()), "H5Awrite string");
  H5Aclose(attr);
  H5Sclose(space);
  H5Tclose(type);
}

void AttrDoubles(hid_t obj, const char* name, const double* values, hsize_t n) {
  const hid_t space = n == 0 ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, &n, nullptr);
  const hid_t attr = H5Acreate2(obj, name, H5T_NATIVE_DOUBLE, space, H5P_DEFAULT, H5P_DEFAULT);
  H5Check(H5Awrite(attr, H5T_NATIVE_DOUBLE, values), "H5Awrite double");
  H5Aclose(attr);
  H5Sclose(space);
}

void AttrDouble(hid_t obj, const char* name, double value) { AttrDoubles(obj, name, &value, 0); }

void AttrLong(hid_t obj, const char* name, long long value) {
  const hid_t space = H5Screate(H5S_SCALAR);
  const hid_t attr = H5Acreate2(obj, name, H5T_NATIVE_LLONG, space, H5P_DEFAULT, H5P_DEFAULT);
  H5Check(H5Awrite(attr, H5T_NATIVE_LLONG, &value), "H5Awrite long");
  H5Aclose(attr);
  H5Sclose(space);
}

hid_t Group(hid_t parent, const std::string& name) {
  const hid_t g = H5Gcreate2(parent, name.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
  H5Check(g, "H5Gcreate2");
  return g;
}

// Per-ray arrays of a sweep, as ODIM keeps them under how/.
const char* const kRayArrays[] = {"startazA", "stopazA",  "startelA",
                                  "stopelA",  "startazT", "stopazT"};

double Seconds(const google::protobuf::Timestamp& t) {
  return static_cast<double>(t.seconds()) + 1e-9 * t.nanos();
}

// Writes `volume` as an ODIM-style file image; returns the image.
std::string WriteHdf5(const Volume& volume) {
  const hid_t fapl = CoreFileAccess();
  const hid_t file = H5Fcreate("common-dto-bench.h5", H5F_ACC_TRUNC, H5P_DEFAULT, fapl);
  H5Check(file, "H5Fcreate");
  {
    const hid_t what = Group(file, "what");
    AttrString(what, "object", "PVOL");
    AttrString(what, "version", "H5rad 2.4");
    AttrString(what, "source", volume.instrument().opera_id().radar_site());
    H5Gclose(what);
    const hid_t where = Group(file, "where");
    AttrDouble(where, "lat", volume.instrument().location().lat_lon().latitude_deg());
    AttrDouble(where, "lon", volume.instrument().location().lat_lon().longitude_deg());
    AttrDouble(where, "height", volume.instrument().location().altitude_m());
    H5Gclose(where);
  }
  std::vector<double> arrays[6];
  for (int s = 0; s < volume.sweep_size(); ++s) {
    const auto& sweep = volume.sweep(s);
    const auto& range = volume.volume_config().sweep_config(s).range_scale().range_m(0);
    const hid_t ds = Group(file, "dataset" + std::to_string(s + 1));
    const hid_t where = Group(ds, "where");
    AttrDouble(where, "elangle", sweep.description().fixed_angle_deg());
    AttrLong(where, "nbins", range.count());
    AttrLong(where, "nrays", sweep.rays_size());
    AttrDouble(where, "rstart", range.start() / 1000.0);
    AttrDouble(where, "rscale", range.step());
    AttrLong(where, "a1gate", sweep.first_azimuth_gate_index());
    H5Gclose(where);
    const hid_t how = Group(ds, "how");
    for (auto& a : arrays) a.clear();
    for (const auto& ray : sweep.rays()) {
      arrays[0].push_back(ray.az_range_deg().start_deg());
      arrays[1].push_back(ray.az_range_deg().start_deg() + ray.az_range_deg().span_deg());
      arrays[2].push_back(ray.el_range_deg().start_deg());
      arrays[3].push_back(ray.el_range_deg().start_deg() + ray.el_range_deg().span_deg());
      arrays[4].push_back(Seconds(ray.aq_start_time()));
      arrays[5].push_back(Seconds(ray.aq_end_time()));
    }
    for (int a = 0; a < 6; ++a) {
      AttrDoubles(how, kRayArrays[a], arrays[a].data(), arrays[a].size());
    }
    H5Gclose(how);
    int m = 0;
    for (const auto& [name, buffer] : sweep.sweep_moments()) {
      const auto& desc = volume.volume_config().sweep_config(s).data_moments().at(name);
      const hid_t data = Group(ds, "data" + std::to_string(++m));
      const hid_t what = Group(data, "what");
      AttrString(what, "quantity", name);
      AttrDouble(what, "gain", desc.scale().linear_scale().step());
      AttrDouble(what, "offset", desc.scale().linear_scale().offset());
      AttrDouble(what, "nodata", desc.scale().linear_scale().not_scanned());
      AttrDouble(what, "undetect", desc.scale().linear_scale().under_threshold());
      H5Gclose(what);
      const hsize_t dims[2] = {static_cast<hsize_t>(sweep.rays_size()),
                               static_cast<hsize_t>(range.count())};
      Check(dims[0] * dims[1] == buffer.data().size(), "HDF5: buffer size");
      const hid_t space = H5Screate_simple(2, dims, nullptr);
      const hid_t dset =
          H5Dcreate2(data, "data", H5T_NATIVE_UCHAR, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
      H5Check(H5Dwrite(dset, H5T_NATIVE_UCHAR, H5S_ALL, H5S_ALL, H5P_DEFAULT, buffer.data().data()),
              "H5Dwrite");
      H5Dclose(dset);
      H5Sclose(space);
      H5Gclose(data);
    }
    H5Gclose(ds);
  }
  H5Check(H5Fflush(file, H5F_SCOPE_LOCAL), "H5Fflush");
  const ssize_t size = H5Fget_file_image(file, nullptr, 0);
  H5Check(size, "H5Fget_file_image size");
  std::string image(static_cast<std::size_t>(size), '\0');
  H5Check(H5Fget_file_image(file, image.data(), image.size()), "H5Fget_file_image");
  H5Fclose(file);
  H5Pclose(fapl);
  return image;
}

// What reading keeps: the samples and ray arrays, in fresh buffers.
struct Hdf5Contents {
  std::vector<std::unique_ptr<unsigned char[]>> datasets;
  std::vector<std::vector<double>> ray_arrays;
  std::size_t sample_bytes = 0;
};

long long ReadLong(hid_t obj, const char* name) {
  long long v = 0;
  const hid_t attr = H5Aopen(obj, name, H5P_DEFAULT);
  H5Check(H5Aread(attr, H5T_NATIVE_LLONG, &v), "H5Aread");
  H5Aclose(attr);
  return v;
}

void ReadHdf5(const std::string& image, Hdf5Contents* out) {
  const hid_t fapl = CoreFileAccess();
  H5Check(H5Pset_file_image(fapl, const_cast<char*>(image.data()), image.size()),
          "H5Pset_file_image");
  const hid_t file = H5Fopen("common-dto-bench-read.h5", H5F_ACC_RDONLY, fapl);
  H5Check(file, "H5Fopen");
  for (int s = 1;; ++s) {
    const std::string ds_name = "dataset" + std::to_string(s);
    if (H5Lexists(file, ds_name.c_str(), H5P_DEFAULT) <= 0) break;
    const hid_t ds = H5Gopen2(file, ds_name.c_str(), H5P_DEFAULT);
    const hid_t where = H5Gopen2(ds, "where", H5P_DEFAULT);
    const long long nrays = ReadLong(where, "nrays");
    const long long nbins = ReadLong(where, "nbins");
    H5Gclose(where);
    const hid_t how = H5Gopen2(ds, "how", H5P_DEFAULT);
    for (const char* a : kRayArrays) {
      std::vector<double> values(static_cast<std::size_t>(nrays));
      const hid_t attr = H5Aopen(how, a, H5P_DEFAULT);
      H5Check(H5Aread(attr, H5T_NATIVE_DOUBLE, values.data()), "H5Aread array");
      H5Aclose(attr);
      out->ray_arrays.push_back(std::move(values));
    }
    H5Gclose(how);
    for (int m = 1;; ++m) {
      const std::string data_name = "data" + std::to_string(m);
      if (H5Lexists(ds, data_name.c_str(), H5P_DEFAULT) <= 0) break;
      const hid_t data = H5Gopen2(ds, data_name.c_str(), H5P_DEFAULT);
      const hid_t dset = H5Dopen2(data, "data", H5P_DEFAULT);
      const std::size_t n = static_cast<std::size_t>(nrays * nbins);
      std::unique_ptr<unsigned char[]> samples(new unsigned char[n]);
      H5Check(H5Dread(dset, H5T_NATIVE_UCHAR, H5S_ALL, H5S_ALL, H5P_DEFAULT, samples.get()),
              "H5Dread");
      out->datasets.push_back(std::move(samples));
      out->sample_bytes += n;
      H5Dclose(dset);
      H5Gclose(data);
    }
    H5Gclose(ds);
  }
  H5Fclose(file);
  H5Pclose(fapl);
}

void Register() {
  auto reg = [](const std::string& what, auto fn) {
    benchmark::RegisterBenchmark(("Peer/M/" + what).c_str(), fn)
        ->UseManualTime()
        ->MinTime(0.5)
        ->Unit(benchmark::kMillisecond);
  };

  reg("write_vs_hdf5", [](benchmark::State& state) {
    const Reference& ref = GetReference("M");
    const std::size_t size = ref.wire.size();
    RunPaired(
        state, {double(size), 0, "hdf5_write"},
        [&] {
          auto out = std::make_unique<std::string>();
          Stopwatch t;
          const bool ok = ref.volume.SerializeToString(out.get());
          const double s = t.Seconds();
          Check(ok, "SerializeToString");
          return s;
        },
        [&] {
          Stopwatch t;
          std::string image = WriteHdf5(ref.volume);
          const double s = t.Seconds();
          state.counters["hdf5_bytes"] = double(image.size());
          return s;
        });
  });

  reg("read_vs_hdf5", [](benchmark::State& state) {
    const Reference& ref = GetReference("M");
    const std::size_t size = ref.wire.size();
    const std::string image = WriteHdf5(ref.volume);
    {
      Hdf5Contents check;
      ReadHdf5(image, &check);
      Check(check.sample_bytes == ref.layout->sample_bytes(), "HDF5 read-back size");
    }
    RunPaired(
        state, {double(size), double(ref.layout->ray_count()), "hdf5_read"},
        [&] {
          Stopwatch t;
          auto* v = new Volume;
          const bool ok = v->ParseFromArray(ref.wire.data(), static_cast<int>(size));
          const double s = t.Seconds();
          Check(ok, "ParseFromArray");
          delete v;
          return s;
        },
        [&] {
          auto contents = std::make_unique<Hdf5Contents>();
          Stopwatch t;
          ReadHdf5(image, contents.get());
          return t.Seconds();
        });
    state.counters["hdf5_bytes"] = double(image.size());
  });
}

[[maybe_unused]] const bool registered = (Register(), true);

}  // namespace
}  // namespace common_dto_bench
