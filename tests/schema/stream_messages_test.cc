// The ray stream: the envelope's payload oneof, the volume header's
// configuration oneof, field order and presence on the wire, and a complete
// volume sent message by message and taken apart again by a receiver.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ray_stream_message.pb.h"
#include "volume.pb.h"
#include "wire_testing.h"

namespace {

using common_dto_test::Hex;
using common_dto_test::LogCapture;
using common_dto_test::SerializeDeterministic;
using common_dto_test::Unhex;
using kyt::pb::stream::RayStreamMessage;
using kyt::pb::stream::VolumeHeader;
namespace common = kyt::pb::common;

TEST(StreamMessagesTest, EnvelopeCarriesOnePayload) {
  EXPECT_EQ(RayStreamMessage().ByteSizeLong(), 0u);
  RayStreamMessage none;
  ASSERT_TRUE(none.ParseFromString(""));
  EXPECT_EQ(none.payload_case(), RayStreamMessage::PAYLOAD_NOT_SET);

  // Each empty piece is still written, as its tag and length 0; the case
  // number is the field number.
  static_assert(RayStreamMessage::kVolumeHeader == 1 && RayStreamMessage::kSweepHeader == 2 &&
                    RayStreamMessage::kRayHeader == 3 && RayStreamMessage::kParameterData == 4 &&
                    RayStreamMessage::kRayEnd == 5 && RayStreamMessage::kSweepEnd == 6 &&
                    RayStreamMessage::kVolumeEnd == 7,
                "payload case numbers");
  static_assert(VolumeHeader::kVolumeConfig == 3 && VolumeHeader::kVolumeConfigUri == 4,
                "config_ref case numbers");
  const char* const tags[] = {"0a", "12", "1a", "22", "2a", "32", "3a"};
  for (int i = 0; i < 7; ++i) {
    const std::string hex = std::string(tags[i]) + " 00";
    RayStreamMessage parsed;
    ASSERT_TRUE(parsed.ParseFromString(Unhex(hex)));
    EXPECT_EQ(parsed.payload_case(), i + 1) << hex;
    EXPECT_EQ(Hex(parsed.SerializeAsString()), hex);
  }
  RayStreamMessage ray_end;
  ray_end.mutable_ray_end();
  EXPECT_EQ(Hex(ray_end.SerializeAsString()), "2a 00");

  // Setting another piece replaces the one held.
  RayStreamMessage replaced;
  replaced.mutable_volume_header()->mutable_volume_uuid()->set_least_significant_bits(1);
  replaced.mutable_ray_header();
  EXPECT_FALSE(replaced.has_volume_header());
  EXPECT_EQ(Hex(replaced.SerializeAsString()), "1a 00");

  // On the wire the last piece wins; the same piece twice merges.
  RayStreamMessage last;
  ASSERT_TRUE(last.ParseFromString(Unhex("0a 04 0a 02 08 02 32 00")));
  EXPECT_EQ(last.payload_case(), RayStreamMessage::kSweepEnd);
  EXPECT_EQ(Hex(last.SerializeAsString()), "32 00");
  RayStreamMessage merged;
  ASSERT_TRUE(merged.ParseFromString(Unhex("22 02 10 07 22 04 1a 02 08 0a")));
  ASSERT_EQ(merged.payload_case(), RayStreamMessage::kParameterData);
  EXPECT_EQ(merged.parameter_data().ray_index(), 7);
  EXPECT_EQ(merged.parameter_data().data_type().type(), common::REFLECTIVITY_DBZ);

  // Pieces announced by nothing else parse like any other.
  RayStreamMessage orphan;
  ASSERT_TRUE(orphan.ParseFromString(Unhex("2a 06 0a 02 08 09 10 03")));
  EXPECT_EQ(orphan.ray_end().sweep_uuid().least_significant_bits(), -5);
  EXPECT_EQ(orphan.ray_end().ray_index(), 3);
}

TEST(StreamMessagesTest, IndicesAndFieldOrder) {
  kyt::pb::stream::RayHeader header;
  header.set_ray_index(0);
  EXPECT_EQ(header.ByteSizeLong(), 0u) << "ray_index 0 must not be written";
  header.set_ray_index(5);
  header.mutable_sweep_uuid();
  header.mutable_ray();
  EXPECT_EQ(Hex(header.SerializeAsString()), "0a 00 12 00 18 05");
  kyt::pb::stream::SweepHeader sweep;
  sweep.set_index_in_task(0);
  EXPECT_EQ(sweep.ByteSizeLong(), 0u) << "index_in_task 0 must not be written";

  // Each config_ref member lands between fields 2 and 5, whatever the set order.
  VolumeHeader by_uri;
  by_uri.mutable_start();
  by_uri.mutable_volume_config_uri()->set_endpoint("u");
  by_uri.mutable_instrument();
  by_uri.mutable_volume_uuid();
  EXPECT_EQ(Hex(by_uri.SerializeAsString()), "0a 00 12 00 22 03 12 01 75 2a 00");
  VolumeHeader inline_config;
  inline_config.mutable_start();
  inline_config.mutable_volume_config();
  inline_config.mutable_volume_uuid();
  EXPECT_EQ(Hex(inline_config.SerializeAsString()), "0a 00 1a 00 2a 00");
  EXPECT_EQ(inline_config.config_ref_case(), VolumeHeader::kVolumeConfig);

  // Reference then inline copy on the wire: the inline copy wins.
  VolumeHeader both;
  ASSERT_TRUE(both.ParseFromString(Unhex("22 03 12 01 75 1a 00")));
  EXPECT_EQ(both.config_ref_case(), VolumeHeader::kVolumeConfig);
  EXPECT_FALSE(both.has_volume_config_uri());
  EXPECT_EQ(Hex(both.SerializeAsString()), "1a 00");

  VolumeHeader neither;
  neither.mutable_start()->set_seconds(1);
  VolumeHeader neither_parsed;
  ASSERT_TRUE(neither_parsed.ParseFromString(neither.SerializeAsString()));
  EXPECT_EQ(neither_parsed.config_ref_case(), VolumeHeader::CONFIG_REF_NOT_SET);

  // Invalid UTF-8 in the endpoint fails the whole envelope.
  LogCapture log;
  RayStreamMessage envelope;
  EXPECT_FALSE(envelope.ParseFromString(Unhex("0a 05 22 03 12 01 ff")));
  EXPECT_NE(log.text().find("kyt.pb.stream.VolumeConfigUri.endpoint"), std::string::npos)
      << log.text();
}

common::UUID Id(int64_t low, int64_t high) {
  common::UUID id;
  id.set_least_significant_bits(low);
  id.set_most_significant_bits(high);
  return id;
}

std::pair<int64_t, int64_t> Key(const common::UUID& id) {
  return {id.least_significant_bits(), id.most_significant_bits()};
}

// A volume of two sweeps, three rays each and two moments per ray, sent as
// envelopes; the receiver rebuilds it as one Volume (a moment's buffer is the
// concatenation of its rays' samples) and must get what the sender describes.
TEST(StreamMessagesTest, CompleteVolumeRoundTrip) {
  const common::UUID volume_id = Id(1, 100);
  const struct {
    const char* name;
    common::DataType type;
  } moments[] = {{"DBZH", common::REFLECTIVITY_DBZ}, {"VRADH", common::VELOCITY_M_P_S}};
  const int kSweeps = 2, kRays = 3;

  std::vector<std::string> wire;
  common::Volume expected;
  auto send = [&wire](const RayStreamMessage& message) {
    wire.emplace_back();
    EXPECT_TRUE(message.SerializeToString(&wire.back()));
  };

  RayStreamMessage m;
  VolumeHeader* vh = m.mutable_volume_header();
  *vh->mutable_volume_uuid() = volume_id;
  vh->mutable_instrument()->set_name("XRAD");
  vh->mutable_instrument()->set_instrument_type(common::Instrument::INSTR_RADAR);
  common::VolumeConfig* config = vh->mutable_volume_config();
  *config->mutable_uuid() = Id(2, 100);
  for (int s = 0; s < kSweeps; ++s) {
    common::SweepConfig* sc = config->add_sweep_config();
    *sc->mutable_uuid() = Id(20 + s, 100);
    for (const auto& mo : moments) (*sc->mutable_data_moments())[mo.name];
  }
  vh->mutable_start()->set_seconds(1000);
  *expected.mutable_uuid() = vh->volume_uuid();
  *expected.mutable_instrument() = vh->instrument();
  *expected.mutable_volume_config() = *config;
  send(m);

  for (int s = 0; s < kSweeps; ++s) {
    const common::UUID sweep_id = Id(10 + s, 100);
    kyt::pb::stream::SweepHeader* sh = m.mutable_sweep_header();
    *sh->mutable_sweep_uuid() = sweep_id;
    *sh->mutable_volume_uuid() = volume_id;
    sh->mutable_description()->mutable_config()->set_sweep_config_index(s);  // 0 is written.
    sh->mutable_description()->set_fixed_angle_deg(0.5 + s);
    sh->set_index_in_task(s);
    sh->mutable_start()->set_seconds(1000 + 60 * s);
    common::Sweep* es = expected.add_sweep();
    *es->mutable_description() = sh->description();
    es->set_index_in_task(s);
    send(m);

    for (int i = 0; i < kRays; ++i) {
      kyt::pb::stream::RayHeader* rh = m.mutable_ray_header();
      common::Ray* ray = rh->mutable_ray();
      ray->set_index(i);
      ray->mutable_aq_start_time()->set_seconds(1000 + 60 * s + i);
      ray->mutable_az_range_deg()->set_start_deg(120.0 * i);
      ray->mutable_az_range_deg()->set_span_deg(120.0);
      ray->set_ray_config_index(0);
      ray->add_noise_dbm(-110.5);
      *rh->mutable_sweep_uuid() = sweep_id;
      rh->set_ray_index(i);
      *es->add_rays() = *ray;
      send(m);

      for (int k = 0; k < 2; ++k) {
        kyt::pb::stream::ParameterData* pd = m.mutable_parameter_data();
        *pd->mutable_sweep_uuid() = sweep_id;
        pd->set_ray_index(i);
        pd->mutable_data_type()->set_type(moments[k].type);
        pd->mutable_data_type()->set_short_name(moments[k].name);
        pd->mutable_data()->set_type(common::DataBuffer::UINT8);
        pd->mutable_data()->set_data(std::string{char(s), char(i), char(k), '\xff'});
        common::DataBuffer& eb = (*es->mutable_sweep_moments())[moments[k].name];
        eb.set_type(common::DataBuffer::UINT8);
        eb.mutable_data()->append(pd->data().data());
        send(m);
      }

      kyt::pb::stream::RayEnd* re = m.mutable_ray_end();
      *re->mutable_sweep_uuid() = sweep_id;
      re->set_ray_index(i);
      re->mutable_end()->set_seconds(1001 + 60 * s + i);
      send(m);
    }
    *m.mutable_sweep_end()->mutable_sweep_uuid() = sweep_id;
    m.mutable_sweep_end()->mutable_end()->set_seconds(1059 + 60 * s);
    send(m);
  }
  *m.mutable_volume_end()->mutable_volume_uuid() = volume_id;
  m.mutable_volume_end()->mutable_end()->set_seconds(1200);
  send(m);

  // Receiver: parse each envelope on its own and dispatch on the case.
  common::Volume received;
  std::map<std::pair<int64_t, int64_t>, common::Sweep*> sweeps;
  std::string cases;
  for (const std::string& bytes : wire) {
    RayStreamMessage in;
    ASSERT_TRUE(in.ParseFromString(bytes));
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(static_cast<uint8_t>(bytes[0]), (in.payload_case() << 3) | 2) << "leading tag";
    switch (in.payload_case()) {
      case RayStreamMessage::kVolumeHeader: {
        cases += 'V';
        const VolumeHeader& h = in.volume_header();
        ASSERT_EQ(h.config_ref_case(), VolumeHeader::kVolumeConfig);
        *received.mutable_uuid() = h.volume_uuid();
        *received.mutable_instrument() = h.instrument();
        *received.mutable_volume_config() = h.volume_config();
        EXPECT_EQ(h.start().seconds(), 1000);
        break;
      }
      case RayStreamMessage::kSweepHeader: {
        cases += 'S';
        const auto& h = in.sweep_header();
        EXPECT_EQ(Key(h.volume_uuid()), Key(received.uuid())) << "sweep of another volume";
        common::Sweep* sweep = received.add_sweep();
        *sweep->mutable_description() = h.description();
        sweep->set_index_in_task(h.index_in_task());
        sweeps[Key(h.sweep_uuid())] = sweep;
        break;
      }
      case RayStreamMessage::kRayHeader: {
        cases += 'r';
        const auto& h = in.ray_header();
        ASSERT_EQ(sweeps.count(Key(h.sweep_uuid())), 1u);
        common::Sweep* sweep = sweeps[Key(h.sweep_uuid())];
        EXPECT_EQ(h.ray_index(), sweep->rays_size());
        *sweep->add_rays() = h.ray();
        break;
      }
      case RayStreamMessage::kParameterData: {
        cases += 'p';
        const auto& d = in.parameter_data();
        ASSERT_EQ(sweeps.count(Key(d.sweep_uuid())), 1u);
        common::Sweep* sweep = sweeps[Key(d.sweep_uuid())];
        EXPECT_EQ(d.ray_index(), sweep->rays_size() - 1);
        common::DataBuffer& buffer = (*sweep->mutable_sweep_moments())[d.data_type().short_name()];
        buffer.set_type(d.data().type());
        buffer.mutable_data()->append(d.data().data());
        break;
      }
      case RayStreamMessage::kRayEnd:
        cases += 'e';
        ASSERT_EQ(sweeps.count(Key(in.ray_end().sweep_uuid())), 1u);
        EXPECT_EQ(in.ray_end().ray_index(),
                  sweeps[Key(in.ray_end().sweep_uuid())]->rays_size() - 1);
        break;
      case RayStreamMessage::kSweepEnd:
        cases += 'E';
        EXPECT_EQ(sweeps.count(Key(in.sweep_end().sweep_uuid())), 1u);
        break;
      case RayStreamMessage::kVolumeEnd:
        cases += 'Z';
        EXPECT_EQ(Key(in.volume_end().volume_uuid()), Key(received.uuid()));
        EXPECT_EQ(in.volume_end().end().seconds(), 1200);
        break;
      case RayStreamMessage::PAYLOAD_NOT_SET:
        ADD_FAILURE() << "envelope without payload: " << Hex(bytes);
        break;
    }
  }
  EXPECT_EQ(cases, "VSrpperpperppeESrpperpperppeEZ");
  EXPECT_EQ(SerializeDeterministic(received), SerializeDeterministic(expected))
      << "received: " << received.ShortDebugString()
      << "\nexpected: " << expected.ShortDebugString();
  EXPECT_EQ(received.sweep(1).sweep_moments().at("VRADH").data(),
            std::string("\x01\x00\x01\xff\x01\x01\x01\xff\x01\x02\x01\xff", 12));
}

}  // namespace
