// Uses the installed stream library (and the model library below it): one
// RayStreamMessage through the delimited writer and reader.
#include <common_dto/stream/framing.h>

#include <iostream>
#include <sstream>

#include "ray_stream_message.pb.h"

namespace cs = common_dto::stream;

int main() {
  kyt::pb::stream::RayStreamMessage message;
  message.mutable_ray_end()->set_ray_index(41);
  std::stringstream bytes;
  cs::DelimitedWriter writer = cs::DelimitedWriter::ToStream(bytes);
  if (!writer.Write(message).ok() || !writer.Flush().ok()) {
    std::cerr << "write failed\n";
    return 1;
  }
  cs::DelimitedReader reader = cs::DelimitedReader::FromStream(bytes);
  kyt::pb::stream::RayStreamMessage back;
  if (!reader.Read(&back) || back.ray_end().ray_index() != 41 || reader.Read(&back)) {
    std::cerr << "read back failed\n";
    return 1;
  }
  std::cout << "stream consumer ok\n";
  return 0;
}
