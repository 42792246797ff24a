#!/bin/sh
# interop.sh <java> <classpath> <common-dto tool> <work dir>
# Java writes, the C++ assembler (common-dto assemble) reassembles: the same
# Volume, byte for byte (deterministic serialization on both sides), from the
# in-order and the shuffled stream. The C++ splitter (common-dto split) writes
# the Volume back as a stream, which Java reads and checks.
set -eu
java=$1 classpath=$2 cli=$3 work=$4
rm -rf "$work" && mkdir -p "$work" && cd "$work"

"$java" -cp "$classpath" StreamInterop write java.rays java-shuffled.rays expected.pb
cmp java.rays java-shuffled.rays >/dev/null && { echo "shuffled stream equals the ordered one"; exit 1; }
for stream in java.rays java-shuffled.rays; do
  "$cli" -q assemble "$stream" "$stream.pb"
  cmp "$stream.pb" expected.pb || { echo "C++ assembled $stream into another volume"; exit 1; }
done
"$cli" -q split expected.pb cpp.rays
"$java" -cp "$classpath" StreamInterop read cpp.rays expected.pb
