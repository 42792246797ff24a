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
  std::string err;  // As `out`, for stderr ("" checks nothing).
};

// Inputs in JSON, one message or one message per line.
const char kVolume[] = R"({"volume": {"instrument": {"name": "r"}, "sweep": [{"rays": [{}]}]}})";
const char kStream[] = R"({"volume_header": {"volume_uuid": {"least_significant_bits": "1"}}})"
                       "\n"
                       R"({"volume_end": {"volume_uuid": {"least_significant_bits": "1"}}})"
                       "\n";

// Two volumes interleaved: the first ends, the second never does and its
// one sweep lacks its end, its ray's header and end.
const char kInterleaved[] =
    R"({"volume_header": {"volume_uuid": {"least_significant_bits": "1"}, "instrument": {"name": "a"}}}
{"volume_header": {"volume_uuid": {"least_significant_bits": "2"}}}
{"sweep_header": {"volume_uuid": {"least_significant_bits": "1"}, "sweep_uuid": {"least_significant_bits": "10"}}}
{"sweep_header": {"volume_uuid": {"least_significant_bits": "2"}, "sweep_uuid": {"least_significant_bits": "20"}}}
{"ray_header": {"sweep_uuid": {"least_significant_bits": "10"}, "ray": {"az_range_deg": {"start_deg": 1, "span_deg": 1}}}}
{"parameter_data": {"sweep_uuid": {"least_significant_bits": "10"}, "data_type": {"short_name": "DBZH"}, "data": {"type": "UINT8", "data": "AAE="}}}
{"parameter_data": {"sweep_uuid": {"least_significant_bits": "20"}, "data_type": {"short_name": "TH"}, "data": {"type": "UINT16", "data": "AAE="}}}
{"ray_end": {"sweep_uuid": {"least_significant_bits": "10"}}}
{"sweep_end": {"sweep_uuid": {"least_significant_bits": "10"}}}
{"volume_end": {"volume_uuid": {"least_significant_bits": "1"}}}
)";

// What summary and check say of it: each volume as it closes, the one
// that never ended at the end of the stream.
const char kInterleavedSummary[] =
    R"(=volume         00000000-0000-0000-0000-000000000001
instrument     a (INSTR_UNSPECIFIED)
configuration  (none)
time           ? .. ?
sweeps         1 sweep, 1 ray

sweep    angle  type       rays  azimuth        elevation     start                     duration  moments
    0        -  -             1  1.0..2.0       -             -                                -  DBZH UINT8x2

volume         00000000-0000-0000-0000-000000000002
instrument     (none)
configuration  (none)
time           ? .. ? (no VolumeEnd)
sweeps         1 sweep, 1 ray

sweep    angle  type       rays  azimuth        elevation     start                     duration  moments
    0        -  -             1  -              -             -                                -  TH UINT16x1
sweep 0: incomplete: sweep 00000000-0000-0000-0000-000000000014: SweepEnd
sweep 0: incomplete: sweep 00000000-0000-0000-0000-000000000014 ray 0: RayHeader
sweep 0: incomplete: sweep 00000000-0000-0000-0000-000000000014 ray 0: RayEnd

stream         10 messages, 135 bytes
messages       volume_header 2, sweep_header 2, ray_header 1, parameter_data 2, ray_end 1, sweep_end 1, volume_end 1
seen           2 volumes, 2 sweeps
)";
const char kInterleavedCheck[] =
    R"(=volume 00000000-0000-0000-0000-000000000002 sweep 0 (00000000-0000-0000-0000-000000000014): incomplete: sweep 00000000-0000-0000-0000-000000000014: SweepEnd
volume 00000000-0000-0000-0000-000000000002 sweep 0 (00000000-0000-0000-0000-000000000014): incomplete: sweep 00000000-0000-0000-0000-000000000014 ray 0: RayHeader
volume 00000000-0000-0000-0000-000000000002 sweep 0 (00000000-0000-0000-0000-000000000014): incomplete: sweep 00000000-0000-0000-0000-000000000014 ray 0: RayEnd
volume 00000000-0000-0000-0000-000000000002: incomplete: sweep 00000000-0000-0000-0000-000000000014: incomplete
volume 00000000-0000-0000-0000-000000000002: incomplete: volume 00000000-0000-0000-0000-000000000002: VolumeEnd (end of input)
iv.stream: 5 findings
)";

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

