// The C++ side of the Python interop tests: writes a known volume and its
// ray stream, and reads back what Python wrote, through the C++ libraries.
//
//   volume OUT                write the test volume as an InstrumentData
//   stream OUT [none|frame|block]
//                             split the test volume and write the stream
//   assemble IN OUT           reassemble the stream IN, write the first
//                             volume as an InstrumentData; prints the
//                             assembler's missing entries and warnings
//   echo IN OUT               read the RayStreamMessages of IN and write
//                             them again
//   reencode IN OUT           parse an InstrumentData and write it again
//
// Everything is written with deterministic serialization. Errors go to
// stderr, exit status 1.
//
// The test volume (tests/python/conftest.py builds the same one in Python):
// two sweeps at fixed angles 0.5 and 1.5 degrees of 36 rays (10 degrees
// each) by 20 gates; ray r of sweep s starts at 1767225600 s + 60 s * s +
// 100 ms * r and lasts 100 ms. Moment values of ray r, gate g, sweep s, with
// k = r * 20 + g + s * 1000:
//   DBZH   UINT8   little  k % 256
//   VRADH  UINT16  big     (k * 7) % 65536
//   RHOHV  FLOAT   little  k / 1024
//   PHIDP  DOUBLE  big     k * 0.25 - 100
//   CLASS  INT32   big     k % 5 - 2
//   COUNT  INT64   little  k * 1000000007
//   FLAG   BOOLEAN         k % 3 == 0
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "common_dto/stream/assembler.h"
#include "common_dto/stream/framing.h"
#include "common_dto/stream/splitter.h"
#include "instrument_data.pb.h"
#include "ray_stream_message.pb.h"
#include "volume.pb.h"

namespace {

using kyt::pb::common::DataBuffer;
using kyt::pb::common::DataDescriptor;
using kyt::pb::common::InstrumentData;
using kyt::pb::common::Volume;
using kyt::pb::stream::RayStreamMessage;
namespace cs = common_dto::stream;

constexpr int kRays = 36;
constexpr int kGates = 20;
constexpr std::int64_t kStart = 1767225600;

// Appends `value` as `width` bytes in the given byte order.
void Put(std::uint64_t value, int width, bool big, std::string* out) {
  for (int i = 0; i < width; ++i) {
    const int shift = 8 * (big ? width - 1 - i : i);
    out->push_back(static_cast<char>((value >> shift) & 0xff));
  }
}

template <typename T>
std::uint64_t Bits(T value) {
  static_assert(sizeof(T) <= 8, "");
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof value);
  return bits;
}

void AddDescriptor(kyt::pb::common::SweepConfig* config, const std::string& name,
                   kyt::pb::common::DataType type, kyt::pb::common::DataUnit unit) {
  DataDescriptor& d = (*config->mutable_data_moments())[name];
  d.set_type(type);
  d.set_short_name(name);
  d.set_data_unit(unit);
}

