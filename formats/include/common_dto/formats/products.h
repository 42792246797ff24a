// Products in and out of map-oriented file formats.
//
// The raster payload of a Product (RasterDataList) is written to, and read
// from,
//   * GeoTIFF (Cloud-Optimized GeoTIFF, through GDAL): one file per
//     RasterData. A list of several rasters written to `OUT.tif` goes to the
//     numbered files `OUT-1.tif`, `OUT-2.tif`, ... (a note names them); the
//     reader, given `OUT.tif` that does not exist, reads the numbered files.
//   * ODIM_H5 `IMAGE` and `COMP` objects (HDF5): written as one `dataset1`
//     whose `dataM` are the rasters, all on the grid described by the root
//     `where` (projdef, xsize, ysize, xscale, yscale and the four corners,
//     the outer corners of the corner pixels). Read: every `datasetN`'s
//     `dataM` and their `qualityK` groups, each a raster (properties
//     `odim:dataset` for N > 1, `odim:quality_of` for quality groups;
//     written back as further `dataM` groups of `dataset1`); grid
//     attributes in `datasetN/where` override the root's.
//   * CF-1.8 grids (netCDF): `x`/`y` coordinate variables, a `crs`
//     grid-mapping variable and one data variable per raster.
// GeoEventList, MeasurementsList and RainAccumulationList payloads are
// written (only) as GeoJSON: one Feature per event, measurement or rain
// measurement (geojson.cc has the mapping).
//
// Conventions for what the schema leaves open
// -------------------------------------------
// Pixel order: the DataBuffers of a RasterData, concatenated (and
//   decompressed), hold x_pix * y_pix samples row-major, x fastest, the
//   first row northernmost (the top row of a GeoTIFF). Files stored
//   bottom-up (ODIM is top-down; CF y ascending; south-up GeoTIFFs) are
//   turned over when read, and written top-down.
// BoundingBox: south_west and north_east are corners in the projection's
//   own units (metres for projected CRSs, degrees for geographic ones),
//   x = easting and y = northing whatever axis order an EPSG definition
//   declares, at the outer edges of the edge pixels (not pixel centres). The
//   pixel size is (NE.x - SW.x) / x_pix by (NE.y - SW.y) / y_pix.
// Projection: when writing, the first set of `epsg_code` ("EPSG:3035" or
//   "3035"), `wkt`, `proj4` defines the CRS; the others, when set, must
//   describe the same CRS (otherwise kInvalidArgument). Without any of the
//   three, `sable_proj` is turned into the corresponding PROJ projection
//   (azimuthal equidistant, Mercator, polar stereographic, UTM, gnomonic,
//   Lambert conformal conic; others are kUnsupported) on the Geoid's
//   ellipsoid (WGS 84 unless it says GRS 80/ETRS89 or gives a radius).
//   When reading, `epsg_code` is filled when the CRS has one, `wkt` always,
//   and `sable_proj` when the CRS is one of the projections above.
// Scale and codes: samples are stored as they are (storage type kept; BIG
//   endian buffers are written in the machine's order). A LINEAR scale's
//   `step` and `offset` become the format's gain/scale_factor and
//   offset/add_offset, `not_scanned` its nodata/_FillValue, and
//   `under_threshold` ODIM's `undetect`. GeoTIFF and CF have no
//   below-threshold code: it goes to the band metadata (`UNDETECT`) or the
//   variable attribute `_Undetect`, and a note says so. Float rasters
//   without a LINEAR scale have NaN as their only missing value.
// Properties: a raster's free-form properties go to the GeoTIFF metadata
//   items, and as a JSON object to the attribute `common_dto_properties`
//   (ODIM dataM/how, CF data variable). ODIM's /what/object and /what/source
//   come from and go to the properties `odim:object` (IMAGE when absent)
//   and `odim:source` (left out, with a note, when absent).
// Metadata: the product's fields other than the payload (type, times,
//   configuration) and each raster's DataDescriptor are kept as JSON
//   (`common_dto_product`, `common_dto_descriptor`) beside the format's own
//   attributes, which take precedence for scale and codes when read back.
// Nothing is invented: an attribute the file lacks is left unset in the
//   product (and noted where the product cannot say "unknown"), and a field
//   the product lacks is not written.
//
// Errors use the codes of formats.h: kMalformed for files that are not of
// the format or lack mandatory parts, kInvalidArgument for values that
// contradict each other (a buffer size that is not x_pix * y_pix samples,
// an empty bounding box, contradicting projections), kUnsupported for
// payloads a format does not take. Writes go to a temporary file renamed
// into place, as in formats.h.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common_dto/formats/export.h"
#include "common_dto/formats/formats.h"
#include "common_dto/model/status.h"
#include "product.pb.h"

namespace common_dto {
namespace formats {

enum class ProductFormat {
  kGeoTiff,  // GeoTIFF / COG
  kOdim,     // ODIM_H5 IMAGE or COMP
  kCfGrid,   // CF-1.8 gridded netCDF
  kGeoJson,  // GeoJSON FeatureCollection (write only)
};

// "geotiff", "odim", "cf", "geojson".
COMMON_DTO_FORMATS_EXPORT const char* ProductFormatName(ProductFormat format);
// The inverse of ProductFormatName; nullopt for other text.
COMMON_DTO_FORMATS_EXPORT std::optional<ProductFormat> ParseProductFormat(const std::string& name);

// The product format of the file at `path` from its content: a TIFF, an HDF5 file whose
// /what/object is IMAGE or COMP, a netCDF file with a variable holding `grid_mapping`. nullopt
// otherwise (polar volumes included). For a missing `OUT.tif` whose `OUT-1.tif` exists, the format
// of the latter.
COMMON_DTO_FORMATS_EXPORT std::optional<ProductFormat> DetectProductFormat(const std::string& path);

// Writes the payload of `product` to `path` in `format`. Raster formats take
// a `raster` payload, GeoJSON an `events`, `vectors` or `rain` payload.
COMMON_DTO_FORMATS_EXPORT Status WriteProduct(const std::string& path, ProductFormat format,
                                              const kyt::pb::common::Product& product,
                                              Notes* notes);

// Reads a raster product from `path` into *product (cleared first).
COMMON_DTO_FORMATS_EXPORT Status ReadProduct(const std::string& path, ProductFormat format,
                                             kyt::pb::common::Product* product, Notes* notes);

// One line about raster `index`'s grid: CRS, extent, pixel size and the
// range of its physical values (codes left out), or what is wrong with it;
// empty for a raster without a georeference.
COMMON_DTO_FORMATS_EXPORT std::string DescribeRasterGrid(const kyt::pb::common::RasterData& raster,
                                                         int index);

// Checks the georeference of every raster that has one: a CRS that parses, a bounding box
// with positive extent, pixel counts above zero, buffers holding exactly
// x_pix * y_pix samples. One finding per problem, "raster N: ..." lines.
COMMON_DTO_FORMATS_EXPORT std::vector<std::string> CheckRasterGeoreference(
    const kyt::pb::common::RasterDataList& rasters);

}  // namespace formats
}  // namespace common_dto
