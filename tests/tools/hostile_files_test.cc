// The tool on hostile files (a decompression bomb, a huge declared length,
// groups nested 100000 deep) under an address-space limit: each ends in a
// clear error, not in an allocation failure or a crash.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>

#include "ray_stream_message.pb.h"
#include "sanitized.h"
#include "wire_testing.h"

namespace {

using common_dto_test::Varint;
using kyt::pb::stream::RayStreamMessage;

// A frame of a stream: the message `text` (text format), length first.
std::string Frame(const std::string& text) {
  RayStreamMessage m;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &m)) << text;
  return Varint(m.ByteSizeLong()) + m.SerializeAsString();
}

// Runs the tool with `args` under an address-space limit of 1 GiB (or, in a
// sanitizer build, the sanitizer's own limit on one allocation); returns the
// exit status (-signal when killed) and what it wrote to stdout and stderr.
int RunTool(const std::vector<std::string>& args, std::string* err) {
  char path[] = "/tmp/limits_test_err_XXXXXX";
  const int err_fd = ::mkstemp(path);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(err_fd, 1);  // check reports on stdout
    ::dup2(err_fd, 2);
#ifdef COMMON_DTO_SANITIZED
    for (const char* var : {"ASAN_OPTIONS", "TSAN_OPTIONS"}) {
      const char* old = std::getenv(var);
      const std::string value =
          (old != nullptr ? std::string(old) + ":" : std::string()) + "max_allocation_size_mb=1024";
      ::setenv(var, value.c_str(), 1);
    }
#else
    const rlimit limit{rlim_t{1} << 30, rlim_t{1} << 30};
    ::setrlimit(RLIMIT_AS, &limit);
#endif
    std::vector<char*> argv;
    static std::string tool = COMMON_DTO_CLI;
    argv.push_back(&tool[0]);
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  *err = text.str();
  ::close(err_fd);
  ::unlink(path);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

std::string WriteTemp(const std::string& bytes) {
  char path[] = "/tmp/limits_test_in_XXXXXX";
  const int fd = ::mkstemp(path);
  EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
  return path;
}

TEST(HostileFiles, EndInAClearErrorWithinOneGiB) {
  const std::string frames =
      Frame("volume_header { volume_uuid { least_significant_bits: 1 } }") +
      Frame("sweep_header { sweep_uuid { most_significant_bits: 1 } "
            "volume_uuid { least_significant_bits: 1 } }");
  // An LZ4 block that claims 2 GiB - 1.
  const std::string lz4_stream =
      frames + Frame("parameter_data { sweep_uuid { most_significant_bits: 1 } "
                     "data_type { short_name: 'DBZ' } data { compression: LZ4 "
                     "uncompressed_size: 2147483647 data: '0123456789abcdef' } }");
  const std::string huge_length = frames + Varint(std::uint64_t{1} << 62) + "abc";
  // Inside the volume field, where an InstrumentData starts (bytes that do
  // not start like one are refused as another format, undiagnosed).
  const std::string groups = std::string(100000, '\x7b') + std::string(100000, '\x7c');
  const std::string nested = "\x0a" + Varint(groups.size()) + groups;

  const std::string lz4_file = WriteTemp(lz4_stream);
  const std::string huge_file = WriteTemp(huge_length);
  const std::string nested_file = WriteTemp(nested);
  struct Case {
    std::vector<std::string> args;
    const char* expected;  // In the error line.
  };
  const Case cases[] = {
      {{"assemble", lz4_file, "/dev/null"}, "more than the limit of 268435456"},
      {{"check", lz4_file}, "more than the limit of 268435456"},
      {{"dump", huge_file}, "exceeds the maximum message size"},
      {{"summary", huge_file}, "exceeds the maximum message size"},
      {{"dump", nested_file},
       "groups nested deeper than 100 levels in field number 15 of kyt.pb.common.Volume"},
      {{"check", nested_file},
       "groups nested deeper than 100 levels in field number 15 of kyt.pb.common.Volume"},
  };
  for (const Case& c : cases) {
    std::string err;
    const int status = RunTool(c.args, &err);
    const std::string what = c.args[0] + " " + c.args[1];
    EXPECT_TRUE(status == 1 || status == 2) << what << ": exit status " << status << "\n" << err;
    EXPECT_NE(err.find(c.expected), std::string::npos) << what << ":\n" << err;
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << what << ":\n" << err;
  }
  for (const std::string& f : {lz4_file, huge_file, nested_file}) ::unlink(f.c_str());
}

}  // namespace
