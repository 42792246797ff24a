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
Status WriteOdimProduct(const std::string& path, const kyt::pb::common::Product& product,
                        Notes* notes);
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

// A raster's free-form properties as a JSON object and back (merged into
// the raster's properties; false for text that is not such an object).
std::string PropertiesJson(const kyt::pb::common::RasterData& raster);
bool ParseProperties(const std::string& json, kyt::pb::common::RasterData* raster);

// Attribute names under which the JSON above is kept.
inline constexpr char kProductAttr[] = "common_dto_product";
inline constexpr char kDescriptorAttr[] = "common_dto_descriptor";
inline constexpr char kPropertiesAttr[] = "common_dto_properties";

// The scale and codes a format writes for a raster, from its descriptor.
struct Coding {
  bool linear = false;
  double gain = 1, offset = 0;
  long long nodata = 0, undetect = 0;  // codes, when linear
  bool is_float = false;               // FLOAT or DOUBLE storage
  // Whether the storage type can hold the codes (a code outside its range
  // stands for "no code" and is not written as a fill value).
  bool nodata_fits = false, undetect_fits = false;
};
Coding CodingOf(const kyt::pb::common::RasterData& raster, int storage_type);

// Sets the descriptor's scale from what a file says; `nodata`/`undetect`
// null when the file has none. Samples without any of gain, offset and
// codes keep no scale (for floats NaN is missing; integers are plain
// numbers). A scaled integer raster without a nodata code gets a
// not_scanned no sample of its type can hold (-1 for unsigned types,
// INT32_MIN otherwise), never 0, and a note.
void SetCoding(const double* gain, const double* offset, const double* nodata,
               const double* undetect, int storage_type,
               kyt::pb::common::DataDescriptor* descriptor, Notes* notes, const std::string& what);

}  // namespace formats
}  // namespace common_dto
