// The tool's output files and error lines: a file appears whole or not at
// all (a failed write, a missing commit, an interrupt), a replaced file
// keeps its permissions, and errors carry the line the tool prints with the
// library's code and location.
#include "output.h"

#include "convert.h"
#include "instrument_data.pb.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace cli = common_dto::cli;
using common_dto::ErrorCode;

std::string Fresh(const std::string& name) {
  const std::string dir = testing::TempDir() + "output_test_" + name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

std::size_t Entries(const std::string& dir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(Error, IsTheLineTheToolPrintsWithTheLibrarysCodeAndLocation) {
  EXPECT_EQ(cli::Error("f.pb", "what", "line 3").message(), "f.pb: what (line 3)");
  EXPECT_EQ(cli::Error("", "what").message(), "what");
  EXPECT_EQ(cli::Error("f.pb", "what").code(), ErrorCode::kInvalidArgument);
  common_dto::Location at;
  at.field = "volume.sweep[1]";
  const common_dto::Status library(ErrorCode::kTruncated, "cut short", at);
  const common_dto::Status error = cli::ErrorOf("<stdin>", library, "message 2");
  EXPECT_EQ(error.message(), "<stdin>: cut short (message 2)");
  EXPECT_EQ(error.code(), ErrorCode::kTruncated);
  EXPECT_EQ(error.location().field, "volume.sweep[1]");
}

TEST(OutputFile, AppearsOnlyOnCommitAndKeepsThePermissionsOfWhatItReplaces) {
  const std::string dir = Fresh("commit");
  const std::string path = dir + "/out.txt";
  {
    auto out = cli::OutputFile::Open(path);
    ASSERT_TRUE(out.ok());
    (*out)->Write("lost");
    ASSERT_TRUE((*out)->Flush().ok());
    EXPECT_EQ(Entries(dir), 1u);  // The temporary file only.
  }
  EXPECT_EQ(Entries(dir), 0u);  // No commit: nothing left.
  std::ofstream(path) << "old";
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  auto out = cli::OutputFile::Open(path);
  ASSERT_TRUE(out.ok());
  (*out)->Write("new");
  EXPECT_EQ(Read(path), "old");
  ASSERT_TRUE((*out)->Commit().ok());
  EXPECT_EQ(Read(path), "new");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(Entries(dir), 1u);
}

TEST(OutputFile, AWriteErrorIsKeptAndReturnedByCommit) {
  auto out = cli::OutputFile::Open("/dev/full");
  ASSERT_TRUE(out.ok());
  (*out)->Write(std::string(std::size_t{1} << 17, 'x'));  // Past the buffer: written now.
  EXPECT_FALSE((*out)->ok());
  (*out)->Write("dropped");
  const common_dto::Status status = (*out)->Commit();
  EXPECT_EQ(status.code(), ErrorCode::kIo);
  EXPECT_EQ(status.message(), "/dev/full: write error: No space left on device");
  EXPECT_EQ(cli::OutputFile::Open(Fresh("missing") + "/no/such/dir/out").status().code(),
            ErrorCode::kIo);
}

// An interrupt while a Console handles signals removes the temporary file
// and ends the program by the signal; without one the signal's default
// action is left alone.
TEST(Console, AnInterruptLeavesNoPartialFile) {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    const std::string dir = Fresh("interrupt" + std::to_string(sig));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      cli::Console console(/*quiet=*/true, /*handle_signals=*/true);
      auto out = cli::OutputFile::Open(dir + "/out.txt");
      if (!out.ok()) ::_exit(3);
      (*out)->Write("partial");
      if (!(*out)->Flush().ok() || Entries(dir) != 1) ::_exit(4);
      std::raise(sig);
      ::_exit(5);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_EQ(Entries(dir), 0u) << "signal " << sig;
  }
  EXPECT_EQ(cli::Console::current(), nullptr);
  EXPECT_FALSE(cli::Quiet());
}

// The conversions say by code what went wrong: callers (the JSON fuzz
// target among them) decide by it.
TEST(Convert, ErrorsCarryTheirCodeAndOneLine) {
  kyt::pb::common::InstrumentData data;
  const common_dto::Status json = cli::FromJson("{\"volume\": {\n\"nope\": 1}}", &data);
  EXPECT_EQ(json.code(), ErrorCode::kUnparsable);
  EXPECT_EQ(json.message().find('\n'), std::string::npos) << json.message();
  const common_dto::Status text = cli::FromText("volume {", &data);
  EXPECT_EQ(text.code(), ErrorCode::kUnparsable);
  EXPECT_FALSE(text.message().empty());

  data.mutable_volume()->add_sweep()->mutable_task_start()->set_seconds(-62135596801);  // Year 0.
  const common_dto::Result<std::string> out_of_range = cli::ToJson(data, /*pretty=*/false);
  EXPECT_EQ(out_of_range.status().code(), ErrorCode::kUnsupported);
  EXPECT_TRUE(cli::SerializeDeterministic(data).ok());  // The binary form carries it.

  ASSERT_TRUE(cli::FromJson("{\"volume\": {\"instrument\": {\"name\": \"r\"}}}", &data).ok());
  const common_dto::Result<std::string> compact = cli::ToJson(data, /*pretty=*/false);
  ASSERT_TRUE(compact.ok());
  EXPECT_EQ(*compact, "{\"volume\":{\"instrument\":{\"name\":\"r\"}}}");
}

}  // namespace
