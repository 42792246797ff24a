// common-dto convert: volumes between the data model's files and the radar
// file formats ODIM_H5 and CF/Radial, and from NEXRAD Level II (the formats
// library does the mapping).
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
std::optional<formats::Format> DetectRadarFormat(const std::string& path) {
  const std::optional<formats::Format> format = formats::DetectFormat(path);
  if (!format && IsHdf5OrNetcdf(path)) {
    Fail(path, "an HDF5 or netCDF file, but neither ODIM_H5 nor CF/Radial (or too damaged to open)");
  }
  return format;
}

// The format of the output: as told, else from its extension.
std::string OutputFormat(const ConvertFilesOptions& options) {
  if (options.to != "auto") return options.to;
  const std::string& path = options.output;
  for (const char* ext : {".h5", ".hdf5", ".hdf", ".odim"}) {
    if (EndsWith(path, ext)) return "odim";
  }
  if (EndsWith(path, ".nc") || EndsWith(path, ".cf")) return "cfradial1";
  for (const char* ext : {".pb", ".bin", ".cdto"}) {
    if (EndsWith(path, ext) || path == "-") return kModel;
  }
  Fail(path, "cannot tell the output format from the file name; give --to");
}

kyt::pb::common::Volume ReadModel(const ConvertFilesOptions& options,
                                  std::optional<kyt::pb::common::Product>* product) {
  InputOptions input_options = options.input_options;
  if (input_options.kind == InputKind::kAuto) input_options.kind = InputKind::kMessage;
  const std::unique_ptr<Input> input = Input::Open(options.input, input_options);
  if (input->is_stream()) Fail(input->name(), "convert reads a single message holding a volume");
  std::unique_ptr<google::protobuf::Message> message = input->TakeMessage();
  if (auto* data = dynamic_cast<kyt::pb::common::InstrumentData*>(message.get())) {
    if (data->has_product()) {
      *product = std::move(*data->mutable_product());  // for the product formats
      return {};
    }
    if (!data->has_volume()) Fail(input->name(), "the InstrumentData holds no volume");
    return std::move(*data->mutable_volume());
  }
  if (auto* volume = dynamic_cast<kyt::pb::common::Volume*>(message.get())) return std::move(*volume);
  Fail(input->name(), fmt::format("convert reads an InstrumentData or a Volume, not a {}",
                                  message->GetDescriptor()->full_name()));
}

void WriteModel(const std::string& path, kyt::pb::common::Volume&& volume) {
  kyt::pb::common::InstrumentData data;
  *data.mutable_volume() = std::move(volume);
  std::string error;
  const std::string bytes = SerializeDeterministic(data, &error);
  if (!error.empty()) Fail(path, error);
  OutputFile out(path);
  out.Write(bytes);
  out.Commit();
}

// The formats library writes beside the output and renames, so a failed
// conversion leaves nothing behind under the name.
void WriteFormat(const ConvertFilesOptions& options, formats::Format format,
                 const kyt::pb::common::Volume& volume, formats::Notes* notes) {
  if (options.output == "-") Fail("", "ODIM_H5 and CF/Radial files cannot go to standard output");
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
  if (!status.ok()) FailStatus(options.output, status);
}

// The input's volume: a radar file's, read by the worker, with the notes of
// the read; else a common-dto message's (a product there goes to *product
// instead). The format is as told, else found from the content.
kyt::pb::common::Volume ReadInputVolume(const ConvertFilesOptions& options, formats::Notes* notes,
                                        std::optional<kyt::pb::common::Product>* product) {
  const bool automatic = options.from == "auto";
  if (options.from == kModel || (automatic && options.input == "-")) return ReadModel(options, product);
  const std::optional<formats::Format> told =
      automatic ? std::nullopt : formats::ParseFormat(options.from);
  RadarRead read = ReadRadar(options.input_options.worker, options.input, told,
                             automatic ? "{}: read as {}" : "");
  *notes = std::move(read.notes);
  if (read.product_format) {
    *product = std::move(read.product);
    return {};
  }
  if (!read.format && automatic) {
    // A file of another format is named as such, not as damaged wire data.
    const std::string head = FileHead(options.input, 64);
    if (const std::string format = UnsupportedFormatName(head); !format.empty()) {
      FailUnsupportedFormat(options.input, format);
    }
    const std::string& type = options.input_options.type_name;
    if (!StartsLikeMessage(head, FindMessageType(type.empty() ? kDefaultMessageType : type))) {
      FailUnsupportedFormat(options.input, "");
    }
  }
  if (!read.format) return ReadModel(options, product);
  return std::move(read.volume);
}

}  // namespace

