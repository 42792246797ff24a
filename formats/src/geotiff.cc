// Raster products as (Cloud-Optimized) GeoTIFF through GDAL: one file per
// raster, one band; scale, offset and nodata in the band, the descriptor and
// the product's metadata as JSON in the dataset metadata.
#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal_priv.h>
#include <sys/stat.h>

#include <cmath>
#include <limits>
#include <memory>
#include <mutex>

#include "common_dto/model/buffers.h"
#include "products_internal.h"
#include "quantities.h"

namespace common_dto {
namespace formats {

namespace pb = kyt::pb::common;

namespace {

constexpr char kUndetectItem[] = "UNDETECT";

struct DatasetCloser {
  void operator()(GDALDataset* d) const { GDALClose(d); }
};
using DatasetPtr = std::unique_ptr<GDALDataset, DatasetCloser>;

void RegisterDrivers() {
  static std::once_flag once;
  std::call_once(once, [] { GDALAllRegister(); });
}

GDALDataType GdalType(int storage_type) {
  switch (storage_type) {
    case pb::DataBuffer::UINT8:
      return GDT_Byte;
    case pb::DataBuffer::UINT16:
      return GDT_UInt16;
    case pb::DataBuffer::INT32:
      return GDT_Int32;
    case pb::DataBuffer::INT64:
      return GDT_Int64;
    case pb::DataBuffer::FLOAT:
      return GDT_Float32;
    case pb::DataBuffer::DOUBLE:
      return GDT_Float64;
    default:
      return GDT_Unknown;
  }
}

// The storage type a band is read into: its own, or the smallest wider one
// the model has (a note says so).
int StorageOfBand(GDALDataType type, bool* widened) {
  *widened = false;
  switch (type) {
    case GDT_Byte:
      return pb::DataBuffer::UINT8;
    case GDT_UInt16:
      return pb::DataBuffer::UINT16;
    case GDT_Int32:
      return pb::DataBuffer::INT32;
    case GDT_Int64:
      return pb::DataBuffer::INT64;
    case GDT_Float32:
      return pb::DataBuffer::FLOAT;
    case GDT_Float64:
      return pb::DataBuffer::DOUBLE;
    case GDT_Int16:
      *widened = true;
      return pb::DataBuffer::INT32;
    case GDT_UInt32:
      *widened = true;
      return pb::DataBuffer::INT64;
    default:
      return pb::DataBuffer::UNKNOWN_TYPE;
  }
}

Location At(const std::string& path) {
  Location location;
  location.field = path;
  return location;
}

Status GdalError(ErrorCode code, const std::string& path, const std::string& what) {
  Location location;
  location.field = path;
  const char* detail = CPLGetLastErrorMsg();
  return Status(code, what + (detail && *detail ? std::string(": ") + detail : std::string()),
                location);
}

void SetBandCoding(const pb::RasterData& raster, int storage_type, GDALRasterBand* band,
                   Notes* notes) {
  const Coding c = CodingOf(raster, storage_type);
  if (c.linear) {
    if (c.nodata_fits && storage_type == pb::DataBuffer::INT64) {
      band->SetNoDataValueAsInt64(c.nodata);
    } else if (c.nodata_fits) {
      band->SetNoDataValue(static_cast<double>(c.nodata));
    }
    band->SetScale(c.gain);
    band->SetOffset(c.offset);
    if (c.undetect != c.nodata && c.undetect_fits) {
      band->SetMetadataItem(kUndetectItem, std::to_string(c.undetect).c_str());
      notes->push_back(Note{NoteKind::kConverted, "UNDETECT", "", 
          "GeoTIFF has no below-threshold code: under_threshold kept in the band metadata "
          "(UNDETECT)"});
    }
  } else if (c.is_float) {
    band->SetNoDataValue(std::numeric_limits<double>::quiet_NaN());
  }
  const pb::DataDescriptor& d = raster.data_descriptor();
  if (!d.short_name().empty()) band->SetDescription(d.short_name().c_str());
  const std::string unit = UnitTextOf(d);
  if (!unit.empty()) band->SetUnitType(unit.c_str());
  band->SetMetadataItem(kDescriptorAttr, DescriptorJson(d).c_str());
}

// A MEM dataset holding raster `index`, copied by the COG driver.
Status MemoryDataset(const pb::Product& product, int index, DatasetPtr* out, Notes* notes) {
  const pb::RasterData& raster = product.raster().data_set(index);
  Grid grid;
  Status s = GridOf(raster, index, &grid);
  if (!s.ok()) return s;
  Samples samples;
  s = SamplesOf(raster, index, &samples);
  if (!s.ok()) return s;
  const GDALDataType type = GdalType(samples.storage_type);
  GDALDriver* mem = GetGDALDriverManager()->GetDriverByName("MEM");
  DatasetPtr ds(
      mem->Create("", static_cast<int>(grid.nx), static_cast<int>(grid.ny), 1, type, nullptr));
  if (!ds) return GdalError(ErrorCode::kIo, "", "cannot create the raster in memory");
  double gt[6];
  grid.GeoTransform(gt);
  ds->SetGeoTransform(gt);
  ds->SetSpatialRef(&grid.srs);
  GDALRasterBand* band = ds->GetRasterBand(1);
  if (band->RasterIO(GF_Write, 0, 0, grid.nx, grid.ny, samples.bytes.data(), grid.nx, grid.ny, type,
                     0, 0, nullptr) != CE_None) {
    return GdalError(ErrorCode::kIo, "", "cannot fill the raster");
  }
  SetBandCoding(raster, samples.storage_type, band, notes);
  // Properties as items for GIS users (GDAL cannot keep keys holding ':' or
  // '='), and all of them as JSON for the way back.
  for (const auto& [key, value] : raster.properties()) {
    if (key.find_first_of(":=") == std::string::npos)
      ds->SetMetadataItem(key.c_str(), value.c_str());
  }
  if (raster.properties_size() > 0)
    ds->SetMetadataItem(kPropertiesAttr, PropertiesJson(raster).c_str());
  ds->SetMetadataItem(kProductAttr, ProductMetadataJson(product).c_str());
  if (product.has_product_generation_time()) {
    const std::string t = FormatIso(product.product_generation_time().seconds());
    ds->SetMetadataItem("TIFFTAG_DATETIME", (t.substr(0, 4) + ":" + t.substr(5, 2) + ":" +
                                             t.substr(8, 2) + " " + t.substr(11, 8))
                                                .c_str());
  }
  *out = std::move(ds);
  return Status::Ok();
}

Status WriteOne(const std::string& path, const pb::Product& product, int index, Notes* notes) {
  DatasetPtr mem;
  Status s = MemoryDataset(product, index, &mem, notes);
  if (!s.ok()) return s;
  GDALDriver* cog = GetGDALDriverManager()->GetDriverByName("COG");
  const char* options[] = {"COMPRESS=DEFLATE", "RESAMPLING=NEAREST", nullptr};
  return WriteBeside(path, [&](const std::string& temp) {
    CPLErrorReset();
    DatasetPtr out(cog->CreateCopy(temp.c_str(), mem.get(), FALSE, const_cast<char**>(options),
                                   nullptr, nullptr));
    if (!out) return GdalError(ErrorCode::kIo, path, "cannot write the GeoTIFF");
    return Status::Ok();
  });
}

// Everything but the raster's own values from the band and dataset.
void ReadBandMetadata(GDALDataset* ds, GDALRasterBand* band, int storage_type,
                      pb::RasterData* raster, Notes* notes, const std::string& what) {
  pb::DataDescriptor* d = raster->mutable_data_descriptor();
  const char* json = band->GetMetadataItem(kDescriptorAttr);
  if (json == nullptr || !ParseDescriptor(json, d)) {
    if (*band->GetDescription()) *d = DescriptorFor(band->GetDescription());
    const std::string unit = band->GetUnitType();
    if (!unit.empty()) {
      d->set_data_unit(UnitFromText(unit));
      if (d->data_unit() == pb::ASSUMED_UNIT) {
        d->set_data_unit(pb::CUSTOM_UNIT);
        d->set_custom_data_unit(unit);
      }
    }
  }
  int has = 0;
  const double gain = band->GetScale(&has);
  const bool has_gain = has != 0;
  const double offset = band->GetOffset(&has);
  const bool has_offset = has != 0;
  const double nodata = band->GetNoDataValue(&has);
  const bool has_nodata = has != 0;
  const char* undetect_text = band->GetMetadataItem(kUndetectItem);
  const double undetect = undetect_text ? std::atof(undetect_text) : 0;
  SetCoding(has_gain ? &gain : nullptr, has_offset ? &offset : nullptr,
            has_nodata ? &nodata : nullptr, undetect_text ? &undetect : nullptr, storage_type, d,
            notes, what);
  char** items = ds->GetMetadata();
  // Items are "key=value" (CPLParseNameValue would split at ':' too).
  for (int i = 0; items != nullptr && items[i] != nullptr; ++i) {
    const std::string item = items[i];
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos) continue;
    const std::string k = item.substr(0, eq);
    if (k == kProductAttr || k == kPropertiesAttr || k == "AREA_OR_POINT" ||
        k.rfind("TIFFTAG_", 0) == 0)
      continue;
    (*raster->mutable_properties())[k] = item.substr(eq + 1);
  }
  const char* json_properties = ds->GetMetadataItem(kPropertiesAttr);
  if (json_properties != nullptr) ParseProperties(json_properties, raster);
}

Status ReadGrid(GDALDataset* ds, const std::string& path, Grid* grid, bool* south_up) {
  double gt[6];
  if (ds->GetGeoTransform(gt) != CE_None)
    return GdalError(ErrorCode::kMalformed, path, "no geotransform");
  if (gt[2] != 0 || gt[4] != 0) {
    return Status(ErrorCode::kUnsupported, "a rotated grid (geotransform with shear terms)",
                  At(path));
  }
  const OGRSpatialReference* srs = ds->GetSpatialRef();
  if (srs == nullptr) return Status(ErrorCode::kMalformed, "no CRS", At(path));
  grid->srs = *srs;
  grid->srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  grid->nx = static_cast<std::uint32_t>(ds->GetRasterXSize());
  grid->ny = static_cast<std::uint32_t>(ds->GetRasterYSize());
  const double x1 = gt[0] + gt[1] * grid->nx;
  const double y1 = gt[3] + gt[5] * grid->ny;
  grid->west = std::min(gt[0], x1);
  grid->east = std::max(gt[0], x1);
  grid->south = std::min(gt[3], y1);
  grid->north = std::max(gt[3], y1);
  *south_up = gt[5] > 0;
  if (gt[1] < 0) return Status(ErrorCode::kUnsupported, "an east-to-west grid", At(path));
  return Status::Ok();
}

Status ReadOne(const std::string& path, pb::Product* product, Notes* notes) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Status(ErrorCode::kIo, "cannot open", At(path));
  const char* drivers[] = {"GTiff", nullptr};
  DatasetPtr ds(static_cast<GDALDataset*>(
      GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, drivers, nullptr, nullptr)));
  if (!ds) return GdalError(ErrorCode::kMalformed, path, "not a GeoTIFF");
  Grid grid;
  bool south_up = false;
  Status s = ReadGrid(ds.get(), path, &grid, &south_up);
  if (!s.ok()) return s;
  const char* meta = ds->GetMetadataItem(kProductAttr);
  if (meta != nullptr && product->type() == pb::PT_UNSPECIFIED) ParseProductMetadata(meta, product);
  for (int b = 1; b <= ds->GetRasterCount(); ++b) {
    GDALRasterBand* band = ds->GetRasterBand(b);
    bool widened = false;
    const int storage = StorageOfBand(band->GetRasterDataType(), &widened);
    const int width = SampleWidth(storage);
    if (width == 0)
      return Status(ErrorCode::kUnsupported, "a band of a type the model has none for", At(path));
    if (widened)
      notes->push_back(Note{NoteKind::kConverted, path, "", path + ": band samples widened to the next storage type the model has"});
    const std::uint64_t count = std::uint64_t{grid.nx} * grid.ny;
    const std::uint64_t bytes = count * static_cast<std::uint64_t>(width);
    if (count >= (std::uint64_t{1} << 31) ||
        bytes >
            static_cast<std::uint64_t>(MaxSampleBytes(static_cast<std::uint64_t>(st.st_size))) ||
        bytes >= (std::uint64_t{1} << 31)) {
      return Status(ErrorCode::kTooLarge, "raster larger than the file can hold or than 2 GiB",
                    At(path));
    }
    std::string data(bytes, '\0');
    if (band->RasterIO(GF_Read, 0, 0, grid.nx, grid.ny, data.data(), grid.nx, grid.ny,
                       GdalType(storage), 0, 0, nullptr) != CE_None) {
      return GdalError(ErrorCode::kMalformed, path, "cannot read the samples");
    }
    if (south_up) FlipRows(&data, grid.ny);
    pb::RasterData* raster = product->mutable_raster()->add_data_set();
    SetGrid(grid, raster);
    ReadBandMetadata(ds.get(), band, storage, raster, notes, path + " band " + std::to_string(b));
    SetSamples(std::move(data), storage, raster);
  }
  return Status::Ok();
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::string NumberedPath(const std::string& path, int index, int count) {
  if (count <= 1) return path;
  const std::size_t slash = path.rfind('/');
  std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = path.size();
  return path.substr(0, dot) + "-" + std::to_string(index + 1) + path.substr(dot);
}

Status WriteGeoTiff(const std::string& path, const pb::Product& product, Notes* notes) {
  RegisterDrivers();
  CPLErrorHandlerPusher quiet(CPLQuietErrorHandler);
  const int count = product.raster().data_set_size();
  for (int i = 0; i < count; ++i) {
    Status s = WriteOne(NumberedPath(path, i, count), product, i, notes);
    if (!s.ok()) return s;
  }
  if (count > 1) {
    notes->push_back(Note{NoteKind::kConverted, "", "", "one GeoTIFF per raster: " + NumberedPath(path, 0, count) + " .. " +
                     NumberedPath(path, count - 1, count)});
  }
  return Status::Ok();
}

Status ReadGeoTiff(const std::string& path, pb::Product* product, Notes* notes) {
  RegisterDrivers();
  CPLErrorHandlerPusher quiet(CPLQuietErrorHandler);
  if (FileExists(path) || !FileExists(NumberedPath(path, 0, 2)))
    return ReadOne(path, product, notes);
  for (int i = 0; FileExists(NumberedPath(path, i, 2)); ++i) {
    Status s = ReadOne(NumberedPath(path, i, 2), product, notes);
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

}  // namespace formats
}  // namespace common_dto
