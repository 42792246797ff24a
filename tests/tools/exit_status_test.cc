// The tool's contract with scripts: exit status 0 (done), 1 (check found
// problems; assemble kept what a damaged stream held) or 2 (unusable input
// or arguments), what goes to stdout and what to stderr. A table of runs
// the golden transcripts (cli_test.sh) do not hold: --strict, unknown
// message kinds, invalid UTF-8 in a stream being encoded, JSON that is
// neither one message nor JSON Lines, failed writes, help and version.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ToolRun {
  std::string name;
  // Shell commands run in order in a fresh folder, with $T the tool and the
  // inputs of Inputs() in place; the last one is judged.
  std::vector<std::string> commands;
  int status;
  std::string out;  // Exactly, when given with a leading '='; else a part of it.
  std::string err;  // A part of stderr ("" checks nothing).
};

// Inputs in JSON, one message or one message per line.
const char kVolume[] = R"({"volume": {"instrument": {"name": "r"}, "sweep": [{"rays": [{}]}]}})";
const char kStream[] = R"({"volume_header": {"volume_uuid": {"least_significant_bits": "1"}}})"
                       "\n"
                       R"({"volume_end": {"volume_uuid": {"least_significant_bits": "1"}}})"
                       "\n";

const std::vector<ToolRun>& Runs() {
  static const std::vector<ToolRun> runs = {
      {"check_clean", {"$T check v.pb"}, 0, "=v.pb: no findings\n", ""},
      // Field 100 of Volume is not in the schema: a note, a finding with --strict.
      {"check_unknown_field_note",
       {"printf '\\012\\003\\240\\006\\001' > u.pb", "$T check u.pb"},
       0,
       "=volume: note: field number 100 not in the schema (kept as unknown fields)\n"
       "u.pb: no findings (1 note)\n",
       ""},
      {"check_unknown_field_strict",
       {"printf '\\012\\003\\240\\006\\001' > u.pb", "$T check --strict u.pb"},
       1,
       "=volume: field number 100 not in the schema (kept as unknown fields)\n"
       "u.pb: 1 finding\n",
       ""},
      {"check_stream_clean", {"$T check s.stream"}, 0, "=s.stream: no findings\n", ""},
      {"check_missing_file", {"$T check nothing.pb"}, 2, "=", "nothing.pb: cannot open"},
      {"check_no_file", {"$T check"}, 2, "=", "--help"},
      {"encode_stream_bad_utf8",
       {"printf 'volume_header { volume_config_uri { endpoint: \"\\\\377\" } }\\n' > bad.txt",
        "$T encode --stream --from text bad.txt out.stream"},
       2,
       "=",
       "invalid UTF-8 in field kyt.pb.stream.VolumeConfigUri.endpoint (at "
       "volume_header.volume_config_uri.endpoint) (line 1)"},
      {"encode_stream_bad_utf8_writes_nothing",
       {"printf 'volume_header { volume_config_uri { endpoint: \"\\\\377\" } }\\n' > bad.txt",
        "$T encode --stream --from text bad.txt out.stream; test ! -e out.stream"},
       0,
       "=",
       ""},
      // A pretty-printed message with a fault is no stream: no --stream hint.
      {"encode_broken_json_no_hint",
       {"printf '{\\n  \"volume\": {\\n    \"nope\": 1\\n  }\\n}\\n' > b.json",
        "$T encode b.json out.pb 2>&1 | grep -c 'use --stream'"},
       1,
       "=0\n",
       ""},
      {"encode_json_lines_hint",
       {"cat v.json v.json > vv.jsonl", "$T encode vv.jsonl out.pb"},
       2,
       "=",
       "(one message per line? use --stream)"},
      // JSON Lines of another type: no hint.
      {"encode_other_lines_no_hint",
       {"$T encode s.jsonl out.pb"},
       2,
       "=",
       "not a JSON kyt.pb.common.InstrumentData: Parsing terminated before end of input.\n"},
      {"dump_to_full_disk", {"$T dump v.pb -o /dev/full"}, 2, "=", "/dev/full"},
      {"summary_to_closed_stdout", {"$T summary v.pb >&-"}, 2, "", "<stdout>: write error"},
      {"version", {"$T --version"}, 0, "=common-dto 5.0.0\n", ""},
      {"help_to_full_disk", {"$T --help > /dev/full"}, 2, "=", "write error"},
      {"unknown_command", {"$T frobnicate"}, 2, "=", "A subcommand is required"},
  };
  return runs;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class ExitStatusTest : public testing::TestWithParam<ToolRun> {};

TEST_P(ExitStatusTest, StatusAndOutputs) {
  const ToolRun& run = GetParam();
  const std::string dir = testing::TempDir() + "exit_status_" + run.name;
  std::string script = "set -e; rm -rf '" + dir + "'; mkdir -p '" + dir + "'; cd '" + dir +
                       "'; T='" + COMMON_DTO_CLI + "'; export T\n";
  script += std::string("cat > v.json <<'EOF'\n") + kVolume + "\nEOF\n";
  script += std::string("cat > s.jsonl <<'EOF'\n") + kStream + "EOF\n";
  script += "$T -q encode v.json v.pb; $T -q encode --stream s.jsonl s.stream\n";
  for (std::size_t i = 0; i + 1 < run.commands.size(); ++i) script += run.commands[i] + "\n";
  script += "set +e; (" + run.commands.back() + ") > out.txt 2> err.txt; echo $? > status.txt\n";
  const std::string script_path = dir + ".sh";
  std::ofstream(script_path) << script;
  ASSERT_EQ(std::system(("sh " + script_path).c_str()), 0) << script;
  EXPECT_EQ(std::stoi(ReadAll(dir + "/status.txt")), run.status);
  const std::string out = ReadAll(dir + "/out.txt");
  const std::string err = ReadAll(dir + "/err.txt");
  if (!run.out.empty() && run.out[0] == '=') {
    EXPECT_EQ(out, run.out.substr(1)) << err;
  } else {
    EXPECT_NE(out.find(run.out), std::string::npos) << out;
  }
  EXPECT_NE(err.find(run.err), std::string::npos) << err;
  EXPECT_EQ(std::system(("rm -rf '" + dir + "' '" + script_path + "'").c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(Tool, ExitStatusTest, testing::ValuesIn(Runs()),
                         [](const testing::TestParamInfo<ToolRun>& p) { return p.param.name; });

}  // namespace
