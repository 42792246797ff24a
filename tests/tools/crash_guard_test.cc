// The tool's guard around reading HDF5 and netCDF files: the child that
// reads crashes here on purpose, as libhdf5 does on some damaged files, and
// the parent must turn that into the error for the file.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "crash_guard.h"
#include "output.h"

namespace cli = common_dto::cli;

namespace {

std::string WriteFile(const std::string& name, const std::string& bytes) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            (name + "." + std::to_string(::getpid())))
                               .string();
  std::ofstream(path, std::ios::binary) << bytes;
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

// In a process of its own, as the guard forks once per process: the test's
// child runs the guard, whose child crashes.
TEST(CrashGuard, ACrashWhileReadingBecomesAnErrorNamingTheFile) {
  const std::string path = WriteFile("crash", kHdf5Signature + std::string(100, '\0'));
  const pid_t tool = ::fork();
  ASSERT_GE(tool, 0);
  if (tool == 0) {
    cli::EnableCrashGuard();
    try {
      cli::GuardRead(path);
      std::abort();  // the reader, crashing (glibc aborts on libhdf5's bad frees)
    } catch (const cli::Fatal& e) {
      const std::string want =
          "common-dto: " + path + ": reading it crashed the HDF5 library (Aborted); the file is damaged";
      std::_Exit(e.what() == want ? 42 : 43);
    }
    std::_Exit(44);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(tool, &status, 0), tool);
  ASSERT_TRUE(WIFEXITED(status)) << "the tool died of signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 42) << "43: another message, 44: no error";
  std::remove(path.c_str());
}

TEST(CrashGuard, TheReadersExitStatusIsTheTools) {
  const std::string path = WriteFile("exit", kHdf5Signature + std::string(100, '\0'));
  const pid_t tool = ::fork();
  ASSERT_GE(tool, 0);
  if (tool == 0) {
    cli::EnableCrashGuard();
    cli::GuardRead(path);
    cli::GuardRead(path);  // once per process: the reader goes on
    std::_Exit(7);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(tool, &status, 0), tool);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
  std::remove(path.c_str());
}

}  // namespace
