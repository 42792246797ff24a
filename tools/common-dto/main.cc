// common-dto: the command-line tool of the common-dto data model. Looks into
// files and ray streams (dump, summary, check), makes them (encode) and
// converts between volumes and streams (assemble, split).
//
// Exit status: 0 success, 1 `check` found problems, 2 unusable input or
// arguments. Errors are one line on stderr: "common-dto: <file>: <what>
// (<where>)", where a library's message names the place itself ("message 6
// at byte offset 682: truncated: ...").
#include <google/protobuf/stubs/logging.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <exception>
#include <functional>
#include <ios>
#include <new>
#include <string>

#include "commands.h"
#include "crash_guard.h"
#include "output.h"

namespace common_dto {
namespace cli {
namespace {

constexpr char kDescription[] =
    "Look into, make and check files and ray streams of the common-dto data model.\n"
    "A file is either one message (by default a kyt.pb.common.InstrumentData) or a ray\n"
    "stream (length-delimited kyt.pb.stream.RayStreamMessages); '-' is standard input or\n"
    "output. Exit status: 0 success, 1 check found problems, 2 unusable input or arguments.";

void AddInputOptions(CLI::App* command, InputOptions* options, std::string* kind,
                     const std::string& default_kind = "auto") {
  *kind = default_kind;
  command
      ->add_option("--input-kind", *kind,
                   "message, stream, or auto: a stream when the input starts with ray stream "
                   "messages (a damaged stream included), else a single message (the choice is "
                   "said on stderr)")
      ->check(CLI::IsMember({"auto", "message", "stream"}))
      ->capture_default_str();
  command->add_option("--type", options->type_name,
                      "Full name of the message type, e.g. kyt.pb.common.Volume (default "
                      "kyt.pb.common.InstrumentData; for a stream, the type of each message). "
                      "With --input-kind auto it means a single message");
  command
      ->add_option("--max-message-size", options->max_message_size,
                   "Largest message of a stream accepted (a length prefix above it is an error)")
      ->transform(CLI::AsSizeValue(false))
      ->capture_default_str();
}

CLI::App* AddConvertCommand(CLI::App* app, ConvertFilesOptions* options) {
  const std::vector<std::string> formats = {"auto",      "common-dto", "odim", "cfradial1",
                                           "cfradial2", "geotiff",    "cf",   "geojson"};
  // Formats of radar processors are read, never written.
  std::vector<std::string> from_formats = formats;
  for (const char* name : {"nexrad", "iris", "rainbow"}) from_formats.push_back(name);
  CLI::App* command = app->add_subcommand(
      "convert",
      "Convert a volume between common-dto, ODIM_H5 and CF/Radial 1.4 / 2.1 files (and in from NEXRAD Level II, IRIS/Sigmet "
      "RAW and Rainbow 5), or a product between common-dto and GeoTIFF, ODIM_H5 IMAGE/COMP, CF grids "
      "(and out to GeoJSON)");
  command->add_option("input", options->input, "Input file (- for a common-dto message)")->required();
  command->add_option("output", options->output, "Output file")->required();
  command->add_option("--from", options->from, "Input format (auto: from the content; nexrad, iris, rainbow: read only)")
      ->check(CLI::IsMember(from_formats))
      ->capture_default_str();
  command->add_option("--to", options->to,
                      "Output format (auto: from the extension: .h5 odim, .nc cfradial1 (cf for products), "
                      ".tif geotiff, .geojson geojson, .pb common-dto)")
      ->check(CLI::IsMember(formats))
      ->capture_default_str();
  command->add_option("--compression", options->compression, "gzip level of the data arrays (0-9)")
      ->check(CLI::Range(0, 9))
      ->capture_default_str();
  command->add_flag("--odim-scan", options->odim_scan, "Write a one-sweep volume as an ODIM SCAN");
  command->add_flag("--strict", options->strict, "Exit status 1 when anything could not be carried");
  command->footer(
      "What a format cannot carry is named on stderr.\n"
      "Examples:\n"
      "  common-dto convert volume.pb volume.h5\n"
      "  common-dto convert --to cfradial2 --compression 4 volume.h5 volume.nc\n"
      "  common-dto convert composite.pb composite.tif");
  return command;
}

InputKind KindOf(const std::string& kind) {
  if (kind == "message") return InputKind::kMessage;
  if (kind == "stream") return InputKind::kStream;
  return InputKind::kAuto;
}

CLI::App* AddDump(CLI::App* app, DumpOptions* dump, std::string* dump_kind) {
  CLI::App* dump_command = app->add_subcommand(
      "dump", "Print a file or stream as JSON (one line per message for a stream) or text");
  dump_command->add_option("file", dump->file, "Input file, or - for standard input")->required();
  dump_command->add_option("--format", dump->format, "json (the schema's field names) or text")
      ->check(CLI::IsMember({"json", "text"}))
      ->capture_default_str();
  dump_command->add_option("-o,--output", dump->output, "Output file")->capture_default_str();
  AddInputOptions(dump_command, &dump->input, dump_kind);
  dump_command->footer(
      "Examples:\n"
      "  common-dto dump volume.pb\n"
      "  common-dto dump --format text --type kyt.pb.common.Ray ray.bin\n"
      "  common-dto dump demo-volume.rays | grep sweep_header\n"
      "  common-dto dump volume.pb | common-dto encode - copy.pb   # copy.pb equals volume.pb");
  return dump_command;
}

CLI::App* AddEncode(CLI::App* app, EncodeOptions* encode) {
  CLI::App* encode_command =
      app->add_subcommand("encode", "Write the binary form of JSON or text (the inverse of dump)");
  encode_command->add_option("input", encode->input, "JSON or text file, or -")->required();
  encode_command->add_option("output", encode->output, "Binary output file, or -")->required();
  encode_command->add_option("--type", encode->type_name,
                             "Full name of the message type (default "
                             "kyt.pb.common.InstrumentData, with --stream "
                             "kyt.pb.stream.RayStreamMessage)");
  encode_command
      ->add_option("--from", encode->from,
                   "json (field names as in the schema or "
                   "lowerCamelCase) or text")
      ->check(CLI::IsMember({"json", "text"}))
      ->capture_default_str();
  encode_command->add_flag("--stream", encode->stream,
                           "One message per line (JSON Lines; with --from text one text-format "
                           "message per line, an empty line being an empty message), written "
                           "as a stream");
  encode_command->footer(
      "Map entries are written in key order, so equal messages give equal bytes.\n"
      "Examples:\n"
      "  common-dto encode volume.json volume.pb\n"
      "  common-dto encode --from text --type kyt.pb.common.Ray ray.txt ray.bin\n"
      "  common-dto dump demo-volume.rays | common-dto encode --stream - copy.rays");
  return encode_command;
}

CLI::App* AddSummary(CLI::App* app, SummaryOptions* summary, std::string* summary_kind) {
  CLI::App* summary_command = app->add_subcommand(
      "summary", "Overview: instrument, configuration and a table of sweeps; products; streams");
  summary_command->add_option("file", summary->file, "Input file, or -")->required();
  summary_command->add_option("-o,--output", summary->output, "Output file")->capture_default_str();
  AddInputOptions(summary_command, &summary->input, summary_kind);
  summary_command->footer(
      "A stream is summarized volume by volume as each ends, then totals per message kind.\n"
      "Examples:\n"
      "  common-dto summary volume.pb\n"
      "  common-dto summary demo-volume.rays");
  return summary_command;
}

CLI::App* AddCheck(CLI::App* app, CheckOptions* check, std::string* check_kind) {
  CLI::App* check_command = app->add_subcommand(
      "check", "Validate what the schema cannot enforce; exit status 1 when anything is found");
  check_command->add_option("file", check->file, "Input file, or -")->required();
  check_command->add_option("-o,--output", check->output, "Output file")->capture_default_str();
  check_command
      ->add_option("--max-buffer-size", check->max_buffer_size,
                   "Largest decompressed LZ4 buffer accepted")
      ->transform(CLI::AsSizeValue(false))
      ->capture_default_str();
  check_command->add_flag("--strict", check->strict,
                          "Report unknown fields (of a newer schema) and messages of unknown "
                          "kinds as findings; without it they are notes");
  AddInputOptions(check_command, &check->input, check_kind);
  check_command->footer(
      "Finds references to ray and sweep configurations that do not resolve, duplicate UUIDs\n"
      "and ray indices, sample buffers that do not fit their storage type, ray count or\n"
      "uncompressed_size, moments without a DataDescriptor, enum numbers outside their\n"
      "lists, invalid times, and in streams what reassembly reports. One finding per line,\n"
      "with its path (e.g. volume.sweep[2].rays[17].ray_config_index).\n"
      "Examples:\n"
      "  common-dto check volume.pb\n"
      "  common-dto check demo-volume.rays || echo \"problems found\"");
  return check_command;
}

CLI::App* AddAssemble(CLI::App* app, AssembleOptions* assemble, std::string* assemble_kind) {
  CLI::App* assemble_command = app->add_subcommand(
      "assemble", "Reassemble a ray stream into an InstrumentData holding the volume");
  assemble_command->add_option("stream", assemble->input, "Ray stream, or -")->required();
  assemble_command->add_option("output", assemble->output, "InstrumentData file, or -")->required();
  assemble_command
      ->add_option("--compression", assemble->compression, "Compression of the moment buffers")
      ->check(CLI::IsMember({"none", "lz4-frame", "lz4-block"}))
      ->capture_default_str();
  assemble_command->add_option("--fill", assemble->fill,
                               "Pad short and missing rays with this value (or the moment's "
                               "not_scanned code); without it such moments are left out");
  assemble_command->add_option("--volume", assemble->volume,
                               "Which volume of a stream holding several (0-based, in the order "
                               "they end)");
  AddInputOptions(assemble_command, &assemble->input_options, assemble_kind, "stream");
  assemble_command->footer(
      "Problems of the stream are warnings on stderr; the volume is written as far as it\n"
      "came, and the exit status is then 1.\n"
      "Examples:\n"
      "  common-dto assemble demo-volume.rays volume.pb\n"
      "  common-dto assemble --fill -32768 --volume 1 day.rays second.pb");
  return assemble_command;
}

CLI::App* AddSplit(CLI::App* app, SplitOptions* split, std::string* split_kind) {
  CLI::App* split_command =
      app->add_subcommand("split", "Split an InstrumentData holding a volume into a ray stream");
  split_command->add_option("input", split->input, "InstrumentData (or Volume) file, or -")
      ->required();
  split_command->add_option("stream", split->output, "Ray stream output, or -")->required();
  split_command
      ->add_option("--compression", split->compression, "Compression of the per-ray buffers")
      ->check(CLI::IsMember({"none", "lz4-frame", "lz4-block"}))
      ->capture_default_str();
  split_command->add_option("--start", split->start,
                            "Start time of the VolumeHeader (RFC 3339); a Volume has none");
  split_command->add_option("--end", split->end,
                            "End time of the VolumeEnd (RFC 3339); a Volume has none");
  AddInputOptions(split_command, &split->input_options, split_kind, "message");
  split_command->footer(
      "Fields that the stream cannot carry are named on stderr.\n"
      "Examples:\n"
      "  common-dto split volume.pb volume.rays\n"
      "  common-dto split --start 2026-01-01T00:00:00Z --compression lz4-frame volume.pb -");
  return split_command;
}

// The options of every subcommand, filled in by parsing.
struct Commands {
  DumpOptions dump;
  EncodeOptions encode;
  SummaryOptions summary;
  CheckOptions check;
  AssembleOptions assemble;
  SplitOptions split;
  std::string dump_kind, summary_kind, check_kind, assemble_kind, split_kind;
  CLI::App* dump_command = nullptr;
  CLI::App* encode_command = nullptr;
  CLI::App* summary_command = nullptr;
  CLI::App* check_command = nullptr;
  CLI::App* assemble_command = nullptr;
  CLI::App* split_command = nullptr;
  std::function<Result<int>()> run_transport;  // -1 when no transport subcommand ran
  std::function<Result<int>()> run_ingest;     // -1 when ingest did not run
  ConvertFilesOptions convert;
  CLI::App* convert_command = nullptr;
  std::string radar_path, radar_format, radar_announce;
  CLI::App* radar_command = nullptr;
};

// The program itself, which the commands start again to read HDF5 and
// netCDF files in a worker process (crash_guard.h).
constexpr char kWorker[] = "/proc/self/exe";

// Help and version go to standard output, which must take them.
int AfterHelp(int status) {
  std::cout.flush();
  if (std::fflush(stdout) != 0 || !std::cout.good()) {
    std::fprintf(stderr, "common-dto: <stdout>: write error: %s\n", std::strerror(errno));
    return kExitUnusable;
  }
  return status;
}

// Runs the subcommand that was parsed.
Result<int> RunParsed(Commands& c) {
  if (c.dump_command->parsed()) return RunDump(c.dump);
  if (c.encode_command->parsed()) return RunEncode(c.encode);
  if (c.summary_command->parsed()) return RunSummary(c.summary);
  if (c.check_command->parsed()) return RunCheck(c.check);
  if (c.assemble_command->parsed()) return RunAssemble(c.assemble);
  if (c.split_command->parsed()) return RunSplit(c.split);
  if (Result<int> status = c.run_transport(); !status.ok() || *status >= 0) return status;
  if (Result<int> status = c.run_ingest(); !status.ok() || *status >= 0) return status;
  if (c.convert_command->parsed()) return RunConvertFiles(c.convert);
  return Error("", "no command given");
}

// The one place where an error becomes its line on stderr and exit status
// 2. Exceptions do not carry the tool's errors; what the runtime throws
// (out of memory) is caught here all the same.
int Run(Commands& c) {
  c.dump.input.kind = KindOf(c.dump_kind);
  c.summary.input.kind = KindOf(c.summary_kind);
  c.check.input.kind = KindOf(c.check_kind);
  c.assemble.input_options.kind = KindOf(c.assemble_kind);
  c.split.input_options.kind = KindOf(c.split_kind);
  for (InputOptions* input : {&c.dump.input, &c.summary.input, &c.check.input,
                              &c.assemble.input_options, &c.split.input_options,
                              &c.convert.input_options}) {
    input->worker = kWorker;
  }
  try {
    if (c.radar_command->parsed()) return RunRadarWorker(c.radar_path, c.radar_format, c.radar_announce);
    const Result<int> status = RunParsed(c);
    if (status.ok()) return *status;
    Warn(status.status().message());
  } catch (const std::bad_alloc&) {
    Warn("out of memory");
  } catch (const std::exception& e) {
    Warn(e.what());
  }
  return kExitUnusable;
}

}  // namespace

int Main(int argc, char** argv) {
  // The tool reports parse problems itself, with the field and offset; the
  // runtime's own log lines would only repeat them.
  google::protobuf::SetLogHandler(nullptr);
  std::ios::sync_with_stdio(false);  // encode reads standard input line by line

  CLI::App app(kDescription, "common-dto");
  app.require_subcommand(1);
  app.fallthrough();
  app.set_version_flag("--version", std::string("common-dto ") + COMMON_DTO_VERSION);
  bool quiet = false;
  app.footer(
      "Examples:\n"
      "  common-dto summary demo-volume.rays\n"
      "  common-dto check volume.pb\n"
      "  common-dto dump --help");
  app.add_flag("-q,--quiet", quiet,
               "No progress indicator and no notes on stderr (errors and "
               "warnings still appear)");
  Commands c;
  c.dump_command = AddDump(&app, &c.dump, &c.dump_kind);
  c.encode_command = AddEncode(&app, &c.encode);
  c.summary_command = AddSummary(&app, &c.summary, &c.summary_kind);
  c.check_command = AddCheck(&app, &c.check, &c.check_kind);
  c.assemble_command = AddAssemble(&app, &c.assemble, &c.assemble_kind);
  c.split_command = AddSplit(&app, &c.split, &c.split_kind);

  c.run_transport = AddTransportCommands(&app);
  c.run_ingest = AddIngestCommand(&app);
  c.convert_command = AddConvertCommand(&app, &c.convert);
  // The worker reading a radar file for the other commands: not for people,
  // so not in the help.
  c.radar_command = app.add_subcommand("read-radar-file", "")->group("");
  c.radar_command->add_option("path", c.radar_path)->required();
  c.radar_command->add_option("format", c.radar_format)->required();
  c.radar_command->add_option("announce", c.radar_announce);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return AfterHelp(app.exit(e));
  } catch (const CLI::CallForAllHelp& e) {
    return AfterHelp(app.exit(e));
  } catch (const CLI::CallForVersion& e) {
    return AfterHelp(app.exit(e));
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "common-dto: %s (see common-dto --help)\n", e.what());
    return kExitUnusable;
  }
  // Owned here for the run: whether notes show, and the cleanup of a
  // partial output file when the program is interrupted (see Console).
  Console console(quiet, /*handle_signals=*/true);
  return Run(c);
}

}  // namespace cli
}  // namespace common_dto
