// Uses the installed formats library: format names both ways, and a file
// that is not there is an error with a code, not a crash.
#include <common_dto/formats/formats.h>

#include <iostream>

namespace cf = common_dto::formats;

int main() {
  const auto format = cf::ParseFormat(cf::FormatName(cf::Format::kOdim));
  kyt::pb::common::Volume volume;
  cf::Notes notes;
  const common_dto::Status s = cf::ReadFile("/nonexistent/scan.h5", cf::Format::kOdim, {}, &volume, &notes);
  if (!format || *format != cf::Format::kOdim || s.ok()) {
    std::cerr << "formats library failed\n";
    return 1;
  }
  std::cout << "formats consumer ok (" << common_dto::ErrorCodeName(s.code()) << ")\n";
  return 0;
}
