// Reading radar files in a worker process.
//
// libhdf5 1.10, which netCDF-4 files are read through as well, is not
// hardened against corrupted metadata: a damaged file can crash it, or
// corrupt the heap so that the program crashes later (of netCDF-4 files with
// 4 bytes of their first 4 KiB overwritten, about one in seven crashed the
// tool before it guarded against this). So that the tool answers such a file
// with an error instead of dying of it, it reads HDF5 and netCDF files in a
// worker: the tool's own executable started again with the internal command
// `read-radar-file`, which finds the file's format, reads its volume and
// hands both back on a pipe with the notes of the read (or the error). A
// worker that dies of a fault (SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL)
// becomes an error naming the file, exit status 2; a worker ended by another
// signal (an interrupt) ends the tool the same way; a worker does not outlive
// the tool (it is killed when the tool ends).
#pragma once

#include <optional>
#include <string>

#include "common_dto/formats/formats.h"
#include "common_dto/formats/products.h"
#include "product.pb.h"
#include "volume.pb.h"

namespace common_dto {
namespace cli {

// Whether libhdf5 or netCDF-C would read `file`: the HDF5 signature where
// HDF5 looks for it (at 0, 512, 1024, 2048 ... bytes) or the netCDF classic
// magic at its start.
bool IsHdf5OrNetcdf(const std::string& file);

// What reading a file as a radar file gave: its format (none when it is
// neither ODIM_H5 nor CF/Radial), the volume and the notes of the read.
struct RadarRead {
  std::optional<formats::Format> format;
  kyt::pb::common::Volume volume;
  formats::Notes notes;
  // Set instead of `format` for a product file (ODIM IMAGE or COMP, a CF
  // grid, a GeoTIFF), read into `product`.
  std::optional<formats::ProductFormat> product_format;
  kyt::pb::common::Product product;
};

// Reads the regular file `path` as a radar file: finds its format unless
// `format` says it, notes the format found with `announce` (a format string
// given the path and the format's name; "" for no note), then reads the
// volume (convert_files.cc). In a worker
// started from `worker` (the tool's executable) when `worker` is given and
// the file is an HDF5 or netCDF file; else in this process (as the fuzz
// targets and tests run the commands).
Result<RadarRead> ReadRadar(const std::string& worker, const std::string& path,
                            std::optional<formats::Format> format, const std::string& announce = "");

// The same, always in this process.
Result<RadarRead> ReadRadarHere(const std::string& path, std::optional<formats::Format> format,
                                const std::string& announce = "");

// The worker: `read-radar-file PATH FORMAT [ANNOUNCE]` (FORMAT "auto" or a
// format name) reads and writes its reply to standard output. Returns the
// exit status.
int RunRadarWorker(const std::string& path, const std::string& format, const std::string& announce);

}  // namespace cli
}  // namespace common_dto
