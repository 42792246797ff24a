"""Assembling volume M from a ray stream file: the Python package against
the tool, in the same run.

    python3 bench/python_assemble.py --build BUILD [--repetitions N]

Writes volume M (common-dto-bench-memory --child write_M), splits it into a
ray stream with `common-dto split`, then times, alternately:

  * Python: common_dto.assembly.assemble_stream(path) in this process, up to
    the Volume as a Python message (the interpreter and the package are
    loaded before timing starts);
  * the tool: `common-dto assemble STREAM -` writing the InstrumentData to
    /dev/null, as a child process (its own start-up, a few milliseconds, is
    included).

Prints one table row per figure: medians of wall time, and the ratio of the
speeds (tool time / Python time; 1 = as fast).
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time


def median_row(name, python_times, tool_times, rays):
    py, tool = statistics.median(python_times), statistics.median(tool_times)
    ratio = tool / py
    return ("| Python assemble_stream vs `common-dto assemble` | M | %.0f krays/s (%.3f s) | "
            "the tool, same stream | %.0f krays/s (%.3f s) | %.2f | ≥ 0.8 | %s |"
            % (rays / py / 1000, py, rays / tool / 1000, tool, ratio, "met" if ratio >= 0.8 else "MISSED"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--repetitions", type=int, default=5)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    sys.path.insert(0, os.path.join(build, "python"))
    from common_dto.assembly import assemble_stream

    tool = os.path.join(build, "tools", "common-dto", "common-dto")
    with tempfile.TemporaryDirectory() as scratch:
        volume, stream = os.path.join(scratch, "volume-M.pb"), os.path.join(scratch, "M.rays")
        subprocess.run([os.path.join(build, "bench", "common-dto-bench-memory"), "--child",
                        "write_M", volume], check=True)
        # (The tool lists the sweep fields a stream does not carry: not wanted here.)
        subprocess.run([tool, "split", "--input-kind", "message", "--type", "kyt.pb.common.Volume",
                        volume, stream], check=True, stderr=subprocess.DEVNULL)
        rays = None
        python_times, tool_times = [], []
        for i in range(args.repetitions + 1):  # The first round warms the caches, untimed.
            order = ("python", "tool") if i % 2 else ("tool", "python")
            for who in order:
                start = time.perf_counter()
                if who == "python":
                    (result,) = assemble_stream(stream)
                    elapsed = time.perf_counter() - start
                    rays = sum(len(s.rays) for s in result.volume.sweep)
                    del result
                    if i:
                        python_times.append(elapsed)
                else:
                    subprocess.run([tool, "assemble", stream, "-"], check=True,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                    if i:
                        tool_times.append(time.perf_counter() - start)
        print("python: %s s; tool: %s s" % (" ".join("%.3f" % t for t in python_times),
                                            " ".join("%.3f" % t for t in tool_times)),
              file=sys.stderr)
        print(median_row("M", python_times, tool_times, rays))


if __name__ == "__main__":
    main()
