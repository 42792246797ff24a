// The validation library: a table of messages and the findings each must
// give (code, severity, location, text), a ray stream checked message by
// message, and a stream file giving what `common-dto check` prints.
#include "common_dto/validate/validate.h"

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common_dto/stream/framing.h"
#include "instrument_data.pb.h"
#include "ray_stream_message.pb.h"

namespace {

using common_dto::validate::Finding;
using common_dto::validate::FindingCode;
using common_dto::validate::Severity;
using kyt::pb::common::InstrumentData;
using kyt::pb::stream::RayStreamMessage;

constexpr Severity kF = Severity::kFinding;
constexpr Severity kN = Severity::kNote;

struct Expected {
  FindingCode code;
  Severity severity;
  std::string location;
  std::string text;
};

struct Case {
  std::string name;
  std::string message;  // InstrumentData in text format.
  bool strict;
  std::vector<Expected> findings;
  std::vector<int> unknown_in_volume = {};  // Field numbers added to the volume.
};

// A volume whose configuration has one sweep config (describing DBZH) and
// one ray config; `sweep` is the text of its one sweep.
std::string Volume(const std::string& sweep) {
  return "volume { volume_config { sweep_config { ray_config_ref { ray_config_index: 0 } "
         "data_moments { key: 'DBZH' value { short_name: 'DBZH' } } } ray_config { } } "
         "sweep { description { config { sweep_config_index: 0 } } " +
         sweep + " } }";
}

// Sample buffers against their declarations.
std::vector<Case> BufferCases() {
  return {
      {"sample_width",
       "sweep { rays { } sweep_moments { key: 'D' value { type: UINT16 data: 'abc' } } }",
       false,
       {{FindingCode::kBufferWidth, kF, "sweep.sweep_moments[\"D\"].data",
         "3 bytes is no multiple of the 2-byte width of UINT16"}}},
      {"samples_among_rays",
       "sweep { rays { } rays { index: 1 } sweep_moments { key: 'D' value { type: UINT8 "
       "data: 'abc' } } }",
       false,
       {{FindingCode::kBufferRays, kF, "sweep.sweep_moments[\"D\"].data",
         "3 samples do not divide among the sweep's 2 rays"}}},
      {"declared_size",
       "sweep { rays { } sweep_moments { key: 'D' value { type: UINT8 uncompressed_size: 9 "
       "data: 'ab' } } }",
       false,
       {{FindingCode::kBufferSizeMismatch, kF, "sweep.sweep_moments[\"D\"].uncompressed_size",
         "declares 9 bytes, but data holds 2"}}},
      {"lz4_short",
       "sweep { rays { } sweep_moments { key: 'D' value { type: UINT8 compression: LZ4 "
       "uncompressed_size: 3 data: '\\020a' } } }",
       false,
       {{FindingCode::kBufferUndecodable, kF, "sweep.sweep_moments[\"D\"].data",
         "LZ4 data does not decompress as declared: LZ4 block decodes to 1 bytes, not "
         "uncompressed_size 3 bytes"}}},
  };
}

std::vector<Case> RuleCases() {
  return {
    {"clean", Volume("rays { index: 0 ray_config_index: 0 }"), false, {}},
    {"unknown_enum",
     "volume { instrument { instrument_type: 12 } }",
     false,
     {{FindingCode::kUnknownEnumValue, kF, "volume.instrument.instrument_type",
       "12 is not a value of kyt.pb.common.Instrument.InstrumentType"}}},
    {"invalid_time",
     "volume { sweep { rays { aq_end_time { nanos: -1 } } } }",
     false,
     {{FindingCode::kInvalidTime, kF, "volume.sweep[0].rays[0].aq_end_time",
       "invalid time (seconds 0, nanos -1): outside years 1 to 9999 or nanos outside 0 to "
       "999999999"}}},
    {"ray_ref_index",
     Volume("rays { index: 0 ray_config_index: 3 }"),
     false,
     {{FindingCode::kUnresolvedReference, kF, "volume.sweep[0].rays[0].ray_config_index",
       "refers to ray config 3, but volume.volume_config.ray_config has 1 entry"}}},
    {"sweep_ref_index",
     "volume { volume_config { } sweep { description { config { sweep_config_index: 2 } } } }",
     false,
     {{FindingCode::kUnresolvedReference, kF,
       "volume.sweep[0].description.config.sweep_config_index",
       "refers to sweep config 2, but volume.volume_config.sweep_config has 0 entries"}}},
    {"empty_ray_ref",
     "volume { volume_config { sweep_config { ray_config_ref { } } } }",
     false,
     {{FindingCode::kEmptyReference, kF,
       "volume.volume_config.sweep_config[0].ray_config_ref[0]",
       "refers to nothing (no UUID, index or inline RayConfig)"}}},
    {"duplicate_uuid",
     "volume { uuid { least_significant_bits: 7 } volume_config { uuid { "
     "least_significant_bits: 7 } } }",
     false,
     {{FindingCode::kDuplicateUuid, kF, "volume.volume_config.uuid",
       "duplicate UUID 00000000-0000-0000-0000-000000000007 (also volume.uuid)"}}},
    {"duplicate_ray_index",
     "volume { sweep { rays { index: 4 } rays { index: 4 } } }",
     false,
     {{FindingCode::kDuplicateRayIndex, kF, "volume.sweep[0].rays[1].index",
       "duplicate ray index 4 (also rays[0])"}}},
    {"seven_duplicates_listed_five",
     "sweep { rays { } rays { } rays { } rays { } rays { } rays { } rays { } rays { } }",
     false,
     {{FindingCode::kDuplicateRayIndex, kF, "sweep.rays[1].index",
       "duplicate ray index 0 (also rays[0])"},
      {FindingCode::kDuplicateRayIndex, kF, "sweep.rays[2].index",
       "duplicate ray index 0 (also rays[0])"},
      {FindingCode::kDuplicateRayIndex, kF, "sweep.rays[3].index",
       "duplicate ray index 0 (also rays[0])"},
      {FindingCode::kDuplicateRayIndex, kF, "sweep.rays[4].index",
       "duplicate ray index 0 (also rays[0])"},
      {FindingCode::kDuplicateRayIndex, kF, "sweep.rays[5].index",
       "duplicate ray index 0 (also rays[0])"},
      {FindingCode::kMoreOmitted, kF, "sweep.rays", "2 more rays with a duplicate ray index"}}},
    {"undescribed_moment",
     Volume("rays { ray_config_index: 0 } sweep_moments { key: 'ZDR' value { type: UINT8 "
            "data: 'a' } }"),
     false,
     {{FindingCode::kUndescribedMoment, kF, "volume.sweep[0].sweep_moments[\"ZDR\"]",
       "no DataDescriptor for moment \"ZDR\" in the sweep's SweepConfig or RayConfigs"}}},
    {"unknown_fields_note",
     "volume { }",
     false,
     {{FindingCode::kUnknownFields, kN, "volume",
       "field number 999 not in the schema (kept as unknown fields)"}},
     {999}},
    {"unknown_fields_strict",
     "volume { }",
     true,
     {{FindingCode::kUnknownFields, kF, "volume",
       "field numbers 998, 999 not in the schema (kept as unknown fields)"}},
     {999, 998}},
  };
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = [] {
    std::vector<Case> all = BufferCases();
    const std::vector<Case> rules = RuleCases();
    all.insert(all.end(), rules.begin(), rules.end());
    return all;
  }();
  return cases;
}

std::string Lines(const std::vector<Finding>& findings) {
  std::string text;
  for (const Finding& f : findings) {
    const std::string what = f.severity == Severity::kNote ? "note: " + f.text : f.text;
    text += f.location.empty() ? what + "\n" : f.location + ": " + what + "\n";
  }
  return text;
}

class ValidateMessageTest : public testing::TestWithParam<Case> {};

TEST_P(ValidateMessageTest, GivesExactlyTheseFindings) {
  const Case& c = GetParam();
  InstrumentData data;
  google::protobuf::TextFormat::Parser parser;
  ASSERT_TRUE(parser.ParseFromString(c.message, &data)) << c.message;
  for (int number : c.unknown_in_volume) {
    data.mutable_volume()
        ->GetReflection()
        ->MutableUnknownFields(data.mutable_volume())
        ->AddVarint(number, 1);
  }
  common_dto::validate::Options options;
  options.strict = c.strict;
  const std::vector<Finding> findings = common_dto::validate::ValidateMessage(data, options);
  ASSERT_EQ(findings.size(), c.findings.size()) << Lines(findings);
  for (std::size_t i = 0; i < findings.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(findings[i].code, c.findings[i].code);
    EXPECT_EQ(findings[i].severity, c.findings[i].severity);
    EXPECT_EQ(findings[i].location, c.findings[i].location);
    EXPECT_EQ(findings[i].text, c.findings[i].text);
  }
}

INSTANTIATE_TEST_SUITE_P(Rules, ValidateMessageTest, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& p) { return p.param.name; });

