// common-dto convert: volumes between the data model's files and the radar
// file formats ODIM_H5 and CF/Radial (the formats library does the mapping).
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cstdio>

#include "commands.h"
#include "input.h"
#include "common_dto/formats/formats.h"
#include "convert.h"
#include "common_dto/formats/products.h"
#include "crash_guard.h"
#include "instrument_data.pb.h"
#include "output.h"

namespace common_dto {
namespace cli {
namespace {

constexpr char kModel[] = "common-dto";

bool EndsWith(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The radar format of the regular file `path`, if it has one. An HDF5 or
// netCDF file of neither format is refused here: read as a common-dto file
// it would only fail with a confusing parse error.
Result<std::optional<formats::Format>> DetectRadarFormat(const std::string& path) {
  const std::optional<formats::Format> format = formats::DetectFormat(path);
  if (!format && IsHdf5OrNetcdf(path)) {
    return Error(path, "an HDF5 or netCDF file, but neither ODIM_H5 nor CF/Radial (or too damaged to open)",
                 {}, ErrorCode::kUnsupported);
  }
  return format;
}

// The format of the output: as told, else from its extension.
Result<std::string> OutputFormat(const ConvertFilesOptions& options) {
  if (options.to != "auto") return options.to;
  const std::string& path = options.output;
  for (const char* ext : {".h5", ".hdf5", ".hdf", ".odim"}) {
    if (EndsWith(path, ext)) return std::string("odim");
  }
  if (EndsWith(path, ".nc") || EndsWith(path, ".cf")) return std::string("cfradial1");
  for (const char* ext : {".pb", ".bin", ".cdto"}) {
    if (EndsWith(path, ext) || path == "-") return std::string(kModel);
  }
  return Error(path, "cannot tell the output format from the file name; give --to");
}

Result<kyt::pb::common::Volume> ReadModel(const ConvertFilesOptions& options,
                                          std::optional<kyt::pb::common::Product>* product) {
  InputOptions input_options = options.input_options;
  if (input_options.kind == InputKind::kAuto) input_options.kind = InputKind::kMessage;
  Result<std::unique_ptr<Input>> input = Input::Open(options.input, input_options);
  if (!input.ok()) return input.status();
  const std::string& name = (*input)->name();
  if ((*input)->is_stream()) return Error(name, "convert reads a single message holding a volume");
  std::unique_ptr<google::protobuf::Message> message = (*input)->TakeMessage();
  if (auto* data = dynamic_cast<kyt::pb::common::InstrumentData*>(message.get())) {
    if (data->has_product()) {
      *product = std::move(*data->mutable_product());  // for the product formats
      return kyt::pb::common::Volume();
    }
    if (!data->has_volume()) return Error(name, "the InstrumentData holds no volume");
    return std::move(*data->mutable_volume());
  }
  if (auto* volume = dynamic_cast<kyt::pb::common::Volume*>(message.get())) return std::move(*volume);
  return Error(name, fmt::format("convert reads an InstrumentData or a Volume, not a {}",
                                 message->GetDescriptor()->full_name()));
}

Status WriteModel(const std::string& path, kyt::pb::common::Volume&& volume) {
  kyt::pb::common::InstrumentData data;
  *data.mutable_volume() = std::move(volume);
  const Result<std::string> bytes = SerializeDeterministic(data);
  if (!bytes.ok()) return ErrorOf(path, bytes.status());
  Result<std::unique_ptr<OutputFile>> out = OutputFile::Open(path);
  if (!out.ok()) return out.status();
  (*out)->Write(*bytes);
  return (*out)->Commit();
}

// The formats library writes beside the output and renames, so a failed
// conversion leaves nothing behind under the name.
Status WriteFormat(const ConvertFilesOptions& options, formats::Format format,
                   const kyt::pb::common::Volume& volume, formats::Notes* notes) {
  if (options.output == "-") return Error("", "ODIM_H5 and CF/Radial files cannot go to standard output");
  // Progress in sample bytes of the sweeps written.
  std::vector<std::uint64_t> done_bytes{0};
  for (const auto& sweep : volume.sweep()) {
    std::uint64_t bytes = 0;
    for (const auto& [name, buffer] : sweep.sweep_moments()) bytes += buffer.data().size();
    done_bytes.push_back(done_bytes.back() + bytes);
  }
  Progress progress(fmt::format("convert to {}", formats::FormatName(format)), done_bytes.back());
  formats::WriteOptions write_options;
  write_options.compression_level = options.compression;
  write_options.odim_scan = options.odim_scan;
  write_options.progress = [&](std::size_t done, std::size_t) {
    progress.Update(done_bytes[std::min(done, done_bytes.size() - 1)], 0);
  };
  const Status status = formats::WriteFile(options.output, format, write_options, volume, notes);
  progress.Erase();
  return status.ok() ? status : FormatsError(options.output, status);
}

// The input's volume: a radar file's, read by the worker, with the notes of
// the read; else a common-dto message's (a product there goes to *product
// instead). The format is as told, else found from the content.
Result<kyt::pb::common::Volume> ReadInputVolume(const ConvertFilesOptions& options,
                                                formats::Notes* notes,
                                                std::optional<kyt::pb::common::Product>* product) {
  const bool automatic = options.from == "auto";
  if (options.from == kModel || (automatic && options.input == "-")) return ReadModel(options, product);
  const std::optional<formats::Format> told =
      automatic ? std::nullopt : formats::ParseFormat(options.from);
  Result<RadarRead> read = ReadRadar(options.input_options.worker, options.input, told,
                                     automatic ? "{}: read as {}" : "");
  if (!read.ok()) return read.status();
  *notes = std::move(read->notes);
  if (read->product_format) {
    *product = std::move(read->product);
    return kyt::pb::common::Volume();
  }
  if (!read->format) return ReadModel(options, product);
  return std::move(read->volume);
}

}  // namespace

// The formats library's messages name the place they are about
// ("/dataset2/where/nbins: missing ..."); its code goes in parentheses.
Status FormatsError(const std::string& file, const Status& status) {
  return Error(file, fmt::format("{} ({})", status.message(), ErrorCodeName(status.code())), {},
               status.code(), status.location());
}

Result<kyt::pb::common::Volume> ReadVolumeFile(const std::string& path, formats::Format format,
                                               formats::Notes* notes) {
  // Progress as the share of sweeps read, in bytes of the file.
  struct stat st{};
  const std::uint64_t size = ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  Progress progress(fmt::format("read {}", path), size);
  formats::ReadOptions read_options;
  read_options.progress = [&](std::size_t done, std::size_t total) {
    progress.Update(total == 0 ? 0 : size * done / total, 0);
  };
  kyt::pb::common::Volume volume;
  const Status status = formats::ReadFile(path, format, read_options, &volume, notes);
  progress.Erase();
  if (!status.ok()) return FormatsError(path, status);
  return volume;
}

Result<std::unique_ptr<google::protobuf::Message>> ReadRadarFile(const std::string& path,
                                                                 const InputOptions& options) {
  using Read = std::unique_ptr<google::protobuf::Message>;
  if (path == "-" || options.kind == InputKind::kStream || !options.type_name.empty()) return Read();
  // Only regular files are looked into: probing a pipe would eat its bytes.
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Read();
  Result<RadarRead> read =
      ReadRadar(options.worker, path, std::nullopt, "{}: reading as {} (converted to an InstrumentData)");
  if (!read.ok()) return read.status();
  if (!read->format && !read->product_format) return Read();
  auto data = std::make_unique<kyt::pb::common::InstrumentData>();
  if (read->product_format) {
    *data->mutable_product() = std::move(read->product);
  } else {
    *data->mutable_volume() = std::move(read->volume);
  }
  for (const formats::Note& note : read->notes) Note(fmt::format("{}: {}", path, formats::NoteText(note)));
  return Read(std::move(data));
}

Result<RadarRead> ReadRadarHere(const std::string& path, std::optional<formats::Format> format,
                                const std::string& announce) {
  RadarRead read;
  // A product (ODIM IMAGE/COMP, a CF grid, a GeoTIFF) is read as one.
  if (!format || *format == formats::Format::kOdim) read.product_format = formats::DetectProductFormat(path);
  if (read.product_format) {
    const std::string name = std::string("a product (") + formats::ProductFormatName(*read.product_format) + ")";
    if (!announce.empty()) Note(fmt::format(fmt::runtime(announce), path, name));
    const Status status = formats::ReadProduct(path, *read.product_format, &read.product, &read.notes);
    if (!status.ok()) return FormatsError(path, status);
    return read;
  }
  if (format) {
    read.format = format;
  } else {
    Result<std::optional<formats::Format>> detected = DetectRadarFormat(path);
    if (!detected.ok()) return detected.status();
    read.format = *detected;
  }
  if (!read.format) return read;
  if (!announce.empty()) Note(fmt::format(fmt::runtime(announce), path, formats::FormatName(*read.format)));
  Result<kyt::pb::common::Volume> volume = ReadVolumeFile(path, *read.format, &read.notes);
  if (!volume.ok()) return volume.status();
  read.volume = std::move(*volume);
  return read;
}

Result<int> RunConvertFiles(const ConvertFilesOptions& options) {
  const Result<int> product_file = ConvertProductFile(options);
  if (!product_file.ok() || *product_file >= 0) return product_file;
  formats::Notes read_notes, write_notes;
  std::optional<kyt::pb::common::Product> product;
  Result<kyt::pb::common::Volume> volume = ReadInputVolume(options, &read_notes, &product);
  if (!volume.ok()) return volume.status();
  if (product) return WriteProductMessage(options, *product, read_notes);
  const Result<std::string> to = OutputFormat(options);
  if (!to.ok()) return to.status();
  const Status written = *to == kModel
                             ? WriteModel(options.output, std::move(*volume))
                             : WriteFormat(options, *formats::ParseFormat(*to), *volume, &write_notes);
  if (!written.ok()) return written;
  for (const formats::Note& note : read_notes)
    Warn(fmt::format("{}: {}", options.input, formats::NoteText(note)));
  for (const formats::Note& note : write_notes)
    Warn(fmt::format("{}: {}", options.output, formats::NoteText(note)));
  const bool lost = !read_notes.empty() || !write_notes.empty();
  return options.strict && lost ? kExitFindings : kExitOk;
}

}  // namespace cli
}  // namespace common_dto
