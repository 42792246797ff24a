// Uses the installed validation library: a sweep whose ray index repeats
// gives exactly that finding.
#include <common_dto/validate/validate.h>

#include <iostream>

#include "instrument_data.pb.h"

namespace cv = common_dto::validate;

int main() {
  kyt::pb::common::InstrumentData data;
  data.mutable_sweep()->add_rays()->set_index(3);
  data.mutable_sweep()->add_rays()->set_index(3);
  const std::vector<cv::Finding> findings = cv::ValidateMessage(data);
  if (findings.size() != 1 || findings[0].code != cv::FindingCode::kDuplicateRayIndex ||
      findings[0].location != "sweep.rays[1].index") {
    std::cerr << "unexpected findings\n";
    return 1;
  }
  std::cout << "validate consumer ok\n";
  return 0;
}
