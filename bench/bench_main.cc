// The benchmark program: Google Benchmark's driver plus a few context
// entries (how this build was made) so a result file says what it measured.
#include <benchmark/benchmark.h>
#include <google/protobuf/stubs/common.h>
#include <hdf5.h>

#include <string>

#ifndef COMMON_DTO_BENCH_BUILD_TYPE
#define COMMON_DTO_BENCH_BUILD_TYPE "unknown"
#endif
#ifndef COMMON_DTO_BENCH_CXX_FLAGS
#define COMMON_DTO_BENCH_CXX_FLAGS ""
#endif

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::AddCustomContext("build_type", COMMON_DTO_BENCH_BUILD_TYPE);
  benchmark::AddCustomContext("cxx_flags", COMMON_DTO_BENCH_CXX_FLAGS);
  benchmark::AddCustomContext("protobuf_runtime",
                              google::protobuf::internal::VersionString(GOOGLE_PROTOBUF_VERSION));
  unsigned major = 0, minor = 0, release = 0;
  H5get_libversion(&major, &minor, &release);
  benchmark::AddCustomContext(
      "hdf5", std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(release));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
