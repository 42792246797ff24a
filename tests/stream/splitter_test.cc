// Splitting volumes into streams: the messages' order and contents, what
// the stream cannot carry, and buffers that cannot be split. (LZ4 sweeps
// and rays: the assembler's round trips.)
#include "common_dto/stream/splitter.h"

#include "common_dto/model/uuid.h"
#include "stream_testing.h"

namespace common_dto_test {
namespace {

using common_dto::Compression;
using common_dto::FormatUuid;
using common_dto::SetSamples;
using common_dto::stream::SplitOptions;
using common_dto::stream::SplitReport;
using common_dto::Status;

// Where each field goes (that the volume comes back whole is the
// assembler's round trip).
TEST(Splitter, MessagesInProtocolOrder) {
  const Volume volume = MakeVolume(2, 2, 3);
  SplitOptions options;
  options.volume_start.emplace().set_seconds(100);
  options.volume_end.emplace().set_seconds(200);
  const auto messages = Split(volume, options);
  EXPECT_EQ(Kinds(messages), "VSRPPERPPEsSRPPERPPEsv");
  EXPECT_EQ(messages[0].volume_header().start().seconds(), 100);
  EXPECT_EQ(messages.back().volume_end().end().seconds(), 200);

  // Sweep 1 starts at message 11.
  const auto& sweep = messages[11].sweep_header();
  EXPECT_EQ(FormatUuid(sweep.sweep_uuid()), "4a0fab93-cd1a-8b84-9a61-b15906141b0f");
  EXPECT_EQ(sweep.index_in_task(), 1);
  EXPECT_EQ(sweep.start().seconds(), volume.sweep(1).input_timespan().start().seconds());
  EXPECT_EQ(sweep.description().fixed_angle_deg(), 1.5);
  EXPECT_EQ(messages[20].sweep_end().end().seconds(),
            volume.sweep(1).input_timespan().end().seconds());

  // Ray 1 of sweep 1: header, DBZ then VRAD (name order), end.
  EXPECT_EQ(messages[16].ray_header().ray_index(), 1);
  const auto& dbz = messages[17].parameter_data();
  EXPECT_EQ(dbz.ray_index(), 1);
  EXPECT_EQ(dbz.data_type().short_name(), "DBZ");
  EXPECT_EQ(dbz.data_type().type(), kyt::pb::common::REFLECTIVITY_DBZ);
  // Samples 1010, 1011, 1012 as little-endian UINT16, declared canonically.
  EXPECT_EQ(Hex(dbz.data().SerializeAsString()), "08 01 10 02 18 01 20 06 2a 06 f2 03 f3 03 f4 03");
  const auto& vrad = messages[18].parameter_data();
  EXPECT_EQ(vrad.data_type().short_name(), "VRAD");
  EXPECT_EQ(vrad.data_type().type(), kyt::pb::common::VELOCITY_M_P_S);
  // 1.0, 1.25, 1.5 as big-endian floats.
  EXPECT_EQ(Hex(vrad.data().data()), "3f 80 00 00 3f a0 00 00 3f c0 00 00");
  EXPECT_EQ(messages[19].ray_end().end().nanos(), 500000000);
  EXPECT_EQ(messages[19].ray_end().ray_index(), 1);
}

TEST(Splitter, ReportsWhatTheStreamCannotCarry) {
  Volume volume = MakeVolume(3, 2, 2);
  auto* s0 = volume.mutable_sweep(0);
  s0->set_task_name("task");
  s0->mutable_task_start()->set_seconds(1);
  s0->set_first_azimuth_gate_index(4);
  s0->set_rotation_direction("clockwise");
  s0->set_time_reference("start");
  s0->set_ray_accumulation_time(-1);
  auto* s1 = volume.mutable_sweep(1);
  s1->mutable_input_timespan()->Clear();  // Present, but empty.
  auto& vrad = (*s1->mutable_sweep_moments())["VRAD"];
  vrad.clear_compression();
  vrad.clear_uncompressed_size();
  auto* s2 = volume.mutable_sweep(2);
  s2->clear_rays();
  s2->clear_sweep_moments();
  (*s2->mutable_sweep_moments())["EMPTY"];
  SplitReport report;
  std::vector<RayStreamMessage> messages;
  ASSERT_TRUE(common_dto::stream::SplitVolume(volume, {}, &messages, &report).ok());
  EXPECT_EQ(report.not_carried,
            (std::vector<std::string>{
                "sweep 0: task_name", "sweep 0: task_start", "sweep 0: first_azimuth_gate_index",
                "sweep 0: rotation_direction", "sweep 0: time_reference",
                "sweep 0: ray_accumulation_time",
                "sweep 1: input_timespan (present, but with neither start nor end)",
                "sweep 1: sweep_moments 'VRAD': compression UNKNOWN_COMPRESSION, "
                "uncompressed_size 0 (reassembly declares NONE or LZ4 and the true size)",
                "sweep 2: sweep_moments 'EMPTY' (no rays to carry it)"}));
  EXPECT_EQ(Kinds(messages), "VSRPPERPPEsSRPPERPPEsSsv");
}

TEST(Splitter, RefusesBuffersThatDoNotSlice) {
  struct Case {
    const char* what;
    std::string extra;  // Appended to sweep 0's DBZ samples.
    bool drop_rays;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"odd byte", "x", false, "sweep 0 moment 'DBZ': 13 bytes do not divide evenly into 2 rays"},
      {"half samples", "xy", false,
       "sweep 0 moment 'DBZ': 7 bytes per ray are not a whole number of UINT16 samples"},
      {"no rays", "", true,
       "sweep 0 moment 'DBZ': 12 bytes of samples but the sweep has no rays to carry them"},
  };
  for (const Case& c : cases) {
    Volume volume = MakeVolume(2, 2, 3);
    auto& dbz = (*volume.mutable_sweep(0)->mutable_sweep_moments())["DBZ"];
    ASSERT_TRUE(SetSamples(dbz.data() + c.extra, Compression::kNone, &dbz).ok());
    if (c.drop_rays) {
      volume.mutable_sweep(0)->clear_rays();
      volume.mutable_sweep(0)->mutable_sweep_moments()->erase("VRAD");
    }
    int emitted = 0;
    const Status status = common_dto::stream::SplitVolume(
        volume, {}, [&](RayStreamMessage&&) { return ++emitted, Status::Ok(); });
    EXPECT_EQ(status.message(), c.error) << c.what;
    EXPECT_EQ(emitted, 0) << c.what << ": nothing is emitted";
  }
  // An error from the sink stops the split where it happens.
  int emitted = 0;
  const Status status =
      common_dto::stream::SplitVolume(MakeVolume(2, 2, 3), {}, [&](RayStreamMessage&&) {
        return ++emitted == 3 ? Status(common_dto::ErrorCode::kIo, "disk full") : Status::Ok();
      });
  EXPECT_EQ(status.message(), "disk full");
  EXPECT_EQ(emitted, 3);
}

}  // namespace
}  // namespace common_dto_test
