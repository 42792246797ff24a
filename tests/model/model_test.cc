// The model library on its own: UTF-8 validation against the protobuf
// runtime's verdict, configuration references, Status locations, UUID text
// forms and derived sweep UUIDs, fill samples.
#include <google/protobuf/stubs/logging.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common_dto/model/buffers.h"
#include "common_dto/model/codes.h"
#include "common_dto/model/references.h"
#include "common_dto/model/status.h"
#include "common_dto/model/utf8.h"
#include "common_dto/model/uuid.h"
#include "common_dto/model/walk.h"
#include "raster_data.pb.h"
#include "data_descriptor.pb.h"
#include "gtest/gtest.h"
#include "volume.pb.h"

namespace {

using common_dto::CodeKind;
using common_dto::ErrorCode;
using common_dto::Location;
using common_dto::Status;
using kyt::pb::common::DataBuffer;
using kyt::pb::common::DataDescriptor;
using kyt::pb::common::Ray;
using kyt::pb::common::SweepDescription;
using kyt::pb::common::UUID;
using kyt::pb::common::VolumeConfig;

// The runtime's verdict: a proto3 string field holding `text` parses only
// when it is valid UTF-8 (DataDescriptor.short_name, field 4).
bool RuntimeAccepts(const std::string& text) {
  std::string wire = "\x22";
  wire += static_cast<char>(text.size());
  wire += text;
  google::protobuf::LogSilencer silence;
  DataDescriptor d;
  return d.ParseFromString(wire);
}

TEST(Utf8, AgreesWithTheRuntimeOnEdgeCasesAndRandomBytes) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"", true},
      {"DBZH", true},
      {"\xc3\xa9", true},                  // é
      {"\xe2\x82\xac", true},              // €
      {"\xf0\x9f\x8c\xa7", true},          // U+1F327, four bytes
      {"\xf4\x8f\xbf\xbf", true},          // U+10FFFF, the last code point
      {"\xf4\x90\x80\x80", false},         // U+110000
      {"\xc0\xaf", false},                 // overlong '/'
      {"\xe0\x80\xaf", false},             // overlong, three bytes
      {"\xf0\x80\x80\xaf", false},         // overlong, four bytes
      {"\xed\xa0\x80", false},             // surrogate U+D800
      {"\xed\x9f\xbf", true},              // U+D7FF, just below
      {"\xc3", false},                     // cut short
      {"\xe2\x82", false},
      {"\x80", false},                     // lone continuation byte
      {"\xff", false},
      {std::string("a\0b", 3), true},      // NUL is a code point
  };
  for (const auto& [text, valid] : cases) {
    EXPECT_EQ(common_dto::IsValidUtf8(text), valid) << testing::PrintToString(text);
    EXPECT_EQ(RuntimeAccepts(text), valid) << testing::PrintToString(text);
  }
  // Random short strings biased towards multi-byte lead bytes.
  std::mt19937 rng(20261207);
  const unsigned char alphabet[] = {0x00, 0x41, 0x7f, 0x80, 0x8f, 0x90, 0x9f, 0xa0, 0xbf, 0xc0, 0xc1,
                                    0xc2, 0xdf, 0xe0, 0xe1, 0xed, 0xee, 0xef, 0xf0, 0xf1, 0xf4, 0xf5, 0xff};
  for (int i = 0; i < 20000; ++i) {
    std::string text(1 + rng() % 6, '\0');
    for (char& c : text) c = static_cast<char>(alphabet[rng() % sizeof alphabet]);
    ASSERT_EQ(common_dto::IsValidUtf8(text), RuntimeAccepts(text)) << testing::PrintToString(text);
  }
}

TEST(Utf8, CheckNamesTheFirstBadFieldByItsPathThroughListsAndMaps) {
  struct Case {
    void (*spoil)(kyt::pb::common::Volume*);
    const char* field;  // location().field
  };
  const Case cases[] = {
      {[](kyt::pb::common::Volume* v) { v->mutable_instrument()->set_name("\xc0\xaf"); }, "instrument.name"},
      {[](kyt::pb::common::Volume* v) { v->mutable_sweep(1)->set_task_name("ok\xff"); }, "sweep[1].task_name"},
      {[](kyt::pb::common::Volume* v) {
         (*v->mutable_volume_config()->mutable_sweep_config(0)->mutable_data_moments())["DBZH"].set_legend(
             "\xed\xa0\x80");
       },
       "volume_config.sweep_config[0].data_moments[\"DBZH\"].legend"},
  };
  for (const Case& c : cases) {
    kyt::pb::common::Volume volume;
    volume.add_sweep()->set_task_name("first");
    volume.add_sweep();
    volume.mutable_volume_config()->add_sweep_config();
    ASSERT_TRUE(common_dto::CheckUtf8(volume).ok());
    c.spoil(&volume);
    const Status s = common_dto::CheckUtf8(volume);
    EXPECT_EQ(s.code(), ErrorCode::kInvalidUtf8) << c.field;
    EXPECT_EQ(s.location().field, c.field);
  }
}

