#!/bin/sh
# The common-dto tool on damaged and hostile input, one case per class of
# fault, with exact outcomes:
#  - nothing before a damaged frame is lost (dump, summary, check, assemble),
#    from files, pipes and FIFOs alike;
#  - sizes an input declares do not drive the work (LZ4 declarations);
#  - streams of newer producers (unknown fields, unknown message kinds);
#  - failed writes of help and version are reported.
#
# usage: damage_test.sh TOOL SOURCE_DIR WORK_DIR
set -u
[ $# -ge 3 ] || { echo "usage: $0 TOOL SOURCE_DIR WORK_DIR" >&2; exit 2; }
tool=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
src=$(cd "$2" && pwd)
work=$3
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
cdto() { "$tool" "$@"; }

# expect STATUS WHAT COMMAND...: runs the tool, stdout to out.txt and stderr
# to err.txt, and checks the exit status.
expect() {
  want=$1
  what=$2
  shift 2
  "$tool" "$@" > out.txt 2> err.txt
  got=$?
  [ "$got" -eq "$want" ] || fail "$what: exit status $got, not $want ($(cat err.txt))"
}

# has FILE TEXT WHAT: FILE holds a line containing TEXT.
has() {
  grep -qF -- "$2" "$1" || fail "$3: no '$2' in $1: $(cat "$1")"
}

lines() { wc -l < "$1" | tr -d ' '; }

# ---- Nothing before the damage is lost ----------------------------------------

# Three RayEnd messages (frames 02 2a 00), then a cut length prefix.
printf '\002\052\000\002\052\000\002\052\000' > three.stream
{ cat three.stream; printf '\200'; } > three-cut.stream
damage='message 3 at byte offset 9: truncated: the length prefix is cut off by the end of the input'

expect 2 "dump of a damaged stream" dump three-cut.stream
[ "$(lines out.txt)" -eq 3 ] || fail "dump printed $(lines out.txt) lines, not 3"
has err.txt "three-cut.stream: $damage" "dump"

expect 2 "summary of a damaged stream" summary three-cut.stream
has out.txt "ray_end 3" "summary counts what came"
has out.txt "broken" "summary says where the stream broke"
has out.txt "refused        3 messages that do not fit the stream (first: RayEnd for unknown sweep" \
  "summary counts what the assembler refused"
has err.txt "$damage" "summary"

expect 1 "check of a damaged stream" check three-cut.stream
has out.txt "damaged: message 3 at byte offset 9: truncated" "check reports the damage as a finding"

# A whole volume, then damage: assemble writes it and exits 1.
cdto encode "$src/data/volume.json" volume.pb || fail "encode volume.json"
cdto split volume.pb volume.stream || fail "split volume.pb"
{ cat volume.stream; printf '\200'; } > volume-cut.stream
expect 1 "assemble of a damaged stream" assemble volume-cut.stream assembled.pb
has err.txt "truncated: the length prefix is cut off" "assemble warns of the damage"
cdto assemble volume.stream intact.pb 2> /dev/null
cmp -s assembled.pb intact.pb || fail "assemble before damage differs from the intact volume"

# A frame that does not parse (a moment name that is not UTF-8) after the
# volume: assemble names the field, from a file and from a pipe alike.
{ cat volume.stream; printf '\007\042\005\032\003\022\001\377'; } > volume-bad.stream
bad='message 28 at byte offset 1937: unparsable kyt.pb.stream.RayStreamMessage (length 7): invalid UTF-8 in field kyt.pb.common.DataTypeRequest.short_name; assembled what came before'
expect 1 "assemble of a stream with an unparsable frame" assemble volume-bad.stream bad.pb
has err.txt "volume-bad.stream: $bad" "assemble names the field"
cmp -s bad.pb intact.pb || fail "assemble before an unparsable frame differs from the intact volume"
cat volume-bad.stream | "$tool" assemble - bad-piped.pb 2> err.txt
[ $? -eq 1 ] || fail "assemble of an unparsable frame from a pipe"
has err.txt "<stdin>: $bad" "assemble from a pipe names the field"

# The same through a pipe and a FIFO.
cat three-cut.stream | "$tool" dump - > out.txt 2> err.txt
[ $? -eq 2 ] && [ "$(lines out.txt)" -eq 3 ] || fail "dump from a pipe: $(lines out.txt) lines"
has err.txt "$damage" "dump from a pipe"
cat volume-cut.stream | "$tool" assemble - piped.pb 2> err.txt
[ $? -eq 1 ] || fail "assemble from a pipe"
cmp -s piped.pb intact.pb || fail "assemble from a pipe differs"
mkfifo fifo.stream
cat three-cut.stream > fifo.stream &
expect 1 "check of a FIFO" check fifo.stream
has out.txt "damaged: message 3 at byte offset 9: truncated" "check of a FIFO"
wait

# An HDF5 file of neither radar format (the signature and nothing more) is
# named as such rather than parsed as a common-dto file.
{ printf '\211HDF\r\n\032\n'; head -c 600 /dev/zero; } > other.h5
expect 2 "dump of an HDF5 file of no radar format" dump other.h5
has err.txt "other.h5: an HDF5 or netCDF file, but neither ODIM_H5 nor CF/Radial" "dump names the HDF5 file"

# ---- Work bounded by the input --------------------------------------------------

# A VolumeHeader, a SweepHeader, then a ParameterData whose 6-byte LZ4 block
# declares 255 MiB: refused before anything is allocated for it.
{
  echo '{"volume_header": {"volume_uuid": {"least_significant_bits": "1"}}}'
  echo '{"sweep_header": {"volume_uuid": {"least_significant_bits": "1"}, "sweep_uuid": {"least_significant_bits": "2"}}}'
  echo '{"parameter_data": {"sweep_uuid": {"least_significant_bits": "2"}, "data_type": {"short_name": "DBZH"}, "data": {"type": "UINT8", "compression": "LZ4", "uncompressed_size": 267386880, "data": "HwABAEtQAAAAAAA="}}}'
} > declared.jsonl
cdto encode --stream declared.jsonl declared.stream || fail "encode declared.jsonl"
bound='LZ4 block declares 267386880 bytes, more than its 11 bytes of LZ4 data can hold'
expect 1 "check of an overdeclared buffer" check declared.stream
has out.txt "$bound" "check refuses the declaration"
expect 1 "assemble of an overdeclared buffer" assemble declared.stream out.pb
has err.txt "$bound" "assemble refuses the declaration"

# ---- Streams of newer producers ------------------------------------------------

# A VolumeHeader with field 99 (unknown) in its envelope, then its VolumeEnd.
printf '\011\012\004\012\002\010\002\230\006\001\006\072\004\012\002\010\002' > newer.stream
expect 0 "dump of a newer producer's stream" dump newer.stream
[ "$(lines out.txt)" -eq 2 ] || fail "dump of newer.stream printed $(lines out.txt) lines"
expect 0 "check of a newer producer's stream" check --quiet newer.stream
has out.txt "note: field number 99 not in the schema" "unknown fields are notes"
expect 1 "check --strict of a newer producer's stream" check --strict newer.stream
expect 0 "assemble of a newer producer's stream" assemble newer.stream newer.pb
has err.txt "unknown fields (of a newer schema) of 1 RayStreamMessage have no place" \
  "assemble names what it leaves out"
# An envelope of a kind this version does not know (only field 99).
{ cat volume.stream; printf '\003\230\006\001'; } > newer-kind.stream
expect 0 "assemble of a stream with an unknown kind" assemble newer-kind.stream kind.pb
has err.txt "skipped 1 message of a kind this version does not know" "assemble notes the kind"
cmp -s kind.pb intact.pb || fail "the unknown kind changed the volume"
expect 0 "check of a stream with an unknown kind" check newer-kind.stream
has out.txt "note: message of a kind this version does not know" "check notes the kind"
# A first message with invalid UTF-8: the real cause is named.
printf '\011\012\007\042\005\022\003a\377b' > bad-first.stream
expect 2 "dump of a stream whose first message is damaged" dump bad-first.stream
has err.txt "not a ray stream: message 0 at byte offset 0: unparsable kyt.pb.stream.RayStreamMessage (length 9): invalid UTF-8 in field kyt.pb.stream.VolumeConfigUri.endpoint" \
  "the first message's fault"

# ---- Failed writes -----------------------------------------------------------------

if [ -w /dev/full ]; then
  for args in --help --version "dump --help"; do
    # shellcheck disable=SC2086
    "$tool" $args > /dev/full 2> err.txt && fail "common-dto $args > /dev/full succeeded"
    has err.txt "write error" "common-dto $args > /dev/full"
  done
  expect 2 "dump to /dev/full" dump -o /dev/full three.stream
  has err.txt "write error" "dump to /dev/full"
fi

[ "$failures" -eq 0 ] || { echo "$failures failures" >&2; exit 1; }
echo "all damage cases passed"
