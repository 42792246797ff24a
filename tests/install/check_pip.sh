#!/bin/sh
# check_pip.sh <build>/python: the build's Python package as pip users get it.
# `pip install <build>/python` into a virtual environment made with
# --system-site-packages (protobuf and numpy from Debian), without a package
# index; then an interpreter without protobuf gets told what to install.
set -eu
package=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "pip check: $*" >&2; exit 1; }
export PIP_DISABLE_PIP_VERSION_CHECK=1 PYTHONDONTWRITEBYTECODE=1
unset PYTHONPATH

/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install -q --no-index "$package" || fail "pip install failed"
cd "$work"
"$work/venv/bin/python" -c '
import sys, common_dto
assert common_dto.__file__.startswith(sys.prefix), common_dto.__file__
assert common_dto.Ray.FromString(common_dto.Ray(index=7).SerializeToString()).index == 7
from common_dto import _core, model
assert _core.__file__.startswith(sys.prefix) and model.format_uuid(model.UUID()).startswith("0000")
import importlib.metadata as metadata
(backend,) = [e for e in metadata.entry_points(group="xarray.backends") if e.name == "common_dto"]
assert backend.load().__module__ == "common_dto.xarray_backend"
' || fail "the installed package does not work"
"$work/venv/bin/python" -m pip uninstall -q -y common-dto || fail "pip uninstall failed"
[ -z "$(find "$work/venv" -name common_dto)" ] || fail "pip uninstall left files"

# -S: no site-packages, so no protobuf.
if PYTHONPATH=$package /usr/bin/python3 -S -c 'import common_dto' 2>"$work/err"; then
  fail "imported without protobuf"
fi
grep -q 'ImportError: common_dto needs the Protocol Buffers runtime .*apt install python3-protobuf' "$work/err" ||
  { cat "$work/err" >&2; fail "no clear message without protobuf"; }
! grep -q 'google.protobuf\|During handling' "$work/err" || { cat "$work/err" >&2; fail "the message shows the inner error"; }
echo "pip check passed"