UUID Uuid(std::int64_t hi, std::int64_t lo) {
  UUID u;
  u.set_most_significant_bits(hi);
  u.set_least_significant_bits(lo);
  return u;
}

TEST(References, ResolveByIndexUuidAndInlineCopyAndNothingElse) {
  VolumeConfig config;
  for (int i = 0; i < 3; ++i) {
    auto* sc = config.add_sweep_config();
    *sc->mutable_uuid() = Uuid(1, 100 + i);
    sc->set_ray_angle_res(i + 0.5);
    auto* rc = config.add_ray_config();
    *rc->mutable_uuid() = Uuid(2, 200 + i);
    (*rc->mutable_data_moments())["VRADH"].set_short_name("ray config " + std::to_string(i));
  }
  (*config.mutable_sweep_config(1)->mutable_data_moments())["DBZH"].set_short_name("sweep config 1");

  kyt::pb::common::SweepConfigReference ref;
  EXPECT_EQ(common_dto::ResolveSweepConfig(&config, ref), nullptr);  // unset
  ref.set_sweep_config_index(2);
  EXPECT_EQ(common_dto::ResolveSweepConfig(&config, ref), &config.sweep_config(2));
  EXPECT_EQ(common_dto::ResolveSweepConfig(nullptr, ref), nullptr);
  for (int bad : {-1, 3}) {
    ref.set_sweep_config_index(bad);
    EXPECT_EQ(common_dto::ResolveSweepConfig(&config, ref), nullptr) << bad;
  }
  *ref.mutable_sweep_config_uuid() = Uuid(1, 101);
  EXPECT_EQ(common_dto::ResolveSweepConfig(&config, ref), &config.sweep_config(1));
  *ref.mutable_sweep_config_uuid() = Uuid(1, 999);
  EXPECT_EQ(common_dto::ResolveSweepConfig(&config, ref), nullptr);
  ref.mutable_sweep_config()->set_ray_angle_res(7);
  EXPECT_EQ(common_dto::ResolveSweepConfig(nullptr, ref), &ref.sweep_config());

  Ray ray;
  EXPECT_EQ(common_dto::ResolveRayConfig(&config, ray), nullptr);
  ray.set_ray_config_index(1);
  EXPECT_EQ(common_dto::ResolveRayConfig(&config, ray), &config.ray_config(1));
  *ray.mutable_ray_config_uuid() = Uuid(2, 202);
  EXPECT_EQ(common_dto::ResolveRayConfig(&config, ray), &config.ray_config(2));
  *ray.mutable_ray_config_uuid() = Uuid(1, 100);  // a sweep config's UUID
  EXPECT_EQ(common_dto::ResolveRayConfig(&config, ray), nullptr);

  // A moment's descriptor: the sweep's configuration first, then the ray's.
  SweepDescription description;
  description.mutable_config()->set_sweep_config_index(1);
  ray.set_ray_config_index(0);
  EXPECT_EQ(common_dto::FindMomentDescriptor(&config, description, &ray, "DBZH")->short_name(),
            "sweep config 1");
  EXPECT_EQ(common_dto::FindMomentDescriptor(&config, description, &ray, "VRADH")->short_name(),
            "ray config 0");
  EXPECT_EQ(common_dto::FindMomentDescriptor(&config, description, nullptr, "VRADH"), nullptr);
  EXPECT_EQ(common_dto::FindMomentDescriptor(&config, description, &ray, "ZDR"), nullptr);
}

