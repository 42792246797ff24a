// Product formats: names, detection, the entry points, and what the
// formats share (metadata JSON, scale and codes, summaries and checks).
#include "common_dto/formats/products.h"

#include <cpl_conv.h>
#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>

#include "common_dto/model/buffers.h"
#include "products_internal.h"
#include "quantities.h"

namespace common_dto {
namespace formats {

namespace pb = kyt::pb::common;

const char* ProductFormatName(ProductFormat format) {
  switch (format) {
    case ProductFormat::kGeoTiff:
      return "geotiff";
    case ProductFormat::kOdim:
      return "odim";
    case ProductFormat::kCfGrid:
      return "cf";
    case ProductFormat::kGeoJson:
      return "geojson";
  }
  return "";
}

std::optional<ProductFormat> ParseProductFormat(const std::string& name) {
  for (ProductFormat f : {ProductFormat::kGeoTiff, ProductFormat::kOdim, ProductFormat::kCfGrid,
                          ProductFormat::kGeoJson}) {
    if (name == ProductFormatName(f)) return f;
  }
  return std::nullopt;
}

namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsTiff(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  unsigned char head[4] = {0, 0, 0, 0};
  const std::size_t n = std::fread(head, 1, 4, f);
  std::fclose(f);
  if (n != 4) return false;
  return (head[0] == 'I' && head[1] == 'I' && (head[2] == 42 || head[2] == 43) && head[3] == 0) ||
         (head[0] == 'M' && head[1] == 'M' && head[2] == 0 && (head[3] == 42 || head[3] == 43));
}

}  // namespace

std::optional<ProductFormat> DetectProductFormat(const std::string& path) {
  if (!Exists(path)) {
    const std::string first = NumberedPath(path, 0, 2);
    if (Exists(first) && IsTiff(first)) return ProductFormat::kGeoTiff;
    return std::nullopt;
  }
  if (IsTiff(path)) return ProductFormat::kGeoTiff;
  const std::lock_guard<std::mutex> lock(FormatsLibraryMutex());
  if (IsOdimProduct(path)) return ProductFormat::kOdim;
  if (IsCfGrid(path)) return ProductFormat::kCfGrid;
  return std::nullopt;
}

Status WriteProduct(const std::string& path, ProductFormat format, const pb::Product& product,
                    Notes* notes) {
  Notes local;
  Notes* out = notes ? notes : &local;
  if (format == ProductFormat::kGeoJson) return WriteGeoJson(path, product, out);
  if (!product.has_raster()) {
    return Status(ErrorCode::kUnsupported, std::string(ProductFormatName(format)) +
                                               " takes raster products; this product holds none");
  }
  if (product.raster().data_set_size() == 0) {
    return Status(ErrorCode::kInvalidArgument, "the raster list holds no raster");
  }
  if (product.raster().parameters_size() > 0) {
    out->push_back(Note{NoteKind::kNotCarried, "raster.parameters[*]", "", "not carried: raster.parameters[*] (product-specific parameters)"});
  }
  if (format == ProductFormat::kGeoTiff) return WriteGeoTiff(path, product, out);
  const std::lock_guard<std::mutex> lock(FormatsLibraryMutex());
  if (format == ProductFormat::kOdim) return WriteOdimProduct(path, product, out);
  return WriteCfGrid(path, product, out);
}

Status ReadProduct(const std::string& path, ProductFormat format, pb::Product* product,
                   Notes* notes) {
  Notes local;
  Notes* out = notes ? notes : &local;
  product->Clear();
  if (format == ProductFormat::kGeoTiff) return ReadGeoTiff(path, product, out);
  if (format == ProductFormat::kGeoJson) {
    return Status(ErrorCode::kUnsupported, "GeoJSON products are written, not read");
  }
  const std::lock_guard<std::mutex> lock(FormatsLibraryMutex());
  if (format == ProductFormat::kOdim) return ReadOdimProduct(path, product, out);
  return ReadCfGrid(path, product, out);
}

std::string ProductMetadataJson(const pb::Product& product) {
  pb::Product meta(product);
  meta.clear_ProductData();
  std::string json;
  google::protobuf::util::JsonPrintOptions options;
  options.preserve_proto_field_names = true;
  if (!google::protobuf::util::MessageToJsonString(meta, &json, options).ok()) return "";
  return json;
}

bool ParseProductMetadata(const std::string& json, pb::Product* product) {
  pb::Product meta;
  if (!google::protobuf::util::JsonStringToMessage(json, &meta).ok()) return false;
  meta.clear_ProductData();
  product->MergeFrom(meta);
  return true;
}

std::string DescriptorJson(const pb::DataDescriptor& descriptor) {
  std::string json;
  google::protobuf::util::JsonPrintOptions options;
  options.preserve_proto_field_names = true;
  if (!google::protobuf::util::MessageToJsonString(descriptor, &json, options).ok()) return "";
  return json;
}

bool ParseDescriptor(const std::string& json, pb::DataDescriptor* descriptor) {
  return google::protobuf::util::JsonStringToMessage(json, descriptor).ok();
}

std::string PropertiesJson(const pb::RasterData& raster) {
  google::protobuf::Struct object;
  for (const auto& [key, value] : raster.properties()) {
    (*object.mutable_fields())[key].set_string_value(value);
  }
  std::string json;
  if (!google::protobuf::util::MessageToJsonString(object, &json).ok()) return "";
  return json;
}

bool ParseProperties(const std::string& json, pb::RasterData* raster) {
  google::protobuf::Struct object;
  if (!google::protobuf::util::JsonStringToMessage(json, &object).ok()) return false;
  for (const auto& [key, value] : object.fields()) {
    if (value.kind_case() == google::protobuf::Value::kStringValue) {
      (*raster->mutable_properties())[key] = value.string_value();
    }
  }
  return true;
}

std::string UnitTextOf(const pb::DataDescriptor& d) {
  if (d.data_unit() == pb::CUSTOM_UNIT) return d.custom_data_unit();
  if (d.data_unit() != pb::ASSUMED_UNIT) return UnitText(d.data_unit());
  const Quantity* q = FindQuantity(d.short_name());
  return q != nullptr ? UnitText(q->unit) : "";
}

Coding CodingOf(const pb::RasterData& raster, int storage_type) {
  Coding c;
  c.is_float = storage_type == pb::DataBuffer::FLOAT || storage_type == pb::DataBuffer::DOUBLE;
  if (const auto* scale = LinearScaleOf(raster)) {
    c.linear = true;
    c.gain = scale->step();
    c.offset = scale->offset();
    c.nodata = scale->not_scanned();
    c.undetect = scale->under_threshold();
  }
  auto fits = [storage_type](long long code) {
    switch (storage_type) {
      case pb::DataBuffer::UINT8:
        return code >= 0 && code <= 255;
      case pb::DataBuffer::UINT16:
        return code >= 0 && code <= 65535;
      default:
        return true;
    }
  };
  c.nodata_fits = c.linear && fits(c.nodata);
  c.undetect_fits = c.linear && fits(c.undetect);
  return c;
}

void SetCoding(const double* gain, const double* offset, const double* nodata,
               const double* undetect, int storage_type, pb::DataDescriptor* descriptor,
               Notes* notes, const std::string& what) {
  auto* scale = descriptor->mutable_scale();
  auto whole = [](const double* v) {
    return v != nullptr && std::isfinite(*v) && std::trunc(*v) == *v &&
           std::fabs(*v) < 2147483648.0;
  };
  const bool whole_nodata = whole(nodata), whole_undetect = whole(undetect);
  if (gain == nullptr && offset == nullptr && !whole_nodata && !whole_undetect) {
    scale->Clear();
    return;
  }
  scale->set_type(pb::DataDescriptor::DataScale::LINEAR);
  auto* linear = scale->mutable_linear_scale();
  linear->set_step(gain != nullptr ? *gain : 1.0);
  linear->set_offset(offset != nullptr ? *offset : 0.0);
  if (whole_nodata) linear->set_not_scanned(static_cast<std::int32_t>(*nodata));
  if (whole_undetect) linear->set_under_threshold(static_cast<std::int32_t>(*undetect));
  // One code for both when the file has only one.
  if (whole_nodata && !whole_undetect) linear->set_under_threshold(linear->not_scanned());
  if (whole_undetect && !whole_nodata) linear->set_not_scanned(linear->under_threshold());
  const bool is_float =
      storage_type == pb::DataBuffer::FLOAT || storage_type == pb::DataBuffer::DOUBLE;
  if (!whole_nodata && !whole_undetect && !is_float) {
    const bool is_unsigned =
        storage_type == pb::DataBuffer::UINT8 || storage_type == pb::DataBuffer::UINT16;
    const std::int32_t code = is_unsigned ? -1 : std::numeric_limits<std::int32_t>::min();
    linear->set_not_scanned(code);
    linear->set_under_threshold(code);
    notes->push_back(Note{NoteKind::kAssumed, what, "", what +
                     ": no nodata code in the file; not_scanned and under_threshold set to " +
                     std::to_string(code) + ", which no sample holds"});
  }
}

namespace {

// The range of the physical values of the samples that are not codes.
std::string ValueRange(const pb::RasterData& raster, int index) {
  Samples samples;
  if (!SamplesOf(raster, index, &samples).ok()) return "samples unreadable";
  const Coding c = CodingOf(raster, samples.storage_type);
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  const std::size_t count = samples.bytes.size() / samples.width;
  for (std::size_t i = 0; i < count; ++i) {
    const char* p = samples.bytes.data() + i * samples.width;
    double v = 0;
    switch (samples.storage_type) {
      case pb::DataBuffer::UINT8:
        v = static_cast<unsigned char>(*p);
        break;
      case pb::DataBuffer::UINT16: {
        std::uint16_t x;
        std::memcpy(&x, p, 2);
        v = x;
        break;
      }
      case pb::DataBuffer::INT32: {
        std::int32_t x;
        std::memcpy(&x, p, 4);
        v = x;
        break;
      }
      case pb::DataBuffer::INT64: {
        std::int64_t x;
        std::memcpy(&x, p, 8);
        v = static_cast<double>(x);
        break;
      }
      case pb::DataBuffer::FLOAT: {
        float x;
        std::memcpy(&x, p, 4);
        v = x;
        break;
      }
      default: {
        double x;
        std::memcpy(&x, p, 8);
        v = x;
        break;
      }
    }
    if (std::isnan(v)) continue;
    if (c.linear && (v == static_cast<double>(c.nodata) || v == static_cast<double>(c.undetect)))
      continue;
    if (c.linear) v = v * c.gain + c.offset;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  if (lo > hi) return "no valid samples";
  char text[96];
  std::snprintf(text, sizeof text, "values %.6g .. %.6g", lo, hi);
  return text;
}

std::string CrsName(const Grid& grid) {
  const char* authority = grid.srs.GetAuthorityName(nullptr);
  const char* code = grid.srs.GetAuthorityCode(nullptr);
  if (authority != nullptr && code != nullptr) return std::string(authority) + ":" + code;
  const char* name = grid.srs.GetName();
  if (name != nullptr && std::strcmp(name, "unknown") != 0) return name;
  char* proj4 = nullptr;
  std::string text = grid.srs.exportToProj4(&proj4) == OGRERR_NONE ? proj4 : "unnamed CRS";
  CPLFree(proj4);
  return text;
}

}  // namespace

std::string DescribeRasterGrid(const pb::RasterData& raster, int index) {
  if (!raster.has_georeference()) return "";
  Grid grid;
  const Status s = GridOf(raster, index, &grid);
  if (!s.ok()) return s.message();
  char text[320];
  std::snprintf(text, sizeof text, "%s, x %.3f .. %.3f, y %.3f .. %.3f, pixel %.6g x %.6g, %s",
                CrsName(grid).c_str(), grid.west, grid.east, grid.south, grid.north, grid.dx(),
                grid.dy(), ValueRange(raster, index).c_str());
  return text;
}

std::vector<std::string> CheckRasterGeoreference(const pb::RasterDataList& rasters) {
  std::vector<std::string> findings;
  for (int i = 0; i < rasters.data_set_size(); ++i) {
    const pb::RasterData& raster = rasters.data_set(i);
    if (!raster.has_georeference()) continue;
    Grid grid;
    Status s = GridOf(raster, i, &grid);
    if (s.ok()) {
      Samples samples;
      s = SamplesOf(raster, i, &samples);
    }
    if (!s.ok()) findings.push_back(s.message());
  }
  return findings;
}

}  // namespace formats
}  // namespace common_dto
