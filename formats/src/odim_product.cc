// Raster products as ODIM_H5 IMAGE or COMP objects: one dataset1 whose
// dataM groups hold the rasters, on the grid of the root `where`.
#include <cpl_conv.h>

#include <cmath>
#include <cstring>
#include <utility>

#include "common_dto/model/buffers.h"
#include "hdf5_util.h"
#include "products_internal.h"
#include "quantities.h"

namespace common_dto {
namespace formats {

namespace pb = kyt::pb::common;

namespace {

// Raster properties that carry ODIM attributes the model has no field for.
constexpr char kObjectProperty[] = "odim:object";
constexpr char kSourceProperty[] = "odim:source";

const std::pair<pb::ProductType, const char*> kProducts[] = {
    {pb::PT_PPI, "PPI"},    {pb::PT_CAPPI, "CAPPI"}, {pb::PT_MAX, "MAX"},  {pb::PT_RAIN, "RR"},
    {pb::PT_TOPS, "ETOP"},  {pb::PT_BASE, "EBASE"},  {pb::PT_VIL, "VIL"},  {pb::PT_RHI, "RHI"},
    {pb::PT_CROSS, "XSEC"}, {pb::PT_VVP, "VP"},      {pb::PT_SRI, "SURF"}, {pb::PT_VAD, "VAD"},
};

const char* OdimProduct(pb::ProductType type) {
  for (const auto& [t, name] : kProducts) {
    if (t == type) return name;
  }
  return nullptr;
}

pb::ProductType ProductOf(const std::string& name) {
  for (const auto& [t, n] : kProducts) {
    if (name == n) return t;
  }
  return pb::PT_UNSPECIFIED;
}

Status First(std::initializer_list<Status> statuses) {
  for (const Status& s : statuses) {
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

H5Id MakeGroup(hid_t parent, const char* name) {
  return H5Id(H5Gcreate2(parent, name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
}

bool SameGrid(const Grid& a, const Grid& b) {
  return a.nx == b.nx && a.ny == b.ny && a.west == b.west && a.east == b.east &&
         a.south == b.south && a.north == b.north && a.srs.IsSame(&b.srs);
}

Status WriteWhere(hid_t file, const Grid& grid) {
  H5Id where = MakeGroup(file, "where");
  if (!where.valid()) return H5Error(ErrorCode::kIo, "/where", "cannot create");
  char* proj4 = nullptr;
  if (grid.srs.exportToProj4(&proj4) != OGRERR_NONE) {
    CPLFree(proj4);
    return Status(ErrorCode::kUnsupported, "the CRS has no PROJ definition for projdef");
  }
  const std::string projdef = proj4;
  CPLFree(proj4);
  // Corners: outer edges of the corner pixels.
  const std::pair<const char*, std::pair<double, double>> corners[] = {
      {"LL", {grid.west, grid.south}},
      {"UL", {grid.west, grid.north}},
      {"UR", {grid.east, grid.north}},
      {"LR", {grid.east, grid.south}}};
  Status s = First({WriteStringAttr(where.get(), "projdef", projdef.c_str()),
                    WriteLongAttr(where.get(), "xsize", grid.nx),
                    WriteLongAttr(where.get(), "ysize", grid.ny),
                    WriteDoubleAttr(where.get(), "xscale", grid.dx()),
                    WriteDoubleAttr(where.get(), "yscale", grid.dy())});
  for (const auto& [name, xy] : corners) {
    if (!s.ok()) return s;
    double lon = 0, lat = 0;
    s = ToLonLat(grid.srs, xy.first, xy.second, &lon, &lat);
    if (!s.ok()) return s;
    s = First({WriteDoubleAttr(where.get(), (std::string(name) + "_lon").c_str(), lon),
               WriteDoubleAttr(where.get(), (std::string(name) + "_lat").c_str(), lat)});
  }
  return s;
}

Status WriteTimes(hid_t what, const char* date, const char* clock,
                  const google::protobuf::Timestamp& t) {
  return First({WriteStringAttr(what, date, FormatDate(t.seconds())),
                WriteStringAttr(what, clock, FormatClock(t.seconds()))});
}

Status WriteRootWhat(hid_t file, const pb::Product& product, Notes* notes) {
  const pb::RasterData& first = product.raster().data_set(0);
  H5Id what = MakeGroup(file, "what");
  if (!what.valid()) return H5Error(ErrorCode::kIo, "/what", "cannot create");
  auto object = first.properties().find(kObjectProperty);
  Status s = First({WriteStringAttr(what.get(), "object",
                                    object != first.properties().end() ? object->second : "IMAGE"),
                    WriteStringAttr(what.get(), "version", "H5rad 2.4")});
  auto source = first.properties().find(kSourceProperty);
  if (s.ok() && source != first.properties().end())
    s = WriteStringAttr(what.get(), "source", source->second);
  if (source == first.properties().end())
    notes->push_back(Note{NoteKind::kNotCarried, "/what/source", "", "ODIM /what/source left out: the product names no source"});
  // The nominal time is the end of the input, else the generation time.
  if (s.ok() && product.input_timespan().has_end()) {
    s = WriteTimes(what.get(), "date", "time", product.input_timespan().end());
  } else if (s.ok() && product.has_product_generation_time()) {
    s = WriteTimes(what.get(), "date", "time", product.product_generation_time());
  } else if (s.ok()) {
    notes->push_back(Note{NoteKind::kNotCarried, "/what/date", "", "ODIM /what/date and time left out: the product has no time"});
  }
  return s;
}

Status WriteData(hid_t dataset, int m, const pb::RasterData& raster, int index, Notes* notes) {
  Samples samples;
  Status s = SamplesOf(raster, index, &samples);
  if (!s.ok()) return s;
  const std::string name = "data" + std::to_string(m);
  const std::string path = "/dataset1/" + name;
  H5Id group = MakeGroup(dataset, name.c_str());
  H5Id what = group.valid() ? MakeGroup(group.get(), "what") : H5Id();
  H5Id how = group.valid() ? MakeGroup(group.get(), "how") : H5Id();
  if (!what.valid() || !how.valid()) return H5Error(ErrorCode::kIo, path, "cannot create");
  const pb::DataDescriptor& d = raster.data_descriptor();
  if (raster.properties().count("odim:quality_of") > 0) {
    notes->push_back(Note{NoteKind::kConverted, path, "", path + ": a quality raster, written as a data group of its own"});
  }
  if (!d.short_name().empty())
    s = WriteStringAttr(what.get(), "quantity", d.short_name());
  else
    notes->push_back(Note{NoteKind::kNotCarried, path, "", path + ": no quantity (the descriptor has no short name)"});
  const Coding c = CodingOf(raster, samples.storage_type);
  if (s.ok() && c.linear) {
    s = First({WriteDoubleAttr(what.get(), "gain", c.gain),
               WriteDoubleAttr(what.get(), "offset", c.offset),
               WriteDoubleAttr(what.get(), "nodata", static_cast<double>(c.nodata)),
               WriteDoubleAttr(what.get(), "undetect", static_cast<double>(c.undetect))});
  }
  if (s.ok()) s = WriteStringAttr(how.get(), kDescriptorAttr, DescriptorJson(d));
  if (s.ok() && raster.properties_size() > 0)
    s = WriteStringAttr(how.get(), kPropertiesAttr, PropertiesJson(raster));
  if (!s.ok()) return s;
  const hid_t type = FileTypeOf(samples.storage_type, pb::DataBuffer::LITTLE);
  const hsize_t dims[2] = {raster.y_pix(), raster.x_pix()};
  H5Id space(H5Screate_simple(2, dims, nullptr));
  H5Id data(
      H5Dcreate2(group.get(), "data", type, space.get(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
  if (!data.valid() ||
      H5Dwrite(data.get(), type, H5S_ALL, H5S_ALL, H5P_DEFAULT, samples.bytes.data()) < 0) {
    return H5Error(ErrorCode::kIo, path + "/data", "cannot write the samples");
  }
  return First({WriteStringAttr(data.get(), "CLASS", "IMAGE"),
                WriteStringAttr(data.get(), "IMAGE_VERSION", "1.2")});
}

Status WriteDataset(hid_t file, const pb::Product& product, Notes* notes) {
  H5Id dataset = MakeGroup(file, "dataset1");
  H5Id what = dataset.valid() ? MakeGroup(dataset.get(), "what") : H5Id();
  if (!what.valid()) return H5Error(ErrorCode::kIo, "/dataset1", "cannot create");
  Status s;
  if (const char* name = OdimProduct(product.type()))
    s = WriteStringAttr(what.get(), "product", name);
  else
    notes->push_back(Note{NoteKind::kNotCarried, "/what/product", "", "ODIM product left out: product type has no ODIM name"});
  const pb::TimeSpan& span = product.input_timespan();
  if (s.ok() && span.has_start())
    s = WriteTimes(what.get(), "startdate", "starttime", span.start());
  if (s.ok() && span.has_end()) s = WriteTimes(what.get(), "enddate", "endtime", span.end());
  for (int i = 0; s.ok() && i < product.raster().data_set_size(); ++i) {
    s = WriteData(dataset.get(), i + 1, product.raster().data_set(i), i, notes);
  }
  return s;
}

Status WriteFileAt(const std::string& path, const pb::Product& product, const Grid& grid,
                   Notes* notes) {
  H5Id fapl(H5Pcreate(H5P_FILE_ACCESS));
  if (!fapl.valid() || H5Pset_libver_bounds(fapl.get(), H5F_LIBVER_V18, H5F_LIBVER_V18) < 0) {
    return H5Error(ErrorCode::kIo, path, "cannot set up the file");
  }
  H5Id file(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, fapl.get()));
  if (!file.valid()) return H5Error(ErrorCode::kIo, path, "cannot create");
  H5Id how = MakeGroup(file.get(), "how");
  if (!how.valid()) return H5Error(ErrorCode::kIo, "/how", "cannot create");
  return First({WriteStringAttr(file.get(), "Conventions", "ODIM_H5/V2_4"),
                WriteRootWhat(file.get(), product, notes), WriteWhere(file.get(), grid),
                WriteDataset(file.get(), product, notes),
                WriteStringAttr(how.get(), kProductAttr, ProductMetadataJson(product))});
}

// ---- Reading -------------------------------------------------------------

bool OptionalDouble(const std::vector<hid_t>& objs, const char* name, double* out) {
  const hid_t obj = FindAttr(objs, name);
  return obj >= 0 && ReadDoubleAttr(obj, "", name, out).ok();
}

// The grid from `where` groups (innermost first): projdef, sizes, and the
// extent from the lower-left corner with the pixel sizes, else with the
// upper-right corner.
Status ReadGridFrom(const std::vector<hid_t>& wheres, Grid* grid, Notes* notes) {
  std::string projdef;
  const hid_t p = FindAttr(wheres, "projdef");
  if (p < 0 || !ReadStringAttr(p, "/where", "projdef", &projdef).ok()) {
    return H5Error(ErrorCode::kMalformed, "/where/projdef", "missing");
  }
  if (grid->srs.importFromProj4(projdef.c_str()) != OGRERR_NONE) {
    return H5Error(ErrorCode::kMalformed, "/where/projdef", "not a PROJ definition: " + projdef);
  }
  grid->srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  double xsize = 0, ysize = 0, ll_lon = 0, ll_lat = 0;
  if (!OptionalDouble(wheres, "xsize", &xsize) || !OptionalDouble(wheres, "ysize", &ysize) ||
      !(xsize >= 1) || !(ysize >= 1) || std::trunc(xsize) != xsize || std::trunc(ysize) != ysize) {
    return H5Error(ErrorCode::kMalformed, "/where/xsize",
                   "xsize and ysize missing or not positive whole numbers");
  }
  if (xsize * ysize >= 2147483648.0)
    return H5Error(ErrorCode::kTooLarge, "/where/xsize", "xsize * ysize of 2^31 or more");
  if (!OptionalDouble(wheres, "LL_lon", &ll_lon) || !OptionalDouble(wheres, "LL_lat", &ll_lat)) {
    return H5Error(ErrorCode::kMalformed, "/where/LL_lon", "lower-left corner missing");
  }
  grid->nx = static_cast<std::uint32_t>(xsize);
  grid->ny = static_cast<std::uint32_t>(ysize);
  Status s = FromLonLat(grid->srs, ll_lon, ll_lat, &grid->west, &grid->south);
  if (!s.ok()) return s.Wrap("/where: ");
  double xscale = 0, yscale = 0, ur_lon = 0, ur_lat = 0, ur_x = 0, ur_y = 0;
  const bool scales = OptionalDouble(wheres, "xscale", &xscale) &&
                      OptionalDouble(wheres, "yscale", &yscale) && xscale > 0 && yscale > 0;
  const bool ur = OptionalDouble(wheres, "UR_lon", &ur_lon) &&
                  OptionalDouble(wheres, "UR_lat", &ur_lat) &&
                  FromLonLat(grid->srs, ur_lon, ur_lat, &ur_x, &ur_y).ok();
  if (scales) {
    grid->east = grid->west + xscale * grid->nx;
    grid->north = grid->south + yscale * grid->ny;
    if (ur &&
        (std::fabs(ur_x - grid->east) > xscale / 2 || std::fabs(ur_y - grid->north) > yscale / 2)) {
      notes->push_back(Note{NoteKind::kAssumed, "/where", "", 
          "/where: UR corner disagrees with LL + size x scale by more than half a pixel; the scale "
          "was used"});
    }
  } else if (ur) {
    grid->east = ur_x;
    grid->north = ur_y;
  } else {
    return H5Error(ErrorCode::kMalformed, "/where/xscale",
                   "neither xscale/yscale nor the UR corner");
  }
  if (!(grid->east > grid->west) || !(grid->north > grid->south)) {
    return H5Error(ErrorCode::kMalformed, "/where", "corners give an empty extent");
  }
  return Status::Ok();
}

Status ReadSamples(hid_t group, const std::string& path, const Grid& grid, std::string* bytes,
                   int* storage) {
  H5Id data(H5Dopen2(group, "data", H5P_DEFAULT));
  if (!data.valid()) return H5Error(ErrorCode::kMalformed, path + "/data", "missing");
  H5Id space(H5Dget_space(data.get()));
  hsize_t dims[2] = {0, 0};
  if (H5Sget_simple_extent_ndims(space.get()) != 2 ||
      H5Sget_simple_extent_dims(space.get(), dims, nullptr) != 2 || dims[0] != grid.ny ||
      dims[1] != grid.nx) {
    return H5Error(ErrorCode::kInvalidArgument, path + "/data",
                   "shape disagrees with ysize x xsize");
  }
  H5Id type(H5Dget_type(data.get()));
  int endian = 0;
  if (!StorageOf(type.get(), storage, &endian)) {
    return H5Error(ErrorCode::kUnsupported, path + "/data", "sample type the model cannot hold");
  }
  const std::int64_t size = static_cast<std::int64_t>(dims[0] * dims[1]) * SampleWidth(*storage);
  hsize_t file_size = 0;
  H5Id file(H5Iget_file_id(data.get()));
  if (H5Fget_filesize(file.get(), &file_size) < 0 || size > MaxSampleBytes(file_size) ||
      size >= (std::int64_t{1} << 31)) {
    return H5Error(ErrorCode::kTooLarge, path + "/data",
                   "more samples than the file can hold or 2 GiB");
  }
  bytes->resize(static_cast<std::size_t>(size));
  const hid_t memory = FileTypeOf(*storage, pb::DataBuffer::LITTLE);
  if (H5Dread(data.get(), memory, H5S_ALL, H5S_ALL, H5P_DEFAULT, bytes->data()) < 0) {
    return H5Error(ErrorCode::kMalformed, path + "/data", "cannot read the samples (truncated?)");
  }
  return Status::Ok();
}

// Group `path` (a dataM or qualityK group under `parent`) as one raster.
Status ReadData(hid_t file, hid_t dataset, hid_t parent, const std::string& path, const Grid& grid,
                pb::Product* product, Notes* notes) {
  H5Id group = OpenGroup(parent, path.substr(path.rfind('/') + 1));
  pb::RasterData* raster = product->mutable_raster()->add_data_set();
  SetGrid(grid, raster);
  std::string bytes;
  int storage = 0;
  Status s = ReadSamples(group.get(), path, grid, &bytes, &storage);
  if (!s.ok()) return s;
  H5Id what = OpenGroup(group.get(), "what"), how = OpenGroup(group.get(), "how");
  H5Id set_what = OpenGroup(dataset, "what"), root_what = OpenGroup(file, "what");
  const std::vector<hid_t> whats = {what.get(), set_what.get(), root_what.get()};
  pb::DataDescriptor* d = raster->mutable_data_descriptor();
  std::string json, quantity;
  if (how.valid() && HasAttr(how.get(), kDescriptorAttr) &&
      ReadStringAttr(how.get(), path, kDescriptorAttr, &json).ok()) {
    ParseDescriptor(json, d);
  }
  const hid_t q = FindAttr(whats, "quantity");
  if (q >= 0 && ReadStringAttr(q, path, "quantity", &quantity).ok() && json.empty())
    *d = DescriptorFor(quantity);
  double gain = 0, offset = 0, nodata = 0, undetect = 0;
  const bool has_gain = OptionalDouble(whats, "gain", &gain),
             has_offset = OptionalDouble(whats, "offset", &offset);
  const bool has_nodata = OptionalDouble(whats, "nodata", &nodata);
  const bool has_undetect = OptionalDouble(whats, "undetect", &undetect);
  SetCoding(has_gain ? &gain : nullptr, has_offset ? &offset : nullptr,
            has_nodata ? &nodata : nullptr, has_undetect ? &undetect : nullptr, storage, d, notes,
            path);
  std::string properties, object, source;
  if (how.valid() && HasAttr(how.get(), kPropertiesAttr) &&
      ReadStringAttr(how.get(), path, kPropertiesAttr, &properties).ok()) {
    ParseProperties(properties, raster);
  }
  if (root_what.valid() && ReadStringAttr(root_what.get(), "/what", "object", &object).ok()) {
    (*raster->mutable_properties())[kObjectProperty] = object;
  }
  if (root_what.valid() && HasAttr(root_what.get(), "source") &&
      ReadStringAttr(root_what.get(), "/what", "source", &source).ok()) {
    (*raster->mutable_properties())[kSourceProperty] = source;
  }
  SetSamples(std::move(bytes), storage, raster);
  return Status::Ok();
}

void ReadTimes(hid_t file, hid_t dataset, pb::Product* product) {
  H5Id what = OpenGroup(dataset, "what"), root = OpenGroup(file, "what");
  const std::vector<hid_t> whats = {what.get(), root.get()};
  auto time_of = [&](const char* date, const char* clock, google::protobuf::Timestamp* out) {
    std::string d, c;
    std::int64_t epoch = 0;
    const hid_t hd = FindAttr(whats, date), hc = FindAttr(whats, clock);
    if (hd >= 0 && hc >= 0 && ReadStringAttr(hd, "", date, &d).ok() &&
        ReadStringAttr(hc, "", clock, &c).ok() && ParseDateClock(d, c, &epoch)) {
      out->set_seconds(epoch);
    }
  };
  google::protobuf::Timestamp start, end;
  time_of("startdate", "starttime", &start);
  time_of("enddate", "endtime", &end);
  if (start.seconds() != 0) *product->mutable_input_timespan()->mutable_start() = start;
  if (end.seconds() != 0) *product->mutable_input_timespan()->mutable_end() = end;
  std::string name;
  const hid_t p = FindAttr({what.get()}, "product");
  if (p >= 0 && ReadStringAttr(p, "", "product", &name).ok() &&
      product->type() == pb::PT_UNSPECIFIED) {
    product->set_type(ProductOf(name));
  }
}

// The dataM groups of datasetN and their qualityK groups, each a raster.
// Rasters of datasets after the first carry the property odim:dataset, and
// quality rasters odim:quality_of (the quantity they qualify).
Status ReadDataset(hid_t file, hid_t root_where, int n, pb::Product* product, Notes* notes) {
  const std::string name = "dataset" + std::to_string(n);
  H5Id dataset = OpenGroup(file, name);
  H5Id set_where = OpenGroup(dataset.get(), "where");
  Grid grid;
  Status s = ReadGridFrom({set_where.get(), root_where}, &grid, notes);
  if (!s.ok()) return s.Wrap("/" + name + ": ");
  if (n == 1) ReadTimes(file, dataset.get(), product);
  for (int m = 1; s.ok() && HasLink(dataset.get(), "data" + std::to_string(m)); ++m) {
    const std::string data_path = "/" + name + "/data" + std::to_string(m);
    const int first = product->raster().data_set_size();
    s = ReadData(file, dataset.get(), dataset.get(), data_path, grid, product, notes);
    if (!s.ok()) break;
    const std::string quantity = product->raster().data_set(first).data_descriptor().short_name();
    H5Id data = OpenGroup(dataset.get(), "data" + std::to_string(m));
    for (int k = 1; s.ok() && HasLink(data.get(), "quality" + std::to_string(k)); ++k) {
      s = ReadData(file, dataset.get(), data.get(), data_path + "/quality" + std::to_string(k),
                   grid, product, notes);
      if (s.ok())
        (*product->mutable_raster()
              ->mutable_data_set()
              ->rbegin()
              ->mutable_properties())["odim:quality_of"] = quantity;
    }
    for (int i = first; s.ok() && n > 1 && i < product->raster().data_set_size(); ++i) {
      (*product->mutable_raster()->mutable_data_set(i)->mutable_properties())["odim:dataset"] =
          std::to_string(n);
    }
  }
  return s;
}

}  // namespace

bool IsOdimProduct(const std::string& path) {
  PrepareHdf5();
  if (H5Fis_hdf5(path.c_str()) <= 0) return false;
  H5Id file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
  if (!file.valid()) return false;
  H5Id what = OpenGroup(file.get(), "what");
  std::string object;
  return what.valid() && HasAttr(what.get(), "object") &&
         ReadStringAttr(what.get(), "/what", "object", &object).ok() &&
         (object == "IMAGE" || object == "COMP");
}

Status WriteOdimProduct(const std::string& path, const pb::Product& product, Notes* notes) {
  PrepareHdf5();
  Grid grid;
  Status s = GridOf(product.raster().data_set(0), 0, &grid);
  for (int i = 1; s.ok() && i < product.raster().data_set_size(); ++i) {
    Grid other;
    s = GridOf(product.raster().data_set(i), i, &other);
    if (s.ok() && !SameGrid(grid, other)) {
      s = RasterError(ErrorCode::kInvalidArgument, i,
                      "an ODIM_H5 product holds rasters of one grid only");
    }
  }
  if (!s.ok()) return s;
  return WriteBeside(
      path, [&](const std::string& temp) { return WriteFileAt(temp, product, grid, notes); });
}

Status ReadOdimProduct(const std::string& path, pb::Product* product, Notes* notes) {
  PrepareHdf5();
  if (H5Fis_hdf5(path.c_str()) <= 0)
    return H5Error(ErrorCode::kMalformed, path, "not an HDF5 file");
  H5Id file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
  if (!file.valid()) return H5Error(ErrorCode::kIo, path, "cannot open");
  H5Id how = OpenGroup(file.get(), "how");
  std::string json;
  if (how.valid() && HasAttr(how.get(), kProductAttr) &&
      ReadStringAttr(how.get(), "/how", kProductAttr, &json).ok()) {
    ParseProductMetadata(json, product);
  }
  H5Id root_where = OpenGroup(file.get(), "where");
  Status s;
  for (int n = 1; s.ok() && HasLink(file.get(), "dataset" + std::to_string(n)); ++n) {
    s = ReadDataset(file.get(), root_where.get(), n, product, notes);
  }
  if (s.ok() && (!product->has_raster() || product->raster().data_set_size() == 0)) {
    return H5Error(ErrorCode::kMalformed, "/dataset1/data1", "missing");
  }
  return s;
}

}  // namespace formats
}  // namespace common_dto
