// The Rainbow 5 reader through the library: what a failed read keeps, the
// format's name, detection and refusal to write.
#include "common_dto/formats/rainbow.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "common_dto/formats/formats.h"

namespace cf = common_dto::formats;
using common_dto::ErrorCode;

namespace {

// A "qt" BLOB: big-endian size, zlib stream.
std::string Blob(int id, const std::string& raw) {
  uLongf n = compressBound(static_cast<uLong>(raw.size()));
  std::string z(n, '\0');
  compress(reinterpret_cast<Bytef*>(z.data()), &n, reinterpret_cast<const Bytef*>(raw.data()),
           static_cast<uLong>(raw.size()));
  z.resize(n);
  const auto size = static_cast<std::uint32_t>(raw.size());
  const std::string head{static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                         static_cast<char>(size >> 8), static_cast<char>(size)};
  return "<BLOB blobid=\"" + std::to_string(id) + "\" size=\"" + std::to_string(z.size() + 4) +
         "\" compression=\"qt\">\n" + head + z + "\n</BLOB>\n";
}

std::string Slice(int n, double elevation) {
  const std::string a = std::to_string(2 * n), d = std::to_string(2 * n + 1);
  return "<slice refid=\"" + std::to_string(n) + "\"><posangle>" + std::to_string(elevation) +
         "</posangle><slicedata date=\"2024-06-01\" time=\"12:00:0" + std::to_string(n) +
         "\">"
         "<rayinfo refid=\"startangle\" blobid=\"" +
         a +
         "\" rays=\"4\" depth=\"16\"/>"
         "<rawdata blobid=\"" +
         d +
         "\" rays=\"4\" type=\"dBZ\" bins=\"3\" min=\"-31.5\" max=\"95.5\" depth=\"8\"/>"
         "</slicedata></slice>";
}

// Two slices of 4 rays and 3 gates, codes 0..11 and 12..23.
std::string TwoSlices() {
  std::string out =
      "<volume version=\"5.49.8\" type=\"vol\"><scan date=\"2024-06-01\" time=\"12:00:00\">"
      "<pargroup><rangestep>0.5</rangestep><antspeed>12</antspeed></pargroup>" +
      Slice(0, 0.5) + Slice(1, 1.5) +
      "</scan><sensorinfo><lat>47.5</lat><lon>8.25</lon><alt>540</alt></sensorinfo></volume>\n";
  const std::string angles("\x00\x00\x40\x00\x80\x00\xc0\x00", 8);
  for (int n = 0; n < 2; ++n) {
    std::string codes;
    for (int c = 0; c < 12; ++c) codes.push_back(static_cast<char>(12 * n + c));
    out += Blob(2 * n, angles) + Blob(2 * n + 1, codes);
  }
  return out;
}

TEST(Rainbow, ReadsSlicesWithTheirCodesAndScale) {
  kyt::pb::common::Volume v;
  cf::Notes notes;
  ASSERT_TRUE(cf::ReadRainbowBytes(TwoSlices(), {}, &v, &notes).ok());
  ASSERT_EQ(v.sweep_size(), 2);
  const auto& dbz = v.sweep(1).sweep_moments().at("DBZH");
  EXPECT_EQ(dbz.data(), std::string("\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17"));
  EXPECT_EQ(v.sweep(1).rays(1).az_range_deg().start_deg(), 90.0);
  const auto& scale =
      v.volume_config().sweep_config(1).data_moments().at("DBZH").scale().linear_scale();
  EXPECT_DOUBLE_EQ(scale.step(), 0.5);
  EXPECT_DOUBLE_EQ(scale.offset(), -32.0);
  EXPECT_EQ(v.volume_config().sweep_config(1).range_scale().range_m(0).step(), 500.0);
}

TEST(Rainbow, AFailedSliceKeepsTheSweepsBeforeIt) {
  const std::string whole = TwoSlices();
  const std::string cut = whole.substr(0, whole.rfind("<BLOB") + 60);  // inside the last BLOB
  kyt::pb::common::Volume v;
  const common_dto::Status s = cf::ReadRainbowBytes(cut, {}, &v, nullptr);
  EXPECT_EQ(s.code(), ErrorCode::kTruncated) << s.message();
  EXPECT_EQ(s.location().field, "slice[1]/slicedata/rawdata[0]");
  ASSERT_EQ(v.sweep_size(), 1);
  EXPECT_EQ(v.volume_config().sweep_config_size(), 1);
  EXPECT_EQ(v.sweep(0).sweep_moments().at("DBZH").data().size(), 12u);
}

TEST(Rainbow, IsNamedDetectedAndNotWritten) {
  EXPECT_EQ(cf::ParseFormat("rainbow"), cf::Format::kRainbow);
  EXPECT_STREQ(cf::FormatName(cf::Format::kRainbow), "rainbow");
  char dir[] = "/tmp/rainbow_test_XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/in.vol";
  std::ofstream(path, std::ios::binary) << TwoSlices();
  EXPECT_EQ(cf::DetectFormat(path), cf::Format::kRainbow);
  kyt::pb::common::Volume v;
  ASSERT_TRUE(cf::ReadFile(path, cf::Format::kRainbow, {}, &v, nullptr).ok());
  const std::string out = std::string(dir) + "/out.vol";
  EXPECT_EQ(cf::WriteFile(out, cf::Format::kRainbow, {}, v, nullptr).code(),
            ErrorCode::kUnsupported);
  EXPECT_NE(::access(out.c_str(), F_OK), 0);
  std::remove(path.c_str());
  ::rmdir(dir);
}

}  // namespace
