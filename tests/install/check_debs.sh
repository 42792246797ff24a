#!/usr/bin/env bash
# check_debs.sh <build dir>: builds the Debian packages with CPack, installs
# them with apt-get as a user would, checks what each gives (the tool runs,
# a consumer builds against the development package with CMake and with
# pkg-config, python3 imports common_dto, the jar and its POM are in place),
# then purges them and checks the machine holds the same packages as before.
#
# It installs into /usr, so it runs as root on a machine of its own, after
# the test suite (.ci/run), never inside ctest next to other tests.
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
fail() { echo "check_debs: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "must run as root (it installs packages into /usr)"

names=(libcommon-dto5 libcommon-dto-dev common-dto-tools python3-common-dto libcommon-dto-java)
for name in "${names[@]}"; do
  if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q installed; then
    fail "$name is installed already; remove it first (this check leaves the machine as it found it)"
  fi
done

work=$(mktemp -d)
installed() { dpkg-query -W -f='${Package} ${Version}\n' | sort; }
installed > "$work/before"
cleanup() {
  # Everything that was not there before goes: our packages and anything
  # apt pulled in for them.
  installed > "$work/after"
  extra=$(comm -13 "$work/before" "$work/after" | cut -d' ' -f1)
  # shellcheck disable=SC2086
  [ -z "$extra" ] || DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq $extra >/dev/null
  installed > "$work/after"
  if ! cmp -s "$work/before" "$work/after"; then
    echo "check_debs: the installed packages differ from before:" >&2
    diff "$work/before" "$work/after" >&2 || true
    rm -rf "$work"
    exit 1
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Into a folder of our own (-B): the packages' dependencies must not depend
# on where cpack puts them.
packages=$work/packages
(cd "$build" && cpack -G DEB -B "$packages" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
debs=("$packages"/*.deb)
echo "built: $(cd "$packages" && echo *.deb)"

# Every file cmake --install puts under /usr is in exactly one package (a
# library whose install() names no component would be in none).
DESTDIR=$work/tree cmake --install "$build" --prefix /usr >/dev/null
(cd "$work/tree" && find . ! -type d | sed 's|^\.||' | sort) > "$work/files.install"
for deb in "${debs[@]}"; do dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\.||'; done |
  grep -v '/$' | sort > "$work/files.debs"
diff "$work/files.install" "$work/files.debs" || fail "packages and cmake --install differ (above)"

# Dependencies on system libraries come from dpkg-shlibdeps.
depends() { dpkg-deb -f "$packages/$1"_*.deb Depends; }
depends libcommon-dto5 | grep -q 'libprotobuf32' || fail "libcommon-dto5 lacks libprotobuf32: $(depends libcommon-dto5)"
depends libcommon-dto5 | grep -q 'liblz4-1' || fail "libcommon-dto5 lacks liblz4-1: $(depends libcommon-dto5)"
depends common-dto-tools | grep -q 'libcommon-dto5 (= ' || fail "common-dto-tools: $(depends common-dto-tools)"

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${debs[@]}" \
  >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get install failed"; }

# From / with a clean environment, so nothing of the build tree is found.
cd /
unset PYTHONPATH LD_LIBRARY_PATH PKG_CONFIG_PATH CMAKE_PREFIX_PATH
[ "$(command -v common-dto)" = /usr/bin/common-dto ] || fail "common-dto is not /usr/bin/common-dto"
common-dto split --help >/dev/null || fail "common-dto does not run"
ldd /usr/bin/common-dto | grep -q 'libcommon-dto-stream.so.5 => /usr/' || fail "the tool's libraries are not from /usr"

cmake -S "$source_dir/tests/install/consumer" -B "$work/consumer" >/dev/null || fail "find_package failed"
cmake --build "$work/consumer" >/dev/null || fail "CMake consumer does not build"
"$work/consumer/consumer" >/dev/null || fail "CMake consumer fails"
"$work/consumer/stream-consumer" >/dev/null || fail "CMake consumer of the stream library fails"
# shellcheck disable=SC2046
c++ -std=c++17 "$source_dir/tests/install/consumer/consumer.cc" -o "$work/pc-consumer" \
  $(pkg-config --cflags --libs common-dto) || fail "pkg-config consumer does not build"
"$work/pc-consumer" >/dev/null || fail "pkg-config consumer fails"
# Each hand-written library, with CMake and with its own pkg-config module.
for part in model stream formats nats validate; do
  "$work/consumer/$part-consumer" >/dev/null || fail "CMake consumer of the $part library fails"
  # shellcheck disable=SC2046
  c++ -std=c++17 "$source_dir/tests/install/consumer/${part}_consumer.cc" -o "$work/pc-$part" \
    $(pkg-config --cflags --libs "common-dto-$part") || fail "pkg-config consumer of common-dto-$part does not build"
  "$work/pc-$part" >/dev/null || fail "pkg-config consumer of common-dto-$part fails"
done

/usr/bin/python3 -c '
import common_dto
assert common_dto.__file__.startswith("/usr/lib/python3/dist-packages/"), common_dto.__file__
assert common_dto.Ray.FromString(common_dto.Ray(index=5).SerializeToString()).index == 5
' || fail "python3 cannot import common_dto"
depends python3-common-dto | grep -q 'libcommon-dto5 (= ' || fail "python3-common-dto: $(depends python3-common-dto)"
# The extension links the installed libraries; xarray finds the backend
# through the installed entry points and opens a stream written by the package.
# (ldd's output in full first: grep -q stopping early would fail the pipe.)
ldd /usr/lib/python3/dist-packages/common_dto/_core*.so >"$work/ldd"
grep -q -E 'libcommon-dto-stream.so.5 => /(usr/)?lib/' "$work/ldd" ||
  { cat "$work/ldd" >&2; fail "the Python extension does not link the installed libraries"; }
/usr/bin/python3 -c '
import sys, numpy as np, xarray as xr, common_dto
from common_dto.assembly import write_split_volume
from common_dto.buffers import encode_buffer
volume = common_dto.Volume()
volume.volume_config.sweep_config.add().range_scale.range_m.add(start=0, step=100, count=3)
sweep = volume.sweep.add()
sweep.description.config.sweep_config_index = 0
sweep.rays.add(index=0)
sweep.rays.add(index=1)
sweep.sweep_moments["DBZH"].CopyFrom(encode_buffer(np.arange(6, dtype=np.uint8)))
write_split_volume(volume, sys.argv[1])
ds = xr.open_dataset(sys.argv[1], engine="common_dto", sweep=0)
assert ds["DBZH"].values.tolist() == [[0, 1, 2], [3, 4, 5]], ds
' "$work/volume.rays" || fail "xarray.open_dataset(engine=\"common_dto\") fails"

if [ -e /usr/share/java/common-dto.jar ]; then
  readlink -e /usr/share/maven-repo/com/quandel/larch/common-dto/*/common-dto-*.jar >/dev/null ||
    fail "the Maven repository's jar link is broken"
  # shellcheck disable=SC2016 # the $ is part of the class name
  javap -cp /usr/share/java/common-dto.jar 'com.quandel.larch.protobuf.common.RayOuterClass$Ray' |
    grep -q 'parseDelimitedFrom' || fail "the jar lacks the Ray class"
fi
echo "Debian packages: built, installed, used and removed"
