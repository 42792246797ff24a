// common-dto convert for products: raster products between common-dto
// files and GeoTIFF, ODIM_H5 IMAGE/COMP and CF grids; event and measurement
// products out to GeoJSON (the formats library does the mapping).
#include <fmt/format.h>
#include <sys/stat.h>

#include "commands.h"
#include "common_dto/formats/products.h"
#include "convert.h"
#include "crash_guard.h"
#include "instrument_data.pb.h"
#include "output.h"

namespace common_dto {
namespace cli {
namespace {

constexpr char kModel[] = "common-dto";

bool EndsWith(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The output format of a product: as told, else from the extension.
Result<std::string> ProductOutputFormat(const ConvertFilesOptions& options) {
  if (options.to != "auto") return options.to;
  const std::string& path = options.output;
  if (EndsWith(path, ".tif") || EndsWith(path, ".tiff")) return std::string("geotiff");
  if (EndsWith(path, ".geojson") || EndsWith(path, ".json")) return std::string("geojson");
  if (EndsWith(path, ".h5") || EndsWith(path, ".hdf5") || EndsWith(path, ".hdf")) return std::string("odim");
  if (EndsWith(path, ".nc")) return std::string("cf");
  if (path == "-" || EndsWith(path, ".pb") || EndsWith(path, ".bin") || EndsWith(path, ".cdto"))
    return std::string(kModel);
  return Error(path, "cannot tell the output format from the file name; give --to");
}

int Finish(const ConvertFilesOptions& options, const formats::Notes& read,
           const formats::Notes& written) {
  for (const formats::Note& note : read) Warn(fmt::format("{}: {}", options.input, formats::NoteText(note)));
  for (const formats::Note& note : written) Warn(fmt::format("{}: {}", options.output, formats::NoteText(note)));
  return options.strict && (!read.empty() || !written.empty()) ? kExitFindings : kExitOk;
}

// The product format of the input file, if it is a product file.
std::optional<formats::ProductFormat> ProductInputFormat(const ConvertFilesOptions& options) {
  if (options.from == "geotiff" || options.from == "cf")
    return formats::ParseProductFormat(options.from);
  if ((options.from != "auto" && options.from != "odim") || options.input == "-")
    return std::nullopt;
  // Polar formats take no products: the volume readers say why.
  if (options.to == "cfradial1" || options.to == "cfradial2") return std::nullopt;
  struct stat st {};
  const bool missing = ::stat(options.input.c_str(), &st) != 0;
  if (!missing && !S_ISREG(st.st_mode)) return std::nullopt;
  // HDF5 and netCDF products are found and read by the radar file reader's
  // worker (crash_guard.h); what is left here is GeoTIFF.
  if (!missing && IsHdf5OrNetcdf(options.input)) return std::nullopt;
  return formats::DetectProductFormat(options.input);
}

}  // namespace

Result<int> WriteProductMessage(const ConvertFilesOptions& options,
                                const kyt::pb::common::Product& product,
                                const formats::Notes& read_notes) {
  const Result<std::string> to = ProductOutputFormat(options);
  if (!to.ok()) return to.status();
  formats::Notes notes;
  if (*to == kModel) {
    kyt::pb::common::InstrumentData data;
    *data.mutable_product() = product;
    const Result<std::string> bytes = SerializeDeterministic(data);
    if (!bytes.ok()) return ErrorOf(options.output, bytes.status());
    Result<std::unique_ptr<OutputFile>> out = OutputFile::Open(options.output);
    if (!out.ok()) return out.status();
    (*out)->Write(*bytes);
    if (Status status = (*out)->Commit(); !status.ok()) return status;
    return Finish(options, read_notes, notes);
  }
  const std::optional<formats::ProductFormat> format = formats::ParseProductFormat(*to);
  if (!format) return Error(options.output, fmt::format("a product cannot be written as {}", *to));
  if (options.output == "-") return Error("", "product files cannot go to standard output");
  const Status status = formats::WriteProduct(options.output, *format, product, &notes);
  if (!status.ok()) return FormatsError(options.output, status);
  return Finish(options, read_notes, notes);
}

Result<int> ConvertProductFile(const ConvertFilesOptions& options) {
  const std::optional<formats::ProductFormat> format = ProductInputFormat(options);
  if (!format) return -1;
  Note(fmt::format("{}: read as a product ({})", options.input,
                   formats::ProductFormatName(*format)));
  kyt::pb::common::Product product;
  formats::Notes notes;
  const Status status = formats::ReadProduct(options.input, *format, &product, &notes);
  if (!status.ok()) return FormatsError(options.input, status);
  return WriteProductMessage(options, product, notes);
}

}  // namespace cli
}  // namespace common_dto
