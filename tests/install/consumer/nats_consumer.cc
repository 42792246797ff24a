// Uses the installed NATS transport library (no server needed): the
// identity and subject token of a message.
#include <common_dto/nats/subjects.h>

#include <iostream>

int main() {
  kyt::pb::stream::RayStreamMessage message;
  message.mutable_volume_end()->mutable_volume_uuid()->set_least_significant_bits(7);
  const std::string id = common_dto::nats::MessageIdentity(message);
  if (id != "00000000-0000-0000-0000-000000000007.ve" || common_dto::nats::KindToken(message) != "volumeend") {
    std::cerr << "nats library failed: " << id << "\n";
    return 1;
  }
  std::cout << "nats consumer ok (" << common_dto::nats::InstrumentToken("Test radar.1") << ")\n";
  return 0;
}
