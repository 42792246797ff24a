#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer over the libraries and the targets) and runs
# each target for a bounded time on a copy of its seed corpus.
#
#   fuzz/run.sh [seconds-per-target]        default 60
#
# Environment:
#   COMMON_DTO_FUZZ_BUILD_DIR   build directory (default <root>/build-fuzz)
#   COMMON_DTO_FUZZ_TARGETS     space-separated subset of targets (default all)
#   COMMON_DTO_FUZZ_PARALLEL    targets run at once (default 2)
#   COMMON_DTO_FUZZ_CRASH_DIR   where reproducers go (default <root>/fuzz/crashes)
#   COMMON_DTO_JOBS             build jobs (default 2)
#
# Inputs are at most 4 KB (libFuzzer's default), so no allocation needs more
# than about 255 times that (LZ4's highest ratio); -malloc_limit_mb, well
# below the RSS limit, makes an allocation driven by a declared size a
# finding. A crash, leak, timeout, out-of-memory or failed check in any target makes
# the script fail; the reproducer is kept as <crash-dir>/<target>/crash-<sha1>
# (or leak-, timeout-, oom-) and the log as <crash-dir>/<target>.log.
# Reproduce with: <build-dir>/fuzz/<target> <reproducer>
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
build=${COMMON_DTO_FUZZ_BUILD_DIR:-$root/build-fuzz}
crash_dir=${COMMON_DTO_FUZZ_CRASH_DIR:-$root/fuzz/crashes}
parallel=${COMMON_DTO_FUZZ_PARALLEL:-2}
jobs=${COMMON_DTO_JOBS:-2}
all_targets="instrument_data_fuzzer ray_stream_message_fuzzer stream_reader_fuzzer
  assembler_fuzzer split_fuzzer cli_json_fuzzer cli_text_fuzzer cli_wire_fuzzer check_fuzzer
  nexrad_fuzzer
  iris_fuzzer
  rainbow_fuzzer"
targets=${COMMON_DTO_FUZZ_TARGETS:-$all_targets}

if ! command -v clang++ >/dev/null; then
  echo "fuzz/run.sh: clang++ is needed (libFuzzer)" >&2
  exit 2
fi

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
flags+=" -fno-omit-frame-pointer"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="$flags" \
  -DCOMMON_DTO_BUILD_FUZZERS=ON \
  -DCOMMON_DTO_BUILD_TESTS=OFF \
  -DCOMMON_DTO_BUILD_BENCHMARKS=OFF \
  -DCOMMON_DTO_BUILD_DEMO=OFF \
  -DCOMMON_DTO_BUILD_PYTHON=OFF \
  -DCOMMON_DTO_BUILD_JAVA=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j "$jobs" --target $targets

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_one() {
  local target=$1
  local work=$build/fuzz-run/$target
  rm -rf "$work"
  mkdir -p "$work/corpus" "$crash_dir/$target"
  cp "$root/fuzz/corpus/$target/"* "$work/corpus/"
  local status=0
  "$build/fuzz/$target" "$work/corpus" \
    -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -malloc_limit_mb=512 \
    -print_final_stats=1 \
    -artifact_prefix="$crash_dir/$target/" >"$work/log" 2>&1 || status=$?
  local stats
  stats=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$work/log" | tail -1 || true)
  if [ "$status" -ne 0 ]; then
    cp "$work/log" "$crash_dir/$target.log"
    {
      echo "FAILED: $target (exit status $status)"
      grep -E 'ERROR: |SUMMARY: |check failed|runtime error|Test unit written' "$work/log" | head -20
      echo "  log: $crash_dir/$target.log"
    } >"$work/result"
  else
    rmdir "$crash_dir/$target" 2>/dev/null || true
    echo "ok: $target ${stats:-}" >"$work/result"
  fi
  return "$status"
}

failed=()
declare -A pids=()
for target in $targets; do
  while [ "${#pids[@]}" -ge "$parallel" ]; do
    wait -n || true
    for t in "${!pids[@]}"; do
      kill -0 "${pids[$t]}" 2>/dev/null || unset "pids[$t]"
    done
  done
  echo "fuzzing $target for ${seconds}s"
  run_one "$target" &
  pids[$target]=$!
done
wait || true

for target in $targets; do
  cat "$build/fuzz-run/$target/result"
  case $(head -c 3 "$build/fuzz-run/$target/result") in
    ok:) ;;
    *) failed+=("$target") ;;
  esac
done
rmdir "$crash_dir" 2>/dev/null || true
if [ "${#failed[@]}" -ne 0 ]; then
  echo "fuzz/run.sh: ${#failed[@]} target(s) failed: ${failed[*]}; reproducers in $crash_dir" >&2
  exit 1
fi
echo "fuzz/run.sh: all targets ran ${seconds}s without findings"
