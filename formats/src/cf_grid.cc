// Raster products as CF-1.8 gridded netCDF: dimensions y and x, coordinate
// variables of the pixel centres in the projection's units (y from north to
// south), a scalar `crs` grid-mapping variable with crs_wkt, spatial_ref and
// the CF grid_mapping_name parameters where CF has the projection, and one
// data variable (y, x) per raster.
#include <cpl_conv.h>

#include <cmath>
#include <cstring>

#include "common_dto/model/buffers.h"
#include "netcdf_util.h"
#include "products_internal.h"
#include "quantities.h"

namespace common_dto {
namespace formats {

namespace pb = kyt::pb::common;

namespace {

constexpr char kUndetectAtt[] = "_Undetect";

nc_type NcType(int storage_type) {
  switch (storage_type) {
    case pb::DataBuffer::UINT8:
      return NC_UBYTE;
    case pb::DataBuffer::UINT16:
      return NC_USHORT;
    case pb::DataBuffer::INT32:
      return NC_INT;
    case pb::DataBuffer::INT64:
      return NC_INT64;
    case pb::DataBuffer::FLOAT:
      return NC_FLOAT;
    case pb::DataBuffer::DOUBLE:
      return NC_DOUBLE;
    default:
      return NC_NAT;
  }
}

// The storage type a variable is read into (narrow signed types widened).
int StorageOfNc(nc_type type, bool* widened) {
  *widened = type == NC_BYTE || type == NC_SHORT || type == NC_UINT;
  switch (type) {
    case NC_UBYTE:
      return pb::DataBuffer::UINT8;
    case NC_USHORT:
      return pb::DataBuffer::UINT16;
    case NC_BYTE:
    case NC_SHORT:
    case NC_INT:
      return pb::DataBuffer::INT32;
    case NC_UINT:
    case NC_INT64:
      return pb::DataBuffer::INT64;
    case NC_FLOAT:
      return pb::DataBuffer::FLOAT;
    case NC_DOUBLE:
      return pb::DataBuffer::DOUBLE;
    default:
      return pb::DataBuffer::UNKNOWN_TYPE;
  }
}

Status First(std::initializer_list<Status> statuses) {
  for (const Status& s : statuses) {
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

std::string Wkt(const OGRSpatialReference& srs, const char* format) {
  char* text = nullptr;
  const char* options[] = {format, nullptr};
  std::string out;
  if (srs.exportToWkt(&text, options) == OGRERR_NONE) out = text;
  CPLFree(text);
  return out;
}

// CF grid_mapping_name and its parameters for the projections CF names.
Status PutGridMapping(int nc, int var, const OGRSpatialReference& srs) {
  auto put = [&](const char* name, double v) { return PutAttDouble(nc, var, name, NC_DOUBLE, v); };
  Status s = First({put("semi_major_axis", srs.GetSemiMajor()),
                    put("inverse_flattening", srs.GetInvFlattening())});
  if (srs.IsGeographic())
    return First({s, PutAttText(nc, var, "grid_mapping_name", "latitude_longitude")});
  const char* kind = srs.GetAttrValue("PROJECTION");
  if (!s.ok() || kind == nullptr) return s;
  const std::string p = kind;
  auto parm = [&](const char* name) { return srs.GetProjParm(name, 0); };
  s = First({put("false_easting", parm(SRS_PP_FALSE_EASTING)),
             put("false_northing", parm(SRS_PP_FALSE_NORTHING))});
  if (!s.ok()) return s;
  if (p == SRS_PT_POLAR_STEREOGRAPHIC) {
    const double lat_ts = parm(SRS_PP_LATITUDE_OF_ORIGIN);
    return First({PutAttText(nc, var, "grid_mapping_name", "polar_stereographic"),
                  put("straight_vertical_longitude_from_pole", parm(SRS_PP_CENTRAL_MERIDIAN)),
                  put("latitude_of_projection_origin", lat_ts < 0 ? -90 : 90),
                  put("standard_parallel", lat_ts)});
  }
  if (p == SRS_PT_LAMBERT_AZIMUTHAL_EQUAL_AREA) {
    return First({PutAttText(nc, var, "grid_mapping_name", "lambert_azimuthal_equal_area"),
                  put("longitude_of_projection_origin", parm(SRS_PP_LONGITUDE_OF_CENTER)),
                  put("latitude_of_projection_origin", parm(SRS_PP_LATITUDE_OF_CENTER))});
  }
  if (p == SRS_PT_AZIMUTHAL_EQUIDISTANT) {
    return First({PutAttText(nc, var, "grid_mapping_name", "azimuthal_equidistant"),
                  put("longitude_of_projection_origin", parm(SRS_PP_LONGITUDE_OF_CENTER)),
                  put("latitude_of_projection_origin", parm(SRS_PP_LATITUDE_OF_CENTER))});
  }
  if (p == SRS_PT_TRANSVERSE_MERCATOR) {
    return First(
        {PutAttText(nc, var, "grid_mapping_name", "transverse_mercator"),
         put("longitude_of_central_meridian", parm(SRS_PP_CENTRAL_MERIDIAN)),
         put("latitude_of_projection_origin", parm(SRS_PP_LATITUDE_OF_ORIGIN)),
         put("scale_factor_at_central_meridian", srs.GetProjParm(SRS_PP_SCALE_FACTOR, 1))});
  }
  if (p == SRS_PT_LAMBERT_CONFORMAL_CONIC_2SP) {
    const double parallels[2] = {parm(SRS_PP_STANDARD_PARALLEL_1),
                                 parm(SRS_PP_STANDARD_PARALLEL_2)};
    return First({PutAttText(nc, var, "grid_mapping_name", "lambert_conformal_conic"),
                  NcCheck(nc_put_att_double(nc, var, "standard_parallel", NC_DOUBLE, 2, parallels), "nc_put_att_double",
                          ErrorCode::kIo, "standard_parallel"),
                  put("longitude_of_central_meridian", parm(SRS_PP_CENTRAL_MERIDIAN)),
                  put("latitude_of_projection_origin", parm(SRS_PP_LATITUDE_OF_ORIGIN))});
  }
  return Status::Ok();
}

Status DefineCoordinates(int nc, const Grid& grid, int dims[2]) {
  Status s = First({NcCheck(nc_def_dim(nc, "y", grid.ny, &dims[0]), "nc_def_dim", ErrorCode::kIo, "y"),
                    NcCheck(nc_def_dim(nc, "x", grid.nx, &dims[1]), "nc_def_dim", ErrorCode::kIo, "x")});
  int x = 0, y = 0, crs = 0;
  if (s.ok())
    s = First({DefVar(nc, "y", NC_DOUBLE, {dims[0]}, &y), DefVar(nc, "x", NC_DOUBLE, {dims[1]}, &x),
               DefVar(nc, "crs", NC_INT, {}, &crs)});
  if (!s.ok()) return s;
  const bool geographic = grid.srs.IsGeographic();
  const char* unit = nullptr;
  const double metres = grid.srs.GetLinearUnits(&unit);
  const std::string units = geographic         ? ""
                            : metres == 1.0    ? "m"
                            : metres == 1000.0 ? "km"
                                               : (unit ? unit : "");
  return First(
      {PutAttText(nc, x, "standard_name", geographic ? "longitude" : "projection_x_coordinate"),
       PutAttText(nc, y, "standard_name", geographic ? "latitude" : "projection_y_coordinate"),
       PutAttText(nc, x, "units", geographic ? "degrees_east" : units),
       PutAttText(nc, y, "units", geographic ? "degrees_north" : units),
       PutAttText(nc, x, "axis", "X"), PutAttText(nc, y, "axis", "Y"),
       PutAttText(nc, crs, "crs_wkt", Wkt(grid.srs, "FORMAT=WKT2_2019")),
       PutAttText(nc, crs, "spatial_ref", Wkt(grid.srs, "FORMAT=WKT1_GDAL")),
       PutGridMapping(nc, crs, grid.srs)});
}

Status PutFill(int nc, int var, nc_type type, double value) {
  std::int64_t as_int = static_cast<std::int64_t>(value);
  float as_float = static_cast<float>(value);
  unsigned char b = static_cast<unsigned char>(as_int);
  unsigned short u = static_cast<unsigned short>(as_int);
  int i = static_cast<int>(as_int);
  const void* fill = type == NC_UBYTE    ? static_cast<const void*>(&b)
                     : type == NC_USHORT ? static_cast<const void*>(&u)
                     : type == NC_INT    ? static_cast<const void*>(&i)
                     : type == NC_INT64  ? static_cast<const void*>(&as_int)
                     : type == NC_FLOAT  ? static_cast<const void*>(&as_float)
                                         : static_cast<const void*>(&value);
  return NcCheck(nc_def_var_fill(nc, var, 0, fill), "nc_def_var_fill", ErrorCode::kIo, "_FillValue");
}

Status DefineData(int nc, const int dims[2], const pb::RasterData& raster, int index, int storage,
                  int* var, Notes* notes) {
  const pb::DataDescriptor& d = raster.data_descriptor();
  std::string name =
      d.short_name().empty() ? "raster_" + std::to_string(index + 1) : d.short_name();
  if (VarId(nc, name) >= 0) name += "_" + std::to_string(index + 1);
  const nc_type type = NcType(storage);
  Status s = DefVar(nc, name, type, {dims[0], dims[1]}, var);
  if (!s.ok()) return s;
  const Coding c = CodingOf(raster, storage);
  if (c.linear) {
    s = First({PutAttDouble(nc, *var, "scale_factor", NC_DOUBLE, c.gain),
               PutAttDouble(nc, *var, "add_offset", NC_DOUBLE, c.offset)});
    if (s.ok() && c.nodata_fits) s = PutFill(nc, *var, type, static_cast<double>(c.nodata));
    if (s.ok() && c.undetect != c.nodata && c.undetect_fits) {
      s = PutAttDouble(nc, *var, kUndetectAtt, type, static_cast<double>(c.undetect));
      notes->push_back(Note{NoteKind::kConverted, "_Undetect", "", 
          "CF has no below-threshold code: under_threshold kept as the attribute _Undetect"});
    }
  } else if (c.is_float) {
    s = PutFill(nc, *var, type, std::nan(""));
  }
  const Quantity* q = FindQuantity(d.short_name());
  const std::string unit = UnitTextOf(d);
  if (s.ok() && q != nullptr && *q->standard_name != '\0')
    s = PutAttText(nc, *var, "standard_name", q->standard_name);
  if (s.ok() && !unit.empty()) s = PutAttText(nc, *var, "units", unit);
  if (s.ok() && !d.description().empty()) s = PutAttText(nc, *var, "long_name", d.description());
  if (s.ok() && raster.properties_size() > 0)
    s = PutAttText(nc, *var, kPropertiesAttr, PropertiesJson(raster));
  return First({s, PutAttText(nc, *var, "grid_mapping", "crs"),
                PutAttText(nc, *var, kDescriptorAttr, DescriptorJson(d))});
}

Status WriteAt(const std::string& path, const pb::Product& product, const Grid& grid,
               Notes* notes) {
  NcFile file;
  Status s = file.Create(path);
  if (!s.ok()) return s;
  const int nc = file.id();
  int dims[2] = {0, 0};
  s = First({PutAttText(nc, NC_GLOBAL, "Conventions", "CF-1.8"),
             PutAttText(nc, NC_GLOBAL, kProductAttr, ProductMetadataJson(product)),
             DefineCoordinates(nc, grid, dims)});
  const int count = product.raster().data_set_size();
  std::vector<int> vars(count);
  std::vector<Samples> samples(1);
  for (int i = 0; s.ok() && i < count; ++i) {
    s = SamplesOf(product.raster().data_set(i), i, &samples[0]);
    if (s.ok())
      s = DefineData(nc, dims, product.raster().data_set(i), i, samples[0].storage_type, &vars[i],
                     notes);
  }
  if (s.ok()) s = NcCheck(nc_enddef(nc), "nc_enddef", ErrorCode::kIo, path);
  std::vector<double> x(grid.nx), y(grid.ny);
  for (std::uint32_t i = 0; i < grid.nx; ++i) x[i] = grid.west + (i + 0.5) * grid.dx();
  for (std::uint32_t j = 0; j < grid.ny; ++j) y[j] = grid.north - (j + 0.5) * grid.dy();
  if (s.ok())
    s = First({NcCheck(nc_put_var_double(nc, VarId(nc, "x"), x.data()), "nc_put_var_double", ErrorCode::kIo, "x"),
               NcCheck(nc_put_var_double(nc, VarId(nc, "y"), y.data()), "nc_put_var_double", ErrorCode::kIo, "y")});
  for (int i = 0; s.ok() && i < count; ++i) {
    s = SamplesOf(product.raster().data_set(i), i, &samples[0]);
    if (s.ok())
      s = NcCheck(nc_put_var(nc, vars[i], samples[0].bytes.data()), "nc_put_var", ErrorCode::kIo, "data");
  }
  return First({s, file.Close()});
}

// ---- Reading -------------------------------------------------------------

bool OptionalAtt(int nc, int var, const char* name, double* out) {
  return HasAtt(nc, var, name) && GetAttDouble(nc, var, name, out).ok();
}

// The CRS named by a data variable's grid_mapping.
Status ReadCrs(int nc, int var, OGRSpatialReference* srs) {
  std::string mapping, wkt;
  if (!GetAttText(nc, var, "grid_mapping", &mapping).ok())
    return NcError(ErrorCode::kMalformed, "grid_mapping", "unreadable");
  // "crs" or the CF-1.7 extended form "crs: x y".
  mapping = mapping.substr(0, mapping.find(':'));
  const int crs = VarId(nc, mapping);
  if (crs < 0) return NcError(ErrorCode::kMalformed, mapping, "grid mapping variable missing");
  for (const char* att : {"crs_wkt", "spatial_ref"}) {
    if (HasAtt(nc, crs, att) && GetAttText(nc, crs, att, &wkt).ok() &&
        srs->importFromWkt(wkt.c_str()) == OGRERR_NONE) {
      srs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
      return Status::Ok();
    }
  }
  std::string name;
  if (GetAttText(nc, crs, "grid_mapping_name", &name).ok() && name == "latitude_longitude") {
    srs->SetWellKnownGeogCS("WGS84");
    srs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    return Status::Ok();
  }
  return NcError(ErrorCode::kUnsupported, mapping, "grid mapping without crs_wkt or spatial_ref");
}

// The edges of a regular axis from its centres; `factor` scales to metres.
Status AxisEdges(int nc, int dim, double factor, double* low, double* high, bool* descending,
                 std::size_t* n) {
  char name[NC_MAX_NAME + 1];
  if (nc_inq_dim(nc, dim, name, n) != NC_NOERR)
    return NcError(ErrorCode::kMalformed, "dimension", "unreadable");
  if (*n >= (std::size_t{1} << 31) ||
      static_cast<std::int64_t>(*n * sizeof(double)) > MaxSampleBytes(NcFileSize(nc))) {
    return NcError(ErrorCode::kTooLarge, name, "a longer axis than the file can hold");
  }
  std::vector<double> v;
  Status s = GetDoubles(nc, name, 0, *n, &v);
  if (!s.ok()) return s;
  std::string units;
  if (HasAtt(nc, VarId(nc, name), "units") &&
      GetAttText(nc, VarId(nc, name), "units", &units).ok() && units == "km") {
    factor *= 1000;
  }
  for (double& x : v) x *= factor;
  const double step = *n > 1 ? (v.back() - v.front()) / static_cast<double>(*n - 1) : 0;
  if (*n < 2 || step == 0)
    return NcError(ErrorCode::kUnsupported, name, "axis of fewer than two distinct points");
  for (std::size_t i = 1; i < *n; ++i) {
    if (std::fabs(v[i] - v[i - 1] - step) > std::fabs(step) * 1e-6) {
      return NcError(ErrorCode::kUnsupported, name, "irregular axis");
    }
  }
  *descending = step < 0;
  *low = std::min(v.front(), v.back()) - std::fabs(step) / 2;
  *high = std::max(v.front(), v.back()) + std::fabs(step) / 2;
  return Status::Ok();
}

Status ReadVariable(int nc, int var, const std::string& name, pb::Product* product, Notes* notes) {
  int dims[NC_MAX_VAR_DIMS];
  int ndims = 0;
  nc_type type = NC_NAT;
  if (nc_inq_var(nc, var, nullptr, &type, &ndims, dims, nullptr) != NC_NOERR || ndims != 2) {
    notes->push_back(Note{NoteKind::kNotCarried, name, "", name + ": not a two-dimensional (y, x) variable; left out"});
    return Status::Ok();
  }
  Grid grid;
  Status s = ReadCrs(nc, var, &grid.srs);
  bool y_down = false, x_down = false;
  std::size_t ny = 0, nx = 0;
  if (s.ok()) s = AxisEdges(nc, dims[0], 1, &grid.south, &grid.north, &y_down, &ny);
  if (s.ok()) s = AxisEdges(nc, dims[1], 1, &grid.west, &grid.east, &x_down, &nx);
  if (!s.ok()) return s.Wrap(name + ": ");
  if (x_down) return NcError(ErrorCode::kUnsupported, name, "x decreasing");
  grid.nx = static_cast<std::uint32_t>(nx);
  grid.ny = static_cast<std::uint32_t>(ny);
  bool widened = false;
  const int storage = StorageOfNc(type, &widened);
  const int width = SampleWidth(storage);
  if (width == 0)
    return NcError(ErrorCode::kUnsupported, name, "type the model has no storage type for");
  if (widened) notes->push_back(Note{NoteKind::kConverted, name, "", name + ": samples widened to the next storage type the model has"});
  if (std::uint64_t{nx} * ny >= (std::uint64_t{1} << 31))
    return NcError(ErrorCode::kTooLarge, name, "2^31 samples or more");
  const std::uint64_t bytes = std::uint64_t{nx} * ny * width;
  if (bytes > static_cast<std::uint64_t>(MaxSampleBytes(NcFileSize(nc))) ||
      bytes >= (std::uint64_t{1} << 31)) {
    return NcError(ErrorCode::kTooLarge, name, "more samples than the file can hold or 2 GiB");
  }
  std::string data(bytes, '\0');
  const int rc = storage == pb::DataBuffer::INT32
                     ? nc_get_var_int(nc, var, reinterpret_cast<int*>(data.data()))
                 : storage == pb::DataBuffer::INT64
                     ? nc_get_var_longlong(nc, var, reinterpret_cast<long long*>(data.data()))
                     : nc_get_var(nc, var, data.data());
  if (rc != NC_NOERR)
    return NcError(ErrorCode::kMalformed, name, std::string("cannot read: ") + nc_strerror(rc));
  if (!y_down) FlipRows(&data, ny);
  pb::RasterData* raster = product->mutable_raster()->add_data_set();
  SetGrid(grid, raster);
  pb::DataDescriptor* d = raster->mutable_data_descriptor();
  std::string json, units;
  if (!(HasAtt(nc, var, kDescriptorAttr) && GetAttText(nc, var, kDescriptorAttr, &json).ok() &&
        ParseDescriptor(json, d))) {
    *d = DescriptorFor(name);
    if (HasAtt(nc, var, "units") && GetAttText(nc, var, "units", &units).ok())
      d->set_data_unit(UnitFromText(units));
  }
  double gain = 0, offset = 0, fill = 0, undetect = 0;
  const bool g = OptionalAtt(nc, var, "scale_factor", &gain),
             o = OptionalAtt(nc, var, "add_offset", &offset);
  const bool f =
      OptionalAtt(nc, var, "_FillValue", &fill) || OptionalAtt(nc, var, "missing_value", &fill);
  const bool u = OptionalAtt(nc, var, kUndetectAtt, &undetect);
  SetCoding(g ? &gain : nullptr, o ? &offset : nullptr, f ? &fill : nullptr,
            u ? &undetect : nullptr, storage, d, notes, name);
  std::string properties;
  if (HasAtt(nc, var, kPropertiesAttr) && GetAttText(nc, var, kPropertiesAttr, &properties).ok()) {
    ParseProperties(properties, raster);
  }
  SetSamples(std::move(data), storage, raster);
  return Status::Ok();
}

}  // namespace

bool IsCfGrid(const std::string& path) {
  NcFile file;
  if (!file.Open(path).ok()) return false;
  // CF/Radial volumes may name grid mappings too; they are not grids.
  if (VarId(file.id(), "sweep_group_name") >= 0 || VarId(file.id(), "sweep_start_ray_index") >= 0)
    return false;
  int nvars = 0;
  if (nc_inq_nvars(file.id(), &nvars) != NC_NOERR) return false;
  for (int v = 0; v < nvars; ++v) {
    if (HasAtt(file.id(), v, "grid_mapping")) return true;
  }
  return false;
}

Status WriteCfGrid(const std::string& path, const pb::Product& product, Notes* notes) {
  Grid grid;
  Status s = GridOf(product.raster().data_set(0), 0, &grid);
  for (int i = 1; s.ok() && i < product.raster().data_set_size(); ++i) {
    Grid other;
    s = GridOf(product.raster().data_set(i), i, &other);
    if (s.ok() && (other.nx != grid.nx || other.ny != grid.ny || other.west != grid.west ||
                   other.north != grid.north || other.east != grid.east ||
                   other.south != grid.south || !other.srs.IsSame(&grid.srs))) {
      s = RasterError(ErrorCode::kInvalidArgument, i,
                      "a CF grid file holds rasters of one grid only");
    }
  }
  if (!s.ok()) return s;
  return WriteBeside(path,
                     [&](const std::string& temp) { return WriteAt(temp, product, grid, notes); });
}

Status ReadCfGrid(const std::string& path, pb::Product* product, Notes* notes) {
  NcFile file;
  Status s = file.Open(path);
  if (!s.ok()) return s;
  const int nc = file.id();
  std::string json;
  if (HasAtt(nc, NC_GLOBAL, kProductAttr) && GetAttText(nc, NC_GLOBAL, kProductAttr, &json).ok()) {
    ParseProductMetadata(json, product);
  }
  int nvars = 0;
  if (nc_inq_nvars(nc, &nvars) != NC_NOERR)
    return NcError(ErrorCode::kMalformed, path, "unreadable");
  for (int v = 0; s.ok() && v < nvars; ++v) {
    if (!HasAtt(nc, v, "grid_mapping")) continue;
    char name[NC_MAX_NAME + 1];
    if (nc_inq_varname(nc, v, name) != NC_NOERR)
      return NcError(ErrorCode::kMalformed, path, "unreadable");
    s = ReadVariable(nc, v, name, product, notes);
  }
  if (s.ok() && (!product->has_raster() || product->raster().data_set_size() == 0)) {
    return NcError(ErrorCode::kMalformed, path, "no gridded variable (none names a grid_mapping)");
  }
  return s;
}

}  // namespace formats
}  // namespace common_dto
