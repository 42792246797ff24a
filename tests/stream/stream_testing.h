// Test volumes and stream helpers shared by the stream library's tests.
#pragma once

#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common_dto/stream/assembler.h"
#include "common_dto/model/buffers.h"
#include "common_dto/stream/framing.h"
#include "common_dto/stream/splitter.h"
#include "instrument.pb.h"
#include "ray_stream_message.pb.h"
#include "common_dto/synthetic/volumes.h"
#include "volume.pb.h"
#include "wire_testing.h"

namespace common_dto_test {

using common_dto::stream::DelimitedReader;
using common_dto::stream::ReadResult;
using kyt::pb::common::DataBuffer;
using kyt::pb::common::Volume;
using kyt::pb::stream::RayStreamMessage;

// The tests' volumes: see common_dto/synthetic/volumes.h.
inline Volume MakeVolume(int sweeps, int rays, int gates) {
  return common_dto::synthetic::MakeTestVolume(sweeps, rays, gates);
}

// The stream of `volume`, as SplitVolume emits it with default options.
inline std::vector<RayStreamMessage> Split(const Volume& volume,
                                           common_dto::stream::SplitOptions options = {}) {
  std::vector<RayStreamMessage> messages;
  common_dto::Status status = common_dto::stream::SplitVolume(volume, options, &messages);
  EXPECT_TRUE(status.ok()) << status.message();
  return messages;
}

// One letter per message: V volume header, S sweep header, R ray header,
// P parameter data, E ray end, s sweep end, v volume end, - no payload.
inline std::string Kinds(const std::vector<RayStreamMessage>& messages) {
  static const char kLetters[] = "-VSRPEsv";
  std::string out;
  for (const auto& m : messages) out += kLetters[m.payload_case()];
  return out;
}

// Reads messages until the reader stops; *last receives the end of the
// stream or the error.
inline std::vector<RayStreamMessage> ReadAll(DelimitedReader& reader, ReadResult* last) {
  std::vector<RayStreamMessage> out;
  RayStreamMessage message;
  while ((*last = reader.Read(&message))) out.push_back(message);
  return out;
}

// Resident kilobytes of this process: now ("VmRSS"), or at its peak since
// the last ResetPeakResident() ("VmHWM").
inline std::uint64_t ResidentKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) {
      return std::stoull(line.substr(field.size() + 1));
    }
  }
  return 0;
}
inline bool ResetPeakResident() {
  return static_cast<bool>(std::ofstream("/proc/self/clear_refs") << "5");
}

}  // namespace common_dto_test
