// Raster products: a 2000 x 2000 UINT8 product written to and read from
// GeoTIFF (COG, DEFLATE) by the formats library, against the same array
// written and read with plain GDAL calls (a MEM dataset copied by the COG
// driver with the same options; reading: the geotransform, the CRS as WKT,
// nodata, scale and offset, and RasterIO of the band, which is what a
// product reader needs from the file).
//
// ratio = plain calls' time / the library's time: at least 0.8 is the goal.
#include <cpl_conv.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "bench_util.h"
#include "common_dto/formats/products.h"
#include "instrument_data.pb.h"

namespace common_dto_bench {
namespace {

constexpr int kSide = 2000;

std::string TempTif(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/common-dto-bench-" + std::to_string(getpid()) + "-" +
         name + ".tif";
}

const kyt::pb::common::Product& TestProduct() {
  static const kyt::pb::common::Product product = [] {
    kyt::pb::common::Product p;
    auto* r = p.mutable_raster()->add_data_set();
    r->set_x_pix(kSide);
    r->set_y_pix(kSide);
    r->mutable_georeference()->mutable_projection()->set_epsg_code("EPSG:3035");
    auto* box = r->mutable_georeference()->mutable_bbox();
    box->mutable_south_west()->set_x(2000000);
    box->mutable_south_west()->set_y(1000000);
    box->mutable_north_east()->set_x(2000000 + 1000.0 * kSide);
    box->mutable_north_east()->set_y(1000000 + 1000.0 * kSide);
    auto* scale = r->mutable_data_descriptor()->mutable_scale();
    scale->set_type(kyt::pb::common::DataDescriptor::DataScale::LINEAR);
    scale->mutable_linear_scale()->set_step(0.5);
    scale->mutable_linear_scale()->set_not_scanned(255);
    scale->mutable_linear_scale()->set_under_threshold(255);
    std::string samples(std::size_t{kSide} * kSide, '\0');
    for (std::size_t i = 0; i < samples.size(); ++i)
      samples[i] = static_cast<char>((i / 7 + i % kSide / 13) % 200);
    auto* buffer = r->add_data();
    buffer->set_type(kyt::pb::common::DataBuffer::UINT8);
    buffer->set_compression(kyt::pb::common::DataBuffer::NONE);
    buffer->set_uncompressed_size(static_cast<std::int32_t>(samples.size()));
    buffer->set_data(std::move(samples));
    return p;
  }();
  return product;
}

void PlainWrite(const std::string& path) {
  GDALAllRegister();
  const std::string& samples = TestProduct().raster().data_set(0).data(0).data();
  GDALDataset* mem = GetGDALDriverManager()->GetDriverByName("MEM")->Create("", kSide, kSide, 1,
                                                                            GDT_Byte, nullptr);
  double gt[6] = {2000000, 1000, 0, 1000000 + 1000.0 * kSide, 0, -1000};
  mem->SetGeoTransform(gt);
  OGRSpatialReference srs;
  srs.importFromEPSG(3035);
  mem->SetSpatialRef(&srs);
  GDALRasterBand* band = mem->GetRasterBand(1);
  Check(band->RasterIO(GF_Write, 0, 0, kSide, kSide, const_cast<char*>(samples.data()), kSide,
                       kSide, GDT_Byte, 0, 0, nullptr) == CE_None,
        "RasterIO");
  band->SetNoDataValue(255);
  band->SetScale(0.5);
  const char* options[] = {"COMPRESS=DEFLATE", "RESAMPLING=NEAREST", nullptr};
  GDALDataset* out = GetGDALDriverManager()->GetDriverByName("COG")->CreateCopy(
      path.c_str(), mem, FALSE, const_cast<char**>(options), nullptr, nullptr);
  Check(out != nullptr, "COG CreateCopy");
  GDALClose(out);
  GDALClose(mem);
}

void PlainRead(const std::string& path) {
  GDALDataset* ds = static_cast<GDALDataset*>(GDALOpen(path.c_str(), GA_ReadOnly));
  Check(ds != nullptr, "GDALOpen");
  double gt[6];
  Check(ds->GetGeoTransform(gt) == CE_None, "GetGeoTransform");
  char* wkt = nullptr;
  const char* wkt_options[] = {"FORMAT=WKT2_2019", nullptr};
  Check(ds->GetSpatialRef() != nullptr &&
            ds->GetSpatialRef()->exportToWkt(&wkt, wkt_options) == OGRERR_NONE,
        "WKT");
  CPLFree(wkt);
  GDALRasterBand* band = ds->GetRasterBand(1);
  int has = 0;
  benchmark::DoNotOptimize(band->GetNoDataValue(&has) + band->GetScale(&has) +
                           band->GetOffset(&has));
  std::string samples(std::size_t{kSide} * kSide, '\0');
  Check(ds->GetRasterBand(1)->RasterIO(GF_Read, 0, 0, kSide, kSide, samples.data(), kSide, kSide,
                                       GDT_Byte, 0, 0, nullptr) == CE_None,
        "RasterIO");
  GDALClose(ds);
}

void Register() {
  using common_dto::formats::ProductFormat;
  const double bytes = double(kSide) * kSide;
  benchmark::RegisterBenchmark("Products/2000x2000/write_geotiff",
                               [bytes](benchmark::State& state) {
                                 const std::string ours = TempTif("ours"), plain = TempTif("plain");
                                 RunPaired(
                                     state, {bytes, 0, "plain_gdal_write"},
                                     [&] {
                                       Stopwatch t;
                                       const auto status = common_dto::formats::WriteProduct(
                                           ours, ProductFormat::kGeoTiff, TestProduct(), nullptr);
                                       const double s = t.Seconds();
                                       Check(status.ok(), status.message());
                                       return s;
                                     },
                                     [&] {
                                       Stopwatch t;
                                       PlainWrite(plain);
                                       return t.Seconds();
                                     });
                                 unlink(ours.c_str());
                                 unlink(plain.c_str());
                               })
      ->UseManualTime()
      ->MinTime(0.5)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Products/2000x2000/read_geotiff",
                               [bytes](benchmark::State& state) {
                                 const std::string ours = TempTif("ours"), plain = TempTif("plain");
                                 Check(common_dto::formats::WriteProduct(
                                           ours, ProductFormat::kGeoTiff, TestProduct(), nullptr)
                                           .ok(),
                                       "write");
                                 PlainWrite(plain);
                                 RunPaired(
                                     state, {bytes, 0, "plain_gdal_read"},
                                     [&] {
                                       kyt::pb::common::Product product;
                                       Stopwatch t;
                                       const auto status = common_dto::formats::ReadProduct(
                                           ours, ProductFormat::kGeoTiff, &product, nullptr);
                                       const double s = t.Seconds();
                                       Check(status.ok(), status.message());
                                       return s;
                                     },
                                     [&] {
                                       Stopwatch t;
                                       PlainRead(plain);
                                       return t.Seconds();
                                     });
                                 unlink(ours.c_str());
                                 unlink(plain.c_str());
                               })
      ->UseManualTime()
      ->MinTime(0.5)
      ->Unit(benchmark::kMillisecond);
}

[[maybe_unused]] const bool registered = (Register(), true);

}  // namespace
}  // namespace common_dto_bench
