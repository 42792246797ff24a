// Shared pieces of the fuzz targets: quiet runtime logging, a check that
// stops the run with a message, and deterministic serialization.
#pragma once

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/message.h>
#include <google/protobuf/stubs/logging.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace common_dto_fuzz {

// The runtime logs every rejected string (invalid UTF-8) and more; at
// thousands of runs per second that is noise. Call from LLVMFuzzerInitialize.
inline void QuietRuntime() { google::protobuf::SetLogHandler(nullptr); }

[[noreturn]] inline void Die(const char* file, int line, const char* what,
                             const std::string& detail) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n%s\n", file, line, what, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

inline std::string Serialize(const google::protobuf::Message& message) {
  std::string bytes;
  {
    google::protobuf::io::StringOutputStream out(&bytes);
    google::protobuf::io::CodedOutputStream coded(&out);
    coded.SetSerializationDeterministic(true);
    message.SerializeToCodedStream(&coded);
  }
  return bytes;
}

}  // namespace common_dto_fuzz

// Aborts (a crash for libFuzzer) with the condition and a detail string.
#define FUZZ_CHECK(cond, detail)                                            \
  do {                                                                      \
    if (!(cond)) ::common_dto_fuzz::Die(__FILE__, __LINE__, #cond, detail); \
  } while (0)
