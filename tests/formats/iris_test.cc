// The IRIS reader through the library: what a damaged file leaves in the
// volume, memory bounded by the file, detection and refusal to write.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "common_dto/formats/formats.h"
#include "common_dto/formats/iris.h"

namespace common_dto {
namespace formats {
namespace {

using kyt::pb::common::Volume;

constexpr std::size_t kRecord = 6144;
constexpr std::size_t kTaskConfig = kRecord + 12 + 480;

void Put16(std::string* b, std::size_t at, std::uint16_t v) {
  (*b)[at] = static_cast<char>(v & 0xff);
  (*b)[at + 1] = static_cast<char>(v >> 8);
}
void Put32(std::string* b, std::size_t at, std::uint32_t v) {
  Put16(b, at, static_cast<std::uint16_t>(v & 0xffff));
  Put16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}

// Product and ingest headers of a task recording DB_DBZ2 (type 9) in
// 250 m bins from 300 m on.
std::string Headers() {
  std::string b(2 * kRecord, '\0');
  Put16(&b, 0, 27);
  Put16(&b, 12, 26);
  Put16(&b, 24, 15);
  Put16(&b, kRecord, 23);
  Put32(&b, kTaskConfig + 132 + 4, 1u << 9);
  Put32(&b, kTaskConfig + 772, 30000);
  Put32(&b, kTaskConfig + 772 + 16, 25000);
  return b;
}

// A compressed ray of 2-byte codes: its header, then the codes as one run.
std::vector<std::uint16_t> Ray(double azimuth, const std::vector<std::uint16_t>& codes,
                               int declared_bins = -1) {
  std::vector<std::uint16_t> w = {static_cast<std::uint16_t>(0x8000 | (6 + codes.size())),
                                  static_cast<std::uint16_t>(azimuth * 65536 / 360), 91, 0, 91,
                                  static_cast<std::uint16_t>(declared_bins < 0 ? codes.size() : declared_bins),
                                  3};
  w.insert(w.end(), codes.begin(), codes.end());
  w.push_back(1);
  return w;
}

// The records of sweep `number`: its ingest_data_header, then `words`.
std::string Sweep(int number, const std::vector<std::uint16_t>& words, int declared) {
  std::string data(76, '\0');
  Put16(&data, 0, 24);
  Put32(&data, 12, 43200);  // 12:00:00 UTC, 2024-05-17
  Put16(&data, 16, 0x800);
  Put16(&data, 18, 2024);
  Put16(&data, 20, 5);
  Put16(&data, 22, 17);
  Put16(&data, 24, static_cast<std::uint16_t>(number));
  Put16(&data, 32, static_cast<std::uint16_t>(declared));
  Put16(&data, 36, 16);
  Put16(&data, 38, 9);
  for (std::uint16_t w : words) data += std::string{static_cast<char>(w & 0xff), static_cast<char>(w >> 8)};
  std::string out;
  for (std::size_t at = 0; at < data.size(); at += kRecord - 12) {
    std::string record(kRecord, '\0');
    Put16(&record, 2, static_cast<std::uint16_t>(number));
    record.replace(12, std::min(kRecord - 12, data.size() - at), data, at, kRecord - 12);
    out += record;
  }
  return out;
}

std::vector<std::uint16_t> Rays(int n) {
  std::vector<std::uint16_t> words;
  for (int r = 0; r < n; ++r) {
    const std::vector<std::uint16_t> ray = Ray(r * 90.0, {32768, 33768, 0, 65534});
    words.insert(words.end(), ray.begin(), ray.end());
  }
  return words;
}

TEST(IrisTest, CutInsideASweepKeepsWhatCameBefore) {
  std::string file = Headers() + Sweep(1, Rays(4), 4) + Sweep(2, Rays(4), 4);
  file.resize(3 * kRecord + 12 + 76 + 2 * 2 * 12 + 6);  // inside the third ray of sweep 2
  Volume v;
  Notes notes;
  const Status s = ReadIrisBytes(file, {}, &v, &notes);
  EXPECT_EQ(s.code(), ErrorCode::kMalformed);
  EXPECT_EQ(s.location().field, "sweep 2");
  ASSERT_EQ(v.sweep_size(), 2);
  EXPECT_EQ(v.sweep(0).rays_size(), 4);
  EXPECT_EQ(v.sweep(1).rays_size(), 2);
  const std::string& dbz = v.sweep(0).sweep_moments().at("DBZH").data();
  ASSERT_EQ(dbz.size(), 4u * 4 * 2);
  EXPECT_EQ(static_cast<unsigned char>(dbz[2]) | static_cast<unsigned char>(dbz[3]) << 8, 33768);
  EXPECT_DOUBLE_EQ(v.sweep(0).rays(1).az_range_deg().start_deg(), 90.0);
  EXPECT_EQ(v.volume_config().sweep_config(0).range_scale().range_m(0).start(), 300.0);
}

TEST(IrisTest, ZeroRunsExpandNoFurtherThanTheFileAllows) {
  // Every ray a header and 0x7fff zero words, over and over.
  const std::vector<std::uint16_t> ray = {0x8006, 0, 0, 0, 0, 0x7fff, 0, 0x7fff, 0x7fff, 1};
  std::vector<std::uint16_t> words;
  for (int r = 0; r < 1000; ++r) words.insert(words.end(), ray.begin(), ray.end());
  Volume v;
  const Status s = ReadIrisBytes(Headers() + Sweep(1, words, 1000), {}, &v, nullptr);
  EXPECT_EQ(s.code(), ErrorCode::kTooLarge) << s.message();
}

TEST(IrisTest, RayHeaderClaimingMoreBinsThanItsData) {
  std::vector<std::uint16_t> words = Ray(0, {40000, 41000}, 300);
  Volume v;
  Notes notes;
  ASSERT_TRUE(ReadIrisBytes(Headers() + Sweep(1, words, 1), {}, &v, &notes).ok());
  EXPECT_EQ(v.sweep(0).sweep_moments().at("DBZH").data().size(), 4u);
  bool noted = false;
  for (const Note& n : notes) noted |= n.text.find("fewer bins than their header says") != std::string::npos;
  EXPECT_TRUE(noted);
}

TEST(IrisTest, DetectedAndNeverWritten) {
  const std::string path = ::testing::TempDir() + "/iris_test.RAW";
  std::ofstream(path, std::ios::binary) << Headers() + Sweep(1, Rays(2), 2);
  EXPECT_EQ(DetectFormat(path), Format::kIris);
  Volume v;
  ASSERT_TRUE(ReadFile(path, Format::kIris, {}, &v, nullptr).ok());
  EXPECT_EQ(WriteFile(path + ".out", Format::kIris, {}, v, nullptr).code(), ErrorCode::kUnsupported);
  EXPECT_EQ(ParseFormat("iris"), Format::kIris);
}

TEST(IrisTest, NotAnIrisFile) {
  Volume v;
  EXPECT_EQ(ReadIrisBytes(std::string(100, 'x'), {}, &v, nullptr).code(), ErrorCode::kMalformed);
  EXPECT_EQ(ReadIrisBytes(Headers().substr(0, 9000), {}, &v, nullptr).code(), ErrorCode::kMalformed);
  EXPECT_EQ(ReadIrisBytes(Headers(), {}, &v, nullptr).code(), ErrorCode::kMalformed);  // no sweep
}

}  // namespace
}  // namespace formats
}  // namespace common_dto
