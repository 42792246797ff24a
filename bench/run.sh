#!/usr/bin/env bash
# Builds the benchmarks if needed, runs them and prints one table of ratios.
#
#   bench/run.sh [--build DIR] [--filter REGEX] [--repetitions N] [--no-memory]
#                [--no-python]
#
#   --build DIR       build directory (default: build-bench in the project
#                     root; configured as Release when it does not exist)
#   --filter REGEX    run only the timings whose name matches (Google
#                     Benchmark's --benchmark_filter), e.g. 'Bulk/M|Stream'
#   --repetitions N   repeat every timing N times; the table shows medians
#   --no-memory       skip the peak-memory measurements
#   --no-python       skip the Python package against the tool
#                     (python_assemble.py; also skipped with --filter)
#
# Results are kept in DIR/bench-results/: timings.json (Google Benchmark's
# JSON), memory.json, and table.md (the table printed at the end).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
build="$root/build-bench"
filter=""
repetitions=1
memory=1
python_row=1
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --filter) filter=$2; shift 2 ;;
    --repetitions) repetitions=$2; shift 2 ;;
    --no-memory) memory=0; shift ;;
    --no-python) python_row=0; shift ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown argument $1 (see --help)" >&2; exit 1 ;;
  esac
done

if [ ! -f "$build/CMakeCache.txt" ]; then
  generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
case "$build_type" in
  Release|RelWithDebInfo) ;;
  *) echo "run.sh: warning: $build is a '$build_type' build; timings need Release" >&2 ;;
esac
echo "building the benchmarks in $build ..." >&2
targets=(common-dto-bench common-dto-bench-memory)
[ -n "$filter" ] && python_row=0
[ "$python_row" = 1 ] && targets+=(common-dto common-dto-python)
cmake --build "$build" -j2 --target "${targets[@]}" >&2

out="$build/bench-results"
mkdir -p "$out"
rm -f "$out/timings.json" "$out/memory.json"

args=(--benchmark_format=json)
[ -n "$filter" ] && args+=("--benchmark_filter=$filter")
if [ "$repetitions" -gt 1 ]; then
  args+=("--benchmark_repetitions=$repetitions" --benchmark_report_aggregates_only=true)
fi
# glibc moves its mmap threshold with what the program frees, so whether a
# buffer of a megabyte or two comes with fresh pages from the kernel flips
# from run to run, for the baselines as for the library. The timings fix
# both thresholds (a long-running program's steady state); set
# GLIBC_TUNABLES yourself, even empty, to measure otherwise.
tunables=${GLIBC_TUNABLES-glibc.malloc.trim_threshold=17179869184:glibc.malloc.mmap_threshold=33554432}
echo "timings (a few minutes; the L volume alone is 0.9 GB of samples) ..." >&2
GLIBC_TUNABLES=$tunables "$build/bench/common-dto-bench" "${args[@]}" \
  >"$out/timings.json" 2>"$out/timings.log"
echo "$tunables" >"$out/tunables"

if [ "$memory" = 1 ]; then
  echo "peak memory (one child process per figure) ..." >&2
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  "$build/bench/common-dto-bench-memory" --dir "$scratch" --out "$out/memory.json"
fi

python=/usr/bin/python3
[ -x "$python" ] || python=python3
"$python" "$here/report.py" "$out/timings.json" \
  $([ "$memory" = 1 ] && echo "--memory $out/memory.json") | tee "$out/table.md"
if [ "$python_row" = 1 ]; then
  echo "Python against the tool (assembling M, $((repetitions > 5 ? repetitions : 5)) rounds) ..." >&2
  GLIBC_TUNABLES=$tunables "$python" "$here/python_assemble.py" --build "$build" \
    --repetitions $((repetitions > 5 ? repetitions : 5)) | tee -a "$out/table.md"
fi
