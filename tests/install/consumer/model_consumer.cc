// Uses the installed model library: a UUID to text and back.
#include <common_dto/model/uuid.h>

#include <iostream>

int main() {
  kyt::pb::common::UUID uuid;
  uuid.set_most_significant_bits(0x0123456789abcdefLL);
  uuid.set_least_significant_bits(7);
  const std::string text = common_dto::FormatUuid(uuid);
  kyt::pb::common::UUID back;
  if (text != "01234567-89ab-cdef-0000-000000000007" || !common_dto::ParseUuid(text, &back) ||
      back.least_significant_bits() != 7) {
    std::cerr << "uuid text failed: " << text << "\n";
    return 1;
  }
  std::cout << "model consumer ok\n";
  return 0;
}