// Records a walk: "E <path>" for each message entered, "V <path>" for each
// value, "K" for a map key (whose path goes by storage position).
class Recorder : public common_dto::FieldVisitor {
 public:
  bool MayMatter(const google::protobuf::Descriptor* type) override { return type != skip_type; }
  bool EnterMessage(const google::protobuf::Message&, const std::string& path) override {
    log.push_back("E " + path);
    return true;
  }
  bool VisitValue(const google::protobuf::Message&, const google::protobuf::FieldDescriptor* field,
                  int, const std::string& path) override {
    log.push_back(field->name() == "key" ? "K" : "V " + path);
    return stop_at.empty() || path != stop_at;
  }
  const google::protobuf::Descriptor* skip_type = nullptr;
  std::string stop_at;
  std::vector<std::string> log;
};

TEST(Walk, SetFieldsInNumberOrderMapsByNaturalKeyOrderAndItsStops) {
  kyt::pb::common::RasterData raster;
  raster.set_y_pix(480);
  raster.set_x_pix(640);
  (*raster.mutable_properties())["a10"] = "x";
  (*raster.mutable_properties())["a2"] = "y";
  raster.add_data();
  raster.add_data()->set_uncompressed_size(3);
  const std::vector<std::string> all = {"E ", "V x_pix", "V y_pix", "K", "V properties[\"a2\"]",
                                        "K", "V properties[\"a10\"]", "E data[0]", "E data[1]",
                                        "V data[1].uncompressed_size"};
  Recorder everything;
  EXPECT_TRUE(common_dto::WalkFields(raster, &everything));
  EXPECT_EQ(everything.log, all);

  Recorder stopped;
  stopped.stop_at = "properties[\"a2\"]";
  EXPECT_FALSE(common_dto::WalkFields(raster, &stopped));
  EXPECT_EQ(stopped.log, std::vector<std::string>(all.begin(), all.begin() + 5));

  Recorder no_buffers;
  no_buffers.skip_type = DataBuffer::descriptor();
  EXPECT_TRUE(common_dto::WalkFields(raster, &no_buffers));
  EXPECT_EQ(no_buffers.log, std::vector<std::string>(all.begin(), all.begin() + 7));

  // Without paths: the same visits, no path built.
  Recorder bare;
  common_dto::WalkOptions options;
  options.paths = false;
  EXPECT_TRUE(common_dto::WalkFields(raster, &bare, options));
  ASSERT_EQ(bare.log.size(), all.size());
  for (const std::string& entry : bare.log) EXPECT_TRUE(entry == "E " || entry == "V " || entry == "K");
}

TEST(Walk, NaturalLessTakesDigitRunsAsNumbers) {
  const struct {
    const char* a;
    const char* b;
    bool less;
  } cases[] = {{"a2", "a10", true},   {"a10", "a2", false},   {"b", "a10", false},
               {"x", "x", false},     {"7", "007", true},     {"v", "v1", true},
               {"s[9].k", "s[10].a", true}, {"s[10].a", "s[9].k", false}};
  for (const auto& c : cases) EXPECT_EQ(common_dto::NaturalLess(c.a, c.b), c.less) << c.a << " " << c.b;
}

TEST(Status, WrapKeepsCodeAndInnerLocationAndFillsInTheRest) {
  EXPECT_TRUE(Status::Ok().Wrap("ignored: ").ok());
  EXPECT_EQ(Status(ErrorCode::kOk, "no error").message(), "");
  Location inner;
  inner.field = "sweep_header.sweep_uuid";
  inner.ray_index = 4;
  Location outer;
  outer.field = "volume_header";
  outer.message_index = 12;
  outer.byte_offset = 3456;
  outer.ray_index = 9;
  const Status wrapped = Status(ErrorCode::kTruncated, "cut", inner).Wrap("message 12: ", outer);
  EXPECT_EQ(wrapped.code(), ErrorCode::kTruncated);
  EXPECT_EQ(wrapped.message(), "message 12: cut");
  EXPECT_EQ(wrapped.location().field, "sweep_header.sweep_uuid");  // the inner part wins
  EXPECT_EQ(wrapped.location().ray_index, 4);
  EXPECT_EQ(wrapped.location().message_index, 12u);
  EXPECT_EQ(wrapped.location().byte_offset, 3456u);
  EXPECT_TRUE(wrapped.location().volume_uuid.empty());
  // Every code has a stable lowercase name.
  EXPECT_STREQ(common_dto::ErrorCodeName(ErrorCode::kInvalidUtf8), "invalid_utf8");
  EXPECT_STREQ(common_dto::ErrorCodeName(ErrorCode::kDenied), "denied");
  EXPECT_STREQ(common_dto::ErrorCodeName(static_cast<ErrorCode>(250)), "unknown");
}

