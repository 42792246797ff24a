#!/usr/bin/env python3
"""Runs the examples of README.md that show their output, and compares.

Marked blocks: the line before a ``` fence is an HTML comment

  <!-- example -->          shell: each "$ " line is a command, the lines after
                            it up to the next command its output (standard
                            output and error together)
  <!-- example: nats -->    the same, against a nats-server this script starts:
                            every nats://... URL in a command becomes its URL
                            and commands starting nats-server are left out
  <!-- example: python -->  a Python program; it must print nothing

All marked blocks run in README order in one bash session, in a temporary
directory where the demo program has written demo-volume.rays (as
scripts/demo.sh does in the current directory) and `build` links to the build
tree, so paths read as from the top of a checkout. PATH is Debian's plain
one: the README says itself how to put the tool on it.

A ``` block whose first line is a "$ " command must be marked.

Output is compared line by line, exactly, except that an output line starting
with "..." stands for any number of lines (what follows on it is a comment);
blank lines at the end of an output only separate it from the next command.

Usage: readme_examples.py README.md BUILD_DIR [--keep]
"""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

MARKER = re.compile(r"^<!--\s*example(?::\s*(\w+))?\s*-->\s*$")
SEPARATOR = "#<<example {}>>"
SEPARATOR_RE = re.compile(r"#<<example (\d+)>>\n?")
NATS_URL = re.compile(r"nats://[^\s]+")
DEBIAN_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


class Example:
    def __init__(self, line, kind, command, expected):
        self.line = line          # README line of the command
        self.kind = kind          # None, "nats" or "python"
        self.command = command
        self.expected = expected  # list of lines


def parse(readme_text):
    """The marked blocks' examples, in order."""
    lines = readme_text.splitlines()
    examples = []
    i = 0
    while i < len(lines):
        m = MARKER.match(lines[i])
        if not m or i + 1 >= len(lines) or not lines[i + 1].startswith("```"):
            if lines[i].startswith("```") and i + 1 < len(lines) and lines[i + 1].startswith("$ "):
                raise SystemExit(f"README line {i + 1}: a block of commands without an example "
                                 "marker; mark it so that it is run")
            i += 1
            continue
        kind = m.group(1)
        if kind not in (None, "nats", "python"):
            raise SystemExit(f"README line {i + 1}: unknown example kind '{kind}'")
        start = i + 2
        end = start
        while end < len(lines) and not lines[end].startswith("```"):
            end += 1
        if end == len(lines):
            raise SystemExit(f"README line {i + 2}: block never closed")
        body = lines[start:end]
        if kind == "python":
            examples.append(Example(start + 1, kind, "\n".join(body) + "\n", []))
        else:
            current = None
            for n, text in enumerate(body, start + 1):
                if text.startswith("$ "):
                    current = Example(n, kind, text[2:], [])
                    examples.append(current)
                elif current is None:
                    raise SystemExit(f"README line {n}: output before any command")
                else:
                    current.expected.append(text)
        i = end + 1
    for e in examples:  # blank lines between commands only separate them
        while e.expected and not e.expected[-1].strip():
            e.expected.pop()
    return examples


def matches(expected, got):
    """Line lists equal, a "..." line standing for any number of lines."""
    if not expected:
        return not got
    if expected[0].startswith("..."):
        return any(matches(expected[1:], got[k:]) for k in range(len(got) + 1))
    return bool(got) and expected[0] == got[0] and matches(expected[1:], got[1:])


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_nats(work):
    port = free_port()
    server = shutil.which("nats-server", path="/usr/sbin:/usr/bin") or "nats-server"
    log = open(os.path.join(work, "nats-server.log"), "w")
    proc = subprocess.Popen([server, "-js", "-a", "127.0.0.1", "-p", str(port),
                             "-sd", os.path.join(work, "nats-store")],
                            stdout=log, stderr=subprocess.STDOUT)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return proc, f"nats://127.0.0.1:{port}"
        except OSError:
            time.sleep(0.1)
    proc.kill()
    raise SystemExit("nats-server did not start (see nats-server.log)")


def script_of(examples, url, work):
    parts = ["exec 2>&1"]
    for k, e in enumerate(examples):
        parts.append("echo '" + SEPARATOR.format(k) + "'")
        if e.kind == "python":
            path = os.path.join(work, f"example_{k}.py")
            with open(path, "w") as f:
                f.write(e.command)
            parts.append(f"PYTHONPATH=build/python python3 {path}")
        elif e.kind == "nats" and re.match(r"\S*nats-server\b", e.command):
            parts.append(":")
        elif e.kind == "nats":
            parts.append(NATS_URL.sub(url, e.command))
        else:
            parts.append(e.command)
    return "\n".join(parts) + "\n"


def run(readme, build, keep):
    examples = parse(open(readme, encoding="utf-8").read())
    if not examples:
        raise SystemExit("no marked examples in " + readme)
    work = tempfile.mkdtemp(prefix="readme-examples-")
    server = None
    try:
        os.symlink(os.path.abspath(build), os.path.join(work, "build"))
        env = {"PATH": DEBIAN_PATH, "HOME": work, "LC_ALL": "C.UTF-8", "TZ": "UTC",
               "PYTHONDONTWRITEBYTECODE": "1", "MPLBACKEND": "Agg"}
        demo = os.path.join(build, "demo", "common-dto-demo")
        subprocess.run([demo], cwd=work, env=env, check=True, stdout=subprocess.DEVNULL)
        url = ""
        if any(e.kind == "nats" for e in examples):
            server, url = start_nats(work)
        proc = subprocess.run(["bash", "-c", script_of(examples, url, work)], cwd=work, env=env,
                              stdout=subprocess.PIPE, timeout=600)
        output = proc.stdout.decode("utf-8", "replace")
        pieces = SEPARATOR_RE.split(output)
        got = {int(pieces[k]): pieces[k + 1].splitlines() for k in range(1, len(pieces) - 1, 2)}
        failed = 0
        for k, e in enumerate(examples):
            lines = got.get(k)
            if lines is not None and matches(e.expected, lines):
                continue
            failed += 1
            print(f"README line {e.line}: $ {e.command.splitlines()[0]}")
            print("  shown:\n" + "".join(f"    {t}\n" for t in e.expected), end="")
            print("  printed:\n" + "".join(f"    {t}\n" for t in (lines or ["(not run)"])), end="")
        print(f"{len(examples) - failed} of {len(examples)} README examples print what the README shows")
        return 1 if failed else 0
    finally:
        if server is not None:
            server.terminate()
            server.wait()
        if keep:
            print("kept", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        raise SystemExit(__doc__)
    sys.exit(run(sys.argv[1], sys.argv[2], "--keep" in sys.argv[3:]))