// Sweep `s` of the test volume: every storage type in both byte orders.
void AddTestSweep(int s, kyt::pb::common::Sweep* sweep) {
  sweep->mutable_description()->mutable_config()->set_sweep_config_index(0);
  sweep->mutable_description()->set_fixed_angle_deg(0.5 + s);
  sweep->set_index_in_task(s);
  const std::int64_t t0 = kStart + 60 * s;
  sweep->mutable_input_timespan()->mutable_start()->set_seconds(t0);
  sweep->mutable_input_timespan()->mutable_end()->set_seconds(t0 + 4);
  std::string dbzh, vradh, rhohv, phidp, cls, count, flag;
  for (int r = 0; r < kRays; ++r) {
    auto* ray = sweep->add_rays();
    const std::int64_t ns = std::int64_t{100'000'000} * r;
    ray->mutable_aq_start_time()->set_seconds(t0 + ns / 1'000'000'000);
    ray->mutable_aq_start_time()->set_nanos(static_cast<int>(ns % 1'000'000'000));
    const std::int64_t end = ns + 100'000'000;
    ray->mutable_aq_end_time()->set_seconds(t0 + end / 1'000'000'000);
    ray->mutable_aq_end_time()->set_nanos(static_cast<int>(end % 1'000'000'000));
    ray->set_index(r);
    ray->mutable_az_range_deg()->set_start_deg(10.0 * r);
    ray->mutable_az_range_deg()->set_span_deg(10);
    ray->mutable_el_range_deg()->set_start_deg(0.5 + s);
    ray->set_ray_config_index(0);
    ray->add_noise_dbm(-110 - 0.5 * r);
    for (int g = 0; g < kGates; ++g) {
      const std::int64_t k = r * kGates + g + s * 1000;
      Put(static_cast<std::uint64_t>(k % 256), 1, false, &dbzh);
      Put(static_cast<std::uint64_t>((k * 7) % 65536), 2, true, &vradh);
      Put(Bits(static_cast<float>(k) / 1024.0f), 4, false, &rhohv);
      Put(Bits(static_cast<double>(k) * 0.25 - 100), 8, true, &phidp);
      Put(Bits(static_cast<std::int32_t>(k % 5 - 2)), 4, true, &cls);
      Put(Bits(k * 1000000007LL), 8, false, &count);
      flag.push_back(k % 3 == 0 ? 1 : 0);
    }
  }
  auto set = [sweep](const std::string& name, DataBuffer::StorageType type, bool big,
                     std::string data) {
    DataBuffer& b = (*sweep->mutable_sweep_moments())[name];
    b.set_endian(big ? DataBuffer::BIG : DataBuffer::LITTLE);
    b.set_type(type);
    b.set_compression(DataBuffer::NONE);
    b.set_uncompressed_size(static_cast<std::int32_t>(data.size()));
    b.set_data(std::move(data));
  };
  set("DBZH", DataBuffer::UINT8, false, dbzh);
  set("VRADH", DataBuffer::UINT16, true, vradh);
  set("RHOHV", DataBuffer::FLOAT, false, rhohv);
  set("PHIDP", DataBuffer::DOUBLE, true, phidp);
  set("CLASS", DataBuffer::INT32, true, cls);
  set("COUNT", DataBuffer::INT64, false, count);
  set("FLAG", DataBuffer::BOOLEAN, false, flag);
}

Volume TestVolume() {
  Volume volume;
  volume.mutable_uuid()->set_most_significant_bits(0x0123456789abcdefLL);
  volume.mutable_uuid()->set_least_significant_bits(-0x1122334455667788LL);
  auto* instrument = volume.mutable_instrument();
  instrument->set_name("Interop radar");
  instrument->set_instrument_type(kyt::pb::common::Instrument::INSTR_RADAR);
  instrument->mutable_location()->mutable_lat_lon()->set_latitude_deg(46.5);
  instrument->mutable_location()->mutable_lat_lon()->set_longitude_deg(6.25);
  instrument->mutable_location()->set_altitude_m(420);

  auto* config = volume.mutable_volume_config();
  config->set_name("interop");
  auto* sweep_config = config->add_sweep_config();
  sweep_config->mutable_uuid()->set_least_significant_bits(7);
  sweep_config->set_type(kyt::pb::common::SweepConfig::PPI);
  auto* segment = sweep_config->mutable_range_scale()->add_range_m();
  segment->set_start(125);
  segment->set_step(250);
  segment->set_count(kGates);
  AddDescriptor(sweep_config, "DBZH", kyt::pb::common::REFLECTIVITY_DBZ, kyt::pb::common::DBZ);
  auto* linear = (*sweep_config->mutable_data_moments())["DBZH"].mutable_scale();
  linear->set_type(DataDescriptor::DataScale::LINEAR);
  linear->mutable_linear_scale()->set_offset(-32);
  linear->mutable_linear_scale()->set_step(0.5);
  linear->mutable_linear_scale()->set_under_threshold(0);
  linear->mutable_linear_scale()->set_not_scanned(255);
  AddDescriptor(sweep_config, "VRADH", kyt::pb::common::VELOCITY_M_P_S,
                kyt::pb::common::METERS_PER_SECOND);
  AddDescriptor(sweep_config, "RHOHV", kyt::pb::common::RHOHV_UL, kyt::pb::common::UNITLESS_ONE);
  AddDescriptor(sweep_config, "PHIDP", kyt::pb::common::PHIDP_DEG, kyt::pb::common::DEGREES);
  config->add_ray_config()->mutable_uuid()->set_least_significant_bits(9);
  for (int s = 0; s < 2; ++s) AddTestSweep(s, volume.add_sweep());
  return volume;
}

int Fail(const std::string& what) {
  std::cerr << "interop_helper: " << what << "\n";
  return EXIT_FAILURE;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  return static_cast<bool>(out);
}

std::string Deterministic(const google::protobuf::Message& message) {
  std::string bytes;
  {
    google::protobuf::io::StringOutputStream stream(&bytes);
    google::protobuf::io::CodedOutputStream coded(&stream);
    coded.SetSerializationDeterministic(true);
    message.ByteSizeLong();
    message.SerializeWithCachedSizes(&coded);
  }
  return bytes;
}

int WriteVolume(const Volume& volume, const std::string& path) {
  InstrumentData envelope;
  *envelope.mutable_volume() = volume;
  return WriteFile(path, Deterministic(envelope)) ? EXIT_SUCCESS : Fail("cannot write " + path);
}

int WriteStream(const std::string& path, const std::string& compression) {
  cs::SplitOptions options;
  if (compression == "frame") options.ray_compression = common_dto::Compression::kLz4Frame;
  if (compression == "block") options.ray_compression = common_dto::Compression::kLz4Block;
  options.volume_start.emplace().set_seconds(kStart);
  options.volume_end.emplace().set_seconds(kStart + 120);
  cs::WriterOptions writer_options;
  writer_options.deterministic = true;
  cs::DelimitedWriter writer = cs::DelimitedWriter::ToFile(path, writer_options);
  common_dto::Status status = cs::SplitVolume(TestVolume(), options,
                                      [&writer](RayStreamMessage&& m) { return writer.Write(m); });
  if (status.ok()) status = writer.Close();
  return status.ok() ? EXIT_SUCCESS : Fail(status.message());
}

int Assemble(const std::string& in, const std::string& out) {
  cs::DelimitedReader reader = cs::DelimitedReader::FromFile(in);
  cs::Assembler assembler;
  RayStreamMessage message;
  cs::ReadResult result;
  while ((result = reader.Read(&message))) {
    common_dto::Status status = assembler.Add(message);
    if (!status.ok()) std::cout << "error: " << status.message() << "\n";
  }
  if (result.is_error()) return Fail(result.error());
  assembler.Finish();
  std::vector<cs::AssembledVolume> volumes = assembler.TakeVolumes();
  if (volumes.empty()) return Fail("no volume in " + in);
  for (const std::string& m : volumes[0].missing) std::cout << "missing: " << m << "\n";
  for (const std::string& w : volumes[0].warnings) std::cout << "warning: " << w << "\n";
  return WriteVolume(volumes[0].volume, out);
}

int Echo(const std::string& in, const std::string& out) {
  cs::DelimitedReader reader = cs::DelimitedReader::FromFile(in);
  cs::WriterOptions options;
  options.deterministic = true;
  cs::DelimitedWriter writer = cs::DelimitedWriter::ToFile(out, options);
  RayStreamMessage message;
  cs::ReadResult result;
  while ((result = reader.Read(&message))) {
    common_dto::Status status = writer.Write(message);
    if (!status.ok()) return Fail(status.message());
  }
  common_dto::Status closed = writer.Close();
  if (result.is_error()) {
    // The code and location on a line of their own, for comparison with
    // Python's StreamError.
    const common_dto::Status& error = result.status();
    const common_dto::Location& at = error.location();
    std::cerr << "code=" << common_dto::ErrorCodeName(error.code())
              << " index=" << at.message_index.value_or(0)
              << " offset=" << at.byte_offset.value_or(0) << " field=" << at.field << "\n";
    return Fail(result.error());
  }
  return closed.ok() ? EXIT_SUCCESS : Fail(closed.message());
}

int Reencode(const std::string& in, const std::string& out) {
  std::ifstream file(in, std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  InstrumentData envelope;
  if (!file || !envelope.ParseFromString(bytes.str())) return Fail("cannot parse " + in);
  return WriteFile(out, Deterministic(envelope)) ? EXIT_SUCCESS : Fail("cannot write " + out);
}

}  // namespace

int main(int argc, char** argv) {
  GOOGLE_PROTOBUF_VERIFY_VERSION;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "volume") return WriteVolume(TestVolume(), args[1]);
  if ((args.size() == 2 || args.size() == 3) && args[0] == "stream") {
    return WriteStream(args[1], args.size() == 3 ? args[2] : "none");
  }
  if (args.size() == 3 && args[0] == "assemble") return Assemble(args[1], args[2]);
  if (args.size() == 3 && args[0] == "echo") return Echo(args[1], args[2]);
  if (args.size() == 3 && args[0] == "reencode") return Reencode(args[1], args[2]);
  return Fail(
      "usage: volume OUT | stream OUT [none|frame|block] | assemble IN OUT | "
      "echo IN OUT | reencode IN OUT");
}
