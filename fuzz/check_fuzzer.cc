// The tool's check on arbitrary bytes, as `common-dto check` runs it: the
// kind of the input found out (or given by the first byte), a stream
// checked message by message through the assembler's validation mode, a
// single message through the checker. Nothing may crash, and declared sizes
// must not drive memory (fuzz/run.sh sets an allocation limit).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "commands.h"
#include "fuzz_support.h"
#include "output.h"

namespace cli = common_dto::cli;

namespace {
int g_fd = -1;  // A memfd holding the input, read by path like a file.
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  common_dto_fuzz::QuietRuntime();
  static cli::Console quiet(/*quiet=*/true, /*handle_signals=*/false);
  g_fd = ::memfd_create("check_fuzzer", 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || g_fd < 0) return 0;
  FUZZ_CHECK(::ftruncate(g_fd, 0) == 0, "ftruncate failed");
  const std::size_t n = size - 1;
  FUZZ_CHECK(::pwrite(g_fd, data + 1, n, 0) == static_cast<ssize_t>(n), "pwrite failed");
  cli::CheckOptions options;
  options.file = "/proc/self/fd/" + std::to_string(g_fd);
  options.output = "/dev/null";
  const cli::InputKind kinds[] = {cli::InputKind::kAuto, cli::InputKind::kStream,
                                  cli::InputKind::kMessage};
  options.input.kind = kinds[data[0] % 3];
  options.strict = (data[0] & 4) != 0;
  // Unusable input is an error (exit status 2); else findings or none.
  const common_dto::Result<int> status = cli::RunCheck(options);
  FUZZ_CHECK(!status.ok() || *status == cli::kExitOk || *status == cli::kExitFindings,
             "unexpected exit status");
  return 0;
}