// Streams as the assembler sees them, volume by volume, and the errors of
// each command that the transcripts do not hold.
std::vector<ToolRun> CommandRuns() {
  return {
      {"summary_interleaved", {"$T -q summary iv.stream"}, 0, kInterleavedSummary, "="},
      {"check_interleaved", {"$T -q check iv.stream"}, 1, kInterleavedCheck, "="},
      {"assemble_needs_a_choice",
       {"$T -q assemble iv.stream o.pb"},
       2,
       "=",
       "iv.stream: the stream holds 2 volumes; choose one with --volume N (0 to 1, in the order "
       "they end)\n"},
      {"assemble_first_to_end", {"$T -q assemble --volume 0 iv.stream o.pb; test -s o.pb"}, 0, "=", "="},
      {"assemble_incomplete_written",
       {"$T -q assemble --volume 1 iv.stream o.pb"},
       1,
       "=",
       "volume 00000000-0000-0000-0000-000000000002 is incomplete: volume "
       "00000000-0000-0000-0000-000000000002: VolumeEnd (end of input)\n"},
      {"assemble_no_such_volume",
       {"$T -q assemble --volume 2 iv.stream o.pb 2> e.txt; test ! -e o.pb; cat e.txt >&2"},
       0,
       "=",
       "iv.stream: --volume 2: the stream holds 2 volumes\n"},
      {"assemble_a_message", {"$T assemble --input-kind message v.pb o.pb"}, 2, "=",
       "v.pb: assemble reads a stream of kyt.pb.stream.RayStreamMessage\n"},
      {"split_a_stream", {"$T split --input-kind stream s.stream o.stream"}, 2, "=",
       "s.stream: split reads a single message holding a volume\n"},
      {"summary_stream_of_rays", {"$T summary --input-kind stream --type kyt.pb.common.Ray s.stream"},
       2, "=", "s.stream: summary reads streams of kyt.pb.stream.RayStreamMessage only\n"},
      {"convert_unknown_extension", {"$T convert v.pb out.xyz"}, 2, "=",
       "out.xyz: cannot tell the output format from the file name; give --to\n"},
      {"convert_odim_to_stdout", {"$T convert --to odim v.pb -"}, 2, "=",
       "ODIM_H5 and CF/Radial files cannot go to standard output\n"},
      {"encode_missing_input", {"$T encode missing.json o.pb"}, 2, "=",
       "missing.json: cannot open: No such file or directory\n"},
      {"dump_into_missing_folder", {"$T dump v.pb -o nowhere/out.json"}, 2, "=",
       "nowhere/out.json: cannot create: No such file or directory\n"},
      // Notes say what the tool decided; --quiet silences them, not warnings.
      {"notes_say_what_was_decided", {"$T dump s.stream > /dev/null"}, 0, "=",
       "=common-dto: s.stream: reading as a ray stream (2 messages)\n"},
      {"quiet_silences_notes", {"$T -q dump s.stream > /dev/null"}, 0, "=", "="},
      {"dump_stream_to_full_disk", {"$T -q dump s.stream -o /dev/full"}, 2, "=",
       "/dev/full: write error: No space left on device\n"},
  };
}

std::vector<ToolRun> AllRuns() {
  std::vector<ToolRun> all = Runs();
  for (ToolRun& run : CommandRuns()) all.push_back(std::move(run));
  return all;
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
  script += std::string("cat > iv.jsonl <<'EOF'\n") + kInterleaved + "EOF\n";
  script += "$T -q encode v.json v.pb; $T -q encode --stream s.jsonl s.stream\n";
  script += "$T -q encode --stream iv.jsonl iv.stream\n";
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
  if (!run.err.empty() && run.err[0] == '=') {
    EXPECT_EQ(err, run.err.substr(1));
  } else {
    EXPECT_NE(err.find(run.err), std::string::npos) << err;
  }
  EXPECT_EQ(std::system(("rm -rf '" + dir + "' '" + script_path + "'").c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(Tool, ExitStatusTest, testing::ValuesIn(AllRuns()),
                         [](const testing::TestParamInfo<ToolRun>& p) { return p.param.name; });

}  // namespace
