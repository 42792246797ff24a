#!/usr/bin/env bash
# Checks what a shared library defines and what it depends on.
#
#   check_exports.sh LIBRARY OWN-NAMESPACE NEEDED...
#
# - Every strong (non-weak) symbol the library exports is its own: its
#   demangled name mentions OWN-NAMESPACE (e.g. "kyt::pb::"; this includes
#   protobuf templates specialised for our types, such as
#   google::protobuf::Arena::CreateMaybeMessage<kyt::pb::common::Ray>), or it
#   is a protoc table of one of our schema files (descriptor_table_ray_2eproto,
#   TableStruct_ray_2eproto::offsets). A library that compiled in a
#   dependency (a static libprotobuf, or the code generated for
#   google/protobuf/timestamp.proto) would define that dependency's symbols
#   and fail here.
# - Weak symbols are the copies of inline functions and template
#   instantiations from the protobuf and C++ standard headers that every
#   object using those headers carries; the dynamic linker binds each of them
#   to one definition per process. They are counted, not judged.
# - The dynamic section needs each NEEDED given, and otherwise only the C and
#   C++ runtime.
set -euo pipefail

if [ $# -lt 3 ]; then
  echo "usage: check_exports.sh LIBRARY OWN-NAMESPACE NEEDED..." >&2
  exit 2
fi
library=$1 own=$2
shift 2
runtime="libstdc++.so.6 libm.so.6 libgcc_s.so.1 libc.so.6 ld-linux-x86-64.so.2"
status=0

fail() {
  echo "check_exports: FAIL: $*"
  status=1
}

# nm -D --defined-only: "<address> <type> <demangled name>"; W, V, u are weak.
symbols=$(nm -D --defined-only --demangle "$library" | cut -d' ' -f2-)
strong=$(grep -E '^[^WVuvw] ' <<<"$symbols" | cut -d' ' -f2- || true)
weak=$(grep -E '^[WVuvw] ' <<<"$symbols" | cut -d' ' -f2- || true)
weak_foreign_count=$(grep -vF -- "$own" <<<"$weak" | grep -cvE '^descriptor_table_.*_getter\(\)$' || true)
# protoc names the tables of a file by escaping its name ("_" -> "_5f",
# "/" -> "_2f", "." -> "_2e"); ours are bare names, so no "_2f".
# __bss_start, _edata and _end mark the library's own sections; the linker
# exports them when a library linked in (libgdal) exports its own.
foreign=$(grep -vF -- "$own" <<<"$strong" |
  grep -vE '^(descriptor_table_|TableStruct_)([a-z0-9]|_5f)+_2eproto(::offsets)?$' |
  grep -vxE '__bss_start|_edata|_end' || true)
if [ -n "$foreign" ]; then
  fail "$library defines $(wc -l <<<"$foreign") strong symbols that are not its own:"
  head -n 20 <<<"$foreign" | sed 's/^/  /'
fi

needed=$(readelf -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for lib in "$@"; do
  grep -qxF "$lib" <<<"$needed" || fail "$library does not need $lib; it needs: $(echo $needed)"
done
for lib in $needed; do
  case " $* $runtime " in
    *" $lib "*) ;;
    *) fail "$library needs $lib, which is not an expected dependency" ;;
  esac
done

if [ $status -eq 0 ]; then
  echo "check_exports: $library: $(wc -l <<<"$strong") strong symbols, all its own;" \
    "$(wc -l <<<"$weak") weak, of which $weak_foreign_count are instantiations from dependency" \
    "headers only; needs $(echo $needed)"
fi
exit $status