RayStreamMessage StreamMessage(const std::string& text) {
  RayStreamMessage message;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &message)) << text;
  return message;
}

// A volume of one sweep: its ray's RayHeader comes twice (reassembly
// refuses the second, whose ray is then not looked at again), and the
// moment the ray carries is described nowhere.
std::vector<RayStreamMessage> BrokenStream() {
  const std::string volume = "volume_uuid { least_significant_bits: 1 }";
  const std::string sweep = "sweep_uuid { least_significant_bits: 2 }";
  return {
      StreamMessage("volume_header { " + volume +
                    " volume_config { sweep_config { } ray_config { } } }"),
      StreamMessage("sweep_header { " + sweep + " " + volume +
                    " description { config { sweep_config_index: 0 } } }"),
      StreamMessage("ray_header { " + sweep + " ray { index: 0 ray_config_index: 0 } }"),
      StreamMessage("ray_header { " + sweep + " ray { index: 0 ray_config_index: 0 } }"),
      StreamMessage("parameter_data { " + sweep +
                    " data_type { short_name: 'ZDR' } data { type: UINT8 data: 'ab' } }"),
      StreamMessage("ray_end { " + sweep + " }"),
      StreamMessage("sweep_end { " + sweep + " }"),
      StreamMessage("volume_end { " + volume + " }"),
  };
}

