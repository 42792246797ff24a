// Reassembly: round trips through split, both delivery modes,
// refused messages, incomplete volumes, filled rays and streams of newer
// producers. (LZ4 data itself: tests/model/buffers_test.cc.)
#include "common_dto/stream/assembler.h"

#include <algorithm>
#include <any>

#include "common_dto/model/uuid.h"
#include "stream_testing.h"

namespace common_dto_test {
namespace {

using common_dto::stream::AssembledSweep;
using common_dto::stream::AssembledVolume;
using common_dto::stream::Assembler;
using common_dto::stream::AssemblerOptions;
using common_dto::Compression;
using common_dto::ErrorCode;
using common_dto::stream::DeliveryMode;
using common_dto::FormatUuid;
using common_dto::stream::SplitOptions;

// Adds every message; returns the error texts, in order, and their codes
// in *codes when given.
std::vector<std::string> Feed(Assembler& assembler, const std::vector<RayStreamMessage>& messages,
                              std::vector<ErrorCode>* codes = nullptr) {
  std::vector<std::string> errors;
  for (const auto& m : messages) {
    auto status = assembler.Add(m);
    if (status.ok()) continue;
    errors.push_back(status.message());
    if (codes != nullptr) codes->push_back(status.code());
  }
  return errors;
}

std::string SweepName(const Volume& volume, int position) {
  return "sweep " + FormatUuid(common_dto::DeriveSweepUuid(volume.uuid(), position));
}

// Split, then assembled (the messages taken over), the volume comes back
// byte for byte whatever the compression of its sweeps and rays and the
// order of its ray-level messages; all its samples are counted as held
// until it closes. A configuration by reference is kept beside the volume,
// and the data types, which only the configuration could record, are warned
// about. Validating only decodes and checks every buffer but keeps (and
// counts) no samples, only their size.
TEST(Assembler, SplitThenAssembleGivesTheVolumeBack) {
  const int gates = 5000;
  const Volume volume = MakeVolume(2, 4, gates);  // V S (RPPE)x4 s S (RPPE)x4 s v
  const std::uint64_t samples = 2 * 4 * gates * (2 + 4);  // UINT16 DBZ, FLOAT VRAD
  struct Case {
    const char* what;
    Compression sweeps, rays;
    bool interleaved = false, by_reference = false, validate = false;
  };
  const Case cases[] = {
      {"in order", Compression::kNone, Compression::kNone},
      {"interleaved", Compression::kNone, Compression::kNone, true},
      {"LZ4 frame rays", Compression::kNone, Compression::kLz4Frame},
      {"LZ4 block rays and sweeps", Compression::kLz4Block, Compression::kLz4Block, true},
      {"LZ4 frame sweeps, LZ4 block rays", Compression::kLz4Frame, Compression::kLz4Block},
      {"configuration by reference", Compression::kNone, Compression::kNone, false, true},
      {"validating only", Compression::kNone, Compression::kLz4Block, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Volume sent = volume;
    for (auto& sweep : *sent.mutable_sweep()) {
      for (auto& [name, buffer] : *sweep.mutable_sweep_moments()) {
        ASSERT_TRUE(common_dto::SetSamples(std::string(buffer.data()), c.sweeps, &buffer).ok());
      }
    }
    SplitOptions split;
    split.ray_compression = c.rays;
    split.volume_start.emplace().set_seconds(100);
    split.volume_end.emplace().set_seconds(200);
    if (c.by_reference) split.config_uri.emplace().set_endpoint("https://configs.example/7");
    std::vector<RayStreamMessage> m = Split(sent, split);
    for (const auto& each : m) {
      if (!each.has_parameter_data()) continue;
      EXPECT_EQ(each.parameter_data().data().compression(),
                c.rays == Compression::kNone ? DataBuffer::NONE : DataBuffer::LZ4);
    }
    if (c.interleaved) {  // Both sweeps open, then from the last ray to the first
      // (each ray's end and data before its header), the sweeps alternating.
      std::vector<RayStreamMessage> order = {m[0], m[1], m[19]};
      for (int k = 15; k >= 0; --k) order.insert(order.end(), {m[20 + k], m[2 + k]});
      order.insert(order.end(), {m[18], m[36], m[37]});
      m = order;
    }
    AssemblerOptions options;
    options.output_compression = c.sweeps;
    options.keep_samples = !c.validate;
    Assembler assembler(options);
    std::uint64_t most = 0;
    for (auto& each : m) {
      ASSERT_TRUE(assembler.Add(std::move(each)).ok());
      most = std::max(most, assembler.buffered_bytes());
    }
    EXPECT_TRUE(c.validate ? most < 2 * gates : most >= samples) << most;
    auto volumes = assembler.TakeVolumes();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_TRUE(volumes[0].complete);
    if (c.by_reference) sent.clear_volume_config();
    for (auto& sweep : *sent.mutable_sweep()) {
      for (auto& [name, buffer] : *sweep.mutable_sweep_moments()) {
        if (c.validate) buffer.clear_data();
      }
    }
    EXPECT_EQ(SerializeDeterministic(volumes[0].volume), SerializeDeterministic(sent));
    EXPECT_EQ(volumes[0].start->seconds(), 100);
    EXPECT_EQ(volumes[0].end->seconds(), 200);
    EXPECT_EQ(assembler.buffered_bytes(), 0u);
    EXPECT_EQ(volumes[0].config_uri.has_value(), c.by_reference);
    EXPECT_EQ(volumes[0].warnings.size(), c.by_reference ? 4u : 0u);
    if (c.by_reference) {
      EXPECT_EQ(volumes[0].config_uri->endpoint(), "https://configs.example/7");
      EXPECT_EQ(volumes[0].warnings.at(0),
                SweepName(volume, 0) +
                    " moment 'DBZ': data type REFLECTIVITY_DBZ is not recorded in the volume (its "
                    "configuration has no descriptor for the moment)");
    }
  }
}

TEST(Assembler, SweepBySweepDeliveryHoldsOnlyOpenSweeps) {
  const Volume volume = MakeVolume(3, 3, 4);
  AssemblerOptions options;
  options.delivery = DeliveryMode::kSweepBySweep;
  Assembler assembler(options);
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
  ASSERT_EQ(sweeps.size(), 3u);
  EXPECT_EQ(sweeps[0].volume_header.get(), sweeps[2].volume_header.get());
  EXPECT_EQ(sweeps[1].volume_header->instrument().name(), "Test radar");
  Volume rebuilt = volumes[0].volume;  // No sweeps of its own: they came one by one.
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
  kyt::pb::common::Ray only_index;  // Index 0, and the end time its RayEnd brought.
  *only_index.mutable_aq_end_time() = volume.sweep(0).rays(0).aq_end_time();
  EXPECT_EQ(Hex(volumes[0].volume.sweep(0).rays(0).SerializeAsString()),
            Hex(only_index.SerializeAsString()));
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

  const std::string dbz_error =
      s +
      " moment 'DBZ': ray 1 has 4 bytes, ray 0 has 8 and no fill value is set; the moment is "
      "left out";
  for (const bool keep : {true, false}) {  // Validating finds what assembling does.
    AssemblerOptions strict_options;
    strict_options.keep_samples = keep;
    Assembler strict(strict_options);
    std::vector<ErrorCode> codes;
    const auto errors = Feed(strict, messages, &codes);
    EXPECT_EQ(errors, std::vector<std::string>{dbz_error})
        << "the SweepEnd reports the first moment that failed";
    EXPECT_EQ(codes, std::vector<ErrorCode>{ErrorCode::kIncomplete});
    auto volumes = strict.TakeVolumes();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_FALSE(volumes[0].complete);
    EXPECT_EQ(volumes[0].missing,
              (std::vector<std::string>{dbz_error,
                                        s + " moment 'VRAD': ray 2 has no data for it and no fill "
                                            "value is set; the moment is left out"}));
    EXPECT_EQ(volumes[0].volume.sweep(0).sweep_moments_size(), 0);
  }

  AssemblerOptions options;
  options.fill.emplace().value = -999;  // DBZ's descriptor has not_scanned = 1 instead.
  Assembler filling(options);
  EXPECT_TRUE(Feed(filling, messages).empty());
  auto volumes = filling.TakeVolumes();
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

// Unknown fields are kept where the volume holds the same message and
// counted where it has no place; a payload of a kind this version does not
// know is skipped.
TEST(Assembler, StreamsOfNewerProducers) {
  SplitOptions lz4;
  lz4.ray_compression = Compression::kLz4Block;
  std::vector<RayStreamMessage> stream = Split(MakeVolume(1, 1, 2), lz4);  // V S R P P E s v
  auto unknown = [](google::protobuf::Message* m) {
    m->GetReflection()->MutableUnknownFields(m)->AddVarint(99, 1);
  };
  unknown(&stream[0]);                                          // The envelope: no place.
  unknown(stream[2].mutable_ray_header()->mutable_ray());       // Kept in the ray.
  unknown(stream[3].mutable_parameter_data()->mutable_data());  // Kept in the buffer.
  Assembler assembler;
  RayStreamMessage newer_kind;
  unknown(&newer_kind);
  EXPECT_EQ(assembler.Add(newer_kind).code(), ErrorCode::kUnsupported);
  for (RayStreamMessage& m : stream) ASSERT_TRUE(assembler.Add(std::move(m)).ok());
  EXPECT_EQ(assembler.Add(RayStreamMessage()).code(), ErrorCode::kProtocol)
      << "empty stays an error";
  auto volumes = assembler.TakeVolumes();
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_EQ(volumes[0].unknown_left_out, std::vector<std::string>{"1 RayStreamMessage"});
  const auto& sweep = volumes[0].volume.sweep(0);
  const auto& ray = sweep.rays(0);
  EXPECT_EQ(ray.GetReflection()->GetUnknownFields(ray).field_count(), 1);
  const DataBuffer& buffer = sweep.sweep_moments().at("DBZ");
  EXPECT_EQ(buffer.GetReflection()->GetUnknownFields(buffer).field_count(), 1);
}

}  // namespace
}  // namespace common_dto_test
