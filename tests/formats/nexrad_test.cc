// The NEXRAD Level II reader through the library API: what damaged data
// leaves in the volume, memory bounded against declared and compressed
// sizes, and the chunk reader's sequence.
#include "common_dto/formats/nexrad.h"

#include <bzlib.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using common_dto::ErrorCode;
using common_dto::formats::NexradChunkReader;
using common_dto::formats::Notes;
using common_dto::formats::ReadNexradBytes;
using kyt::pb::common::Volume;

void Put16(std::string* s, unsigned v) {
  s->push_back(static_cast<char>(v >> 8));
  s->push_back(static_cast<char>(v));
}
void Put32(std::string* s, std::uint32_t v) {
  Put16(s, v >> 16);
  Put16(s, v & 0xffff);
}
void PutF(std::string* s, float f) {
  std::uint32_t bits;
  std::memcpy(&bits, &f, 4);
  Put32(s, bits);
}

std::string VolumeHeader() {
  return std::string("AR2V0006.001") + std::string("\0\0\x4d\x75\0\0\0\0KTLX", 12);
}

// One message 31 radial of cut `cut` with one 8-bit REF moment of `gates`
// gates (codes 2, 3, ...), framed as in an archive.
std::string Radial(int cut, int status, float azimuth, int gates) {
  std::string body("KTLX", 4);
  Put32(&body, 1000);  // ms of the day
  Put16(&body, 19997);
  Put16(&body, 0);
  PutF(&body, azimuth);
  body += std::string("\0\0", 2);
  Put16(&body, 0);
  body += static_cast<char>(1);  // 0.5 degree spacing
  body += static_cast<char>(status);
  body += static_cast<char>(cut);
  body += static_cast<char>(1);
  PutF(&body, 0.5f);
  body += std::string("\0\0", 2);
  Put16(&body, 1);  // one data block
  Put32(&body, 36);
  body += "DREF";
  Put32(&body, 0);
  Put16(&body, static_cast<unsigned>(gates));
  Put16(&body, 2125);
  Put16(&body, 250);
  Put16(&body, 0);
  Put16(&body, 0);
  body += '\0';
  body += static_cast<char>(8);
  PutF(&body, 2.0f);
  PutF(&body, 66.0f);
  for (int g = 0; g < gates; ++g) body += static_cast<char>(2 + g % 250);
  if (body.size() % 2) body += '\0';
  std::string frame(12, '\0');
  Put16(&frame, static_cast<unsigned>((16 + body.size()) / 2));
  frame += '\0';
  frame += static_cast<char>(31);
  frame += std::string(12, '\0');
  return frame + body;
}

std::string Cut(int cut, int rays, int gates) {
  std::string out;
  for (int r = 0; r < rays; ++r)
    out += Radial(cut, r + 1 == rays ? 2 : 1, 0.25f + 0.5f * static_cast<float>(r), gates);
  return out;
}

std::string Record(const std::string& plain, bool last) {
  std::vector<char> out(plain.size() + plain.size() / 50 + 700);
  unsigned size = static_cast<unsigned>(out.size());
  EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(plain.data()),
                                     static_cast<unsigned>(plain.size()), 9, 0, 0),
            BZ_OK);
  std::string record;
  Put32(&record, last ? static_cast<std::uint32_t>(-static_cast<std::int32_t>(size)) : size);
  return record + std::string(out.data(), size);
}

TEST(NexradTest, TruncatedFileKeepsTheSweepsAndRaysBefore) {
  const std::string file = VolumeHeader() + Cut(1, 5, 30) + Cut(2, 4, 30);
  const std::size_t cut = file.size() - 40;  // inside the second cut's last radial
  Volume volume;
  Notes notes;
  const auto s = ReadNexradBytes(file.substr(0, cut), {}, &volume, &notes);
  EXPECT_EQ(s.code(), ErrorCode::kTruncated) << s.message();
  ASSERT_EQ(volume.sweep_size(), 2);
  EXPECT_EQ(volume.sweep(0).rays_size(), 5);
  EXPECT_EQ(volume.sweep(1).rays_size(), 3);
  EXPECT_EQ(volume.sweep(1).sweep_moments().at("DBZH").data().size(), 3u * 30);
}

TEST(NexradTest, CompressedRecordBeyondTheInputsBoundIsRefused) {
  // 32 MiB of zeros compress to a few KiB: decompression stops at the bound
  // the input's size sets, long before.
  const std::string file = VolumeHeader() + Record(std::string(std::size_t{32} << 20, '\0'), true);
  ASSERT_LT(file.size(), 16000u);  // 1100 times that and 1 MiB is less than 32 MiB
  Volume volume;
  const auto s = ReadNexradBytes(file, {}, &volume, nullptr);
  EXPECT_EQ(s.code(), ErrorCode::kTooLarge) << s.message();
}

TEST(NexradTest, GatesDeclaredPastTheMessageAreMalformed) {
  std::string radial = Radial(1, 2, 0.25f, 10);
  radial[12 + 16 + 36 + 8] = '\x7f';  // 32512 gates declared
  Volume volume;
  const auto s = ReadNexradBytes(VolumeHeader() + radial, {}, &volume, nullptr);
  EXPECT_EQ(s.code(), ErrorCode::kMalformed);
  EXPECT_NE(s.message().find("gates run past the message"), std::string::npos) << s.message();
}

TEST(NexradTest, ChunksGiveEachSweepOnceItsCutEnds) {
  NexradChunkReader reader;
  Volume part;
  ASSERT_TRUE(reader.Feed(VolumeHeader() + Record(std::string(2432, '\0'), false), false).ok());
  EXPECT_EQ(reader.TakeSweeps(&part, nullptr), 0);
  EXPECT_EQ(reader.volume().instrument().name(), "KTLX");
  // The first cut without its last radial, then the rest of it with the
  // start of the second.
  const std::string first = Cut(1, 6, 8);
  const std::size_t half = 3 * Radial(1, 1, 0, 8).size();
  ASSERT_TRUE(reader.Feed(Record(first.substr(0, half), false), false).ok());
  EXPECT_EQ(reader.TakeSweeps(&part, nullptr), 0);
  ASSERT_TRUE(reader.Feed(Record(first.substr(half) + Radial(2, 1, 0.25f, 8), false), false).ok());
  ASSERT_EQ(reader.TakeSweeps(&part, nullptr), 1);
  EXPECT_EQ(part.sweep(0).rays_size(), 6);
  EXPECT_TRUE(part.sweep(0).description().config().has_sweep_config());
  EXPECT_EQ(part.uuid().most_significant_bits(), reader.volume().uuid().most_significant_bits());
  // The end chunk closes the second cut, whose last radial never came.
  ASSERT_TRUE(reader.Feed(Record(Radial(2, 1, 0.75f, 8), true), true).ok());
  ASSERT_EQ(reader.TakeSweeps(&part, nullptr), 1);
  EXPECT_EQ(part.sweep(0).rays_size(), 2);
  EXPECT_EQ(reader.sweeps_taken(), 2);
  EXPECT_TRUE(reader.closed());
  EXPECT_EQ(reader.Feed(Record(Radial(3, 1, 0, 8), true), true).code(), ErrorCode::kProtocol);
}

TEST(NexradTest, StartChunkWithoutVolumeHeaderIsMalformed) {
  NexradChunkReader reader;
  const auto s = reader.Feed(Record(Cut(1, 2, 4), false), false);
  EXPECT_EQ(s.code(), ErrorCode::kMalformed);
}

}  // namespace