TEST(StreamValidator, FindsPerMessageAndAtTheSweepsClose) {
  common_dto::validate::StreamValidator validator;
  std::vector<Finding> all;
  int index = 0;
  for (RayStreamMessage& message : BrokenStream()) {
    for (Finding& f : validator.Add(std::move(message), "m" + std::to_string(index++))) {
      all.push_back(std::move(f));
    }
  }
  for (Finding& f : validator.Finish()) all.push_back(std::move(f));
  ASSERT_EQ(all.size(), 2u) << Lines(all);
  EXPECT_EQ(all[0].code, FindingCode::kSequence);
  EXPECT_EQ(all[0].location, "m3");
  EXPECT_EQ(all[0].text, "sweep 00000000-0000-0000-0000-000000000002 ray 0: duplicate RayHeader");
  EXPECT_EQ(all[1].code, FindingCode::kUndescribedMoment);
  EXPECT_EQ(all[1].location, "m4 / parameter_data.data_type.short_name");
}

TEST(StreamValidator, AnUnclosedSweepIsIncompleteAtTheEnd) {
  common_dto::validate::StreamValidator validator;
  std::vector<RayStreamMessage> messages = BrokenStream();
  messages.resize(3);  // Headers and a ray header; no ends.
  for (RayStreamMessage& message : messages) {
    EXPECT_TRUE(validator.Add(std::move(message), "m").empty());
  }
  const std::vector<Finding> end = validator.Finish();
  ASSERT_FALSE(end.empty());
  for (const Finding& f : end) EXPECT_EQ(f.code, FindingCode::kIncomplete) << f.text;
}

std::string RunCheck(const std::string& path) {
  const std::string command = std::string(COMMON_DTO_CLI) + " --quiet check " + path;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string out;
  std::array<char, 4096> chunk;
  while (std::size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe.get())) {
    out.append(chunk.data(), n);
  }
  return out;
}

// A program linking the library gets the findings `check` prints, line for
// line, the damaged end included.
TEST(ValidateStreamFile, GivesWhatCheckPrints) {
  const std::string path = testing::TempDir() + "validate_test.stream";
  {
    std::ofstream out(path, std::ios::binary);
    common_dto::stream::DelimitedWriter writer = common_dto::stream::DelimitedWriter::ToStream(out);
    for (const RayStreamMessage& message : BrokenStream()) ASSERT_TRUE(writer.Write(message).ok());
    ASSERT_TRUE(writer.Close().ok());
  }
  const auto findings = common_dto::validate::ValidateStreamFile(path);
  ASSERT_TRUE(findings.ok()) << findings.status().message();
  ASSERT_EQ(findings->size(), 2u) << Lines(*findings);
  EXPECT_EQ(RunCheck(path), Lines(*findings) + path + ": 2 findings\n");
  std::remove(path.c_str());
}

TEST(ValidateStreamFile, AMissingFileIsAnError) {
  const auto findings = common_dto::validate::ValidateStreamFile("/nonexistent/x.stream");
  EXPECT_FALSE(findings.ok());
}

}  // namespace
