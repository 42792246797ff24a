// The tool's worker for reading HDF5 and netCDF files: a worker that
// crashes (here on purpose, as libhdf5 does on some damaged files) or ends
// without answering becomes the error for the file; a worker that answers
// hands back exactly what reading the file in the tool itself gives.
#include "crash_guard.h"
#include "output.h"

#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "common_dto/synthetic/volumes.h"
#include "output.h"

namespace cli = common_dto::cli;
namespace formats = common_dto::formats;

namespace {

std::string WriteFile(const std::string& name, const std::string& bytes) {
  const std::string path =
      (std::filesystem::temp_directory_path() / (name + "." + std::to_string(::getpid()))).string();
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// A stand-in for the tool as the worker: a script doing `body`.
std::string WorkerScript(const std::string& name, const std::string& body) {
  const std::string path = WriteFile(name, "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), 0700);
  return path;
}

const std::string kHdf5Signature("\x89HDF\r\n\x1a\n", 8);

TEST(CrashGuard, FilesOfTheHdf5LibrariesAreRecognised) {
  const std::string at_start = WriteFile("hdf5", kHdf5Signature + std::string(100, '\0'));
  const std::string after_block = WriteFile("block", std::string(512, 'u') + kHdf5Signature);
  const std::string classic = WriteFile("classic", "CDF\x01" + std::string(100, '\0'));
  const std::string other = WriteFile("other", std::string(600, 'x') + kHdf5Signature);
  EXPECT_TRUE(cli::IsHdf5OrNetcdf(at_start));
  EXPECT_TRUE(cli::IsHdf5OrNetcdf(after_block));
  EXPECT_TRUE(cli::IsHdf5OrNetcdf(classic));
  EXPECT_FALSE(cli::IsHdf5OrNetcdf(other));  // not where HDF5 looks
  EXPECT_FALSE(cli::IsHdf5OrNetcdf("/dev/null"));
  for (const auto& path : {at_start, after_block, classic, other}) std::remove(path.c_str());
}

// The line the tool prints for ReadRadar()'s error, or "" when it reads.
std::string FailureOf(const std::string& worker, const std::string& path) {
  const common_dto::Result<cli::RadarRead> read = cli::ReadRadar(worker, path, std::nullopt);
  return read.ok() ? "" : "common-dto: " + read.status().message();
}

TEST(CrashGuard, AWorkersCrashOrSilenceIsAnErrorNamingTheFile) {
  const std::string path = WriteFile("crash", kHdf5Signature + std::string(100, '\0'));
  // glibc aborts on libhdf5's bad frees.
  const std::string aborts = WorkerScript("aborts", "kill -ABRT $$");
  const std::string silent = WorkerScript("silent", "exit 7");
  EXPECT_EQ(FailureOf(aborts, path),
            "common-dto: " + path +
                ": reading it crashed the HDF5 library (Aborted); the file is damaged");
  EXPECT_EQ(FailureOf(silent, path),
            "common-dto: " + path + ": the reader ended with exit status 7 before it answered");
  EXPECT_EQ(FailureOf("/nonexistent/common-dto", path),
            "common-dto: " + path + ": the reader ended with exit status 127 before it answered");
  for (const auto& file : {path, aborts, silent}) std::remove(file.c_str());
}

// Files of neither library are read here, without a worker.
TEST(CrashGuard, OtherFilesAreNotHandedToTheWorker) {
  const std::string path = WriteFile("plain", "not a radar file");
  const std::string aborts = WorkerScript("aborts2", "kill -ABRT $$");
  const common_dto::Result<cli::RadarRead> read = cli::ReadRadar(aborts, path, std::nullopt);
  ASSERT_TRUE(read.ok());
  EXPECT_FALSE(read->format);
  for (const auto& file : {path, aborts}) std::remove(file.c_str());
}

TEST(CrashGuard, TheWorkerHandsBackWhatReadingHereGives) {
  const std::string path = WriteFile("volume", "") + ".h5";
  formats::Notes written;
  ASSERT_TRUE(formats::WriteFile(path, formats::Format::kOdim, {},
                                 common_dto::synthetic::MakeTestVolume(2, 3, 4), &written)
                  .ok());
  const cli::Console quiet(/*quiet=*/true, /*handle_signals=*/false);
  const common_dto::Result<cli::RadarRead> read_here = cli::ReadRadarHere(path, std::nullopt);
  const common_dto::Result<cli::RadarRead> read_there = cli::ReadRadar(COMMON_DTO_CLI, path, std::nullopt);
  ASSERT_TRUE(read_here.ok() && read_there.ok());
  const cli::RadarRead& here = *read_here;
  const cli::RadarRead& there = *read_there;
  ASSERT_EQ(there.format, formats::Format::kOdim);
  EXPECT_TRUE(google::protobuf::util::MessageDifferencer::Equals(there.volume, here.volume));
  EXPECT_EQ(there.notes, here.notes);
  EXPECT_EQ(there.volume.sweep_size(), 2);
  const std::string damaged = WriteFile("damaged", kHdf5Signature + std::string(100, '\0'));
  // An error comes back with its code as well as its line.
  const common_dto::Result<cli::RadarRead> damaged_here = cli::ReadRadarHere(damaged, std::nullopt);
  const common_dto::Result<cli::RadarRead> damaged_there =
      cli::ReadRadar(COMMON_DTO_CLI, damaged, std::nullopt);
  ASSERT_FALSE(damaged_here.ok());
  EXPECT_EQ(damaged_there.status().code(), damaged_here.status().code());
  EXPECT_EQ(damaged_there.status().message(), damaged_here.status().message());
  EXPECT_EQ(FailureOf(COMMON_DTO_CLI, damaged),
            "common-dto: " + damaged +
                ": an HDF5 or netCDF file, but neither ODIM_H5 nor CF/Radial (or too damaged to "
                "open)");
  for (const auto& file : {path, damaged}) std::remove(file.c_str());
}

}  // namespace
