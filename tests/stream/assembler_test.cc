// Reassembly: round trips through split, both delivery modes,
// refused messages, incomplete volumes and filled rays.
#include "common_dto/stream/assembler.h"

#include <algorithm>
#include <any>
#include <map>
#include <random>

#include "common_dto/model/uuid.h"
#include "stream_testing.h"

namespace common_dto_test {
namespace {

using common_dto::stream::AssembledSweep;
using common_dto::stream::AssembledVolume;
using common_dto::stream::Assembler;
using common_dto::stream::AssemblerOptions;
using common_dto::Compression;
using common_dto::stream::DeliveryMode;
using common_dto::FormatUuid;
using common_dto::stream::SplitOptions;

// Adds every message; returns the error texts, in order.
std::vector<std::string> Feed(Assembler& assembler, const std::vector<RayStreamMessage>& messages) {
  std::vector<std::string> errors;
  for (const auto& m : messages) {
    auto status = assembler.Add(m);
    if (!status.ok()) errors.push_back(status.message());
  }
  return errors;
}

std::string SweepName(const Volume& volume, int position) {
  return "sweep " + FormatUuid(common_dto::DeriveSweepUuid(volume.uuid(), position));
}

bool IsRayLevel(const RayStreamMessage& m) {
  return m.has_ray_header() || m.has_parameter_data() || m.has_ray_end();
}

TEST(Assembler, SplitThenAssembleGivesTheVolumeBack) {
  const Volume volume = MakeVolume(2, 4, 5);
  SplitOptions split;
  split.volume_start.emplace().set_seconds(100);
  split.volume_end.emplace().set_seconds(200);
  Assembler assembler;
  for (auto& m : Split(volume, split)) ASSERT_TRUE(assembler.Add(std::move(m)).ok());
  auto volumes = assembler.TakeVolumes();
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_TRUE(volumes[0].complete);
  EXPECT_TRUE(volumes[0].warnings.empty()) << volumes[0].warnings[0];
  EXPECT_EQ(SerializeDeterministic(volumes[0].volume), SerializeDeterministic(volume));
  EXPECT_EQ(volumes[0].start->seconds(), 100);
  EXPECT_EQ(volumes[0].end->seconds(), 200);
  EXPECT_FALSE(volumes[0].config_uri.has_value());
  EXPECT_EQ(assembler.buffered_bytes(), 0u);
}

// Interleaved sweeps, ray-level messages shuffled across both sweeps.
TEST(Assembler, ShuffledRayLevelMessagesGiveTheSameVolume) {
  const Volume volume = MakeVolume(2, 4, 5);
  const auto messages = Split(volume);
  std::vector<RayStreamMessage> heads, rays, tails;
  for (const auto& msg : messages) {
    (IsRayLevel(msg)                                     ? rays
     : msg.has_volume_header() || msg.has_sweep_header() ? heads
                                                         : tails)
        .push_back(msg);
  }
  std::shuffle(rays.begin(), rays.end(), std::mt19937(7));
  std::map<std::pair<int, int>, bool> seen_header;  // (sweep, ray) -> header seen
  bool data_first = false;
  for (const auto& msg : rays) {
    const int sweep = static_cast<int>(msg.parameter_data().sweep_uuid().least_significant_bits() +
                                       msg.ray_header().sweep_uuid().least_significant_bits());
    const int ray = msg.ray_header().ray_index() + msg.parameter_data().ray_index();
    if (msg.has_ray_header()) seen_header[{sweep, ray}] = true;
    if (msg.has_parameter_data() && !seen_header[{sweep, ray}]) data_first = true;
  }
  ASSERT_TRUE(data_first) << "some data arrives before its ray header";
  std::vector<RayStreamMessage> shuffled = heads;
  shuffled.insert(shuffled.end(), rays.begin(), rays.end());
  shuffled.insert(shuffled.end(), tails.begin(), tails.end());
  EXPECT_EQ(Kinds(shuffled).substr(0, 3), "VSS");
  Assembler interleaved;
  EXPECT_TRUE(Feed(interleaved, shuffled).empty());
  const auto volumes = interleaved.TakeVolumes();
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_EQ(SerializeDeterministic(volumes[0].volume), SerializeDeterministic(volume));
}

// LZ4 rays come back uncompressed; LZ4 volumes come back as LZ4 on request.
TEST(Assembler, Lz4RaysAndLz4Volumes) {
  const Volume volume = MakeVolume(2, 4, 5);
  Volume packed = volume;
  for (auto& s : *packed.mutable_sweep()) {
    for (auto& entry : *s.mutable_sweep_moments()) {
      ASSERT_TRUE(common_dto::SetSamples(std::string(entry.second.data()),
                                                 Compression::kLz4Block, &entry.second)
                      .ok());
    }
  }
  for (Compression rays_as : {Compression::kLz4Frame, Compression::kLz4Block}) {
    SplitOptions options;
    options.ray_compression = rays_as;
    Assembler plain;
    EXPECT_TRUE(Feed(plain, Split(volume, options)).empty());
    EXPECT_EQ(SerializeDeterministic(plain.TakeVolumes().at(0).volume),
              SerializeDeterministic(volume));
    AssemblerOptions lz4;
    lz4.output_compression = Compression::kLz4Block;
    Assembler compressed(lz4);
    EXPECT_TRUE(Feed(compressed, Split(packed, options)).empty());
    EXPECT_EQ(SerializeDeterministic(compressed.TakeVolumes().at(0).volume),
              SerializeDeterministic(packed));
  }
}

// A configuration by reference: kept beside the volume, and the data types,
// which only the configuration could record, are warned about.
TEST(Assembler, ConfigurationByReference) {
  const Volume volume = MakeVolume(2, 4, 5);
  SplitOptions split;
  split.config_uri.emplace().set_endpoint("https://configs.example/7");
  Assembler by_reference;
  EXPECT_TRUE(Feed(by_reference, Split(volume, split)).empty());
  const auto volumes = by_reference.TakeVolumes();
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_EQ(volumes[0].config_uri->endpoint(), "https://configs.example/7");
  EXPECT_FALSE(volumes[0].volume.has_volume_config());
  ASSERT_EQ(volumes[0].warnings.size(), 4u);
  EXPECT_EQ(volumes[0].warnings[0],
            SweepName(volume, 0) +
                " moment 'DBZ': data type REFLECTIVITY_DBZ is not recorded in the volume (its "
                "configuration has no descriptor for the moment)");
}

TEST(Assembler, SweepBySweepDeliveryHoldsOnlyOpenSweeps) {
  const Volume volume = MakeVolume(3, 3, 4);
  AssemblerOptions options;
  options.delivery = DeliveryMode::kSweepBySweep;
  Assembler assembler(options);
  Volume rebuilt;
  std::vector<AssembledSweep> sweeps;
  std::uint64_t header_only = 0;  // What the open volume's header counts.
  for (const auto& m : Split(volume)) {
    ASSERT_TRUE(assembler.Add(m).ok());
    if (m.has_volume_header()) header_only = assembler.buffered_bytes();
    auto got = assembler.TakeSweeps();
    if (m.has_sweep_end()) {
      ASSERT_EQ(got.size(), 1u) << "a sweep is handed back at its SweepEnd";
      EXPECT_EQ(got[0].position, sweeps.size());
      EXPECT_EQ(FormatUuid(got[0].sweep_uuid),
                SweepName(volume, static_cast<int>(sweeps.size())).substr(6));
      EXPECT_TRUE(got[0].complete);
      EXPECT_EQ(assembler.buffered_bytes(), header_only) << "nothing is kept after delivery";
      EXPECT_EQ(assembler.open_sweeps(), 0u);
      sweeps.push_back(std::move(got[0]));
    } else {
      EXPECT_TRUE(got.empty());
    }
  }
  auto volumes = assembler.TakeVolumes();
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_TRUE(volumes[0].complete);
  EXPECT_EQ(volumes[0].sweeps_delivered, 3u);
  EXPECT_EQ(volumes[0].volume.sweep_size(), 0);
  ASSERT_EQ(sweeps.size(), 3u);
  EXPECT_EQ(sweeps[0].volume_header.get(), sweeps[2].volume_header.get());
  EXPECT_EQ(sweeps[1].volume_header->instrument().name(), "Test radar");
  rebuilt = volumes[0].volume;
  for (auto& s : sweeps) *rebuilt.add_sweep() = std::move(s.sweep);
  EXPECT_EQ(SerializeDeterministic(rebuilt), SerializeDeterministic(volume));
}

// Logs what the assembler tells an observer, one letter and what it is
// about a line, and counts the rays of each volume in the volume's slot.
class Log : public common_dto::stream::AssemblerObserver {
 public:
  void VolumeStarted(const common_dto::stream::ObservedVolume& v) override {
    v.state = 0;
    lines.push_back("V");
  }
  void SweepStarted(const common_dto::stream::ObservedSweep& s) override {
    s.state = std::string("moments:");
    lines.push_back("S" + std::to_string(s.position));
  }
  void RayStarted(const common_dto::stream::ObservedSweep& s, std::int32_t ray,
                  const kyt::pb::common::Ray&) override {
    ++*std::any_cast<int>(&s.volume.state);
    lines.push_back("R" + std::to_string(ray));
  }
  void MomentTaken(const common_dto::stream::ObservedSweep& s,
                   const common_dto::stream::ObservedMoment& m) override {
    *std::any_cast<std::string>(&s.state) += " " + std::string(m.name) + "/" +
                                             std::to_string(m.decoded_bytes);
  }
  void SweepEnded(const common_dto::stream::ObservedSweep& s, const AssembledSweep& a) override {
    lines.push_back("s" + std::to_string(a.position) + (a.complete ? " " : " incomplete ") +
                    *std::any_cast<std::string>(&s.state));
  }
  void VolumeEnded(const common_dto::stream::ObservedVolume& v, const AssembledVolume& a) override {
    lines.push_back("v rays " + std::to_string(*std::any_cast<int>(&v.state)) +
                    (a.complete ? "" : " incomplete"));
  }
  void Problem(const common_dto::Status& status) override {
    lines.push_back(std::string("! ") + common_dto::ErrorCodeName(status.code()));
  }
  std::vector<std::string> lines;
};

// Observers see each volume, sweep, ray and moment as the assembler takes
// it, each close (in both delivery modes, LZ4 rays as their decoded size),
// and each error Add() returns, never what it refused.
TEST(Assembler, ObserversSeeWhatItTakesAndCloses) {
  const Volume volume = MakeVolume(2, 1, 2);
  SplitOptions lz4;
  lz4.ray_compression = Compression::kLz4Block;
  std::vector<RayStreamMessage> messages = Split(volume, lz4);  // V S RPPE s S RPPE s v
  messages.insert(messages.begin() + 3, messages[2]);           // A duplicate RayHeader.
  messages.erase(messages.end() - 2);                           // The last SweepEnd.
  const std::vector<std::string> expected = {
      "V", "S0", "R0", "! protocol", "s0 moments: DBZ/4 VRAD/8", "S1", "R0",
      "s1 incomplete moments: DBZ/4 VRAD/8", "v rays 2 incomplete"};
  for (const DeliveryMode mode : {DeliveryMode::kWholeVolumes, DeliveryMode::kSweepBySweep}) {
    AssemblerOptions options;
    options.delivery = mode;
    Assembler assembler(options);
    Log log;
    assembler.SetObserver(&log);
    Feed(assembler, messages);
    EXPECT_EQ(log.lines, expected);
  }
}

TEST(Assembler, RefusesBadMessagesAndStaysUsable) {
  const Volume volume = MakeVolume(1, 2, 2);
  const auto messages = Split(volume);  // V S R P P E R P P E s v
  const std::string v = "volume " + FormatUuid(volume.uuid());
  const std::string s = SweepName(volume, 0);
  Assembler assembler;
  ASSERT_TRUE(Feed(assembler, {messages[0], messages[1], messages[2], messages[3]}).empty());

  RayStreamMessage orphan_sweep = messages[1];
  orphan_sweep.mutable_sweep_header()->mutable_sweep_uuid()->Clear();
  orphan_sweep.mutable_sweep_header()->mutable_sweep_uuid()->set_least_significant_bits(1);
  orphan_sweep.mutable_sweep_header()->mutable_volume_uuid()->Clear();
  orphan_sweep.mutable_sweep_header()->mutable_volume_uuid()->set_least_significant_bits(2);
  RayStreamMessage orphan_ray = messages[2];
  *orphan_ray.mutable_ray_header()->mutable_sweep_uuid() = orphan_sweep.sweep_header().sweep_uuid();
  RayStreamMessage wrong_order = messages[7];  // Ray 1, DBZ, as big-endian.
  wrong_order.mutable_parameter_data()->mutable_data()->set_endian(DataBuffer::BIG);
  RayStreamMessage garbage = messages[7];
  garbage.mutable_parameter_data()->mutable_data()->set_compression(DataBuffer::LZ4);
  const std::vector<std::string> errors =
      Feed(assembler, {RayStreamMessage(), orphan_sweep, orphan_ray, messages[0], messages[2],
                       messages[3], wrong_order, garbage});
  EXPECT_EQ(errors,
            (std::vector<std::string>{
                "message without payload",
                "sweep 00000000-0000-0000-0000-000000000001: SweepHeader names unknown volume "
                "00000000-0000-0000-0000-000000000002 (no VolumeHeader)",
                "RayHeader for unknown sweep 00000000-0000-0000-0000-000000000001 (no SweepHeader)",
                v + ": duplicate VolumeHeader", s + " ray 0: duplicate RayHeader",
                s + " ray 0 moment 'DBZ': duplicate ParameterData",
                s + " ray 1 moment 'DBZ': samples are BIG UINT16 but the moment's other rays are "
                    "LITTLE UINT16",
                s + " ray 1 moment 'DBZ': LZ4 block: malformed data, or more than "
                    "uncompressed_size 4 bytes"}));

  // The rest of the stream still makes the whole volume.
  EXPECT_TRUE(
      Feed(assembler, std::vector<RayStreamMessage>(messages.begin() + 4, messages.end())).empty());
  auto volumes = assembler.TakeVolumes();
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_TRUE(volumes[0].complete);
  EXPECT_EQ(SerializeDeterministic(volumes[0].volume), SerializeDeterministic(volume));
  EXPECT_EQ(Feed(assembler, {messages[2], messages[11], messages[0]}),
            (std::vector<std::string>{"RayHeader for " + s + ", which is already closed",
                                      v + ": VolumeEnd for a volume already closed",
                                      v + ": VolumeHeader for a volume already closed"}));

  // Limits bound what a stream can make the assembler hold. The byte limit
  // leaves room for the headers, ray 0 and its DBZ, but not its 8 bytes of
  // VRAD.
  Assembler measure;
  EXPECT_TRUE(Feed(measure, {messages[0], messages[1], messages[2], messages[3]}).empty());
  AssemblerOptions tight;
  tight.max_open_volumes = 1;
  tight.max_rays_per_sweep = 1;
  tight.max_buffered_bytes = measure.buffered_bytes() + 7;
  Assembler limited(tight);
  RayStreamMessage second_volume = messages[0];
  second_volume.mutable_volume_header()->mutable_volume_uuid()->set_least_significant_bits(9);
  EXPECT_EQ(Feed(limited, {messages[0], messages[1], second_volume, messages[2], messages[3],
                           messages[4], messages[6]}),
            (std::vector<std::string>{
                "volume " + FormatUuid(second_volume.volume_header().volume_uuid()) +
                    ": more than 1 open volumes",
                s + " ray 0 moment 'VRAD': holding 8 more bytes would exceed the limit of " +
                    std::to_string(tight.max_buffered_bytes) + " buffered bytes",
                s + " ray 1: more than 1 rays in one sweep"}));
}

TEST(Assembler, IncompleteVolumesAreHandedBack) {
  const Volume volume = MakeVolume(2, 2, 2);
  const auto messages = Split(volume);  // V S RPPE RPPE s S RPPE RPPE s v
  const std::string v = "volume " + FormatUuid(volume.uuid());
  const std::string s0 = SweepName(volume, 0), s1 = SweepName(volume, 1);

  // Lost end markers: the last RayEnd, the last SweepEnd and the VolumeEnd.
  Assembler assembler;
  EXPECT_TRUE(
      Feed(assembler, std::vector<RayStreamMessage>(messages.begin(), messages.end() - 3)).empty());
  EXPECT_TRUE(assembler.TakeVolumes().empty());
  assembler.Finish();
  auto volumes = assembler.TakeVolumes();
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_FALSE(volumes[0].complete);
  EXPECT_EQ(volumes[0].missing, (std::vector<std::string>{s1 + ": SweepEnd", s1 + " ray 1: RayEnd",
                                                          v + ": VolumeEnd (end of input)"}));
  Volume expected = volume;
  expected.mutable_sweep(1)->mutable_input_timespan()->clear_end();
  EXPECT_EQ(SerializeDeterministic(volumes[0].volume), SerializeDeterministic(expected))
      << "a crashed producer's partial volume is still data";

  // A lost RayHeader: the ray keeps its place, holding only its index.
  std::vector<RayStreamMessage> headless = messages;
  headless.erase(headless.begin() + 2);
  Assembler second;
  EXPECT_TRUE(Feed(second, headless).empty());
  volumes = second.TakeVolumes();
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_EQ(volumes[0].missing, (std::vector<std::string>{s0 + " ray 0: RayHeader"}));
  const auto& lost = volumes[0].volume.sweep(0).rays(0);
  EXPECT_FALSE(lost.has_aq_start_time() || lost.has_az_range_deg());
  EXPECT_EQ(lost.aq_end_time().nanos(), 500000000) << "its RayEnd did arrive";
  EXPECT_EQ(volumes[0].volume.sweep(0).sweep_moments().at("DBZ").data().size(), 8u);

  // A ray count limit closes the volume as incomplete while the stream goes on.
  AssemblerOptions by_rays;
  by_rays.max_rays_per_volume = 3;
  Assembler counted(by_rays);
  const std::vector<std::string> errors = Feed(counted, messages);
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors[0], v + " closed at the ray limit of 3 rays; " + s1 + " ray 1 refused");
  volumes = counted.TakeVolumes();
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_EQ(volumes[0].missing.back(), v + ": VolumeEnd (closed at the ray limit of 3 rays)");
  EXPECT_EQ(volumes[0].volume.sweep_size(), 2);

