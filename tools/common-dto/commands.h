// The subcommands of common-dto. Each returns the exit status (kExitOk, or
// kExitFindings when it found problems), or the error that makes the input
// or arguments unusable, which Main prints and exits with status 2 for.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common_dto/model/status.h"
#include "common_dto/nats/connection.h"
#include "common_dto/nats/publisher.h"
#include "input.h"
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
Result<int> RunDump(const DumpOptions& options);

struct EncodeOptions {
  std::string input;
  std::string output;
  std::string from = "json";  // json | text
  std::string type_name;      // empty: the default for the kind
  bool stream = false;        // one message per line, written as a stream
};
Result<int> RunEncode(const EncodeOptions& options);

struct SummaryOptions {
  std::string file;
  std::string output = "-";
  InputOptions input;
};
Result<int> RunSummary(const SummaryOptions& options);

struct CheckOptions {
  std::string file;
  std::string output = "-";
  InputOptions input;
  std::size_t max_buffer_size = std::size_t{256} << 20;
  bool strict = false;  // Unknown fields and unknown kinds are findings, not notes.
};
Result<int> RunCheck(const CheckOptions& options);

struct AssembleOptions {
  std::string input;
  std::string output;
  std::string compression = "none";  // none | lz4-frame | lz4-block
  std::optional<double> fill;
  std::optional<std::size_t> volume;  // which volume of the stream
  InputOptions input_options;
};
Result<int> RunAssemble(const AssembleOptions& options);

struct SplitOptions {
  std::string input;
  std::string output;
  std::string compression = "none";
  std::string start;  // RFC 3339 times for the VolumeHeader and VolumeEnd
  std::string end;
  InputOptions input_options;
};
Result<int> RunSplit(const SplitOptions& options);

// publish and subscribe (NATS JetStream): adds both to `app`; the function
// returned runs the one parsed, or holds -1 when neither was.
std::function<Result<int>()> AddTransportCommands(CLI::App* app);

// The NATS server and JetStream stream options shared by publish, subscribe
// and ingest (publish_subscribe.cc).
struct Connection {
  nats::ConnectionOptions connection;
  nats::StreamOptions stream;
  double max_age_s = 0;
};
// Adds them to `command`; --server is required unless NATS is one output
// among others (ingest).
void AddConnectionOptions(CLI::App* command, Connection* c, bool server_required = true);
// How a publisher cuts the stream into NATS messages (publish and ingest).
void AddPublisherOptions(CLI::App* command, nats::PublisherOptions* publisher);
// Settles what the options left in other units.
void Finish(Connection* c);
// A transport library's error about `file`, its code named in brackets.
Status TransportError(std::string_view file, const Status& status, std::string_view where = {});

// ingest: the chunk files of a radar's real-time feed, read into a ray
// stream as they arrive in a directory (ingest.cc). The function returned
// runs it when parsed, or holds -1.
std::function<Result<int>()> AddIngestCommand(CLI::App* app);

// convert: volumes between common-dto files and ODIM_H5 / CF/Radial files
// (convert_files.cc).
struct ConvertFilesOptions {
  std::string input;
  std::string output;
  std::string from = "auto";  // auto | common-dto | odim | cfradial1 | cfradial2 | nexrad | iris | rainbow
  std::string to = "auto";
  int compression = 0;  // gzip level of ODIM_H5 / CF/Radial data arrays
  bool odim_scan = false;
  bool strict = false;  // exit 1 when anything could not be carried
  InputOptions input_options;
};
Result<int> RunConvertFiles(const ConvertFilesOptions& options);
// Products (convert_products.cc): a product file given as input, converted
// whole (-1 when the input is not one); a product read from a common-dto
// message, written as the options say.
Result<int> ConvertProductFile(const ConvertFilesOptions& options);
Result<int> WriteProductMessage(const ConvertFilesOptions& options, const kyt::pb::common::Product& product,
                                const formats::Notes& read_notes);
// A Status of the formats library as the error of `file`, its code named
// (convert_files.cc).
Status FormatsError(const std::string& file, const Status& status);

}  // namespace cli
}  // namespace common_dto
