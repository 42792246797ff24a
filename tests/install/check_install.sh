#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and checks what a user gets:
# the file layout, the SONAME, the Python package's place, and a consumer
# built with find_package and with pkg-config.
set -euo pipefail
build=$1
consumer=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name 'libcommon-dto.so.5.0.0' -printf '%h\n' | head -n 1)
fail() { echo "install check: $*" >&2; exit 1; }
[ -n "$libdir" ] || fail "libcommon-dto.so.5.0.0 not installed"
[ "$(readlink "$libdir/libcommon-dto.so.5")" = libcommon-dto.so.5.0.0 ] || fail "bad .so.5 link"
[ "$(readlink "$libdir/libcommon-dto.so")" = libcommon-dto.so.5 ] || fail "bad .so link"
readelf -d "$libdir/libcommon-dto.so.5.0.0" | grep -q 'SONAME.*\[libcommon-dto.so.5\]' ||
  fail "SONAME is not libcommon-dto.so.5"
[ -f "$prefix/include/common-dto/ray.pb.h" ] || fail "headers not under include/common-dto"
[ ! -e "$prefix/include/time.pb.h" ] || fail "headers installed straight into include/"
[ -f "$prefix/share/common-dto/proto/ray.proto" ] || fail "schema files not installed"
[ -s "$prefix/share/common-dto/common-dto.desc" ] || fail "descriptor set not installed"

# The descriptor set works with protoc --decode.
printf '\x18\x05' | protoc --descriptor_set_in="$prefix/share/common-dto/common-dto.desc" \
  --decode=kyt.pb.common.Ray ray.proto | grep -q 'index: 5' || fail "descriptor set unusable"

# The Python package goes where the interpreter looks under a prefix:
# lib/python3.X/dist-packages for Debian's python3 (site-packages elsewhere).
if [ -d "$build/python/common_dto" ]; then
  pydir=$(find "$prefix/lib" -path '*/python3*/*-packages/common_dto' -type d)
  [ -n "$pydir" ] || fail "Python package not in lib/python3.X/*-packages"
  [ -n "$(PYTHONPATH=$(dirname "$pydir") /usr/bin/python3 -c 'import common_dto; print(common_dto.Ray)')" ] ||
    fail "installed Python package does not import"
fi

export LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}

cmake -S "$consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
for program in consumer stream-consumer model-consumer formats-consumer nats-consumer \
    validate-consumer; do
  "$work/cmake-build/$program" >/dev/null || fail "CMake consumer $program fails"
done

export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
c++ -std=c++17 "$consumer/consumer.cc" -o "$work/pc-consumer" \
  $(pkg-config --cflags --libs common-dto)
"$work/pc-consumer" >/dev/null || fail "pkg-config consumer fails"

# One pkg-config module per library, each requiring the one below it.
check_module() {  # module, what it requires, consumer source
  [ "$(pkg-config --print-requires "$1" | tr -d ' ' | tr '\n' ' ')" = "$2 " ] ||
    fail "$1.pc requires '$(pkg-config --print-requires "$1" | tr '\n' ' ')', not '$2'"
  # shellcheck disable=SC2046
  c++ -std=c++17 "$consumer/$3" -o "$work/pc-$1" $(pkg-config --cflags --libs "$1") ||
    fail "consumer of $1 does not build with pkg-config"
  "$work/pc-$1" >/dev/null || fail "consumer of $1 fails"
}
check_module common-dto-model common-dto model_consumer.cc
check_module common-dto-stream common-dto-model stream_consumer.cc
check_module common-dto-formats common-dto-model formats_consumer.cc
check_module common-dto-nats common-dto-stream nats_consumer.cc
check_module common-dto-validate common-dto-model validate_consumer.cc
echo "install check passed"