// The location goes in parentheses unless the message starts with it, as
// the formats library's messages do ("/dataset2/where/nbins: missing ...").
void FailStatus(const std::string& file, const Status& status) {
  const std::string& field = status.location().field;
  const bool named = status.message().compare(0, field.size(), field) == 0;
  Fail(file, fmt::format("{} ({})", status.message(), ErrorCodeName(status.code())),
       named ? std::string() : field);
}

kyt::pb::common::Volume ReadVolumeFile(const std::string& path, formats::Format format,
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
  if (!status.ok()) FailStatus(path, status);
  return volume;
}

std::unique_ptr<google::protobuf::Message> ReadRadarFile(const std::string& path,
                                                         const InputOptions& options) {
  if (path == "-" || options.kind == InputKind::kStream || !options.type_name.empty()) return nullptr;
  // Only regular files are looked into: probing a pipe would eat its bytes.
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  RadarRead read =
      ReadRadar(options.worker, path, std::nullopt, "{}: reading as {} (converted to an InstrumentData)");
  if (!read.format && !read.product_format) {
    if (const std::string format = UnsupportedFormatName(FileHead(path, 8)); !format.empty()) {
      FailUnsupportedFormat(path, format);
    }
    return nullptr;
  }
  auto data = std::make_unique<kyt::pb::common::InstrumentData>();
  if (read.product_format) {
    *data->mutable_product() = std::move(read.product);
  } else {
    *data->mutable_volume() = std::move(read.volume);
  }
  for (const formats::Note& note : read.notes) Note(fmt::format("{}: {}", path, formats::NoteText(note)));
  return data;
}

RadarRead ReadRadarHere(const std::string& path, std::optional<formats::Format> format,
                        const std::string& announce) {
  RadarRead read;
  // A product (ODIM IMAGE/COMP, a CF grid, a GeoTIFF) is read as one.
  if (!format || *format == formats::Format::kOdim) read.product_format = formats::DetectProductFormat(path);
  if (read.product_format) {
    const std::string name = std::string("a product (") + formats::ProductFormatName(*read.product_format) + ")";
    if (!announce.empty()) Note(fmt::format(fmt::runtime(announce), path, name));
    const Status status = formats::ReadProduct(path, *read.product_format, &read.product, &read.notes);
    if (!status.ok()) FailStatus(path, status);
    return read;
  }
  read.format = format ? format : DetectRadarFormat(path);
  if (!read.format) return read;
  if (!announce.empty()) Note(fmt::format(fmt::runtime(announce), path, formats::FormatName(*read.format)));
  read.volume = ReadVolumeFile(path, *read.format, &read.notes);
  return read;
}

int RunConvertFiles(const ConvertFilesOptions& options) {
  if (const int rc = ConvertProductFile(options); rc >= 0) return rc;
  formats::Notes read_notes, write_notes;
  std::optional<kyt::pb::common::Product> product;
  kyt::pb::common::Volume volume = ReadInputVolume(options, &read_notes, &product);
  if (product) return WriteProductMessage(options, *product, read_notes);
  const std::string to = OutputFormat(options);
  if (to == kModel) {
    WriteModel(options.output, std::move(volume));
  } else {
    WriteFormat(options, *formats::ParseFormat(to), volume, &write_notes);
  }
  for (const formats::Note& note : read_notes)
    Warn(fmt::format("{}: {}", options.input, formats::NoteText(note)));
  for (const formats::Note& note : write_notes)
    Warn(fmt::format("{}: {}", options.output, formats::NoteText(note)));
  const bool lost = !read_notes.empty() || !write_notes.empty();
  return options.strict && lost ? kExitFindings : kExitOk;
}

}  // namespace cli
}  // namespace common_dto