TEST(Result, HoldsAValueOrAnErrorNeverNeither) {
  common_dto::Result<std::string> good = std::string("volume");
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(*good, "volume");
  EXPECT_EQ(good->size(), 6u);
  EXPECT_EQ(std::move(good).value(), "volume");
  const common_dto::Result<int> bad = Status(ErrorCode::kTruncated, "cut");
  EXPECT_FALSE(bad.ok());
  EXPECT_EQ(bad.status().code(), ErrorCode::kTruncated);
  EXPECT_EQ(bad.value_or(7), 7);
  // A success without a value is not a success.
  const common_dto::Result<int> empty = Status::Ok();
  EXPECT_EQ(empty.status().code(), ErrorCode::kInvalidArgument);
}

TEST(Uuid, TextFormsAsJavaPrintsThemAndDerivedSweepUuids) {
  // Java: new UUID(0x0b173ac7ac5048d6L, 0x9eee098fd13f278bL).toString()
  const UUID volume = Uuid(0x0b173ac7ac5048d6, static_cast<std::int64_t>(0x9eee098fd13f278bULL));
  EXPECT_EQ(common_dto::FormatUuid(volume), "0b173ac7-ac50-48d6-9eee-098fd13f278b");
  EXPECT_EQ(common_dto::FormatUuid(common_dto::UuidKey::Of(volume)), "0b173ac7-ac50-48d6-9eee-098fd13f278b");
  UUID parsed;
  ASSERT_TRUE(common_dto::ParseUuid("0B173AC7-AC50-48D6-9EEE-098FD13F278B", &parsed));
  EXPECT_TRUE(common_dto::SameUuid(parsed, volume));
  for (const char* bad : {"", "0b173ac7ac5048d69eee098fd13f278b", "0b173ac7-ac50-48d6-9eee-098fd13f278",
                          "0b173ac7-ac50-48d6-9eee-098fd13f278bb", "0b173ac7-ac50-48d6-9eee_098fd13f278b",
                          "0b173ac7-ac50-48d6-9eee-098fd13f278g", "+b173ac7-ac50-48d6-9eee-098fd13f278b"}) {
    UUID untouched = Uuid(5, 6);
    EXPECT_FALSE(common_dto::ParseUuid(bad, &untouched)) << bad;
    EXPECT_TRUE(common_dto::SameUuid(untouched, Uuid(5, 6))) << bad;
  }
  // The documented derivation, computed independently of the library.
  EXPECT_EQ(common_dto::FormatUuid(common_dto::DeriveSweepUuid(volume, 0)),
            "d3908136-a17d-844f-8914-c2dc797159bb");
  EXPECT_EQ(common_dto::FormatUuid(common_dto::DeriveSweepUuid(volume, 1)),
            "18f1f5e0-58bd-837c-b188-04c2c6192f9b");
  EXPECT_EQ(common_dto::FormatUuid(common_dto::DeriveSweepUuid(volume, 7)),
            "9dbc96a7-1b43-8df1-b5a8-0f665b99cc6e");
}

