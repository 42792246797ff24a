#!/bin/sh
# Tests of the common-dto command-line tool:
#  - golden transcripts (command, output, exit status) of summary, dump and
#    check on small files of every kind, and of every error path;
#  - dump | encode reproducing every payload kind byte for byte, in JSON and
#    in text, for single messages and for streams;
#  - split | assemble reproducing a volume; no output file left by failures.
# The input files are made here from the readable sources in data/.
#
# usage: cli_test.sh TOOL SOURCE_DIR WORK_DIR [--update]
#   --update rewrites SOURCE_DIR/golden/ from this run (then review the diff).
set -u
[ $# -ge 3 ] || { echo "usage: $0 TOOL SOURCE_DIR WORK_DIR [--update]" >&2; exit 2; }
tool=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
src=$(cd "$2" && pwd)
work=$3
update=${4:-}
failures=0
[ -x "$tool" ] || { echo "no tool at $tool" >&2; exit 2; }

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
cp "$src"/data/* .

cdto() { "$tool" "$@"; }

# run TRANSCRIPT ARGS...: appends the command, its standard output, its
# standard error and its exit status to TRANSCRIPT.
run() {
  transcript=$1
  shift
  echo "\$ common-dto $*" >> "$transcript"
  "$tool" "$@" > out.tmp 2> err.tmp
  status=$?
  cat out.tmp err.tmp >> "$transcript"
  echo "[exit $status]" >> "$transcript"
  echo >> "$transcript"
}

# same A B WHAT: the two files hold the same bytes.
same() {
  cmp -s "$1" "$2" || fail "$3: $2 differs from $1"
}

golden() {
  if [ "$update" = "--update" ]; then
    cp "$1" "$src/golden/$1"
  elif ! diff -u "$src/golden/$1" "$1"; then
    fail "$1 differs from golden/$1"
  fi
}

# ---- Inputs ------------------------------------------------------------------

for name in volume sweep product-raster product-vectors product-events product-rain; do
  cdto encode "$name.json" "$name.pb" || fail "encode $name.json"
done
cdto encode --from text broken-volume.txt broken-volume.pb || fail "encode broken-volume.txt"
cdto encode --stream broken-stream.jsonl broken.stream || fail "encode broken-stream.jsonl"
cdto encode --type kyt.pb.common.Ray --from text ray.txt ray.bin || fail "encode ray.txt"
cdto split --start 2026-01-01T00:00:00Z --end 2026-01-01T00:00:07Z volume.pb volume.stream ||
  fail "split volume.pb"

# ---- Golden transcripts ------------------------------------------------------

for file in volume.pb sweep.pb product-raster.pb product-vectors.pb product-events.pb \
  product-rain.pb volume.stream; do
  run summary.txt summary "$file"
done
golden summary.txt

run dump.txt dump sweep.pb
run dump.txt dump --format text product-events.pb
run dump.txt dump --type kyt.pb.common.Ray ray.bin
run dump.txt dump volume.stream
golden dump.txt

run check.txt check volume.pb
run check.txt check volume.stream
run check.txt check product-raster.pb
run check.txt check broken-volume.pb
run check.txt check broken.stream
# InstrumentData with field 9, which the schema does not have.
printf '\110\001' > unknown-field.pb
run check.txt check unknown-field.pb
golden check.txt

# Damaged inputs, made from good ones.
head -c 700 volume.stream > truncated.stream
printf 'hello, this is not protobuf\n' > garbage.bin
{ cat volume.stream; printf '\377\377\377\377\017abc'; } > oversized.stream
# InstrumentData { volume { instrument { name: "a\377b" } } }
printf '\012\007\022\005\032\003a\377b' > bad-utf8.pb
# RayStreamMessage { volume_header { volume_config_uri { endpoint: "a\377" } } }
{ cat volume.stream; printf '\010\012\006\042\004\022\002a\377'; } > bad-utf8.stream
printf '{"volume": {"instrument": {"name": "ok"}}}\n{"volume": {}}\n' > two.jsonl
printf '{"volume_end": {}}\n{"volume_end": {"bogus": 1}}\n' > bad-line.jsonl
printf 'volume { instrument { name: "a\\377b" } }\n' > bad-utf8.txt
# Faults the JSON parser reports with input in the message: a field name
# holding an escaped newline, and a raw newline inside a string.
printf '{ "pro\\nduct": {} }' > newline-name.json
printf '{ "product": { "type": "PT_\nX" } }' > newline-value.json

run errors.txt dump truncated.stream
run errors.txt dump garbage.bin
run errors.txt dump oversized.stream
run errors.txt dump bad-utf8.pb
run errors.txt dump bad-utf8.stream
run errors.txt dump --input-kind message truncated.stream
run errors.txt dump broken-volume.pb
run errors.txt dump --type kyt.pb.common.Nope volume.pb
run errors.txt dump --type ray volume.pb
run errors.txt summary missing.pb
run errors.txt check
run errors.txt dump --format yaml volume.pb
run errors.txt encode two.jsonl out.pb
run errors.txt encode --stream bad-line.jsonl out.stream
run errors.txt encode --from text bad-utf8.txt out.pb
run errors.txt encode newline-name.json out.pb
run errors.txt encode newline-value.json out.pb
run errors.txt assemble volume.pb out.pb
run errors.txt assemble broken.stream partial.pb
run errors.txt split product-raster.pb out.stream
run errors.txt split --start yesterday volume.pb out.stream
golden errors.txt

# ---- Round trips -------------------------------------------------------------

# through WHAT ORIGINAL COPY: COPY was made from ORIGINAL by a pipeline whose
# exit status is in $?; both must hold the same bytes.
through() {
  if [ "$4" -ne 0 ]; then
    fail "$1: the pipeline failed for $2"
  else
    same "$2" "$3" "$1"
  fi
}

for file in volume.pb sweep.pb product-raster.pb product-vectors.pb product-events.pb \
  product-rain.pb broken-volume.pb; do
  # An invalid time has no JSON form (see errors.txt); text has one.
  if [ "$file" != broken-volume.pb ]; then
    rm -f json.pb
    cdto dump -q "$file" | cdto encode - json.pb
    through "dump | encode" "$file" json.pb $?
  fi
  rm -f text.pb
  cdto dump -q --format text "$file" | cdto encode --from text - text.pb
  through "dump --format text | encode --from text" "$file" text.pb $?
done
for file in volume.stream broken.stream; do
  rm -f json.stream text.stream
  cdto dump -q "$file" | cdto encode --stream - json.stream
  through "dump | encode --stream" "$file" json.stream $?
  cdto dump -q --format text "$file" | cdto encode --stream --from text - text.stream
  through "dump --format text | encode --stream --from text" "$file" text.stream $?
done
cdto dump -q --type kyt.pb.common.Ray ray.bin | cdto encode --type kyt.pb.common.Ray - ray2.bin
through "dump --type | encode --type" ray.bin ray2.bin $?

# Standard input is told apart like a file.
cat volume.stream | cdto dump -q - > piped.jsonl
cdto dump -q volume.stream > direct.jsonl
same direct.jsonl piped.jsonl "dump of a piped stream"
cat volume.pb | cdto summary -q - > piped.txt
cdto summary -q volume.pb > direct.txt
same direct.txt piped.txt "summary of a piped volume"

# A volume split into a stream and assembled again is the same volume, also
# when the stream carries LZ4 frames.
cdto assemble -q volume.stream assembled.pb
through "split | assemble" volume.pb assembled.pb $?
cdto split -q --compression lz4-frame volume.pb lz4.stream &&
  cdto assemble -q lz4.stream assembled-lz4.pb
through "split --compression lz4-frame | assemble" volume.pb assembled-lz4.pb $?

# A failed run leaves neither a new file nor a temporary one, and does not
# touch an existing file.
echo "old content" > kept.pb
cp kept.pb kept-before.pb
cdto encode two.jsonl kept.pb 2> /dev/null && fail "encode of two messages succeeded"
same kept-before.pb kept.pb "a failed encode"
leftovers=$(ls -a | grep -c '\.tmp-')
[ "$leftovers" -eq 0 ] || fail "$leftovers temporary files left behind"

# A named pipe, like /dev/null, is written in place, not replaced by a file.
cdto dump -q volume.pb > direct.json
mkfifo pipe.out
cat pipe.out > from-pipe.json &
reader=$!
cdto dump -q -o pipe.out volume.pb
if [ -p pipe.out ]; then
  wait "$reader"
  same direct.json from-pipe.json "dump -o to a named pipe"
else
  kill "$reader"
  fail "dump -o replaced the named pipe"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failures" >&2
  exit 1
fi
echo "all passed"