  // So does an age limit, measured by the caller's clock.
  std::chrono::steady_clock::time_point now{};
  AssemblerOptions by_age;
  by_age.max_volume_age = std::chrono::seconds(10);
  by_age.clock = [&now] { return now; };
  Assembler aging(by_age);
  EXPECT_TRUE(Feed(aging, {messages[0], messages[1]}).empty());
  now += std::chrono::seconds(10);
  EXPECT_EQ(aging.CloseExpired(), 0u);
  now += std::chrono::seconds(1);
  EXPECT_EQ(aging.CloseExpired(), 1u);
  volumes = aging.TakeVolumes();
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_EQ(volumes[0].missing,
            (std::vector<std::string>{s0 + ": SweepEnd", v + ": VolumeEnd (closed by the age "
                                                             "limit)"}));
  EXPECT_EQ(aging.open_volumes(), 0u);
}

TEST(Assembler, ShortAndMissingRaysFailOrAreFilled) {
  const Volume volume = MakeVolume(1, 3, 4);
  std::vector<RayStreamMessage> messages = Split(volume);  // V S RPPE RPPE RPPE s v
  const std::string s = SweepName(volume, 0);
  // Ray 1's DBZ loses its last two gates; ray 2 sends no VRAD.
  auto* short_dbz = messages[7].mutable_parameter_data()->mutable_data();
  short_dbz->set_data(short_dbz->data().substr(0, 4));
  messages.erase(messages.begin() + 12);
  // Ray 0's end time disagrees with its header; ray 1's header has none.
  messages[5].mutable_ray_end()->mutable_end()->Clear();
  messages[5].mutable_ray_end()->mutable_end()->set_seconds(5);
  messages[6].mutable_ray_header()->mutable_ray()->clear_aq_end_time();
  // The moment's data type disagrees with its descriptor.
  for (auto& m : messages) {
    if (m.has_parameter_data() && m.parameter_data().data_type().short_name() == "VRAD") {
      m.mutable_parameter_data()->mutable_data_type()->set_type(kyt::pb::common::ZDR_DB);
    }
  }

  Assembler strict;
  const auto errors = Feed(strict, messages);
  const std::string dbz_error =
      s +
      " moment 'DBZ': ray 1 has 4 bytes, ray 0 has 8 and no fill value is set; the moment is "
      "left out";
  ASSERT_EQ(errors.size(), 1u) << "the SweepEnd reports the first moment that failed";
  EXPECT_EQ(errors[0], dbz_error);
  auto volumes = strict.TakeVolumes();
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_FALSE(volumes[0].complete);
  EXPECT_EQ(volumes[0].missing,
            (std::vector<std::string>{dbz_error,
                                      s + " moment 'VRAD': ray 2 has no data for it and no fill "
                                          "value is set; the moment is left out"}));
  EXPECT_EQ(volumes[0].volume.sweep(0).sweep_moments_size(), 0);

  AssemblerOptions options;
  options.fill.emplace().value = -999;  // DBZ's descriptor has not_scanned = 1 instead.
  Assembler filling(options);
  EXPECT_TRUE(Feed(filling, messages).empty());
  volumes = filling.TakeVolumes();
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_TRUE(volumes[0].complete);
  const auto& sweep = volumes[0].volume.sweep(0);
  // Ray 1's DBZ: 10, 11 then two not_scanned codes.
  EXPECT_EQ(Hex(sweep.sweep_moments().at("DBZ").data().substr(8, 8)), "0a 00 0b 00 01 00 01 00");
  EXPECT_EQ(sweep.sweep_moments().at("DBZ").uncompressed_size(), 24);
  // Ray 2's VRAD: four big-endian -999.0.
  EXPECT_EQ(Hex(sweep.sweep_moments().at("VRAD").data().substr(32)),
            "c4 79 c0 00 c4 79 c0 00 c4 79 c0 00 c4 79 c0 00");
  EXPECT_EQ(sweep.rays(0).aq_end_time().seconds(), volume.sweep(0).rays(0).aq_end_time().seconds());
  EXPECT_EQ(sweep.rays(1).aq_end_time().nanos(), 500000000) << "filled in from the RayEnd";
  EXPECT_EQ(volumes[0].warnings,
            (std::vector<std::string>{
                s + " moment 'DBZ' ray 1: padded from 2 to 4 samples with 1.000000",
                s + " moment 'VRAD': data type ZDR_DB differs from the VELOCITY_M_P_S of its "
                    "descriptor",
                s + " moment 'VRAD' ray 2: no data; filled with 4 samples of -999.000000",
                s + " ray 0: RayEnd time 1970-01-01T00:00:05Z differs from the ray's "
                    "aq_end_time 2026-01-01T00:00:00.500Z; aq_end_time kept"}));
}

}  // namespace
}  // namespace common_dto_test
