// Any bytes that parse as an InstrumentData must serialize, and parse back
// to an equal message that serializes to the same bytes.
#include <google/protobuf/util/field_comparator.h>
#include <google/protobuf/util/message_differencer.h>

#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "instrument_data.pb.h"

using kyt::pb::common::InstrumentData;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  common_dto_fuzz::QuietRuntime();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InstrumentData message;
  if (!message.ParseFromArray(data, static_cast<int>(size))) return 0;

  const std::string first = common_dto_fuzz::Serialize(message);
  FUZZ_CHECK(first.size() == message.ByteSizeLong(), "ByteSizeLong disagrees with the bytes");
  std::string plain;
  FUZZ_CHECK(message.SerializeToString(&plain), "SerializeToString failed");
  FUZZ_CHECK(plain.size() == first.size(), "deterministic and plain sizes differ");

  InstrumentData again;
  FUZZ_CHECK(again.ParseFromString(first), "the re-serialized message does not parse");
  const std::string second = common_dto_fuzz::Serialize(again);
  FUZZ_CHECK(second == first, "a second round trip changed the bytes");

  // NaN != NaN, so compare with NaNs equal; the bytes above cover their bits.
  google::protobuf::util::DefaultFieldComparator comparator;
  comparator.set_treat_nan_as_equal(true);
  google::protobuf::util::MessageDifferencer differencer;
  differencer.set_field_comparator(&comparator);
  std::string report;
  differencer.ReportDifferencesToString(&report);
  FUZZ_CHECK(differencer.Compare(message, again), report);

  // Copies made by reflection and by the generated code agree as well.
  InstrumentData copy;
  copy.CopyFrom(message);
  FUZZ_CHECK(common_dto_fuzz::Serialize(copy) == first, "CopyFrom changed the bytes");
  return 0;
}
