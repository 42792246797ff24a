// common-dto check: the validation library's rules over a file or a stream,
// findings printed one a line, the count last.
#include <fmt/format.h>

#include "commands.h"
#include "common_dto/formats/products.h"
#include "common_dto/validate/validate.h"
#include "instrument_data.pb.h"
#include "output.h"
#include "ray_stream_message.pb.h"

namespace common_dto {
namespace cli {
namespace {

using validate::Finding;
using validate::Severity;

// Writes findings and notes, and counts them.
class Report {
 public:
  explicit Report(OutputFile* out) : out_(out) {}

  // False once the output cannot be written.
  bool ok() const { return out_->ok(); }

  void Print(const std::vector<Finding>& findings) {
    std::string text;
    for (const Finding& finding : findings) {
      const bool note = finding.severity == Severity::kNote;
      const std::string what = note ? "note: " + finding.text : finding.text;
      text += finding.location.empty() ? fmt::format("{}\n", what)
                                       : fmt::format("{}: {}\n", finding.location, what);
      ++(note ? notes_ : findings_);
    }
    out_->Write(text);
  }

  // The closing line; the exit status.
  Result<int> Close(const std::string& name) {
    const std::string notes =
        notes_ == 0 ? "" : fmt::format(" ({} note{})", notes_, notes_ == 1 ? "" : "s");
    out_->Write(findings_ == 0 ? fmt::format("{}: no findings{}\n", name, notes)
                               : fmt::format("{}: {} finding{}{}\n", name, findings_,
                                             findings_ == 1 ? "" : "s", notes));
    if (Status status = out_->Commit(); !status.ok()) return status;
    return findings_ == 0 ? kExitOk : kExitFindings;
  }

 private:
  OutputFile* out_;
  std::uint64_t findings_ = 0;
  std::uint64_t notes_ = 0;
};

// A stream, message by message. A damaged frame ends it as the end of input
// would, and is itself a finding.
void CheckStream(Input* input, const validate::Options& options, Report* report) {
  const bool ray_stream = input->type()->full_name() == kDefaultStreamType;
  validate::StreamValidator validator(options);
  const std::unique_ptr<google::protobuf::Message> message = input->NewMessage();
  Progress progress(fmt::format("check {}", input->name()), input->size());
  while (report->ok() && input->Next(message.get())) {
    std::vector<Finding> findings;
    if (ray_stream) {
      findings = validator.Add(std::move(static_cast<kyt::pb::stream::RayStreamMessage&>(*message)),
                               input->Where());
    } else {
      findings = validate::ValidateMessage(*message, options);
      for (Finding& f : findings) {
        f.location = input->Where() + (f.location.empty() ? "" : " / " + f.location);
      }
    }
    report->Print(findings);
    progress.Update(input->bytes_read(), input->index() + 1);
  }
  progress.Erase();
  // The damage's message names its place already.
  if (!input->damage().ok()) {
    report->Print({Finding{validate::FindingCode::kDamaged, Severity::kFinding, std::string(),
                           "damaged: " + input->damage().message()}});
  }
  if (ray_stream) report->Print(validator.Finish());
}

// The georeference of a product's rasters: a CRS that parses and a grid
// that holds together, which the formats library (on GDAL/PROJ) checks.
std::vector<Finding> GeoreferenceFindings(const google::protobuf::Message& message) {
  const kyt::pb::common::Product* product = nullptr;
  std::string path = "raster";
  if (const auto* data = dynamic_cast<const kyt::pb::common::InstrumentData*>(&message)) {
    if (data->has_product()) product = &data->product();
    path = "product.raster";
  } else {
    product = dynamic_cast<const kyt::pb::common::Product*>(&message);
  }
  std::vector<Finding> findings;
  if (product == nullptr || !product->has_raster()) return findings;
  for (std::string& text : formats::CheckRasterGeoreference(product->raster())) {
    findings.push_back(Finding{validate::FindingCode::kGeoreference, Severity::kFinding, path, std::move(text)});
  }
  return findings;
}

}  // namespace

Result<int> RunCheck(const CheckOptions& options) {
  Result<std::unique_ptr<Input>> opened = Input::Open(options.file, options.input);
  if (!opened.ok()) return opened.status();
  Input* input = opened->get();
  Result<std::unique_ptr<OutputFile>> out = OutputFile::Open(options.output);
  if (!out.ok()) return out.status();
  Report report(out->get());
  validate::Options rules;
  rules.max_buffer_size = options.max_buffer_size;
  rules.strict = options.strict;
  if (input->is_stream()) {
    CheckStream(input, rules, &report);
  } else {
    const std::unique_ptr<google::protobuf::Message> message = input->TakeMessage();
    report.Print(validate::ValidateMessage(*message, rules));
    report.Print(GeoreferenceFindings(*message));
  }
  return report.Close(input->name());
}

}  // namespace cli
}  // namespace common_dto