TEST(AppendFill, EncodesEachStorageTypeAndRefusesWhatItCannotHold) {
  struct Case {
    double value;
    int type, endian;
    std::string bytes;  // of two samples; empty: an error
    std::string error = {};  // Its message, when given.
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Case> cases = {
      {255, DataBuffer::UINT8, DataBuffer::LITTLE, "\xff\xff"},
      {256, DataBuffer::UINT8, DataBuffer::LITTLE, "",
       "fill value 256.000000 does not fit storage type UINT8"},
      {-1, DataBuffer::UINT8, DataBuffer::LITTLE, ""},
      {65534.6, DataBuffer::UINT16, DataBuffer::BIG, std::string("\xff\xff\xff\xff", 4)},
      {258, DataBuffer::UINT16, DataBuffer::BIG, std::string("\x01\x02\x01\x02", 4)},
      {258, DataBuffer::UINT16, DataBuffer::UNKNOWN_ENDIANNESS, std::string("\x02\x01\x02\x01", 4)},
      {-2, DataBuffer::INT32, DataBuffer::LITTLE, std::string("\xfe\xff\xff\xff\xfe\xff\xff\xff", 8)},
      {nan, DataBuffer::INT32, DataBuffer::LITTLE, ""},
      {1.0, DataBuffer::FLOAT, DataBuffer::BIG, std::string("\x3f\x80\x00\x00\x3f\x80\x00\x00", 8)},
      {nan, DataBuffer::DOUBLE, DataBuffer::LITTLE, std::string("\0\0\0\0\0\0\xf8\x7f\0\0\0\0\0\0\xf8\x7f", 16)},
      {0, DataBuffer::STRING, DataBuffer::LITTLE, "",
       "storage type 7 has no fixed sample width to fill"},
      {1, DataBuffer::UINT16, DataBuffer::LITTLE, std::string("\x01\x00\x01\x00", 4)},
      {1.5, DataBuffer::FLOAT, DataBuffer::BIG, std::string("\x3f\xc0\x00\x00\x3f\xc0\x00\x00", 8)},
  };
  for (const Case& c : cases) {
    std::string out = "kept";
    const Status s = common_dto::AppendFill(c.value, c.type, c.endian, 2, &out);
    if (c.bytes.empty()) {
      EXPECT_FALSE(s.ok()) << c.value << " as type " << c.type;
      if (!c.error.empty()) {
        EXPECT_EQ(s.message(), c.error);
      }
      EXPECT_EQ(out, "kept") << c.value << " as type " << c.type;
    } else {
      ASSERT_TRUE(s.ok()) << s.message();
      EXPECT_EQ(out, "kept" + c.bytes) << c.value << " as type " << c.type;
    }
  }
}

}  // namespace

TEST(Codes, ValueCodesFollowTheStatedRangeAndTheTwoMarkCodes) {
  struct Case {
    int under, not_scanned, min, max;
    std::int64_t code;
    CodeKind kind;
  };
  const Case cases[] = {
      // NEXRAD 8-bit: 0 below threshold, 1 range folded, values 2..255.
      {0, -1, 2, 255, 0, CodeKind::kUnderThreshold},
      {0, -1, 2, 255, 1, CodeKind::kOutOfRange},
      {0, -1, 2, 255, 2, CodeKind::kValue},
      {0, -1, 2, 255, 255, CodeKind::kValue},
      {0, -1, 2, 255, 256, CodeKind::kOutOfRange},
      {0, -1, 2, 255, -1, CodeKind::kNotScanned},
      // Mark codes inside or outside the range are marks, never values.
      {0, 65535, 2, 65534, 65535, CodeKind::kNotScanned},
      {5, 6, 1, 254, 5, CodeKind::kUnderThreshold},
      {7, 7, 0, 0, 7, CodeKind::kUnderThreshold},
      // Both 0: no range stated, every other code is a value.
      {0, 255, 0, 0, 254, CodeKind::kValue},
      {0, 255, 0, 0, -70000, CodeKind::kValue},
      // Only a lower bound (max 0).
      {0, 255, 3, 0, 2, CodeKind::kOutOfRange},
      {0, 255, 3, 0, 1000000, CodeKind::kValue},
      // A range of one code, a negative range, and one that contradicts itself.
      {0, 255, 9, 9, 9, CodeKind::kValue},
      {0, 255, 9, 9, 10, CodeKind::kOutOfRange},
      {0, 255, -100, -1, -100, CodeKind::kValue},
      {0, 255, -100, -1, 1, CodeKind::kOutOfRange},
      {0, 255, 10, 5, 7, CodeKind::kValue},
      {0, 255, 10, 5, 200, CodeKind::kValue},
      // 64-bit codes beyond what int32 bounds hold.
      {0, 255, 1, 2147483647, std::int64_t{1} << 40, CodeKind::kOutOfRange},
  };
  for (const Case& c : cases) {
    kyt::pb::common::DataDescriptor::DataScale::LinearDataScale scale;
    scale.set_under_threshold(c.under);
    scale.set_not_scanned(c.not_scanned);
    scale.set_min_value(c.min);
    scale.set_max_value(c.max);
    SCOPED_TRACE(scale.ShortDebugString() + " code " + std::to_string(c.code));
    EXPECT_EQ(common_dto::ClassifyCode(scale, c.code), c.kind);
    EXPECT_EQ(common_dto::IsValueCode(scale, c.code), c.kind == CodeKind::kValue);
  }
}
