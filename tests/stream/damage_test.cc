// Damaged and hostile input at the library level, one case per class of
// fault: the reader's place after a damaged frame, the diagnosis of a
// frame, samples held once (or not at all when validating), and streams of
// newer producers. (LZ4 data itself: tests/model/buffers_test.cc.)
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common_dto/model/buffers.h"
#include "common_dto/stream/assembler.h"
#include "common_dto/stream/framing.h"
#include "instrument_data.pb.h"
#include "ray_stream_message.pb.h"

namespace {

using common_dto::ErrorCode;
using common_dto::Status;
using common_dto::stream::Assembler;
using common_dto::stream::AssemblerOptions;
using kyt::pb::common::DataBuffer;
using kyt::pb::stream::RayStreamMessage;

TEST(Damage, ReaderStaysAtTheLastMessageAndNamesTheField) {
  // A good RayEnd, then a malformed length prefix.
  const std::string bytes = std::string("\x02\x2a\x00", 3) + std::string(10, '\xff');
  auto reader = common_dto::stream::DelimitedReader::FromBytes(bytes);
  RayStreamMessage message;
  ASSERT_TRUE(reader.Read(&message).has_message());
  const auto result = reader.Read(&message);
  EXPECT_EQ(result.status().code(), ErrorCode::kMalformed);
  EXPECT_EQ(result.status().location().byte_offset, 3u);
  EXPECT_EQ(reader.byte_offset(), 3u) << "not past the bytes of the bad prefix";
  EXPECT_EQ(reader.messages_read(), 1u);

  // InstrumentData { volume { instrument { name: "a\377b" } } }
  const std::string bad("\012\007\022\005\032\003a\377b", 9);
  std::string path;
  const Status problem = common_dto::stream::DiagnoseWire(
      kyt::pb::common::InstrumentData::descriptor(), bad, &path);
  EXPECT_EQ(problem.code(), ErrorCode::kInvalidUtf8);
  EXPECT_EQ(problem.message(), "invalid UTF-8 in field kyt.pb.common.Instrument.name");
  EXPECT_EQ(problem.location().field, "kyt.pb.common.Instrument.name");
  EXPECT_EQ(problem.location().byte_offset, 6u);
  EXPECT_EQ(path, "volume.instrument.name");
  EXPECT_TRUE(common_dto::stream::DiagnoseWire(kyt::pb::common::InstrumentData::descriptor(),
                                               std::string("\012\000", 2))
                  .ok());
  // A 10-byte varint whose last byte carries bits beyond 64: the runtime
  // drops them, and so does the diagnosis.
  const std::string wide = "\x08" + std::string(9, '\xff') + "\x7f";
  kyt::pb::common::UUID uuid;
  ASSERT_TRUE(uuid.ParseFromString(wide));
  EXPECT_TRUE(common_dto::stream::DiagnoseWire(uuid.GetDescriptor(), wide).ok());
}

// A stream of one volume with one sweep of `rays` rays, each with `gates`
// LZ4-compressed samples of moment DBZH (ray r holding bytes r).
std::vector<RayStreamMessage> Stream(int rays, std::size_t gates) {
  std::vector<RayStreamMessage> out(2);
  out[0].mutable_volume_header()->mutable_volume_uuid()->set_least_significant_bits(1);
  auto* sweep = out[1].mutable_sweep_header();
  sweep->mutable_volume_uuid()->set_least_significant_bits(1);
  sweep->mutable_sweep_uuid()->set_least_significant_bits(2);
  for (int r = 0; r < rays; ++r) {
    RayStreamMessage header, data, end;
    header.mutable_ray_header()->mutable_sweep_uuid()->set_least_significant_bits(2);
    header.mutable_ray_header()->set_ray_index(r);
    header.mutable_ray_header()->mutable_ray()->set_index(r);
    auto* p = data.mutable_parameter_data();
    p->mutable_sweep_uuid()->set_least_significant_bits(2);
    p->set_ray_index(r);
    p->mutable_data_type()->set_short_name("DBZH");
    p->mutable_data()->set_type(DataBuffer::UINT8);
    EXPECT_TRUE(common_dto::SetSamples(std::string(gates, static_cast<char>(r)),
                                       common_dto::Compression::kLz4Block, p->mutable_data())
                    .ok());
    end.mutable_ray_end()->mutable_sweep_uuid()->set_least_significant_bits(2);
    end.mutable_ray_end()->set_ray_index(r);
    out.insert(out.end(), {header, data, end});
  }
  out.emplace_back().mutable_sweep_end()->mutable_sweep_uuid()->set_least_significant_bits(2);
  out.emplace_back().mutable_volume_end()->mutable_volume_uuid()->set_least_significant_bits(1);
  return out;
}

TEST(Damage, SamplesAreHeldOnceOrNotAtAll) {
  // No configuration: no room is reserved, so rays after the first are
  // held apart and copied into the sweep's buffer once.
  const std::size_t gates = 5000;
  for (const bool keep : {true, false}) {
    AssemblerOptions options;
    options.keep_samples = keep;
    Assembler assembler(options);
    std::uint64_t most = 0;
    for (RayStreamMessage& m : Stream(4, gates)) {
      ASSERT_TRUE(assembler.Add(std::move(m)).ok());
      most = std::max(most, assembler.buffered_bytes());
    }
    auto volumes = assembler.TakeVolumes();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_TRUE(volumes[0].complete);
    const DataBuffer& buffer = volumes[0].volume.sweep(0).sweep_moments().at("DBZH");
    EXPECT_EQ(buffer.uncompressed_size(), static_cast<std::int32_t>(4 * gates));
    if (keep) {
      std::string expected;
      for (int r = 0; r < 4; ++r) expected.append(gates, static_cast<char>(r));
      EXPECT_EQ(buffer.data(), expected);
      EXPECT_GE(most, 4 * gates);
    } else {
      EXPECT_TRUE(buffer.data().empty());
      EXPECT_LT(most, gates) << "no samples are counted when validating";
    }
  }
  // Validation reports what assembly would: a ray without data.
  AssemblerOptions options;
  options.keep_samples = false;
  Assembler assembler(options);
  Status last;
  for (RayStreamMessage& m : Stream(3, 10)) {
    if (m.has_parameter_data() && m.parameter_data().ray_index() == 1) continue;
    last = assembler.Add(std::move(m));
    if (m.has_sweep_end()) break;
  }
  EXPECT_EQ(last.code(), ErrorCode::kIncomplete);
  EXPECT_EQ(last.message(),
            "sweep 00000000-0000-0000-0000-000000000002 moment 'DBZH': ray 1 has no data for it "
            "and no fill value is set; the moment is left out");
}

TEST(Damage, StreamsOfNewerProducers) {
  std::vector<RayStreamMessage> stream = Stream(1, 8);
  auto unknown = [](google::protobuf::Message* m) {
    m->GetReflection()->MutableUnknownFields(m)->AddVarint(99, 1);
  };
  unknown(&stream[0]);                                         // The envelope: no place.
  unknown(stream[2].mutable_ray_header()->mutable_ray());      // Kept in the ray.
  unknown(stream[3].mutable_parameter_data()->mutable_data());  // Kept in the buffer.
  Assembler assembler;
  RayStreamMessage newer_kind;
  unknown(&newer_kind);
  EXPECT_EQ(assembler.Add(newer_kind).code(), ErrorCode::kUnsupported);
  for (RayStreamMessage& m : stream) ASSERT_TRUE(assembler.Add(std::move(m)).ok());
  EXPECT_EQ(assembler.Add(RayStreamMessage()).code(), ErrorCode::kProtocol) << "empty stays an error";
  auto volumes = assembler.TakeVolumes();
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_EQ(volumes[0].unknown_left_out, std::vector<std::string>{"1 RayStreamMessage"});
  const auto& sweep = volumes[0].volume.sweep(0);
  const auto& ray = sweep.rays(0);
  EXPECT_EQ(ray.GetReflection()->GetUnknownFields(ray).field_count(), 1);
  const DataBuffer& buffer = sweep.sweep_moments().at("DBZH");
  EXPECT_EQ(buffer.GetReflection()->GetUnknownFields(buffer).field_count(), 1);
}

}  // namespace
