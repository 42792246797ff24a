// The georeferencing shared by the product formats: the CRS of a
// Projection (through GDAL's OGR/PROJ), a raster's grid geometry, its
// samples in the pixel order of products.h, and the way back.
#pragma once

#include <ogr_spatialref.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "common_dto/formats/formats.h"
#include "common_dto/model/status.h"
#include "product.pb.h"

namespace common_dto {
namespace formats {

// The CRS of `projection` (with `geoid` for a SableProjection), following
// the precedence of products.h; axis order is always easting, northing.
Status ResolveCrs(const kyt::pb::common::Projection& projection,
                  const kyt::pb::common::Geoid& geoid, OGRSpatialReference* srs);

// Fills *projection from `srs`: epsg_code when it has one ("EPSG:NNNN"),
// wkt (WKT2) always, sable_proj when a SableProjection kind corresponds.
void SetProjection(const OGRSpatialReference& srs, kyt::pb::common::Projection* projection);

// A raster's grid: size, outer edges in CRS units, CRS.
struct Grid {
  OGRSpatialReference srs;
  std::uint32_t nx = 0, ny = 0;
  double west = 0, south = 0, east = 0, north = 0;

  double dx() const { return (east - west) / nx; }
  double dy() const { return (north - south) / ny; }
  // GDAL's geotransform of a north-up image.
  void GeoTransform(double gt[6]) const;
};

// The grid of raster `index` of a product; checks sizes and extent.
Status GridOf(const kyt::pb::common::RasterData& raster, int index, Grid* grid);

// Sets x_pix, y_pix and the georeference of *raster from `grid`.
void SetGrid(const Grid& grid, kyt::pb::common::RasterData* raster);

// Longitude and latitude (degrees, WGS 84 order lon, lat) of the point
// (x, y) of the grid's CRS.
Status ToLonLat(const OGRSpatialReference& srs, double x, double y, double* lon, double* lat);
// The inverse: CRS coordinates of a longitude and latitude.
Status FromLonLat(const OGRSpatialReference& srs, double lon, double lat, double* x, double* y);

// The samples of raster `index`: its buffers decompressed and concatenated,
// exactly nx * ny samples of one storage type; multi-byte samples in big
// endian order are turned into the machine's order.
struct Samples {
  std::string bytes;
  int storage_type = 0;  // DataBuffer::StorageType
  int width = 0;
};
Status SamplesOf(const kyt::pb::common::RasterData& raster, int index, Samples* samples);

// Puts `bytes` (machine order, rows north first) into *raster as one
// uncompressed buffer.
void SetSamples(std::string bytes, int storage_type, kyt::pb::common::RasterData* raster);

// An error about raster `index`.
Status RasterError(ErrorCode code, int index, const std::string& what);

// The linear scale of a raster, if its descriptor has one.
const kyt::pb::common::DataDescriptor::DataScale::LinearDataScale* LinearScaleOf(
    const kyt::pb::common::RasterData& raster);

// Reverses the order of the `rows` rows of `bytes` in place.
void FlipRows(std::string* bytes, std::size_t rows);

// Runs `write` on a temporary file beside `path`, renamed over it on
// success (formats.cc).
Status WriteBeside(const std::string& path, const std::function<Status(const std::string&)>& write);
// The process-wide lock of the HDF5 and netCDF libraries (formats.cc).
std::mutex& FormatsLibraryMutex();

}  // namespace formats
}  // namespace common_dto
