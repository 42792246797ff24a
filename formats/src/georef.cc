// Georeferencing of product rasters: CRSs through OGR/PROJ, grid geometry,
// samples in the pixel order of products.h.
#include "georef.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "common_dto/model/buffers.h"

namespace common_dto {
namespace formats {

namespace pb = kyt::pb::common;

namespace {

Location Field(const std::string& field) {
  Location location;
  location.field = field;
  return location;
}

// "EPSG:3035", "epsg:3035" or "3035" -> 3035; 0 for other text.
int EpsgNumber(const std::string& text) {
  std::string digits = text;
  const std::size_t colon = digits.find(':');
  if (colon != std::string::npos) {
    std::string prefix = digits.substr(0, colon);
    std::transform(prefix.begin(), prefix.end(), prefix.begin(), ::toupper);
    if (prefix != "EPSG") return 0;
    digits = digits.substr(colon + 1);
  }
  if (digits.empty() || digits.size() > 9 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return 0;
  }
  return std::stoi(digits);
}

std::string EllipsoidOf(const pb::Geoid& geoid) {
  if (geoid.earth_shape() == pb::Geoid::GH_GRS80 || geoid.earth_shape() == pb::Geoid::GH_ETRS89) {
    return " +ellps=GRS80";
  }
  if (geoid.earth_radius() > 0 && geoid.earth_flattening() > 0) {
    return " +a=" + std::to_string(geoid.earth_radius()) +
           " +rf=" + std::to_string(1.0 / geoid.earth_flattening());
  }
  if (geoid.earth_radius() > 0) return " +R=" + std::to_string(geoid.earth_radius());
  return " +ellps=WGS84";
}

// The PROJ string of a SableProjection; empty for kinds without one.
std::string SableProj(const pb::SableProjection& s, const pb::Geoid& geoid) {
  char text[256];
  switch (s.projection_type()) {
    case pb::SableProjection::PROJ_AZIMUTHAL:
      std::snprintf(text, sizeof text, "+proj=aeqd +lat_0=%.17g +lon_0=%.17g", s.ref_lat(),
                    s.ref_lon());
      break;
    case pb::SableProjection::PROJ_MERCATOR:
      std::snprintf(text, sizeof text, "+proj=merc +lon_0=%.17g +lat_ts=%.17g", s.ref_lon(),
                    s.std_parallel_1());
      break;
    case pb::SableProjection::PROJ_POLSTEREO:
      std::snprintf(text, sizeof text, "+proj=stere +lat_0=%d +lat_ts=%.17g +lon_0=%.17g",
                    s.ref_lat() < 0 ? -90 : 90, s.std_parallel_1(), s.ref_lon());
      break;
    case pb::SableProjection::PROJ_UTM:
      std::snprintf(text, sizeof text, "+proj=utm +zone=%d%s",
                    std::clamp(static_cast<int>(std::floor((s.ref_lon() + 180) / 6)) + 1, 1, 60),
                    s.ref_lat() < 0 ? " +south" : "");
      break;
    case pb::SableProjection::PROJ_GNOMONIC:
      std::snprintf(text, sizeof text, "+proj=gnom +lat_0=%.17g +lon_0=%.17g", s.ref_lat(),
                    s.ref_lon());
      break;
    case pb::SableProjection::PROJ_LAMBERT:
      std::snprintf(text, sizeof text,
                    "+proj=lcc +lat_0=%.17g +lon_0=%.17g +lat_1=%.17g +lat_2=%.17g", s.ref_lat(),
                    s.ref_lon(), s.std_parallel_1(), s.std_parallel_2());
      break;
    default:
      return "";
  }
  return std::string(text) + EllipsoidOf(geoid) + " +units=m +no_defs";
}

// One form of a projection into *srs; `form` names it in errors.
Status ImportForm(const std::string& form, const std::string& text, OGRSpatialReference* srs) {
  OGRErr err = OGRERR_FAILURE;
  if (form == "epsg_code") {
    const int code = EpsgNumber(text);
    if (code > 0) err = srs->importFromEPSG(code);
  } else if (form == "wkt") {
    err = srs->importFromWkt(text.c_str());
  } else {
    err = srs->importFromProj4(text.c_str());
  }
  if (err != OGRERR_NONE) {
    return Status(ErrorCode::kInvalidArgument, "projection " + form + " not understood: " + text,
                  Field("georeference.projection." + form));
  }
  srs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  return Status::Ok();
}

// Same CRS: OGR says so, or both give the same PROJ definition (an EPSG
// CRS and its PROJ string differ in names only).
bool SameCrs(const OGRSpatialReference& a, const OGRSpatialReference& b) {
  const char* options[] = {"IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES",
                           "CRITERION=EQUIVALENT_EXCEPT_AXIS_ORDER_GEOGCRS", nullptr};
  if (a.IsSame(&b, options)) return true;
  char* pa = nullptr;
  char* pb_ = nullptr;
  const bool same = a.exportToProj4(&pa) == OGRERR_NONE && b.exportToProj4(&pb_) == OGRERR_NONE &&
                    std::strcmp(pa, pb_) == 0;
  CPLFree(pa);
  CPLFree(pb_);
  return same;
}

void SetSable(const OGRSpatialReference& srs, pb::Projection* projection) {
  const char* name = srs.GetAttrValue("PROJECTION");
  if (name == nullptr) return;
  const std::string kind = name;
  pb::SableProjection s;
  const double lat0 = srs.GetProjParm(SRS_PP_LATITUDE_OF_ORIGIN, 0);
  const double lon0 = srs.GetProjParm(SRS_PP_CENTRAL_MERIDIAN, 0);
  int north = 0;
  const int zone = srs.GetUTMZone(&north);
  if (zone != 0) {
    s.set_projection_type(pb::SableProjection::PROJ_UTM);
    s.set_ref_lon(-183 + 6 * zone);
    if (!north) s.set_ref_lat(-1);
  } else if (kind == SRS_PT_AZIMUTHAL_EQUIDISTANT) {
    s.set_projection_type(pb::SableProjection::PROJ_AZIMUTHAL);
    s.set_ref_lat(srs.GetProjParm(SRS_PP_LATITUDE_OF_CENTER, lat0));
    s.set_ref_lon(srs.GetProjParm(SRS_PP_LONGITUDE_OF_CENTER, lon0));
  } else if (kind == SRS_PT_MERCATOR_1SP || kind == SRS_PT_MERCATOR_2SP) {
    s.set_projection_type(pb::SableProjection::PROJ_MERCATOR);
    s.set_ref_lon(lon0);
    s.set_std_parallel_1(srs.GetProjParm(SRS_PP_STANDARD_PARALLEL_1, 0));
  } else if (kind == SRS_PT_POLAR_STEREOGRAPHIC) {
    s.set_projection_type(pb::SableProjection::PROJ_POLSTEREO);
    s.set_ref_lat(lat0 < 0 ? -90 : 90);
    s.set_ref_lon(lon0);
    s.set_std_parallel_1(lat0);
  } else if (kind == SRS_PT_GNOMONIC) {
    s.set_projection_type(pb::SableProjection::PROJ_GNOMONIC);
    s.set_ref_lat(lat0);
    s.set_ref_lon(lon0);
  } else if (kind == SRS_PT_LAMBERT_CONFORMAL_CONIC_2SP) {
    s.set_projection_type(pb::SableProjection::PROJ_LAMBERT);
    s.set_ref_lat(lat0);
    s.set_ref_lon(lon0);
    s.set_std_parallel_1(srs.GetProjParm(SRS_PP_STANDARD_PARALLEL_1, 0));
    s.set_std_parallel_2(srs.GetProjParm(SRS_PP_STANDARD_PARALLEL_2, 0));
  } else {
    return;
  }
  *projection->mutable_sable_proj() = s;
}

Status Transform(const OGRSpatialReference& from, const OGRSpatialReference& to, double* x,
                 double* y) {
  std::unique_ptr<OGRCoordinateTransformation> ct(OGRCreateCoordinateTransformation(&from, &to));
  if (!ct || !ct->Transform(1, x, y) || !std::isfinite(*x) || !std::isfinite(*y)) {
    return Status(ErrorCode::kInvalidArgument, "coordinates cannot be transformed",
                  Field("georeference.projection"));
  }
  return Status::Ok();
}

OGRSpatialReference Wgs84() {
  OGRSpatialReference wgs84;
  wgs84.SetWellKnownGeogCS("WGS84");
  wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  return wgs84;
}

}  // namespace

Status ResolveCrs(const pb::Projection& projection, const pb::Geoid& geoid,
                  OGRSpatialReference* srs) {
  CPLErrorHandlerPusher quiet(CPLQuietErrorHandler);
  const std::pair<const char*, const std::string*> forms[] = {
      {"epsg_code", &projection.epsg_code()},
      {"wkt", &projection.wkt()},
      {"proj4", &projection.proj4()}};
  bool have = false;
  for (const auto& [form, text] : forms) {
    if (text->empty()) continue;
    if (!have) {
      Status s = ImportForm(form, *text, srs);
      if (!s.ok()) return s;
      have = true;
      continue;
    }
    OGRSpatialReference other;
    Status s = ImportForm(form, *text, &other);
    if (!s.ok()) return s;
    if (!SameCrs(*srs, other)) {
      return Status(
          ErrorCode::kInvalidArgument,
          std::string("projection ") + form + " describes another CRS than the form before it",
          Field(std::string("georeference.projection.") + form));
    }
  }
  if (have) return Status::Ok();
  if (!projection.has_sable_proj()) {
    return Status(ErrorCode::kInvalidArgument, "no projection", Field("georeference.projection"));
  }
  const std::string proj = SableProj(projection.sable_proj(), geoid);
  if (proj.empty()) {
    return Status(ErrorCode::kUnsupported, "sable_proj of a kind without a standard projection",
                  Field("georeference.projection.sable_proj"));
  }
  return ImportForm("proj4", proj, srs);
}

void SetProjection(const OGRSpatialReference& srs_in, pb::Projection* projection) {
  CPLErrorHandlerPusher quiet(CPLQuietErrorHandler);
  OGRSpatialReference srs(srs_in);
  if (srs.GetAuthorityName(nullptr) == nullptr) srs.AutoIdentifyEPSG();
  const char* authority = srs.GetAuthorityName(nullptr);
  const char* code = srs.GetAuthorityCode(nullptr);
  if (authority != nullptr && code != nullptr && std::strcmp(authority, "EPSG") == 0) {
    projection->set_epsg_code(std::string("EPSG:") + code);
  }
  char* wkt = nullptr;
  const char* options[] = {"FORMAT=WKT2_2019", nullptr};
  if (srs_in.exportToWkt(&wkt, options) == OGRERR_NONE) projection->set_wkt(wkt);
  CPLFree(wkt);
  SetSable(srs_in, projection);
}

void Grid::GeoTransform(double gt[6]) const {
  gt[0] = west;
  gt[1] = dx();
  gt[2] = 0;
  gt[3] = north;
  gt[4] = 0;
  gt[5] = -dy();
}

Status RasterError(ErrorCode code, int index, const std::string& what) {
  return Status(code, "raster " + std::to_string(index) + ": " + what,
                Field("raster.data_set[" + std::to_string(index) + "]"));
}

Status GridOf(const pb::RasterData& raster, int index, Grid* grid) {
  if (raster.x_pix() == 0 || raster.y_pix() == 0) {
    return RasterError(ErrorCode::kInvalidArgument, index, "x_pix and y_pix must be above zero");
  }
  const pb::GeoReference& geo = raster.georeference();
  Status s = ResolveCrs(geo.projection(), geo.geoid(), &grid->srs);
  if (!s.ok()) return s.Wrap("raster " + std::to_string(index) + ": ");
  grid->nx = raster.x_pix();
  grid->ny = raster.y_pix();
  grid->west = geo.bbox().south_west().x();
  grid->south = geo.bbox().south_west().y();
  grid->east = geo.bbox().north_east().x();
  grid->north = geo.bbox().north_east().y();
  if (!(grid->east > grid->west) || !(grid->north > grid->south) ||
      !std::isfinite(grid->east - grid->west) || !std::isfinite(grid->north - grid->south)) {
    return RasterError(
        ErrorCode::kInvalidArgument, index,
        "bounding box without extent (north_east must lie east and north of south_west)");
  }
  return Status::Ok();
}

void SetGrid(const Grid& grid, pb::RasterData* raster) {
  raster->set_x_pix(grid.nx);
  raster->set_y_pix(grid.ny);
  pb::GeoReference* geo = raster->mutable_georeference();
  SetProjection(grid.srs, geo->mutable_projection());
  geo->mutable_bbox()->mutable_south_west()->set_x(grid.west);
  geo->mutable_bbox()->mutable_south_west()->set_y(grid.south);
  geo->mutable_bbox()->mutable_north_east()->set_x(grid.east);
  geo->mutable_bbox()->mutable_north_east()->set_y(grid.north);
}

Status ToLonLat(const OGRSpatialReference& srs, double x, double y, double* lon, double* lat) {
  CPLErrorHandlerPusher quiet(CPLQuietErrorHandler);
  *lon = x;
  *lat = y;
  return Transform(srs, Wgs84(), lon, lat);
}

Status FromLonLat(const OGRSpatialReference& srs, double lon, double lat, double* x, double* y) {
  CPLErrorHandlerPusher quiet(CPLQuietErrorHandler);
  *x = lon;
  *y = lat;
  return Transform(Wgs84(), srs, x, y);
}

Status SamplesOf(const pb::RasterData& raster, int index, Samples* samples) {
  if (raster.data_size() == 0) return RasterError(ErrorCode::kMalformed, index, "no data buffers");
  const pb::DataBuffer& first = raster.data(0);
  samples->storage_type = first.type();
  samples->width = SampleWidth(first.type());
  if (samples->width == 0) {
    return RasterError(ErrorCode::kUnsupported, index,
                       "samples without a fixed width (type " + std::to_string(first.type()) + ")");
  }
  const std::uint64_t count = std::uint64_t{raster.x_pix()} * raster.y_pix();
  if (count >= (std::uint64_t{1} << 31)) {
    return RasterError(ErrorCode::kTooLarge, index, "x_pix * y_pix of 2^31 samples or more");
  }
  const std::uint64_t expected = count * static_cast<std::uint64_t>(samples->width);
  samples->bytes.clear();
  for (const pb::DataBuffer& buffer : raster.data()) {
    if (buffer.type() != first.type() || buffer.endian() != first.endian()) {
      return RasterError(ErrorCode::kInvalidArgument, index,
                         "buffers of different types or byte orders");
    }
    if (samples->bytes.size() >= expected && !buffer.data().empty()) {
      return RasterError(ErrorCode::kInvalidArgument, index,
                         "buffers hold more than x_pix * y_pix samples");
    }
    Status s = AppendUncompressed(buffer, &samples->bytes,
                                  static_cast<std::size_t>(expected - samples->bytes.size()));
    if (!s.ok()) return s.Wrap("raster " + std::to_string(index) + ": ");
  }
  if (samples->bytes.size() != expected) {
    return RasterError(ErrorCode::kInvalidArgument, index,
                       "buffers hold " + std::to_string(samples->bytes.size()) +
                           " bytes, x_pix * y_pix samples are " + std::to_string(expected));
  }
  if (first.endian() == pb::DataBuffer::BIG && samples->width > 1) {
    GDALSwapWords(samples->bytes.data(), samples->width, static_cast<int>(count), samples->width);
  }
  return Status::Ok();
}

void SetSamples(std::string bytes, int storage_type, pb::RasterData* raster) {
  pb::DataBuffer* buffer = raster->add_data();
  buffer->set_type(static_cast<pb::DataBuffer::StorageType>(storage_type));
  buffer->set_endian(pb::DataBuffer::LITTLE);
  buffer->set_compression(pb::DataBuffer::NONE);
  buffer->set_uncompressed_size(static_cast<std::int32_t>(bytes.size()));
  buffer->set_data(std::move(bytes));
}

const pb::DataDescriptor::DataScale::LinearDataScale* LinearScaleOf(const pb::RasterData& raster) {
  const auto& scale = raster.data_descriptor().scale();
  if (scale.type() != pb::DataDescriptor::DataScale::LINEAR) return nullptr;
  return &scale.linear_scale();
}

void FlipRows(std::string* bytes, std::size_t rows) {
  if (rows < 2) return;
  const std::size_t row = bytes->size() / rows;
  std::string tmp(row, '\0');
  for (std::size_t top = 0, bottom = rows - 1; top < bottom; ++top, --bottom) {
    char* a = bytes->data() + top * row;
    char* b = bytes->data() + bottom * row;
    std::memcpy(tmp.data(), a, row);
    std::memcpy(a, b, row);
    std::memcpy(b, tmp.data(), row);
  }
}

}  // namespace formats
}  // namespace common_dto
