// The subcommands of common-dto. Each returns the exit status and throws
// Fatal for unusable input or arguments.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "input.h"
#include "common_dto/nats/connection.h"
#include "common_dto/nats/publisher.h"
#include "common_dto/formats/formats.h"
#include "product.pb.h"

namespace CLI {
class App;
}

namespace common_dto {
namespace cli {

// The whole tool: parses `argv`, runs the subcommand, returns the exit
// status (entry.cc holds the program's main()).
int Main(int argc, char** argv);

struct DumpOptions {
  std::string file;
  std::string format = "json";  // json | text
  std::string output = "-";
  InputOptions input;
};
int RunDump(const DumpOptions& options);

struct EncodeOptions {
  std::string input;
  std::string output;
  std::string from = "json";  // json | text
  std::string type_name;      // empty: the default for the kind
  bool stream = false;        // one message per line, written as a stream
};
int RunEncode(const EncodeOptions& options);

struct SummaryOptions {
  std::string file;
  std::string output = "-";
  InputOptions input;
};
int RunSummary(const SummaryOptions& options);

struct CheckOptions {
  std::string file;
  std::string output = "-";
  InputOptions input;
  std::size_t max_buffer_size = std::size_t{256} << 20;
  bool strict = false;  // Unknown fields and unknown kinds are findings, not notes.
};
int RunCheck(const CheckOptions& options);

struct AssembleOptions {
  std::string input;
  std::string output;
  std::string compression = "none";  // none | lz4-frame | lz4-block
  std::optional<double> fill;
  std::optional<std::size_t> volume;  // which volume of the stream
  InputOptions input_options;
};
int RunAssemble(const AssembleOptions& options);

struct SplitOptions {
  std::string input;
  std::string output;
  std::string compression = "none";
  std::string start;  // RFC 3339 times for the VolumeHeader and VolumeEnd
  std::string end;
  InputOptions input_options;
};
int RunSplit(const SplitOptions& options);

// publish and subscribe (NATS JetStream): adds both to `app`; the function
// returned runs the one parsed, or returns -1 when neither was.
std::function<int()> AddTransportCommands(CLI::App* app);

// The NATS server and JetStream stream options of publish, subscribe and
// ingest (publish_subscribe.cc).
struct Connection {
  nats::ConnectionOptions connection;
  nats::StreamOptions stream;
  double max_age_s = 0;
};
void AddConnectionOptions(CLI::App* command, Connection* c, bool server_required = true);
// How a publisher cuts the stream into NATS messages.
void AddPublisherOptions(CLI::App* command, nats::PublisherOptions* publisher);
// Settles what the options left in other units.
void Finish(Connection* c);

// ingest: a directory filled with the chunks of a radar's real-time feed,
// read as they arrive into a ray stream (ingest.cc). Runs it when parsed,
// else returns -1.
std::function<int()> AddIngestCommand(CLI::App* app);

// convert: volumes between common-dto files and ODIM_H5 / CF/Radial files
// (convert_files.cc).
struct ConvertFilesOptions {
  std::string input;
  std::string output;
  std::string from = "auto";  // auto | common-dto | odim | cfradial1 | cfradial2 | nexrad
  std::string to = "auto";
  int compression = 0;  // gzip level of ODIM_H5 / CF/Radial data arrays
  bool odim_scan = false;
  bool strict = false;  // exit 1 when anything could not be carried
  InputOptions input_options;
};
int RunConvertFiles(const ConvertFilesOptions& options);
// Products (convert_products.cc): a product file given as input, converted
// whole (-1 when the input is not one); a product read from a common-dto
// message, written as the options say.
int ConvertProductFile(const ConvertFilesOptions& options);
int WriteProductMessage(const ConvertFilesOptions& options, const kyt::pb::common::Product& product,
                        const formats::Notes& read_notes);
// Ends the command with a Status of the formats library as the error of
// `file` (convert_files.cc).
[[noreturn]] void FailStatus(const std::string& file, const Status& status);

}  // namespace cli
}  // namespace common_dto
