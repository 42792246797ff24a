// The product converters behind products.h, one module per format.
#pragma once

#include <string>

#include "common_dto/formats/products.h"
#include "georef.h"

namespace common_dto {
namespace formats {

// geotiff.cc: `path` is the name the caller gave; numbered files beside it
// for several rasters.
Status WriteGeoTiff(const std::string& path, const kyt::pb::common::Product& product, Notes* notes);
Status ReadGeoTiff(const std::string& path, kyt::pb::common::Product* product, Notes* notes);
// The file a raster of a list goes to: `path` itself for a single raster,
// else "BASE-N.EXT" (N from 1).
std::string NumberedPath(const std::string& path, int index, int count);

// odim_product.cc (under the formats library lock).
Status WriteOdimProduct(const std::string& path, const kyt::pb::common::Product& product, Notes* notes);
Status ReadOdimProduct(const std::string& path, kyt::pb::common::Product* product, Notes* notes);
bool IsOdimProduct(const std::string& path);

// cf_grid.cc (under the formats library lock).
Status WriteCfGrid(const std::string& path, const kyt::pb::common::Product& product, Notes* notes);
Status ReadCfGrid(const std::string& path, kyt::pb::common::Product* product, Notes* notes);
bool IsCfGrid(const std::string& path);

// geojson.cc
Status WriteGeoJson(const std::string& path, const kyt::pb::common::Product& product, Notes* notes);

// The product's metadata (everything but the payload) as JSON, which the
// formats keep in one attribute so that a round trip restores it; and back.
std::string ProductMetadataJson(const kyt::pb::common::Product& product);
bool ParseProductMetadata(const std::string& json, kyt::pb::common::Product* product);
// A DataDescriptor as JSON and back.
std::string DescriptorJson(const kyt::pb::common::DataDescriptor& descriptor);
bool ParseDescriptor(const std::string& json, kyt::pb::common::DataDescriptor* descriptor);

// The unit text of a descriptor: its own unit, else the unit its quantity
// (short name) implies; empty when neither says.
std::string UnitTextOf(const kyt::pb::common::DataDescriptor& descriptor);

// Attribute names under which the JSON above is kept.
inline constexpr char kProductAttr[] = "common_dto_product";
inline constexpr char kDescriptorAttr[] = "common_dto_descriptor";

// The scale and codes a format writes for a raster, from its descriptor.
struct Coding {
  bool linear = false;
  double gain = 1, offset = 0;
  long long nodata = 0, undetect = 0;  // codes, when linear
  bool is_float = false;               // FLOAT or DOUBLE storage
};
Coding CodingOf(const kyt::pb::common::RasterData& raster, int storage_type);

// Sets the descriptor's scale from what a file says; `nodata`/`undetect`
// null when the file has none. Float samples without any of them keep no
// scale (NaN is missing).
void SetCoding(const double* gain, const double* offset, const double* nodata, const double* undetect,
               bool is_float, kyt::pb::common::DataDescriptor* descriptor, Notes* notes,
               const std::string& what);

}  // namespace formats
}  // namespace common_dto
