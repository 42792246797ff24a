#!/usr/bin/env bash
# Compares the ABI of built shared libraries with the committed baselines
# (libabigail's abidw and abidiff), or rewrites the baselines.
#
#   check_abi.sh check  BUILD-TYPE BASELINE-DIR LIBRARY...
#   check_abi.sh update BUILD-TYPE BASELINE-DIR LIBRARY...
#
# The baseline of a library is BASELINE-DIR/<SONAME>.abi; BASELINE-DIR/abi.suppr
# says what is left out of every library, BASELINE-DIR/<SONAME>.suppr (if
# present) what is left out of that one. Baselines describe the RelWithDebInfo build made with
# Debian 12's compiler: other build types emit other inline functions, and a
# build without debug information has no types to compare, so the check is
# skipped there (exit 77).
#
# Exit status of check: 0 unchanged; 1 an incompatible change (removed or
# changed functions, variables or types); 2 only additions, the baseline must
# be updated; 77 skipped.
set -euo pipefail

usage() {
  echo "usage: check_abi.sh check|update BUILD-TYPE BASELINE-DIR LIBRARY..." >&2
  exit 2
}
[ $# -ge 4 ] || usage
mode=$1 build_type=$2 baseline_dir=$3
shift 3
case $mode in check | update) ;; *) usage ;; esac

update_command="cmake --build <build-dir> --target update-abi-baseline"

for tool in abidw abidiff readelf; do
  if ! command -v "$tool" >/dev/null; then
    echo "check_abi: $tool not found (Debian packages abigail-tools, binutils)" >&2
    exit 1
  fi
done

if [ "$build_type" != RelWithDebInfo ]; then
  echo "check_abi: skipped: the ABI baselines describe the RelWithDebInfo build, this is '$build_type'"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

soname_of() {
  readelf -d "$1" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p'
}

# Sets `suppressions` to the --suppressions options that write the corpus of
# the library of SONAME $1, and `diff_suppressions` to those that filter its
# comparison. Sections with "drop = yes" only shape the corpus (what they
# match is not in it); given to abidiff as well, a symbol_name_not_regexp
# section would also match every data member, which has no symbol, and hide
# all layout changes. The others (changes to ignore) go to abidiff only.
suppressions_for() {
  local files=("$baseline_dir/abi.suppr")
  [ -f "$baseline_dir/$1.suppr" ] && files+=("$baseline_dir/$1.suppr")
  suppressions=()
  diff_suppressions=()
  local file n=0
  for file in "${files[@]}"; do
    suppressions+=(--suppressions "$file")
    n=$((n + 1))
    awk 'function flush() { if (section != "" && section !~ /drop *= *yes/) printf "%s", section }
         /^\[/ { flush(); section = "" }
         !/^[[:space:]]*#/ { section = section $0 "\n" }
         END { flush() }' "$file" >"$work/diff-$n.suppr"
    diff_suppressions+=(--suppressions "$work/diff-$n.suppr")
  done
}

# Writes the ABI corpus of library $1 to $2, free of build paths: translation
# units are named by file name only, so every checkout writes the same text.
write_abi() {
  abidw --no-corpus-path --no-comp-dir-path --no-show-locs --no-parameter-names \
    --drop-undefined-syms --type-id-style hash "${suppressions[@]}" \
    --out-file "$2.raw" "$1"
  sed -E "s|(<abi-instr [^>]*path=')[^']*/|\1|" "$2.raw" >"$2"
  rm -f "$2.raw"
}

status=0
written=()
for library in "$@"; do
  soname=$(soname_of "$library")
  if [ -z "$soname" ]; then
    echo "check_abi: $library has no SONAME" >&2
    exit 1
  fi
  # (Read fully first: grep -q would close the pipe early and, with pipefail,
  # fail the pipeline.)
  sections=$(readelf -S "$library")
  if ! grep -q '\.debug_info' <<<"$sections"; then
    echo "check_abi: skipped: $library has no debug information"
    exit 77
  fi
  baseline=$baseline_dir/$soname.abi
  suppressions_for "$soname"

  if [ "$mode" = update ]; then
    write_abi "$library" "$baseline"
    echo "check_abi: wrote $baseline"
    written+=("$baseline")
    continue
  fi

  if [ ! -f "$baseline" ]; then
    echo "check_abi: FAIL: no ABI baseline for $soname ($baseline)."
    echo "  A new library or a new SONAME: record its ABI with '$update_command' and commit it."
    status=1
    continue
  fi

  write_abi "$library" "$work/$soname.abi"
  set +e
  abidiff "${diff_suppressions[@]}" "$baseline" "$work/$soname.abi" >"$work/report" 2>&1
  result=$?
  set -e

  if [ $result -eq 0 ]; then
    echo "check_abi: $soname: ABI unchanged"
    continue
  fi
  # abidiff's status is a bit field: 1 error, 2 usage, 4 change, 8 incompatible change.
  if [ $((result & 3)) -ne 0 ]; then
    cat "$work/report"
    echo "check_abi: FAIL: abidiff could not compare $library with $baseline (status $result)"
    status=1
    continue
  fi
  removed_or_changed=$({ grep -Eo '[0-9]+ (Removed|Changed)' "$work/report" || true; } |
    awk '{ n += $1 } END { print n + 0 }')
  head -n 300 "$work/report"
  [ "$(wc -l <"$work/report")" -le 300 ] || echo "  ... (report cut after 300 lines)"
  if [ $((result & 8)) -ne 0 ] || [ "$removed_or_changed" -gt 0 ]; then
    echo "check_abi: FAIL: the ABI of $soname changed incompatibly (abidiff status $result)."
    echo "  Programs linked against $soname would break: removed or changed functions and"
    echo "  variables, or changed class layouts (adding a field to a message changes its class)."
    echo "  Restore compatibility. If the break is intended, bump the major version (the"
    echo "  project VERSION, which makes the SONAME), then record the new ABI with"
    echo "  '$update_command' and commit it."
    status=1
  else
    echo "check_abi: FAIL: $soname only gained functions or variables; the ABI baseline is out"
    echo "  of date. Record it with '$update_command' and commit it with the change."
    [ $status -ne 0 ] || status=2
  fi
done

if [ "$mode" = update ]; then
  for baseline in "$baseline_dir"/*.abi; do
    case " ${written[*]} " in
      *" $baseline "*) ;;
      *) echo "check_abi: $baseline belongs to no library built here; delete it if its SONAME is gone" ;;
    esac
  done
fi
exit $status
